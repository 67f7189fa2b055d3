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
  std::size_t mdat_count = 0;
  bool has_moov = false;
  bool has_moof = false;
};

/// Walks the top-level boxes by their declared sizes. The first `mdat` is the
/// input's media data; the boxes after it are only looked at so that a file
/// the merge cannot represent is refused with a reason.
Result<TopLevel> scan_top_level(BufferedReader& reader, std::uint64_t file_size) {
  TopLevel found;
  for (;;) {
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
    if (header.size < header.header_size || !check_box_extent(header)) return found;
    if (found.first_mdat && header.end() >= file_size) return found;
    auto moved = reader.seek(SeekFrom::start(after_header + (header.size - header.header_size)));
    if (!moved) {
      if (found.first_mdat) return found;  // past the media data the scan is only a diagnosis
      return std::move(moved).error();
    }
  }
}

Error input_error(ErrorKind kind, const std::string& path, const std::string& why) {
  return Error(kind, format_text("{}: {}", path, why));
}

/// Refuses an input whose media data the merge cannot carry whole.
Status check_media_layout(const TopLevel& found, const std::string& path, std::uint64_t file_size) {
  if (found.has_moof) return input_error(ErrorKind::Unsupported, path, "fragmented MP4 (moof boxes) is not supported");
  if (!found.first_mdat) return input_error(ErrorKind::InvalidData, path, "no media data (mdat box)");
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
  if (mdat.end() > file_size) {
    return input_error(ErrorKind::UnexpectedEof, path,
                       format_text("the media data ends {} bytes before its declared end; the file is truncated",
                                   mdat.end() - file_size));
  }
  return success();
}

/// The trailer start when the input ends with an Insta360 trailer.
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

Result<ReadResult> read_inputs(std::vector<InputFile>& inputs, const std::vector<std::string>& paths,
                               const ProgressCallback& progress) {
  ReadResult result;
  Desc& desc = result.desc;
  const std::size_t count = inputs.size();
  for (std::size_t i = 0; i < count; ++i) {
    BufferedReader reader(*inputs[i].file);
    result.total_size += inputs[i].size;

    REELKNIT_ASSIGN_OR_RETURN(const TopLevel found, scan_top_level(reader, inputs[i].size));
    REELKNIT_TRY(check_media_layout(found, paths[i], inputs[i].size));
    const BoxHeader& mdat = *found.first_mdat;
    desc.mdat_spans.push_back(MdatSpan{std::nullopt, mdat.payload_position(), mdat.payload_size()});
    desc.mdat_position = mdat.payload_position();

    if (!result.has_trailer) {
      REELKNIT_ASSIGN_OR_RETURN(const auto trailer_start, find_trailer(reader, inputs[i].size));
      if (trailer_start) {
        result.has_trailer = true;
        // Only the first input's own trailer bounds the walk of its boxes.
        if (i == 0) result.write_limit = *trailer_start;
      }
    }

    const auto marks = mark_tables(desc);
    REELKNIT_TRY(reader.seek(SeekFrom::start(0)));
    REELKNIT_TRY(read_desc(reader, desc, 0, NO_LIMIT, i));
    REELKNIT_TRY(check_chunks(desc, marks, found, paths[i]));
    finish_input(desc, i);
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
  if (progress) progress(1.0);
  // The last buffered bytes reach the file here: a full disk now is still a failed join.
  return out.release();
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
