#include "mp4/write_output.h"

#include <algorithm>
#include <array>
#include <limits>

#include "mp4/box.h"
#include "io/buffered_reader.h"
#include "base/format.h"
#include "base/log_line.h"

namespace reelknit {
namespace {

using Bytes4 = std::array<std::uint8_t, 4>;

/// What every level of the walk shares.
struct Writer {
  std::span<InputFile> inputs;
  OutputStream& out;
  const Desc& desc;
  File& first;
  /// What the walk has learned so far; the merged media data takes the place
  /// of the first top-level `mdat` only, and sets its position.
  WrittenMovie written;
};

Result<std::uint64_t> write_level(Writer& w, std::uint64_t track_index, std::uint64_t list_end, int depth);

Error too_large(const BoxHeader& header, std::uint64_t new_size) {
  return Error(ErrorKind::Unsupported,
               format_text("the output's {} box would be {} bytes, more than its 32-bit size field holds",
                           box_type_text(header.type), new_size));
}

/// Copies `count` bytes. An input that ends first (it shrank since it was
/// read) fails the join: the sizes already written count on every byte.
Status copy_exactly(File& input, std::uint64_t count, OutputStream& out) {
  REELKNIT_ASSIGN_OR_RETURN(const std::uint64_t copied, copy_to_output(input, count, out));
  if (copied != count) return unexpected_eof();
  return success();
}

Status write_header_of_size(Writer& w, const BoxHeader& header, std::uint64_t new_size) {
  if (header.header_size == LARGE_HEADER_SIZE) {
    REELKNIT_TRY(w.out.write_be32(1));
    REELKNIT_TRY(w.out.write_be32(header.type));
    return w.out.write_be64(new_size);
  }
  REELKNIT_TRY(w.out.write_be32(static_cast<std::uint32_t>(new_size)));
  return w.out.write_be32(header.type);
}

/// Copies a box as it is, with one exception: a box of size 0 runs to the end
/// of its list, which in the output is somewhere else, so it gets its size.
/// Returns the output size; the first input is left after the box.
Result<std::uint64_t> copy_box(Writer& w, const BoxHeader& header) {
  if (!header.runs_to_list_end) {
    REELKNIT_TRY(w.first.seek(SeekFrom::start(header.position)));
    REELKNIT_TRY(copy_exactly(w.first, header.size, w.out));
    return header.size;
  }
  BoxHeader sized = header;
  if (header.size > std::numeric_limits<std::uint32_t>::max()) sized.header_size = LARGE_HEADER_SIZE;
  const std::uint64_t new_size = header.payload_size() + sized.header_size;
  REELKNIT_TRY(write_header_of_size(w, sized, new_size));
  REELKNIT_TRY(w.first.seek(SeekFrom::start(header.payload_position())));
  REELKNIT_TRY(copy_exactly(w.first, header.payload_size(), w.out));
  return new_size;
}

Result<std::uint64_t> copy_unchanged(Writer& w, const BoxHeader& header) {
  REELKNIT_DEBUG(LOG_TARGET_WRITER, "Writing original {}, offset: {}, size: {}", box_type_text(header.type),
                 header.position, header.size);
  return copy_box(w, header);
}

Result<std::uint64_t> write_container(Writer& w, const BoxHeader& header, std::uint64_t track_index, int depth) {
  REELKNIT_TRY(w.first.seek(SeekFrom::start(header.position)));
  REELKNIT_ASSIGN_OR_RETURN(const std::uint64_t start, w.out.position());
  std::uint8_t head[LARGE_HEADER_SIZE];
  const auto head_bytes = std::span(head, header.header_size);
  REELKNIT_TRY(read_exact(w.first, head_bytes));
  REELKNIT_TRY(w.out.write(head_bytes));
  REELKNIT_ASSIGN_OR_RETURN(const std::uint64_t children, write_level(w, track_index, header.end(), depth + 1));
  const std::uint64_t new_size = header.header_size + children;
  if (new_size == header.size && !header.runs_to_list_end) return new_size;
  REELKNIT_DEBUG(LOG_TARGET_WRITER, "Patching size from {} to {}", header.size, new_size);
  if (header.header_size == LARGE_HEADER_SIZE) {
    REELKNIT_TRY(patch_be64_at(w.out, start + 8, new_size));
  } else {
    if (new_size > std::numeric_limits<std::uint32_t>::max()) return too_large(header, new_size);
    REELKNIT_TRY(patch_be32_at(w.out, start, static_cast<std::uint32_t>(new_size)));
  }
  return new_size;
}

Result<std::uint64_t> write_merged_mdat(Writer& w, const BoxHeader& header) {
  REELKNIT_DEBUG(LOG_TARGET_WRITER, "Merging mdat's, offset: {}, size: {}", header.position, header.size);
  // Always the 16-byte form: the merged media data easily passes 4 GiB.
  std::uint8_t head[LARGE_HEADER_SIZE] = {};
  store_be32(head, 1);
  store_be32(head + 4, BOX_MDAT);
  REELKNIT_TRY(w.out.write(head));
  REELKNIT_ASSIGN_OR_RETURN(const std::uint64_t media_data_position, w.out.position());
  w.written.media_data_position = media_data_position;
  const std::uint64_t size_field = media_data_position - 8;
  std::uint64_t new_size = LARGE_HEADER_SIZE;
  for (const MdatSpan& span : w.desc.mdat_spans) {
    if (!span.input_index || *span.input_index >= w.inputs.size()) continue;
    REELKNIT_DEBUG(LOG_TARGET_WRITER, "Copying the media data of input {}: {} bytes from offset {}",
                   *span.input_index + 1, span.size, span.offset);
    File& input = *w.inputs[*span.input_index].file;
    REELKNIT_ASSIGN_OR_RETURN(const std::uint64_t resume, input.position());
    REELKNIT_TRY(input.seek(SeekFrom::start(span.offset)));
    REELKNIT_TRY(copy_exactly(input, span.size, w.out));
    REELKNIT_TRY(input.seek(SeekFrom::start(resume)));
    new_size += span.size;
  }
  REELKNIT_TRY(patch_be64_at(w.out, size_field, new_size));
  return new_size;
}

/// The first edit that plays media (media_time not −1).
struct MediaEdit {
  std::uint64_t field = 0;       ///< its segment duration, counted from the version byte
  std::uint64_t media_time = 0;  ///< where in the media it starts (a negative time counts as 0)
};

/// The first edit of the list that plays media; none when every edit is empty.
Result<std::optional<MediaEdit>> find_first_media_edit(Writer& w, const BoxHeader& header, std::uint8_t version) {
  BufferedReader reader(w.first);
  REELKNIT_TRY(reader.seek(SeekFrom::start(header.payload_position() + 4)));
  if (header.payload_size() < 8) return std::optional<MediaEdit>();
  REELKNIT_ASSIGN_OR_RETURN(const std::uint32_t count, reader.read_be32());
  const std::uint64_t entry_size = version == 1 ? 20 : 12;
  const std::uint64_t room = (header.payload_size() - 8) / entry_size;
  for (std::uint64_t k = 0; k < std::min<std::uint64_t>(count, room); ++k) {
    std::uint8_t entry[20];
    REELKNIT_TRY(reader.read_exact(std::span(entry, entry_size)));
    const std::int64_t media_time = version == 1 ? static_cast<std::int64_t>(load_be64(entry + 8))
                                                 : static_cast<std::int32_t>(load_be32(entry + 4));
    if (media_time != -1) {
      return std::optional<MediaEdit>(MediaEdit{8 + k * entry_size, static_cast<std::uint64_t>(std::max<std::int64_t>(media_time, 0))});
    }
  }
  return std::optional<MediaEdit>();
}

/// A version-0 movie, track or media header whose merged duration needs more
/// than 32 bits (hours of footage at a fine timescale) is written in its
/// version-1 form: the two times and the duration widen to 64 bits, the rest
/// is kept. The first input stands after the version and flags; so it does for the edit list below.
Result<std::uint64_t> write_widened_header(Writer& w, const BoxHeader& header, const std::uint8_t (&version_and_flags)[4],
                                           std::uint64_t duration) {
  // creation, modification, then the timescale (or track id and a reserved word), then the duration
  const std::size_t middle = header.type == BOX_TKHD ? 8 : 4;
  std::uint8_t fields[4 + 4 + 8 + 4];
  const auto v0_fields = std::span(fields, 8 + middle + 4);
  REELKNIT_TRY(read_exact(w.first, v0_fields));
  const std::uint64_t new_size = header.size + 12;
  REELKNIT_TRY(write_header_of_size(w, header, new_size));
  REELKNIT_TRY(w.out.write(Bytes4{1, version_and_flags[1], version_and_flags[2], version_and_flags[3]}));
  REELKNIT_TRY(w.out.write_be64(load_be32(fields)));
  REELKNIT_TRY(w.out.write_be64(load_be32(fields + 4)));
  REELKNIT_TRY(w.out.write(std::span(fields + 8, middle)));
  REELKNIT_TRY(w.out.write_be64(duration));
  REELKNIT_TRY(copy_exactly(w.first, header.payload_size() - 4 - v0_fields.size(), w.out));
  return new_size;
}

/// The edit list counterpart: every entry widens to 64-bit duration and media time.
Result<std::uint64_t> write_widened_elst(Writer& w, const BoxHeader& header, const std::uint8_t (&version_and_flags)[4],
                                         std::uint64_t patched_field, std::uint64_t duration) {
  std::uint8_t count_bytes[4];
  REELKNIT_TRY(read_exact(w.first, count_bytes));
  const std::uint64_t entries = std::min<std::uint64_t>(load_be32(count_bytes), (header.payload_size() - 8) / 12);
  const std::uint64_t new_size = header.size + 8 * entries;
  REELKNIT_TRY(write_header_of_size(w, header, new_size));
  REELKNIT_TRY(w.out.write(Bytes4{1, version_and_flags[1], version_and_flags[2], version_and_flags[3]}));
  REELKNIT_TRY(w.out.write(count_bytes));
  BufferedReader reader(w.first);
  for (std::uint64_t k = 0; k < entries; ++k) {
    std::uint8_t entry[12];
    REELKNIT_TRY(reader.read_exact(entry));
    const bool patched = 8 + 12 * k == patched_field;
    REELKNIT_TRY(w.out.write_be64(patched ? duration : load_be32(entry)));
    const auto media_time = static_cast<std::int32_t>(load_be32(entry + 4));  // −1 stays −1
    REELKNIT_TRY(w.out.write_be64(static_cast<std::uint64_t>(static_cast<std::int64_t>(media_time))));
    REELKNIT_TRY(w.out.write(std::span(entry + 8, 4)));
  }
  REELKNIT_ASSIGN_OR_RETURN(const std::uint64_t after_entries, reader.position());
  REELKNIT_TRY(w.first.seek(SeekFrom::start(after_entries)));
  REELKNIT_TRY(copy_exactly(w.first, header.end() - after_entries, w.out));
  return new_size;
}

/// Which field of a header box gets which merged duration.
struct DurationPatch {
  std::optional<std::uint64_t> field;  ///< counted from the version byte; none leaves the box as copied
  std::uint64_t value = 0;
};

Result<DurationPatch> edit_list_patch(Writer& w, const BoxHeader& header, std::uint8_t version, const TrackDesc& track) {
  REELKNIT_ASSIGN_OR_RETURN(const std::optional<MediaEdit> edit, find_first_media_edit(w, header, version));
  if (!edit) return DurationPatch{};
  // The edit plays the media from its media_time on (AAC priming, say): it can
  // cover what lies after that point and no more. The edit is in movie units,
  // the media duration in media units: compare like with like.
  const std::uint64_t media_start = std::min(edit->media_time, track.mdhd_duration);
  const std::uint64_t media_in_movie_units =
      convert_duration(track.mdhd_duration - media_start, track.mdhd_timescale, w.desc.movie_timescale);
  const std::uint64_t value =
      track.elst_segment_duration != 0 ? std::max(track.elst_segment_duration, media_in_movie_units) : 0;
  return DurationPatch{edit->field, value};
}

Result<DurationPatch> duration_patch(Writer& w, const BoxHeader& header, std::uint8_t version,
                                     std::uint64_t track_index) {
  const bool wide = version == 1;
  if (header.type == BOX_MVHD) return DurationPatch{wide ? 24u : 16u, w.desc.mvhd_duration};
  // A track beyond the slots has no merged values: its boxes stay as they are.
  if (track_index >= w.desc.tracks.size()) return DurationPatch{};
  const TrackDesc& track = w.desc.tracks[track_index];
  switch (header.type) {
    case BOX_TKHD: return DurationPatch{wide ? 28u : 20u, track.tkhd_duration};
    case BOX_MDHD: return DurationPatch{wide ? 24u : 16u, track.mdhd_duration};
    case BOX_ELST: return edit_list_patch(w, header, version, track);
    default: return DurationPatch{};
  }
}

Result<std::uint64_t> write_patched_duration(Writer& w, const BoxHeader& header, std::uint64_t track_index) {
  REELKNIT_DEBUG(LOG_TARGET_WRITER, "Writing {} with patched duration, offset: {}, size: {}",
                 box_type_text(header.type), header.position, header.size);
  std::uint8_t version_and_flags[4];
  REELKNIT_TRY(read_exact(w.first, version_and_flags));
  const std::uint8_t version = version_and_flags[0];
  const bool wide = version == 1;
  REELKNIT_ASSIGN_OR_RETURN(const DurationPatch patch, duration_patch(w, header, version, track_index));

  // A field that lies beyond a too-short box would land on the next box: leave such a box as copied.
  const bool fits = patch.field && *patch.field + (wide ? 8 : 4) <= header.payload_size();
  if (fits && version == 0 && patch.value > std::numeric_limits<std::uint32_t>::max()) {
    REELKNIT_TRY(w.first.seek(SeekFrom::start(header.payload_position() + 4)));
    if (header.type == BOX_ELST) return write_widened_elst(w, header, version_and_flags, *patch.field, patch.value);
    return write_widened_header(w, header, version_and_flags, patch.value);
  }
  REELKNIT_ASSIGN_OR_RETURN(const std::uint64_t start, w.out.position());
  REELKNIT_ASSIGN_OR_RETURN(const std::uint64_t new_size, copy_box(w, header));
  if (fits) {
    const std::uint64_t at = start + (new_size - header.payload_size()) + *patch.field;
    if (wide) {
      REELKNIT_TRY(patch_be64_at(w.out, at, patch.value));
    } else {
      REELKNIT_TRY(patch_be32_at(w.out, at, static_cast<std::uint32_t>(patch.value)));
    }
  }
  return new_size;
}

/// Neighbouring runs with the same value become one run.
template <class Entry, class Value>
std::vector<Entry> merge_runs(const std::vector<Entry>& entries, Value Entry::*value) {
  std::vector<Entry> runs;
  runs.reserve(entries.size());
  for (const Entry& entry : entries) {
    if (!runs.empty() && runs.back().*value == entry.*value) {
      runs.back().sample_count += entry.sample_count;
    } else {
      runs.push_back(entry);
    }
  }
  return runs;
}

/// The track's chunk offsets, final when the media data is already placed;
/// otherwise placeholders, patched once it is (the movie comes first).
Status write_chunk_offset_entries(Writer& w, std::uint64_t track_index, const TrackDesc& track) {
  OutputStream& out = w.out;
  REELKNIT_TRY(out.write_be32(static_cast<std::uint32_t>(track.stco.size())));
  if (w.written.media_data_position) return write_chunk_offsets(out, track, *w.written.media_data_position);
  REELKNIT_ASSIGN_OR_RETURN(const std::uint64_t entries_position, out.position());
  w.written.pending_chunk_offsets.push_back(PendingChunkOffsets{track_index, entries_position});
  for (std::size_t k = 0; k < track.stco.size(); ++k) REELKNIT_TRY(out.write_be64(0));
  return success();
}

Status write_table_body(Writer& w, std::uint32_t type, std::uint64_t track_index, const TrackDesc& track) {
  OutputStream& out = w.out;
  switch (type) {
    case BOX_STTS: {
      const auto runs = merge_runs(track.stts, &SttsEntry::sample_delta);
      REELKNIT_TRY(out.write_be32(static_cast<std::uint32_t>(runs.size())));
      for (const SttsEntry& run : runs) {
        REELKNIT_TRY(out.write_be32(run.sample_count));
        REELKNIT_TRY(out.write_be32(run.sample_delta));
      }
      return success();
    }
    case BOX_CTTS: {
      const auto runs = merge_runs(track.ctts, &CttsEntry::sample_offset);
      REELKNIT_TRY(out.write_be32(static_cast<std::uint32_t>(runs.size())));
      for (const CttsEntry& run : runs) {
        REELKNIT_TRY(out.write_be32(run.sample_count));
        REELKNIT_TRY(out.write_be32(run.sample_offset));
      }
      return success();
    }
    case BOX_STSZ:
      REELKNIT_TRY(out.write_be32(track.stsz_sample_size));
      REELKNIT_TRY(out.write_be32(track.stsz_count));
      for (const std::uint32_t size : track.stsz) REELKNIT_TRY(out.write_be32(size));
      return success();
    case BOX_STSS:
      REELKNIT_TRY(out.write_be32(static_cast<std::uint32_t>(track.stss.size())));
      for (const std::uint32_t sample : track.stss) REELKNIT_TRY(out.write_be32(sample));
      return success();
    case BOX_STCO:
    case BOX_CO64: return write_chunk_offset_entries(w, track_index, track);
    case BOX_SDTP: return out.write(track.sdtp);
    case BOX_STSC:
      REELKNIT_TRY(out.write_be32(static_cast<std::uint32_t>(track.stsc.size())));
      for (const StscEntry& entry : track.stsc) {
        REELKNIT_TRY(out.write_be32(entry.first_chunk));
        REELKNIT_TRY(out.write_be32(entry.samples_per_chunk));
        REELKNIT_TRY(out.write_be32(entry.sample_description_index));
      }
      return success();
    default: return success();
  }
}

Result<std::uint64_t> write_new_table(Writer& w, const BoxHeader& header, std::uint64_t track_index) {
  REELKNIT_DEBUG(LOG_TARGET_WRITER, "Writing new {}, offset: {}, size: {}", box_type_text(header.type),
                 header.position, header.size);
  if (track_index >= w.desc.tracks.size()) {
    return Error(ErrorKind::Unsupported,
                 format_text("the first input has more than {} tracks; the merge supports {}", TRACK_SLOTS, TRACK_SLOTS));
  }
  const TrackDesc& track = w.desc.tracks[track_index];
  REELKNIT_ASSIGN_OR_RETURN(const std::uint64_t start, w.out.position());
  std::uint8_t head[12] = {};
  store_be32(head + 4, header.type == BOX_STCO ? BOX_CO64 : header.type);
  if (header.type == BOX_CTTS) head[8] = track.ctts_version;
  REELKNIT_TRY(w.out.write(head));
  REELKNIT_TRY(write_table_body(w, header.type, track_index, track));
  REELKNIT_ASSIGN_OR_RETURN(const std::uint64_t end, w.out.position());
  const std::uint64_t new_size = end - start;
  if (new_size > std::numeric_limits<std::uint32_t>::max()) return too_large(header, new_size);
  REELKNIT_TRY(patch_be32_at(w.out, start, static_cast<std::uint32_t>(new_size)));
  return new_size;
}

/// The first input's sample descriptions, then those that later inputs
/// brought; copied as they are when no input brought any. A timecode track
/// keeps the first input's.
Result<std::uint64_t> write_stsd(Writer& w, const BoxHeader& header, std::uint64_t track_index) {
  if (track_index >= w.desc.tracks.size()) return copy_unchanged(w, header);
  const SampleDescriptions& descriptions = w.desc.tracks[track_index].descriptions;
  if (w.desc.tracks[track_index].is_tmcd || descriptions.entries.size() <= descriptions.first_input_count) {
    return copy_unchanged(w, header);
  }
  const std::vector<SampleEntryBytes>& entries = descriptions.entries;
  REELKNIT_DEBUG(LOG_TARGET_WRITER, "Writing stsd with {} sample descriptions, {} of them from later inputs, "
                 "offset: {}, size: {}", entries.size(), entries.size() - descriptions.first_input_count,
                 header.position, header.size);
  std::uint64_t new_size = header.header_size + 8;
  for (const SampleEntryBytes& entry : entries) new_size += entry.size();
  if (header.header_size == SHORT_HEADER_SIZE && new_size > std::numeric_limits<std::uint32_t>::max()) {
    return too_large(header, new_size);
  }
  std::uint8_t version_and_flags[4];
  REELKNIT_TRY(w.first.seek(SeekFrom::start(header.payload_position())));
  REELKNIT_TRY(read_exact(w.first, version_and_flags));
  REELKNIT_TRY(write_header_of_size(w, header, new_size));
  REELKNIT_TRY(w.out.write(version_and_flags));
  REELKNIT_TRY(w.out.write_be32(static_cast<std::uint32_t>(entries.size())));
  for (const SampleEntryBytes& entry : entries) REELKNIT_TRY(w.out.write(entry));
  return new_size;
}

/// The merged grouping that a sample-group box of the first input belongs
/// to; none for a box too short to name its grouping type.
Result<const SampleGroup*> find_sample_group(Writer& w, const BoxHeader& header, const TrackDesc& track) {
  if (header.payload_size() < 8) return static_cast<const SampleGroup*>(nullptr);
  std::uint8_t head[8];
  REELKNIT_TRY(w.first.seek(SeekFrom::start(header.payload_position())));
  REELKNIT_TRY(read_exact(w.first, head));
  const std::uint32_t grouping_type = load_be32(head + 4);
  for (const SampleGroup& group : track.groups.groups) {
    if (group.first.grouping_type == grouping_type) return &group;
  }
  return static_cast<const SampleGroup*>(nullptr);
}

/// A grouping the inputs share: its description as the first input has it,
/// and every input's runs. One they do not share is left out: its runs would
/// name the first input's samples only.
Result<std::uint64_t> write_sample_group(Writer& w, const BoxHeader& header, std::uint64_t track_index) {
  if (track_index >= w.desc.tracks.size()) return copy_unchanged(w, header);
  const TrackDesc& track = w.desc.tracks[track_index];
  REELKNIT_ASSIGN_OR_RETURN(const SampleGroup* group, find_sample_group(w, header, track));
  if (!group || !group->joined) {
    REELKNIT_DEBUG(LOG_TARGET_WRITER, "Leaving out {}, offset: {}, size: {}", box_type_text(header.type),
                   header.position, header.size);
    return std::uint64_t{0};
  }
  if (header.type == BOX_SGPD) return copy_unchanged(w, header);
  REELKNIT_DEBUG(LOG_TARGET_WRITER, "Writing new sbgp, offset: {}, size: {}", header.position, header.size);
  const auto runs = merge_runs(group->runs, &SbgpEntry::group_description_index);
  const InputSampleGroup& first = group->first;
  const std::uint64_t new_size = 8 + 4 + 4 + (first.sbgp_version == 1 ? 4 : 0) + 4 + 8 * std::uint64_t{runs.size()};
  if (new_size > std::numeric_limits<std::uint32_t>::max()) return too_large(header, new_size);
  std::uint8_t version_and_flags[4];
  REELKNIT_TRY(w.first.seek(SeekFrom::start(header.payload_position())));
  REELKNIT_TRY(read_exact(w.first, version_and_flags));
  REELKNIT_TRY(w.out.write_be32(static_cast<std::uint32_t>(new_size)));
  REELKNIT_TRY(w.out.write_be32(BOX_SBGP));
  REELKNIT_TRY(w.out.write(version_and_flags));
  REELKNIT_TRY(w.out.write_be32(first.grouping_type));
  if (first.sbgp_version == 1) REELKNIT_TRY(w.out.write_be32(first.grouping_type_parameter));
  REELKNIT_TRY(w.out.write_be32(static_cast<std::uint32_t>(runs.size())));
  for (const SbgpEntry& run : runs) {
    REELKNIT_TRY(w.out.write_be32(run.sample_count));
    REELKNIT_TRY(w.out.write_be32(run.group_description_index));
  }
  return new_size;
}

Result<std::uint64_t> write_box(Writer& w, const BoxHeader& header, std::uint64_t track_index, int depth) {
  if (is_container(header.type, false)) return write_container(w, header, track_index, depth);
  // Media data is only ever found at the top level, in the first mdat; an mdat
  // nested elsewhere, or a second one, is not referred to and is copied like any other box.
  if (header.type == BOX_MDAT && depth == 0 && !w.written.media_data_position) {
    return write_merged_mdat(w, header);
  }
  if (header.type == BOX_MVHD || header.type == BOX_TKHD || header.type == BOX_MDHD || header.type == BOX_ELST) {
    return write_patched_duration(w, header, track_index);
  }
  if (is_sample_table(header.type)) return write_new_table(w, header, track_index);
  if (header.type == BOX_STSD) return write_stsd(w, header, track_index);
  if (header.type == BOX_SBGP || header.type == BOX_SGPD) return write_sample_group(w, header, track_index);
  return copy_unchanged(w, header);
}

Result<std::uint64_t> write_level(Writer& w, std::uint64_t track_index, std::uint64_t list_end, int depth) {
  if (depth > MAX_BOX_DEPTH) {
    return Error(ErrorKind::InvalidData, format_text("the first input nests boxes deeper than {} levels", MAX_BOX_DEPTH));
  }
  DirectReader reader(w.first);
  std::uint64_t written = 0;
  for (;;) {
    REELKNIT_ASSIGN_OR_RETURN(const auto next, next_box(reader, list_end));
    if (!next) return written;
    const BoxHeader header = *next;
    REELKNIT_ASSIGN_OR_RETURN(const std::uint64_t new_size, write_box(w, header, track_index, depth));
    if (header.type == BOX_TRAK) ++track_index;
    written += new_size;
    // Whatever a box's writing left unread, the list goes on after the box.
    REELKNIT_TRY(w.first.seek(SeekFrom::start(header.end())));
  }
}

}  // namespace

Result<WrittenMovie> write_output(std::span<InputFile> inputs, OutputStream& output, const Desc& desc,
                                  std::uint64_t box_part_end) {
  Writer w{inputs, output, desc, *inputs.front().file, WrittenMovie{}};
  REELKNIT_TRY(w.first.seek(SeekFrom::start(0)));
  REELKNIT_TRY(write_level(w, 0, box_part_end, 0));
  if (!w.written.pending_chunk_offsets.empty()) {
    if (!w.written.media_data_position) {
      return Error(ErrorKind::InvalidData, "the first input has chunk-offset tables but no media data (mdat) box");
    }
    REELKNIT_TRY(patch_pending_chunk_offsets(output, desc, w.written));
  }
  return w.written;
}

}  // namespace reelknit
