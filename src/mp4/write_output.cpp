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
  /// The track being written has its edit list in place.
  bool edit_box_written = false;
};

Result<std::uint64_t> write_level(Writer& w, std::uint64_t track_index, std::uint64_t list_end, int depth,
                                  std::uint32_t parent);

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
  REELKNIT_ASSIGN_OR_RETURN(const std::uint64_t children,
                            write_level(w, track_index, header.end(), depth + 1, header.type));
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
  // Each input's media data keeps its offset within a block, so that a file
  // system that shares blocks can share the whole ones instead of copying
  // them. The gap before it is zeros no chunk points into. The same layout on
  // every file system: the output does not depend on where it was written.
  const std::uint64_t granularity = clone_granularity(w.out.sink().file().native_handle());
  std::uint64_t position = media_data_position;
  std::uint64_t unpadded_base = 0;
  for (const MdatSpan& span : w.desc.mdat_spans) {
    const std::uint64_t base = unpadded_base;
    unpadded_base += span.size;
    if (!span.input_index || *span.input_index >= w.inputs.size()) continue;
    const std::uint64_t gap = (span.offset % granularity + granularity - position % granularity) % granularity;
    REELKNIT_TRY(w.out.write(std::vector<std::uint8_t>(gap, 0)));
    position += gap;
    REELKNIT_DEBUG(LOG_TARGET_WRITER, "Copying the media data of input {}: {} bytes from offset {} to {}",
                   *span.input_index + 1, span.size, span.offset, position);
    File& input = *w.inputs[*span.input_index].file;
    REELKNIT_ASSIGN_OR_RETURN(const std::uint64_t resume, input.position());
    REELKNIT_TRY(place_media_data(input, span.offset, span.size, granularity, w.out));
    REELKNIT_TRY(input.seek(SeekFrom::start(resume)));
    w.written.placed_media.push_back(PlacedMedia{base, span.size, position});
    position += span.size;
    new_size += gap + span.size;
  }
  REELKNIT_TRY(patch_be64_at(w.out, size_field, new_size));
  return new_size;
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

/// Which fields of a header box get which merged values.
struct DurationPatch {
  std::optional<std::uint64_t> field;  ///< the duration, counted from the version byte; none leaves the box as copied
  std::uint64_t value = 0;
  /// The movie or media timescale, where the join chose a finer one than the first input's.
  std::optional<std::uint32_t> timescale;
};

/// The time a track of the output lasts in the movie timescale: what its edits present.
std::uint64_t track_duration(const Desc& desc, const TrackDesc& track) {
  if (!track.edits.empty()) return presented_duration(track);
  return convert_duration(track.media_duration, track.mdhd_timescale, desc.movie_timescale);
}

