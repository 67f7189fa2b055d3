#include <algorithm>
#include <cstring>
#include <limits>

#include "desc_reader/read_desc.h"
#include "insta360/trailer.h"
#include "insta360/trailer_format.h"
#include "lib/box.h"
#include "lib/buffered_reader.h"
#include "lib/format.h"
#include "lib/join_seams.h"
#include "lib/log_line.h"
#include "lib/output_stream.h"
#include "writer/write_output.h"

namespace reelknit {
namespace {

constexpr std::uint64_t NO_LIMIT = std::numeric_limits<std::uint64_t>::max();

/// What the scan of one input's top-level boxes found.
struct TopLevel {
  std::optional<BoxHeader> first_mdat;
  /// The first box that declares more bytes than the file holds before its end (or its trailer).
  std::optional<BoxHeader> overrun;
  std::size_t mdat_count = 0;
  bool has_moov = false;
  bool has_moof = false;
  /// The box before any media data whose declared size, below its header, ended the scan.
  std::optional<BoxHeader> stalled_at;
  /// A box after the media data that declares size 0: it runs to the end of the file.
  std::optional<BoxHeader> open_ended;
};

/// Walks the top-level boxes by their declared sizes, up to `box_part_end`
/// (the file's end, or the start of its Insta360 trailer). The first `mdat` is
/// the input's media data; every box is looked at so that a file the merge
/// cannot carry whole is refused with a reason.
Result<TopLevel> scan_top_level(BufferedReader& reader, std::uint64_t box_part_end) {
  TopLevel found;
  for (;;) {
    REELKNIT_ASSIGN_OR_RETURN(const std::uint64_t at, reader.position());
    if (at >= box_part_end) return found;
    auto read = read_box_header(reader);
    if (!read) return found;
    const BoxHeader header = *read;
    REELKNIT_ASSIGN_OR_RETURN(const std::uint64_t after_header, reader.position());
    if (header.type == BOX_MDAT) {
      if (!found.first_mdat) {
        REELKNIT_DEBUG(LOG_TARGET_DRIVER, "Reading {}, offset: {}, size: {}, header_size: {}",
                       box_type_text(header.type), header.position, header.size, header.header_size);
        found.first_mdat = header;
      }
      ++found.mdat_count;
    }
    if (header.type == BOX_MOOV) found.has_moov = true;
    if (header.type == BOX_MOOF) found.has_moof = true;
    // A size below the header would make the scan stand still or go back: it ends here.
    if (header.size < header.header_size) {
      if (!found.first_mdat) {
        found.stalled_at = header;
      } else if (header.size == 0 && header.type != 0) {
        found.open_ended = header;
      }
      return found;
    }
    if (!check_box_extent(header)) return found;
    if (header.end() > box_part_end) {
      // A recording cut short (the battery died): whatever this box declares is not all there.
      found.overrun = header;
      return found;
    }
    REELKNIT_TRY(reader.seek(SeekFrom::start(after_header + (header.size - header.header_size))));
  }
}

Error input_error(ErrorKind kind, const std::string& path, const std::string& why) {
  return Error(kind, format_text("{}: {}", path, why));
}

/// The first input's tree is the template, and its walk ends at a box of size 0:
/// what such a box holds would be missing from the output.
bool loses_content(const std::optional<BoxHeader>& open_ended, bool first_input) {
  return first_input && open_ended && open_ended->type != fourcc("free") && open_ended->type != fourcc("skip");
}

Error truncated(const BoxHeader& box, const std::string& path, std::uint64_t box_part_end) {
  return input_error(ErrorKind::UnexpectedEof, path,
                     format_text("the {} box at offset {} declares {} bytes, {} more than the file holds; the file is "
                                 "truncated or damaged",
                                 box_type_text(box.type), box.position, box.size, box.end() - box_part_end));
}

/// Refuses an input whose media data or movie the merge cannot carry whole.
Status check_media_layout(const TopLevel& found, const std::string& path, std::uint64_t box_part_end, bool first_input) {
  if (found.has_moof) return input_error(ErrorKind::Unsupported, path, "fragmented MP4 (moof boxes) is not supported");
  if (found.overrun && found.overrun->type != BOX_MDAT) return truncated(*found.overrun, path, box_part_end);
  if (!found.first_mdat) {
    std::string why = "no media data (mdat box)";
    if (found.stalled_at) {
      why += format_text("; the box {} at offset {} declares size {}, smaller than its header",
                         box_type_text(found.stalled_at->type), found.stalled_at->position, found.stalled_at->size);
    }
    return input_error(ErrorKind::InvalidData, path, why);
  }
  const BoxHeader& mdat = *found.first_mdat;
  if (mdat.size == 0) {
    return input_error(ErrorKind::Unsupported, path,
                       format_text("the mdat box at offset {} declares size 0 (to the end of the file), which is not supported",
                                   mdat.position));
  }
  if (mdat.size < mdat.header_size) {
    return input_error(ErrorKind::InvalidData, path,
                       format_text("the mdat box at offset {} declares size {}, smaller than its header", mdat.position,
                                   mdat.size));
  }
  if (!found.has_moov) {
    return input_error(ErrorKind::InvalidData, path, "no movie box (moov); the recording may have been cut short");
  }
  if (loses_content(found.open_ended, first_input)) {
    return input_error(ErrorKind::Unsupported, path,
                       format_text("the {} box at offset {} declares size 0 (to the end of the file), which is not supported",
                                   box_type_text(found.open_ended->type), found.open_ended->position));
  }
  if (mdat.end() > box_part_end) {
    return input_error(ErrorKind::UnexpectedEof, path,
                       format_text("the media data ends {} bytes before its declared end; the file is truncated",
                                   mdat.end() - box_part_end));
  }
  return success();
}

/// The trailer start when the input ends with an Insta360 trailer. A file
/// shorter than the 40 bytes looked at fails with the seek's error.
Result<std::optional<std::uint64_t>> find_trailer(BufferedReader& reader, std::uint64_t file_size) {
  REELKNIT_TRY(reader.seek(SeekFrom::end(-static_cast<std::int64_t>(insta360::DETECT_SIZE))));
  std::uint8_t bytes[insta360::DETECT_SIZE];
  REELKNIT_TRY(reader.read_exact(bytes));
  if (std::memcmp(bytes + insta360::DETECT_MAGIC_OFFSET, insta360::TRAILER_MAGIC.data(), insta360::MAGIC_SIZE) != 0) {
    return std::optional<std::uint64_t>();
  }
  return std::optional<std::uint64_t>(file_size - load_le32(bytes));
}

Status check_chunks(const Desc& desc, const std::vector<TableMarks>& marks, const TopLevel& found,
                    const std::string& path) {
  const auto problem = find_chunk_outside_span(desc, marks, desc.mdat_spans.back());
  if (!problem) return success();
  if (found.mdat_count > 1) {
    return input_error(ErrorKind::Unsupported, path,
                       format_text("track {} keeps media data outside the first mdat box; media data in more than one box "
                                   "is not supported",
                                   problem->track_slot + 1));
  }
  return input_error(ErrorKind::InvalidData, path,
                     format_text("chunk {} of track {} ({} bytes at offset {}) lies outside the media data (mdat)",
                                 problem->chunk_number, problem->track_slot + 1, problem->bytes, problem->offset));
}

Status check_sample_tables(const Desc& desc, const std::vector<TableMarks>& marks, bool more_inputs_follow,
                           const std::string& path) {
  const auto problem = find_sample_table_mismatch(desc, marks, more_inputs_follow);
  if (!problem) return success();
  if (problem->runs_misplaced) {
    return input_error(ErrorKind::InvalidData, path,
                       format_text("the sample-to-chunk table (stsc) of track {} does not describe its {} chunks; the "
                                   "sample tables are damaged",
                                   problem->track_slot + 1, problem->chunks));
  }
  return input_error(ErrorKind::InvalidData, path,
                     format_text("the chunks of track {} hold {} samples but its sample-size table (stsz) lists {}; "
                                 "the sample tables are damaged, and the next input's samples would be misplaced",
                                 problem->track_slot + 1, problem->samples_in_chunks, problem->samples_listed));
}

Result<std::vector<InputFile>> open_inputs(const std::vector<std::string>& paths, const JoinSeams& seams,
                                           std::vector<FileStatus>& statuses) {
  std::vector<InputFile> inputs;
  for (const std::string& path : paths) {
    REELKNIT_ASSIGN_OR_RETURN(std::unique_ptr<File> file, seams.open_input(path));
    REELKNIT_ASSIGN_OR_RETURN(const FileStatus status, file->status());
    statuses.push_back(status);
    inputs.push_back(InputFile{std::move(file), status.size});
  }
  return inputs;
}

/// Creating the output truncates it: it must not be one of the recordings being joined.
Status check_output_is_not_an_input(const std::string& output_path, const std::vector<FileStatus>& inputs,
                                    const JoinSeams& seams) {
  auto output = seams.status_of_path(output_path);
  if (!output) return success();  // nothing there yet
  for (const FileStatus& input : inputs) {
    if (input.device == output->device && input.inode == output->inode) {
      return Error(ErrorKind::InvalidInput,
                   format_text("the output file {} is one of the inputs; refusing to overwrite it", output_path));
    }
  }
  return success();
}

struct ReadResult {
  Desc desc;
  std::uint64_t total_size = 0;
  bool has_trailer = false;
  std::uint64_t write_limit = NO_LIMIT;
};

/// Reads input `i` of `count` into the Desc: its media data, its trailer, its box tree.
Status read_input(InputFile& input, const std::string& path, std::size_t i, std::size_t count, ReadResult& result) {
  BufferedReader reader(*input.file);
  result.total_size += input.size;
  // Shorter than a trailer test reads, and far shorter than any movie.
  if (input.size < insta360::DETECT_SIZE) {
    return input_error(ErrorKind::InvalidData, path,
                       format_text("only {} bytes long, too short to be an MP4 recording", input.size));
  }
  // Every input is tested for a trailer, so that its scan and its walk stop where its boxes end.
  REELKNIT_ASSIGN_OR_RETURN(const auto trailer_start, find_trailer(reader, input.size));
  if (trailer_start && !result.has_trailer) {
    result.has_trailer = true;
    // Only the first input's own trailer bounds the writer's walk of its boxes.
    if (i == 0) result.write_limit = *trailer_start;
  }
  // A trailer size beyond the file is damage; the trailer step reports it.
  const std::uint64_t box_part_end = trailer_start && *trailer_start <= input.size ? *trailer_start : input.size;
  REELKNIT_TRY(reader.seek(SeekFrom::start(0)));
  REELKNIT_ASSIGN_OR_RETURN(const TopLevel found, scan_top_level(reader, box_part_end));
  REELKNIT_TRY(check_media_layout(found, path, box_part_end, i == 0));

  Desc& desc = result.desc;
  const BoxHeader& mdat = *found.first_mdat;
  desc.mdat_spans.push_back(MdatSpan{std::nullopt, mdat.payload_position(), mdat.payload_size()});
  desc.mdat_position = mdat.payload_position();
  const auto marks = mark_tables(desc);
  REELKNIT_TRY(reader.seek(SeekFrom::start(0)));
  // A trailer's records are not boxes: the walk ends where they begin.
  REELKNIT_TRY(read_desc(reader, desc, 0, box_part_end, i));
  REELKNIT_TRY(check_chunks(desc, marks, found, path));
  REELKNIT_TRY(check_sample_tables(desc, marks, i + 1 < count, path));
  finish_input(desc, i);
  return success();
}

Result<ReadResult> read_inputs(std::vector<InputFile>& inputs, const std::vector<std::string>& paths,
                               const ProgressCallback& progress) {
  ReadResult result;
  const std::size_t count = inputs.size();
  for (std::size_t i = 0; i < count; ++i) {
    REELKNIT_TRY(read_input(inputs[i], paths[i], i, count, result));
    if (progress) progress(static_cast<double>(i + 1) / static_cast<double>(count) * 0.1);
  }
  return result;
}

/// Writes every track's final chunk offsets over the table the writer laid out.
Status fix_chunk_offsets(OutputStream& out, const Desc& desc) {
  for (std::size_t slot = 0; slot < desc.tracks.size(); ++slot) {
    const TrackDesc& track = desc.tracks[slot];
    if (track.stco.empty()) continue;
    if (track.co64_position == 0) {
      return Error(ErrorKind::InvalidData,
                   format_text("track {} has chunk offsets only in later inputs; the first input has no chunk-offset "
                               "table for it",
                               slot + 1));
    }
    REELKNIT_TRY(out.seek(SeekFrom::start(track.co64_position)));
    for (const std::uint64_t offset : track.stco) REELKNIT_TRY(out.write_be64(desc.mdat_position + offset));
  }
  return success();
}

Status write_joined(std::vector<InputFile>& inputs, std::unique_ptr<File> output_file, ReadResult& read,
                    const ProgressCallback& progress, const JoinSeams& seams) {
  Instant last_report = seams.clock();
  OutputStream out(ProgressStream(std::move(output_file), read.total_size, last_report, progress, seams.clock),
                   seams.range_copy);
  REELKNIT_TRY(inputs.front().file->seek(SeekFrom::start(0)));
  REELKNIT_TRY(write_output(inputs, out, read.desc, 0, read.write_limit));
  REELKNIT_TRY(fix_chunk_offsets(out, read.desc));
  if (read.has_trailer) {
    REELKNIT_TRY(out.seek(SeekFrom::end(0)));
    REELKNIT_ASSIGN_OR_RETURN(const auto records, insta360::read_trailers(inputs));
    REELKNIT_TRY(insta360::write_merged_trailer(inputs, records, out));
  }
  // The last buffered bytes reach the file first: a full disk now is still a failed join,
  // and no throttled report of that last write-out can follow the final one.
  REELKNIT_TRY(out.release());
  if (progress) progress(1.0);
  return success();
}

}  // namespace

Status join_files_with(const std::vector<std::string>& input_paths, const std::string& output_path,
                       const ProgressCallback& progress, const JoinSeams& seams) {
  if (input_paths.empty()) return Error(ErrorKind::InvalidInput, "no input files to join");
  std::vector<FileStatus> statuses;
  REELKNIT_ASSIGN_OR_RETURN(std::vector<InputFile> inputs, open_inputs(input_paths, seams, statuses));
  REELKNIT_TRY(check_output_is_not_an_input(output_path, statuses, seams));
  REELKNIT_ASSIGN_OR_RETURN(std::unique_ptr<File> output_file, seams.create_output(output_path));
  auto read = read_inputs(inputs, input_paths, progress);
  if (!read) return std::move(read).error();
  return write_joined(inputs, std::move(output_file), *read, progress, seams);
}

Status join_files(const std::vector<std::string>& input_paths, const std::string& output_path,
                  const ProgressCallback& progress) {
  return join_files_with(input_paths, output_path, progress, JoinSeams{});
}

}  // namespace reelknit
