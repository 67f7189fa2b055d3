#include "mp4/desc.h"

#include "mp4/track_seams.h"

#include <algorithm>
#include <limits>
#include <numeric>

namespace reelknit {

std::uint64_t convert_duration(std::uint64_t duration, std::uint32_t from, std::uint32_t to) {
  constexpr std::uint64_t largest = std::numeric_limits<std::uint64_t>::max();
  // From timescale 0 a duration is infinite (or, for 0, undefined: 0).
  if (from == 0) return duration == 0 || to == 0 ? 0 : largest;
  // In integers: the ceiling of an exact quotient must not round up. In double
  // precision 48000 × (49024 ÷ 48000) comes out a hair above 49024, and a track
  // converted to its own timescale grew by one unit per input.
  const std::uint64_t whole = duration / from;
  const std::uint64_t rest = duration % from;
  const std::uint64_t rest_converted = (rest * to + from - 1) / from;  // rest × to < 2^64: both below 2^32
  if (whole != 0 && to > (largest - rest_converted) / whole) return largest;
  return whole * to + rest_converted;
}

namespace {

constexpr std::uint64_t U64_MAX = std::numeric_limits<std::uint64_t>::max();

/// Per-sample tables that some inputs lack: the samples of an input without
/// them get composition offset 0, are sync samples, have unknown dependencies.
void cover_samples_without_tables(TrackDesc& track, std::size_t input_index, std::uint32_t added_samples) {
  if (added_samples == 0) return;
  if (track.ctts_presence.missing_from(input_index)) {
    track.ctts.push_back(CttsEntry{added_samples, 0});
    track.ctts_samples += added_samples;
  }
  // A track without a sync-sample table has only sync samples.
  if (track.stss_presence.missing_from(input_index)) {
    for (std::uint32_t k = 1; k <= added_samples; ++k) track.stss.push_back(track.sample_base + k);
  }
  // Dependency flags are kept only where the first input's track has them: the output has their table then.
  if (track.sdtp_presence.in_first_input && track.sdtp_presence.missing_from(input_index)) {
    track.sdtp.insert(track.sdtp.end(), added_samples, 0);
  }
}

}  // namespace

std::optional<std::uint32_t> common_timescale(std::uint32_t a, std::uint32_t b) {
  if (a == 0) return b;
  if (b == 0) return a;
  const std::uint64_t multiple = std::uint64_t{a} / std::gcd(a, b) * b;
  if (multiple > std::numeric_limits<std::uint32_t>::max()) return std::nullopt;
  return static_cast<std::uint32_t>(multiple);
}

bool rescale_track(TrackDesc& track, std::uint32_t to) {
  if (track.mdhd_timescale == 0 || to == track.mdhd_timescale) {
    track.mdhd_timescale = to;
    return true;
  }
  const std::uint64_t factor = to / track.mdhd_timescale;
  constexpr std::uint64_t U32_MAX = std::numeric_limits<std::uint32_t>::max();
  for (const SttsEntry& entry : track.stts) {
    if (entry.sample_delta * factor > U32_MAX) return false;
  }
  // Offsets of a version-1 table are signed; version 0 ones are as large as 32 bits go.
  const bool is_signed = track.ctts_version == 1;
  for (const CttsEntry& entry : track.ctts) {
    const std::int64_t value = is_signed ? std::int64_t{static_cast<std::int32_t>(entry.sample_offset)}
                                         : std::int64_t{entry.sample_offset};
    const std::int64_t scaled = value * static_cast<std::int64_t>(factor);
    if (is_signed ? (scaled > std::numeric_limits<std::int32_t>::max() || scaled < std::numeric_limits<std::int32_t>::min())
                  : scaled > static_cast<std::int64_t>(U32_MAX)) {
      return false;
    }
  }
  for (SttsEntry& entry : track.stts) entry.sample_delta = static_cast<std::uint32_t>(entry.sample_delta * factor);
  for (CttsEntry& entry : track.ctts) entry.sample_offset = static_cast<std::uint32_t>(entry.sample_offset * factor);
  for (EditEntry& edit : track.edits) {
    if (edit.media_time != -1) {
      edit.media_time = static_cast<std::int64_t>(times_saturated(static_cast<std::uint64_t>(edit.media_time), factor));
    }
  }
  track.media_duration = times_saturated(track.media_duration, factor);
  track.mdhd_duration = times_saturated(track.mdhd_duration, factor);
  track.mdhd_timescale = to;
  return true;
}

void rescale_movie(Desc& desc, std::uint32_t to) {
  if (desc.movie_timescale == 0 || to == desc.movie_timescale) {
    desc.movie_timescale = to;
    return;
  }
  const std::uint64_t factor = to / desc.movie_timescale;
  desc.mvhd_duration = times_saturated(desc.mvhd_duration, factor);
  desc.movie_elapsed = times_saturated(desc.movie_elapsed, factor);
  desc.last_input_late_by = times_saturated(desc.last_input_late_by, factor);
  for (TrackDesc& track : desc.tracks) {
    for (EditEntry& edit : track.edits) edit.duration = times_saturated(edit.duration, factor);
  }
  desc.movie_timescale = to;
}

void append_edit(TrackDesc& track, std::uint32_t movie_timescale, const EditEntry& edit) {
  if (edit.duration == 0) return;
  if (!track.edits.empty()) {
    EditEntry& last = track.edits.back();
    if (edit.media_time == -1 && last.media_time == -1) {
      last.duration += edit.duration;
      return;
    }
    if (edit.media_time != -1 && last.media_time != -1 && edit.rate == last.rate && edit.rate == 0x10000 &&
        movie_timescale != 0) {
      // Where the last edit's media ends, within one movie tick: the durations are rounded to the movie timescale.
      const std::uint64_t ends = static_cast<std::uint64_t>(last.media_time) +
                                 convert_duration(last.duration, movie_timescale, track.mdhd_timescale);
      const std::uint64_t tick = convert_duration(1, movie_timescale, track.mdhd_timescale);
      const auto starts = static_cast<std::uint64_t>(edit.media_time);
      if (starts + tick >= ends && starts <= ends + tick) {
        last.duration += edit.duration;
        return;
      }
    }
  }
  track.edits.push_back(edit);
}

std::uint64_t presented_duration(const TrackDesc& track) {
  // A sum past 64 bits stays at the largest value: wrapped, it would end the track early.
  std::uint64_t total = 0;
  for (const EditEntry& edit : track.edits) total = edit.duration > U64_MAX - total ? U64_MAX : total + edit.duration;
  return total;
}

void finish_input(Desc& desc, std::size_t input_index) {
  if (desc.mdat_spans.empty()) return;
  MdatSpan& span = desc.mdat_spans.back();
  span.input_index = input_index;
  desc.mdat_base += span.size;
  const std::uint64_t movie_duration = convert_duration(desc.input.duration, desc.input.timescale, desc.movie_timescale);
  place_input_tracks(desc, input_index);
  for (std::size_t slot = 0; slot < desc.tracks.size(); ++slot) {
    TrackDesc& track = desc.tracks[slot];
    const InputTrack& input_track = desc.input.tracks[slot];
    if (slot < desc.track_count) {
      if (input_index != 0 && track.is_tmcd && !track.edits.empty() && track.edits.back().media_time != -1) {
        // One timecode sample covers the whole recording: its edit runs on through every chapter,
        // as long as the chapter's timecode track says it lasts.
        track.edits.back().duration += input_track.tkhd_duration != 0
                                           ? convert_duration(input_track.tkhd_duration, desc.input.timescale,
                                                              desc.movie_timescale)
                                           : movie_duration;
      }
      if (input_index == 0 || !track.is_tmcd) track.media_duration += input_track.sample_duration;
    }
    cover_samples_without_tables(track, input_index, track.stsz_count - track.sample_base);
    track.sample_base = track.stsz_count;
    track.chunk_base = static_cast<std::uint32_t>(track.stco.size());
    track.stts_base = track.stts.size();
  }
  desc.movie_elapsed = add_saturated(desc.movie_elapsed, movie_duration);
  desc.input = InputMovie{};
}

std::optional<std::size_t> find_offsets_without_table(const Desc& desc) {
  for (std::size_t slot = 0; slot < desc.tracks.size(); ++slot) {
    const TrackDesc& track = desc.tracks[slot];
    if (track.stco.size() > track.chunk_base && !track.stco_presence.in_first_input) return slot;
  }
  return std::nullopt;
}

std::vector<TableMarks> mark_tables(const Desc& desc) {
  std::vector<TableMarks> marks;
  for (const TrackDesc& track : desc.tracks) marks.push_back(TableMarks{track.stsc.size()});
  return marks;
}

namespace {

/// Sample sizes of one track, by sample number within the merged track.
struct SampleSizes {
  const TrackDesc& track;