DurationPatch duration_patch(const Writer& w, const BoxHeader& header, std::uint8_t version, std::uint64_t track_index) {
  const bool wide = version == 1;
  const Desc& desc = w.desc;
  if (header.type == BOX_MVHD) {
    const bool finer = desc.movie_timescale != desc.first_movie_timescale;
    return DurationPatch{wide ? 24u : 16u, add_saturated(desc.mvhd_duration, desc.last_input_late_by),
                         finer ? std::optional<std::uint32_t>(desc.movie_timescale) : std::nullopt};
  }
  // A track beyond the slots has no merged values: its boxes stay as they are.
  if (track_index >= desc.tracks.size()) return DurationPatch{};
  const TrackDesc& track = desc.tracks[track_index];
  switch (header.type) {
    case BOX_TKHD: return DurationPatch{wide ? 28u : 20u, track_duration(desc, track), std::nullopt};
    case BOX_MDHD: {
      const bool finer = track.mdhd_timescale != track.first_mdhd_timescale;
      return DurationPatch{wide ? 24u : 16u, track.mdhd_duration,
                           finer ? std::optional<std::uint32_t>(track.mdhd_timescale) : std::nullopt};
    }
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
  const DurationPatch patch = duration_patch(w, header, version, track_index);

  // A field that lies beyond a too-short box would land on the next box: leave such a box as copied.
  const bool fits = patch.field && *patch.field + (wide ? 8 : 4) <= header.payload_size();
  REELKNIT_ASSIGN_OR_RETURN(const std::uint64_t start, w.out.position());
  std::uint64_t new_size;
  bool written_wide = wide;
  if (fits && version == 0 && patch.value > std::numeric_limits<std::uint32_t>::max()) {
    REELKNIT_TRY(w.first.seek(SeekFrom::start(header.payload_position() + 4)));
    REELKNIT_ASSIGN_OR_RETURN(new_size, write_widened_header(w, header, version_and_flags, patch.value));
    written_wide = true;
  } else {
    REELKNIT_ASSIGN_OR_RETURN(new_size, copy_box(w, header));
    if (fits) {
      const std::uint64_t at = start + (new_size - header.payload_size()) + *patch.field;
      if (wide) {
        REELKNIT_TRY(patch_be64_at(w.out, at, patch.value));
      } else {
        REELKNIT_TRY(patch_be32_at(w.out, at, static_cast<std::uint32_t>(patch.value)));
      }
    }
  }
  // The timescale stands just before the duration in the movie and media headers.
  if (fits && patch.timescale) {
    const std::uint64_t payload = start + (new_size - header.payload_size() - (written_wide && !wide ? 12 : 0));
    REELKNIT_TRY(patch_be32_at(w.out, payload + (written_wide ? 20 : 12), *patch.timescale));
  }
  return new_size;
}

/// The output's edit list for a track, in a new `edts` box. Version 1 only
/// where a value needs 64 bits.
Result<std::uint64_t> write_edit_box(Writer& w, const TrackDesc& track) {
  bool wide = false;
  for (const EditEntry& edit : track.edits) {
    if (edit.duration > std::numeric_limits<std::uint32_t>::max() || edit.media_time > std::numeric_limits<std::int32_t>::max()) {
      wide = true;
    }
  }
  const std::uint64_t elst_size = 16 + track.edits.size() * (wide ? 20 : 12);
  const std::uint64_t edts_size = 8 + elst_size;
  if (edts_size > std::numeric_limits<std::uint32_t>::max()) {
    return Error(ErrorKind::Unsupported, "the output's edit list would need more than 4 GiB");
  }
  REELKNIT_DEBUG(LOG_TARGET_WRITER, "Writing new edts with {} edits", track.edits.size());
  REELKNIT_TRY(w.out.write_be32(static_cast<std::uint32_t>(edts_size)));
  REELKNIT_TRY(w.out.write_be32(BOX_EDTS));
  REELKNIT_TRY(w.out.write_be32(static_cast<std::uint32_t>(elst_size)));
  REELKNIT_TRY(w.out.write_be32(BOX_ELST));
  REELKNIT_TRY(w.out.write(Bytes4{static_cast<std::uint8_t>(wide ? 1 : 0), 0, 0, 0}));
  REELKNIT_TRY(w.out.write_be32(static_cast<std::uint32_t>(track.edits.size())));
  for (const EditEntry& edit : track.edits) {
    if (wide) {
      REELKNIT_TRY(w.out.write_be64(edit.duration));
      REELKNIT_TRY(w.out.write_be64(static_cast<std::uint64_t>(edit.media_time)));
    } else {
      REELKNIT_TRY(w.out.write_be32(static_cast<std::uint32_t>(edit.duration)));
      REELKNIT_TRY(w.out.write_be32(static_cast<std::uint32_t>(static_cast<std::int32_t>(edit.media_time))));
    }
    REELKNIT_TRY(w.out.write_be32(edit.rate));
  }
  return edts_size;
}

/// An edit list that shows the whole media from its start, at normal speed,
/// says nothing a player would not do without one.
bool edits_say_nothing(const TrackDesc& track) {
  return track.edits.size() == 1 && track.edits.front().media_time == 0 && track.edits.front().rate == 0x10000;
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
  if (w.written.media_data_position) return write_chunk_offsets(out, track, w.written.placed_media);
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
    case BOX_STZ2:
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
  // The reader refused a table beyond the last slot before anything was written.
  if (track_index >= w.desc.tracks.size()) return copy_unchanged(w, header);
  const TrackDesc& track = w.desc.tracks[track_index];
  REELKNIT_ASSIGN_OR_RETURN(const std::uint64_t start, w.out.position());
  std::uint8_t head[12] = {};
  // Chunk offsets are written 64 bits wide, and compact sample sizes as plain ones.
  store_be32(head + 4, header.type == BOX_STCO ? BOX_CO64 : header.type == BOX_STZ2 ? BOX_STSZ : header.type);
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

/// A table the first input's track lacks but a later input's has (composition
/// offsets, sync samples): it is written after the time-to-sample table.
Result<std::uint64_t> write_tables_only_later_inputs_have(Writer& w, const BoxHeader& stts, std::uint64_t track_index) {
  const TrackDesc& track = w.desc.tracks[track_index];
  std::uint64_t written = 0;
  for (const auto& [type, presence] : {std::pair{BOX_CTTS, &track.ctts_presence}, std::pair{BOX_STSS, &track.stss_presence}}) {
    if (!presence->seen() || presence->in_first_input) continue;
    BoxHeader added = stts;
    added.type = type;
    REELKNIT_ASSIGN_OR_RETURN(const std::uint64_t size, write_new_table(w, added, track_index));
    written += size;
  }
  return written;
}

Result<std::uint64_t> write_track_box(Writer& w, const BoxHeader& header, std::uint64_t track_index, int depth) {
  const TrackDesc& track = w.desc.tracks[track_index];
  if (header.type == BOX_EDTS) {
    // The first input's edits are replaced by every input's; a track without samples keeps its own.
    if (track.edits.empty()) return copy_unchanged(w, header);
    w.edit_box_written = true;
    return write_edit_box(w, track);
  }
  // BOX_MDIA: a track that needs an edit list the first input's track lacks gets one before its media.
  std::uint64_t inserted = 0;
  if (!w.edit_box_written && !track.edits.empty() && !edits_say_nothing(track)) {
    REELKNIT_ASSIGN_OR_RETURN(inserted, write_edit_box(w, track));
  }
  w.edit_box_written = true;
  REELKNIT_ASSIGN_OR_RETURN(const std::uint64_t media, write_container(w, header, track_index, depth));
  return inserted + media;
}

Result<std::uint64_t> write_box(Writer& w, const BoxHeader& header, std::uint64_t track_index, int depth,
                                std::uint32_t parent) {
  const bool in_a_track = track_index < w.desc.tracks.size();
  if (header.type == BOX_TRAK) w.edit_box_written = false;
  if (parent == BOX_TRAK && in_a_track && (header.type == BOX_EDTS || header.type == BOX_MDIA)) {
    return write_track_box(w, header, track_index, depth);
  }
  if (is_container(header.type, false)) return write_container(w, header, track_index, depth);
  // Media data is only ever found at the top level, in the first mdat; an mdat
  // nested elsewhere, or a second one, is not referred to and is copied like any other box.
  if (header.type == BOX_MDAT && depth == 0 && !w.written.media_data_position) {
    return write_merged_mdat(w, header);
  }
  if (header.type == BOX_MVHD || header.type == BOX_TKHD || header.type == BOX_MDHD) {
    return write_patched_duration(w, header, track_index);
  }
  if (header.type == BOX_STTS && parent == BOX_STBL && in_a_track) {
    REELKNIT_ASSIGN_OR_RETURN(const std::uint64_t stts, write_new_table(w, header, track_index));
    REELKNIT_ASSIGN_OR_RETURN(const std::uint64_t added, write_tables_only_later_inputs_have(w, header, track_index));
    return stts + added;
  }
  if (is_sample_table(header.type)) return write_new_table(w, header, track_index);
  if (header.type == BOX_STSD) return write_stsd(w, header, track_index);
  if (header.type == BOX_SBGP || header.type == BOX_SGPD) return write_sample_group(w, header, track_index);
  return copy_unchanged(w, header);
}

Result<std::uint64_t> write_level(Writer& w, std::uint64_t track_index, std::uint64_t list_end, int depth,
                                  std::uint32_t parent) {
  if (depth > MAX_BOX_DEPTH) {
    return Error(ErrorKind::InvalidData, format_text("the first input nests boxes deeper than {} levels", MAX_BOX_DEPTH));
  }
  DirectReader reader(w.first);
  std::uint64_t written = 0;
  for (;;) {
    REELKNIT_ASSIGN_OR_RETURN(const auto next, next_box(reader, list_end));
    if (!next) return written;
    const BoxHeader header = *next;
    REELKNIT_ASSIGN_OR_RETURN(const std::uint64_t new_size, write_box(w, header, track_index, depth, parent));
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
  REELKNIT_TRY(write_level(w, 0, box_part_end, 0, 0));
  if (!w.written.pending_chunk_offsets.empty()) {
    if (!w.written.media_data_position) {
      return Error(ErrorKind::InvalidData, "the first input has chunk-offset tables but no media data (mdat) box");
    }
    REELKNIT_TRY(patch_pending_chunk_offsets(output, desc, w.written));
  }
  return w.written;
}

}  // namespace reelknit
