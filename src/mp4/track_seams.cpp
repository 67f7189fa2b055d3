#include "mp4/track_seams.h"

#include "mp4/box.h"

#include <algorithm>
#include <limits>
#include <optional>
#include <vector>

namespace reelknit {

namespace {

constexpr std::uint32_t NORMAL_RATE = 0x10000;
constexpr std::uint32_t U32_MAX = std::numeric_limits<std::uint32_t>::max();

/// How many of a chapter's first samples are looked at for the one it shows
/// first: B-frames reorder a handful.
constexpr std::size_t HEAD_SAMPLES = 64;

/// Times between the movie's ticks and the track's.
struct Clocks {
  std::uint32_t movie = 0;
  std::uint32_t media = 0;

  std::int64_t to_media(std::uint64_t movie_ticks) const {
    return static_cast<std::int64_t>(std::min<std::uint64_t>(scale_rounded(movie_ticks, movie, media),
                                                             std::numeric_limits<std::int64_t>::max()));
  }
  /// Media ticks in movie ticks, rounded up (toward zero where negative):
  /// never earlier than the media ticks say.
  std::int64_t to_movie_ceil(std::int64_t media_ticks) const {
    if (media == 0) return 0;
    if (media_ticks >= 0) {
      return static_cast<std::int64_t>(std::min<std::uint64_t>(
          convert_duration(static_cast<std::uint64_t>(media_ticks), media, movie), std::numeric_limits<std::int64_t>::max()));
    }
    const std::uint64_t magnitude = 0 - static_cast<std::uint64_t>(media_ticks);
    return -static_cast<std::int64_t>(magnitude / media * movie + magnitude % media * movie / media);
  }
  /// The media ticks in one movie tick, at least one: how close a seam's times are known.
  std::int64_t movie_tick() const {
    return movie == 0 ? 1 : std::max<std::int64_t>(1, (std::int64_t{media} + movie - 1) / movie);
  }
};

/// The input's edits of one track, in the output's units. An input without an
/// edit list presents its whole media.
std::vector<EditEntry> edits_in_output_units(const Desc& desc, const TrackDesc& track, const InputTrack& input_track) {
  const std::uint32_t movie_from = desc.input.timescale;
  const std::uint32_t movie_to = desc.movie_timescale;
  std::vector<EditEntry> edits;
  if (!input_track.has_edit_list) {
    // Its media, as long as its track header says where the header rounds it
    // down; samples that all last 0 show one moment as long as the header says.
    std::uint64_t whole = convert_duration(input_track.sample_duration, track.mdhd_timescale, movie_to);
    if (input_track.tkhd_duration != 0) {
      const std::uint64_t header = convert_duration(input_track.tkhd_duration, movie_from, movie_to);
      whole = input_track.sample_duration == 0 ? header : std::min(whole, header);
    }
    edits.push_back(EditEntry{whole, static_cast<std::int64_t>(track.media_duration), NORMAL_RATE});
    return edits;
  }
  for (const EditEntry& edit : input_track.edits) {
    EditEntry converted = edit;
    converted.duration = convert_duration(edit.duration, movie_from, movie_to);
    if (edit.media_time != -1) {
      converted.media_time = static_cast<std::int64_t>(
          add_saturated(track.media_duration, input_track.media_scale.time(static_cast<std::uint64_t>(edit.media_time))));
    }
    edits.push_back(converted);
  }
  return edits;
}

/// Appends a chapter's edits as they are.
void append_edits(const Desc& desc, TrackDesc& track, const InputTrack& input_track) {
  // Samples that all last 0 (a track of descriptions) show one moment: every chapter's time runs on from it.
  const bool timeless = input_track.sample_duration == 0 && !input_track.has_edit_list;
  for (const EditEntry& edit : edits_in_output_units(desc, track, input_track)) {
    if (timeless && !track.edits.empty() && track.edits.back().media_time == edit.media_time) {
      track.edits.back().duration += edit.duration;
    } else {
      append_edit(track, desc.movie_timescale, edit);
    }
  }
}

/// A chapter's edits when they neither cut nor repeat: at most an empty edit
/// (the chapter's track starts late), then one that plays media at normal speed.
struct PlainEdits {
  std::uint64_t delay = 0;
  EditEntry media;
};

std::optional<PlainEdits> plain_edits(const std::vector<EditEntry>& edits) {
  PlainEdits plain;
  std::size_t k = 0;
  if (k < edits.size() && edits[k].media_time == -1) plain.delay = edits[k++].duration;
  if (k + 1 != edits.size() || edits[k].media_time == -1 || edits[k].rate != NORMAL_RATE) return std::nullopt;
  plain.media = edits[k];
  return plain;
}

/// One of the first samples of the input just read: its decode time counted
/// from the input's media start, its duration and its composition offset.
struct HeadSample {
  std::int64_t start = 0;
  std::uint32_t delta = 0;
  std::int64_t offset = 0;
};

std::vector<HeadSample> head_samples(const TrackDesc& track) {
  // The composition-offset run that holds each sample, from the input's first on.
  std::size_t run = 0;
  std::uint64_t run_first = 0;
  auto offset_of = [&](std::uint64_t sample) -> std::int64_t {
    while (run < track.ctts.size() && run_first + track.ctts[run].sample_count <= sample) {
      run_first += track.ctts[run].sample_count;
      ++run;
    }
    if (run == track.ctts.size()) return 0;  // an input without offsets: they are 0
    const std::uint32_t raw = track.ctts[run].sample_offset;
    return track.ctts_version == 1 ? std::int64_t{static_cast<std::int32_t>(raw)} : std::int64_t{raw};
  };
  std::vector<HeadSample> head;
  std::int64_t time = 0;
  std::uint64_t sample = track.sample_base;
  for (std::size_t e = track.stts_base; e < track.stts.size() && head.size() < HEAD_SAMPLES; ++e) {
    const SttsEntry& entry = track.stts[e];
    for (std::uint32_t k = 0; k < entry.sample_count && head.size() < HEAD_SAMPLES; ++k, ++sample) {
      head.push_back(HeadSample{time, entry.sample_delta, offset_of(sample)});
      time += entry.sample_delta;
    }
  }
  return head;
}

/// The run of `stts` that holds the last sample before entry `end`, if any.
std::optional<std::size_t> run_of_last_sample_before(const TrackDesc& track, std::size_t end) {
  for (std::size_t e = end; e > 0; --e) {
    if (track.stts[e - 1].sample_count != 0) return e - 1;
  }
  return std::nullopt;
}

std::optional<std::size_t> run_of_first_sample_from(const TrackDesc& track, std::size_t from) {
  for (std::size_t e = from; e < track.stts.size(); ++e) {
    if (track.stts[e].sample_count != 0) return e;
  }
  return std::nullopt;
}

/// Gives the last (or first) sample of run `at` the duration `delta`, split
/// out of its run. A run inserted before the input's first keeps `stts_base` on it.
void set_sample_delta(TrackDesc& track, std::size_t at, bool last_of_run, std::uint32_t delta) {
  SttsEntry& run = track.stts[at];
  if (run.sample_count == 1) {
    run.sample_delta = delta;
    return;
  }
  --run.sample_count;
  const std::size_t insert_at = last_of_run ? at + 1 : at;
  track.stts.insert(track.stts.begin() + static_cast<std::ptrdiff_t>(insert_at), SttsEntry{1, delta});
  if (insert_at <= track.stts_base && !(insert_at == track.stts_base && !last_of_run)) ++track.stts_base;
}

/// The duration the last sample before the input just read would have,
/// changed by `change`: none where there is no such sample, or where it
/// would not last from 1 to 2^32 − 1 ticks.
std::optional<std::uint32_t> changed_last_delta(const TrackDesc& track, std::int64_t change) {
  const auto at = run_of_last_sample_before(track, track.stts_base);
  if (!at) return std::nullopt;
  const std::int64_t changed = std::int64_t{track.stts[*at].sample_delta} + change;
  if (changed < 1 || changed > std::int64_t{U32_MAX}) return std::nullopt;
  return static_cast<std::uint32_t>(changed);
}

/// Changes the last sample before the input just read by `change` ticks, which
/// `changed_last_delta` allows; the input's media then starts that much later.
void change_last_sample(TrackDesc& track, std::int64_t change) {
  if (change == 0) return;
  const std::uint32_t delta = *changed_last_delta(track, change);
  set_sample_delta(track, *run_of_last_sample_before(track, track.stts_base), true, delta);
  track.media_duration = static_cast<std::uint64_t>(static_cast<std::int64_t>(track.media_duration) + change);
  track.mdhd_duration = static_cast<std::uint64_t>(static_cast<std::int64_t>(track.mdhd_duration) + change);
}

/// The last edit plays media at normal speed to the end of the media before
/// the input just read, within one sample: continuing it shows nothing that it cut.
bool last_edit_reaches_the_media_end(const TrackDesc& track, const Clocks& clocks) {
  if (track.edits.empty()) return false;
  const EditEntry& last = track.edits.back();
  if (last.media_time == -1 || last.rate != NORMAL_RATE) return false;
  const auto at = run_of_last_sample_before(track, track.stts_base);
  if (!at) return false;
  const std::int64_t ends = last.media_time + clocks.to_media(last.duration);
  return ends + std::int64_t{track.stts[*at].sample_delta} >= static_cast<std::int64_t>(track.media_duration);
}


/// The time the track's last edit starts at in the joined movie.
std::uint64_t last_edit_start(const TrackDesc& track) { return presented_duration(track) - track.edits.back().duration; }

/// Whether the first input's track in that slot is a sound track.
bool is_sound_slot(const Desc& desc, std::size_t slot) {
  return slot < desc.first_input_kinds.size() && desc.first_input_kinds[slot].handler == HANDLER_SOUN;
}

bool has_shown_media(const TrackDesc& track) {
  return std::any_of(track.edits.begin(), track.edits.end(), [](const EditEntry& e) { return e.media_time != -1; });
}

/// How a chapter's track can continue the joined track's last edit, with the
/// seam carried by the sample table.
struct Continuation {
  PlainEdits plain;
  /// Where the chapter's edit starts in the joined track's media.
  std::int64_t content_media = 0;
  /// Ticks that a first sample the chapter hides whole (encoder priming) can give up.
  std::int64_t squeezable = 0;
  /// Ticks that the last sample before the chapter can give up.
  std::int64_t shortenable = 0;
  /// The earliest the chapter can start in the joined movie, continuing.
  std::int64_t earliest_start = 0;
  /// Where it starts when no sample's duration changes.
  std::int64_t natural_start = 0;
  /// Its edit hides more than one sample at its start.
  bool hides_several = false;
  /// How long what its edit hides at its start lasts, in movie ticks.
  std::int64_t hidden = 0;
};

/// Whether, and how, the chapter's track can continue the last edit: its own
/// edits neither cut nor repeat, no picture it hides is its first decoded,
/// and the last edit plays the media before it to its end.
std::optional<Continuation> continuation(const Desc& desc, std::size_t slot, const Clocks& clocks) {
  const TrackDesc& track = desc.tracks[slot];
  const InputTrack& input_track = desc.input.tracks[slot];
  if (!has_shown_media(track) || !last_edit_reaches_the_media_end(track, clocks)) return std::nullopt;
  const auto plain = plain_edits(edits_in_output_units(desc, track, input_track));
  if (!plain) return std::nullopt;
  const std::vector<HeadSample> head = head_samples(track);
  if (head.empty()) return std::nullopt;
  const std::int64_t edit_start = plain->media.media_time - static_cast<std::int64_t>(track.media_duration);
  // What its edit hides at its start is shown only where it fits the time
  // before the chapter (see `earliest_start`): a recording cut into chapters
  // hides there what continues the chapter before (sound, and pictures that
  // refer to the chapter before and come after its first in decoding order).
  // Pictures hidden from the first one decoded on are a trim, never shown.
  const HeadSample& first = head.front();
  if (!is_sound_slot(desc, slot) && first.start + first.offset + first.delta <= edit_start) return std::nullopt;
  const auto last_delta = changed_last_delta(track, 0);
  if (!last_delta) return std::nullopt;

  Continuation c;
  c.plain = *plain;
  c.content_media = plain->media.media_time;
  std::int64_t earliest_shown = first.start + first.offset;
  for (const HeadSample& sample : head) earliest_shown = std::min(earliest_shown, sample.start + sample.offset);
  c.hides_several = edit_start - earliest_shown > std::int64_t{input_track.largest_delta};
  c.hidden = clocks.to_movie_ceil(std::max<std::int64_t>(edit_start - earliest_shown, 0));
  // Sound recorded at another rate is resampled by players as it is decoded:
  // samples of the two rates that overlap in time would make its times run
  // backwards there, so the seam only ever lengthens.
  const bool resampled = is_sound_slot(desc, slot) && !input_track.media_scale.is_exact();
  if (!resampled) {
    // One sample hidden whole is an encoder's priming; several are what
    // continues the chapter before, and keep their time.
    if (!c.hides_several && first.offset == 0 && first.delta > 1 && std::int64_t{first.delta} <= edit_start) {
      c.squeezable = first.delta - 1;
    }
    c.shortenable = std::int64_t{*last_delta} - 1;
  }
  const EditEntry& last = track.edits.back();
  const std::int64_t before_delay = static_cast<std::int64_t>(last_edit_start(track)) - static_cast<std::int64_t>(plain->delay);
  const std::int64_t soonest_media = c.content_media - c.squeezable - c.shortenable - last.media_time;
  c.earliest_start = before_delay + clocks.to_movie_ceil(soonest_media);
  c.natural_start = before_delay + clocks.to_movie_ceil(c.content_media - last.media_time);
  return c;
}

/// Continues the track's last edit with the chapter, whose start lands at
/// `chapter_start` in the joined movie: the last sample before it is
/// lengthened or shortened, and a first sample it hides whole (its priming)
/// takes a tick. False, and nothing changed, where a sample's
/// duration would not fit its field.
bool continue_last_edit(TrackDesc& track, InputTrack& input_track, const Continuation& c, std::uint64_t chapter_start,
                        const Clocks& clocks) {
  EditEntry& last = track.edits.back();
  const std::uint64_t last_start = last_edit_start(track);
  const std::uint64_t content_start = chapter_start + c.plain.delay;
  if (content_start < last_start) return false;
  std::int64_t change = clocks.to_media(content_start - last_start) + last.media_time - c.content_media;
  if (change >= -clocks.movie_tick() && change <= clocks.movie_tick()) change = 0;
  // The sample the chapter hides (its priming) takes a tick wherever the
  // chapter lands, so that it sounds with the chapter's first, not before it.
  const std::int64_t squeeze = c.squeezable;
  change += squeeze;
  if (change < 0) change = std::max(change, -c.shortenable);
  if (change != 0 && !changed_last_delta(track, change)) return false;

  change_last_sample(track, change);
  if (squeeze != 0) {
    const std::size_t at = *run_of_first_sample_from(track, track.stts_base);
    set_sample_delta(track, at, false, static_cast<std::uint32_t>(track.stts[at].sample_delta - squeeze));
    input_track.sample_duration -= static_cast<std::uint64_t>(squeeze);
    track.mdhd_duration -= static_cast<std::uint64_t>(squeeze);
  }
  last.duration = content_start - last_start + c.plain.media.duration;
  return true;
}

/// The track's edits present it up to `until` in the joined movie: it waits
/// there for the chapter. Its last sample is lengthened where the last edit
/// plays it; a track that has shown no media yet waits with an empty edit,
/// and so does one whose last edit cuts its media short.
void wait_until(const Desc& desc, TrackDesc& track, std::uint64_t until, const Clocks& clocks) {
  const std::uint64_t presented = presented_duration(track);
  if (until <= presented) return;
  const std::uint64_t gap = until - presented;
  if (clocks.to_media(gap) <= clocks.movie_tick()) return;
  if (last_edit_reaches_the_media_end(track, clocks) && changed_last_delta(track, clocks.to_media(gap))) {
    change_last_sample(track, clocks.to_media(gap));
    track.edits.back().duration += gap;
    return;
  }
  append_edit(track, desc.movie_timescale, EditEntry{gap, -1, NORMAL_RATE});
}

/// Keeps the chapter's own edits, from `chapter_start` on. Its leading empty
/// edit (the track starts late in the chapter) becomes part of the wait.
void keep_own_edits(const Desc& desc, TrackDesc& track, const InputTrack& input_track, std::uint64_t chapter_start,
                    const Clocks& clocks) {
  std::vector<EditEntry> edits = edits_in_output_units(desc, track, input_track);
  std::uint64_t delay = 0;
  while (!edits.empty() && edits.front().media_time == -1) {
    delay += edits.front().duration;
    edits.erase(edits.begin());
  }
  wait_until(desc, track, chapter_start + delay, clocks);
  for (const EditEntry& edit : edits) append_edit(track, desc.movie_timescale, edit);
}

/// The input just read has samples of the track in that slot.
bool has_samples(const Desc& desc, std::size_t slot) {
  return desc.input.tracks[slot].present && desc.tracks[slot].stsz_count != desc.tracks[slot].sample_base;
}

/// The track takes part in the seam: it has samples in the chapter, and they take time.
bool meets_the_seam(const Desc& desc, std::size_t slot) {
  return !desc.tracks[slot].is_tmcd && has_samples(desc, slot) && desc.input.tracks[slot].sample_duration != 0;
}

}  // namespace

void place_input_tracks(Desc& desc, std::size_t input_index) {
  if (input_index == 0) {
    // The first chapter is presented as it is: its tree is the template.
    for (std::size_t slot = 0; slot < desc.track_count; ++slot) {
      if (has_samples(desc, slot)) append_edits(desc, desc.tracks[slot], desc.input.tracks[slot]);
    }
    return;
  }
  std::vector<std::optional<Continuation>> plans(desc.track_count);
  std::uint64_t late_allowance = 0;
  for (std::size_t slot = 0; slot < desc.track_count; ++slot) {
    TrackDesc& track = desc.tracks[slot];
    const InputTrack& input_track = desc.input.tracks[slot];
    // Samples that all last 0 (a track of descriptions) present no time: nothing to keep in step.
    if (!track.is_tmcd && has_samples(desc, slot) && input_track.sample_duration == 0) {
      append_edits(desc, track, input_track);
    }
    if (!meets_the_seam(desc, slot)) continue;
    const Clocks clocks{desc.movie_timescale, track.mdhd_timescale};
    plans[slot] = continuation(desc, slot, clocks);
    // A chapter whose frames are reordered (B-frames) may come up to that
    // reorder late where the frame before it can shrink no further.
    late_allowance = std::max(late_allowance, 2 * static_cast<std::uint64_t>(clocks.to_movie_ceil(input_track.largest_delta)));
  }
  // A recording cut into chapters hides at a chapter's start what continues
  // the chapter before (sound, pictures that refer back to it): there the
  // samples run on as they were recorded, and the chapter is due where the
  // one before it ends as joined, which showing that made later.
  // (A chapter of which one track cannot continue, such as pictures cut with
  // a trim, is no such continuation: what its sound hides is trimmed too.)
  bool every_track_continues = true;
  for (std::size_t slot = 0; slot < desc.track_count; ++slot) {
    if (meets_the_seam(desc, slot) && !plans[slot]) every_track_continues = false;
  }
  const bool cut_recording =
      every_track_continues && std::any_of(plans.begin(), plans.end(), [](const auto& p) { return p && p->hides_several; });
  const std::uint64_t due = desc.movie_elapsed + (cut_recording ? desc.last_input_late_by : 0);
  // What it shows of that comes on top of the time the chapter is allowed to be late.
  if (cut_recording) {
    std::int64_t shown = 0;
    for (const auto& plan : plans)
      if (plan) shown = std::max(shown, plan->hidden);
    late_allowance += static_cast<std::uint64_t>(shown);
  }
  // Every track starts the chapter at one time, so that its sound starts with
  // its pictures: where it is due, or as soon after as every continuing track can.
  std::uint64_t chapter_start = due;
  for (auto& plan : plans) {
    if (!plan) continue;
    if (plan->earliest_start > static_cast<std::int64_t>(due + late_allowance)) {
      plan.reset();  // it keeps its own edits, where it is due
      continue;
    }
    chapter_start = std::max(chapter_start, static_cast<std::uint64_t>(std::max<std::int64_t>(plan->earliest_start, 0)));
  }
  if (cut_recording) {
    std::int64_t natural = 0;
    for (const auto& plan : plans)
      if (plan) natural = std::max(natural, plan->natural_start);
    if (natural > static_cast<std::int64_t>(chapter_start) && natural <= static_cast<std::int64_t>(due + late_allowance)) {
      chapter_start = static_cast<std::uint64_t>(natural);
    }
  }
  desc.last_input_late_by = chapter_start - desc.movie_elapsed;
  for (std::size_t slot = 0; slot < desc.track_count; ++slot) {
    if (!meets_the_seam(desc, slot)) continue;
    TrackDesc& track = desc.tracks[slot];
    InputTrack& input_track = desc.input.tracks[slot];
    const Clocks clocks{desc.movie_timescale, track.mdhd_timescale};
    if (plans[slot] && continue_last_edit(track, input_track, *plans[slot], chapter_start, clocks)) continue;
    keep_own_edits(desc, track, input_track, chapter_start, clocks);
  }
}

}  // namespace reelknit
