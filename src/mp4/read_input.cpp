#include "mp4/read_input.h"

#include <optional>

#include "base/format.h"
#include "base/log_line.h"
#include "mp4/box.h"
#include "mp4/merge_descriptions.h"
#include "mp4/read_desc.h"
#include "mp4/track_kinds.h"

namespace reelknit {
namespace {

/// What the scan of one input's top-level boxes found.
struct TopLevel {
  std::optional<BoxHeader> first_mdat;
  /// The first box that declares more bytes than the file holds before its end (or its trailer).
  std::optional<BoxHeader> overrun;
  std::size_t mdat_count = 0;
  bool has_moov = false;
  bool has_moof = false;
};

/// Walks the top-level boxes up to `box_part_end`. The first `mdat` is the
/// input's media data; every box is looked at so that a file the join cannot
/// carry whole is refused with a reason.
Result<TopLevel> scan_top_level(BufferedReader& reader, std::uint64_t box_part_end, std::string_view input_name) {
  TopLevel found;
  REELKNIT_TRY(reader.seek(SeekFrom::start(0)));
  for (;;) {
    auto next = next_box(reader, box_part_end);
    if (!next) return input_error(next.error().kind(), input_name, next.error().message());
    if (!*next) return found;
    const BoxHeader header = **next;
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
    if (header.end() > box_part_end) {
      // A recording cut short (the battery died): whatever this box declares is not all there.
      found.overrun = header;
      return found;
    }
    REELKNIT_TRY(reader.seek(SeekFrom::start(header.end())));
  }
}

Error truncated(const BoxHeader& box, std::string_view input_name, std::uint64_t box_part_end) {
  return input_error(ErrorKind::UnexpectedEof, input_name,
                     format_text("the {} box at offset {} declares {} bytes, {} more than the file holds; the file is "
                                 "truncated or damaged",
                                 box_type_text(box.type), box.position, box.size, box.end() - box_part_end));
}

/// Refuses an input whose media data or movie the join cannot carry whole.
Status check_media_layout(const TopLevel& found, std::string_view input_name, std::uint64_t box_part_end) {
  if (found.has_moof) {
    return input_error(ErrorKind::Unsupported, input_name, "fragmented MP4 (moof boxes) is not supported");
  }
  if (found.overrun && found.overrun->type != BOX_MDAT) return truncated(*found.overrun, input_name, box_part_end);
  if (!found.first_mdat) return input_error(ErrorKind::InvalidData, input_name, "no media data (mdat box)");
  if (!found.has_moov) {
    return input_error(ErrorKind::InvalidData, input_name,
                       "no movie box (moov); the recording may have been cut short");
  }
  const BoxHeader& mdat = *found.first_mdat;
  if (mdat.end() > box_part_end) {
    return input_error(ErrorKind::UnexpectedEof, input_name,
                       format_text("the media data ends {} bytes before its declared end; the file is truncated",
                                   mdat.end() - box_part_end));
  }
  return success();
}

Status check_chunks(const Desc& desc, const std::vector<TableMarks>& marks, const TopLevel& found,
                    std::string_view input_name) {
  const auto problem = find_chunk_outside_span(desc, marks, desc.mdat_spans.back());
  if (!problem) return success();
  if (found.mdat_count > 1) {
    return input_error(ErrorKind::Unsupported, input_name,
                       format_text("track {} keeps media data outside the first mdat box; media data in more than one "
                                   "box is not supported",
                                   problem->track_slot + 1));
  }
  return input_error(ErrorKind::InvalidData, input_name,
                     format_text("chunk {} of track {} ({} bytes at offset {}) lies outside the media data (mdat)",
                                 problem->chunk_number, problem->track_slot + 1, problem->bytes, problem->offset));
}

Status check_sample_tables(const Desc& desc, const std::vector<TableMarks>& marks, bool more_inputs_follow,
                           std::string_view input_name) {
  const auto problem = find_sample_table_mismatch(desc, marks, more_inputs_follow);
  if (!problem) return success();
  if (problem->runs_misplaced) {
    return input_error(ErrorKind::InvalidData, input_name,
                       format_text("the sample-to-chunk table (stsc) of track {} does not describe its {} chunks; the "
                                   "sample tables are damaged",
                                   problem->track_slot + 1, problem->chunks));
  }
  return input_error(ErrorKind::InvalidData, input_name,
                     format_text("the chunks of track {} hold {} samples but its sample-size table (stsz) lists {}; "
                                 "the sample tables are damaged, and the next input's samples would be misplaced",
                                 problem->track_slot + 1, problem->samples_in_chunks, problem->samples_listed));
}

/// An error the walk made itself names the input; an error of the system
/// (the context log says where) stays as the system gave it.
Error about_input(Error error, std::string_view input_name) {
  if (error.os_error() != 0 || error.kind() == ErrorKind::UnexpectedEof) return error;
  return input_error(error.kind(), input_name, error.message());
}

/// Which track of the first input each of this input's tracks continues.
Status match_to_first_input(BufferedReader& reader, Desc& desc, std::size_t input_index, std::uint64_t box_part_end,
                            std::string_view input_name) {
  REELKNIT_ASSIGN_OR_RETURN(const std::vector<TrackKind> kinds, read_track_kinds(reader, box_part_end));
  if (input_index == 0) {
    desc.first_input_kinds = kinds;
    return success();
  }
  auto slots = match_tracks(desc.first_input_kinds, kinds);
  if (!slots) return about_input(std::move(slots).error(), input_name);
  desc.input.track_slots = std::move(*slots);
  return success();
}

}  // namespace

Error input_error(ErrorKind kind, std::string_view input_name, std::string_view why) {
  return Error(kind, format_text("{}: {}", input_name, why));
}

Status read_input(BufferedReader& reader, Desc& desc, std::size_t input_index, std::uint64_t box_part_end,
                  bool more_inputs_follow, std::string_view input_name) {
  REELKNIT_ASSIGN_OR_RETURN(const TopLevel found, scan_top_level(reader, box_part_end, input_name));
  REELKNIT_TRY(check_media_layout(found, input_name, box_part_end));
  REELKNIT_TRY(match_to_first_input(reader, desc, input_index, box_part_end, input_name));
  const BoxHeader& mdat = *found.first_mdat;
  desc.mdat_spans.push_back(MdatSpan{std::nullopt, mdat.payload_position(), mdat.payload_size()});
  const auto marks = mark_tables(desc);
  REELKNIT_TRY(reader.seek(SeekFrom::start(0)));
  if (auto read = read_desc(reader, desc, 0, box_part_end, input_index); !read) {
    return about_input(std::move(read).error(), input_name);
  }
  REELKNIT_TRY(check_chunks(desc, marks, found, input_name));
  REELKNIT_TRY(check_sample_tables(desc, marks, more_inputs_follow, input_name));
  if (const auto slot = find_offsets_without_table(desc)) {
    return input_error(ErrorKind::Unsupported, input_name,
                       format_text("track {} has chunk offsets, but the first input's track {} has no chunk-offset "
                                   "table (stco or co64) to carry them",
                                   *slot + 1, *slot + 1));
  }
  if (auto merged = merge_sample_descriptions(desc, marks, input_index); !merged) {
    return input_error(merged.error().kind(), input_name, merged.error().message());
  }
  merge_sample_groups(desc, input_index);
  finish_input(desc, input_index);
  return success();
}

}  // namespace reelknit