  std::uint64_t available() const {
    return track.stsz.empty() ? std::uint64_t{track.stsz_count} : track.stsz.size();
  }
  /// Bytes of `count` samples from `first`; counts only samples that exist.
  std::uint64_t bytes(std::uint64_t first, std::uint64_t count) const {
    const std::uint64_t end = std::min(available(), first + count);
    if (first >= end) return 0;
    if (track.stsz.empty()) return (end - first) * track.stsz_sample_size;
    std::uint64_t total = 0;
    for (std::uint64_t s = first; s < end; ++s) total += track.stsz[s];
    return total;
  }
};

std::optional<ChunkOutsideSpan> check_track(const TrackDesc& track, std::size_t slot, const TableMarks& marks,
                                            const MdatSpan& span, std::uint64_t mdat_base) {
  const std::uint64_t chunk_count = track.stco.size() - track.chunk_base;
  auto outside = [&](std::uint64_t chunk, std::uint64_t bytes) -> std::optional<ChunkOutsideSpan> {
    const std::uint64_t relative = track.stco[track.chunk_base + chunk - 1] - mdat_base;
    if (relative < span.size && bytes <= span.size - relative) return std::nullopt;
    return ChunkOutsideSpan{slot, chunk, relative + span.offset, bytes};
  };
  // Chunk sizes follow from the sample-to-chunk runs and the sample sizes.
  SampleSizes sizes{track};
  std::uint64_t sample = track.sample_base;
  std::uint64_t checked = 0;
  for (std::size_t j = marks.stsc; j < track.stsc.size(); ++j) {
    const StscEntry& run = track.stsc[j];
    const std::uint64_t first = std::uint64_t{run.first_chunk - track.chunk_base};
    const std::uint64_t next = j + 1 < track.stsc.size() ? std::uint64_t{track.stsc[j + 1].first_chunk - track.chunk_base}
                                                         : chunk_count + 1;
    for (std::uint64_t chunk = std::max<std::uint64_t>(first, checked + 1); chunk < next && chunk <= chunk_count;
         ++chunk) {
      if (auto problem = outside(chunk, sizes.bytes(sample, run.samples_per_chunk))) return problem;
      sample += run.samples_per_chunk;
      checked = chunk;
    }
  }
  for (std::uint64_t chunk = checked + 1; chunk <= chunk_count; ++chunk) {
    if (auto problem = outside(chunk, 0)) return problem;
  }
  return std::nullopt;
}

}  // namespace

std::optional<ChunkOutsideSpan> find_chunk_outside_span(const Desc& desc, const std::vector<TableMarks>& marks,
                                                        const MdatSpan& span) {
  for (std::size_t slot = 0; slot < desc.tracks.size(); ++slot) {
    if (auto problem = check_track(desc.tracks[slot], slot, marks[slot], span, desc.mdat_base)) return problem;
  }
  return std::nullopt;
}

std::optional<SampleTableMismatch> find_sample_table_mismatch(const Desc& desc, const std::vector<TableMarks>& marks,
                                                              bool more_inputs_follow) {
  for (std::size_t slot = 0; slot < desc.tracks.size(); ++slot) {
    const TrackDesc& track = desc.tracks[slot];
    SampleTableMismatch found;
    found.track_slot = slot;
    found.chunks = track.stco.size() - track.chunk_base;
    found.samples_listed = track.stsz_count - track.sample_base;
    const std::size_t first_run = marks[slot].stsc;
    const std::size_t runs = track.stsc.size() - first_run;
    // First-chunk numbers were renumbered by adding chunk_base; relative ones count from 1 in this input.
    auto relative_first = [&](std::size_t j) -> std::uint64_t { return track.stsc[j].first_chunk - track.chunk_base; };
    found.runs_misplaced = (found.chunks > 0 && (runs == 0 || relative_first(first_run) != 1));
    for (std::size_t j = first_run; j < track.stsc.size() && !found.runs_misplaced; ++j) {
      const std::uint64_t from = relative_first(j);
      const std::uint64_t to = j + 1 < track.stsc.size() ? relative_first(j + 1) : found.chunks + 1;
      if (from < 1 || from > found.chunks || to <= from) {
        found.runs_misplaced = true;
        break;
      }
      // Damaged runs can claim more than 64 bits count: the sum saturates instead of wrapping.
      constexpr std::uint64_t most = std::numeric_limits<std::uint64_t>::max();
      const std::uint64_t per_chunk = track.stsc[j].samples_per_chunk;
      const std::uint64_t chunks_in_run = to - from;
      const std::uint64_t in_run = per_chunk != 0 && chunks_in_run > most / per_chunk ? most : per_chunk * chunks_in_run;
      found.samples_in_chunks = in_run > most - found.samples_in_chunks ? most : found.samples_in_chunks + in_run;
    }
    if (found.runs_misplaced) return found;
    if (more_inputs_follow && found.samples_in_chunks != found.samples_listed) return found;
  }
  return std::nullopt;
}

}  // namespace reelknit
