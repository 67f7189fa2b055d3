// What a correct join looks like, computed from the inputs by the
// independent reader: every track's samples, in input order, each input's
// timing kept.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>

#include "support/mp4_inspect.h"

namespace reelknit::testing {

/// The samples the joined track must hold: the inputs' samples one after another.
inline std::vector<Sample> concatenated_samples(const std::vector<Movie>& inputs, std::size_t track) {
  std::vector<Sample> samples;
  std::uint64_t time_base = 0;
  for (const Movie& movie : inputs) {
    const TrackSamples& t = movie.tracks.at(track);
    for (Sample s : t.samples) {
      s.decode_time += time_base;
      samples.push_back(s);
    }
    time_base += t.stts_duration;  // the next input starts where this one's timeline ends
  }
  return samples;
}

/// Asserts that a joined track holds exactly the inputs' samples (one list
/// per input), bytes and timing. Where one input meets the next, the join
/// carries the seam in the sample table: the last sample before it may last
/// longer (the track waits for the chapter's start) or shorter (down to one
/// tick), and a first sample that the chapter hides may take less time; every
/// other sample keeps its duration, so each input's times are compared from
/// its second sample on.
/// `timescales` are the inputs' media timescales and `timescale` the output
/// track's: a sample of an input in another timescale may last one tick more
/// or less than its own duration converted, the rounding carried on.
inline void expect_track_samples(const std::vector<std::vector<Sample>>& inputs, const std::vector<Sample>& actual,
                                 const std::vector<std::uint32_t>& timescales = {}, std::uint32_t timescale = 0) {
  std::size_t total = 0;
  for (const auto& samples : inputs) total += samples.size();
  ASSERT_EQ(actual.size(), total);
  std::size_t first = 0;  // the output's sample where the input being compared starts
  for (std::size_t i = 0; i < inputs.size(); ++i) {
    const auto& samples = inputs[i];
    const bool converted = i < timescales.size() && timescales[i] != timescale;
    for (std::size_t k = 0; k < samples.size(); ++k) {
      const std::size_t s = first + k;
      ASSERT_EQ(actual[s].data, samples[k].data) << "sample " << s;
      ASSERT_EQ(actual[s].composition_offset, samples[k].composition_offset) << "sample " << s;
      ASSERT_EQ(actual[s].sync, samples[k].sync) << "sample " << s;
      if (s == 0) {
        ASSERT_EQ(actual[s].decode_time, 0u);
        continue;
      }
      ASSERT_GE(actual[s].decode_time, actual[s - 1].decode_time) << "sample " << s;
      if (k == 0) continue;
      const std::uint64_t duration = actual[s].decode_time - actual[s - 1].decode_time;
      const std::uint64_t own = samples[k].decode_time - samples[k - 1].decode_time;
      if (converted) {
        const double exact = static_cast<double>(own) * timescale / timescales[i];
        if (k == 1) {
          ASSERT_LE(static_cast<double>(duration), exact + 1) << "sample " << s;
        } else {
          ASSERT_NEAR(static_cast<double>(duration), exact, 1.0) << "sample " << s;
        }
      } else if (k == 1) {
        ASSERT_LE(duration, own) << "sample " << s;
      } else {
        ASSERT_EQ(duration, own) << "sample " << s;
      }
    }
    first += samples.size();
  }
}

/// Asserts that every track of `output` holds exactly the inputs' samples, bytes and timing.
inline void expect_joined(const std::vector<Movie>& inputs, const Movie& output) {
  ASSERT_EQ(output.tracks.size(), inputs.front().tracks.size());
  for (std::size_t t = 0; t < output.tracks.size(); ++t) {
    SCOPED_TRACE("track " + std::to_string(t + 1));
    std::vector<std::vector<Sample>> samples;
    std::vector<std::uint32_t> timescales;
    for (const Movie& movie : inputs) {
      samples.push_back(movie.tracks.at(t).samples);
      timescales.push_back(movie.tracks.at(t).mdhd_timescale);
    }
    expect_track_samples(samples, output.tracks[t].samples, timescales, output.tracks[t].mdhd_timescale);
  }
}

/// The tree as the output must keep it from the first input: chunk offsets
/// are 64 bits wide (co64), and edit lists, which the join rewrites (and adds
/// where a track must wait for the next chapter), are left out.
inline std::string template_tree(const std::vector<BoxInfo>& boxes) {
  std::string tree = tree_text(boxes);
  for (std::size_t at; (at = tree.find("stco")) != std::string::npos;) tree.replace(at, 4, "co64");
  for (std::size_t at; (at = tree.find("edts(elst),")) != std::string::npos;) tree.erase(at, 11);
  return tree;
}

/// The movie and media headers hold the sums over the inputs. A track lasts
/// what its edits present: at least what the inputs' tracks last together (a
/// track that ends early in a chapter waits for the next one), and no longer
/// than the movie (but for what the last input's track runs on past its movie). The media lasts what its samples last.
inline void expect_durations_joined(const std::vector<Movie>& inputs, const Movie& output) {
  std::uint64_t movie_duration = 0;
  for (const Movie& m : inputs) movie_duration += m.duration;
  EXPECT_GE(output.duration, movie_duration);
  for (std::size_t t = 0; t < output.tracks.size(); ++t) {
    SCOPED_TRACE("track " + std::to_string(t + 1));
    // What each input's track presents within its movie: a track that runs on
    // past its movie's end is cut back to it where the next chapter starts.
    std::uint64_t tkhd = 0, mdhd = 0, stts = 0, overrun = 0;
    std::size_t samples = 0;
    for (const Movie& m : inputs) {
      if (m.tracks.size() <= t) continue;
      const std::uint64_t presented = m.tracks[t].presented_duration();
      tkhd += std::min(presented, m.duration);
      overrun = presented > m.duration ? presented - m.duration : 0;
      mdhd += m.tracks[t].mdhd_duration;
      stts += m.tracks[t].stts_duration;
      samples += m.tracks[t].samples.size();
    }
    const TrackSamples& track = output.tracks[t];
    EXPECT_EQ(track.tkhd_duration, track.presented_duration());
    // A chapter's edits may present a tick less than its track header rounds to.
    EXPECT_GE(track.tkhd_duration + inputs.size(), tkhd);
    EXPECT_LE(track.tkhd_duration, output.duration + overrun);
    // The media lasts as long as the inputs' media together, and as much
    // longer or shorter as the seams made its samples (a timecode track keeps
    // the first input's one sample).
    if (track.samples.size() == samples) {
      EXPECT_EQ(static_cast<std::int64_t>(track.mdhd_duration) - static_cast<std::int64_t>(track.stts_duration),
                static_cast<std::int64_t>(mdhd) - static_cast<std::int64_t>(stts));
    } else {
      EXPECT_EQ(track.mdhd_duration, mdhd);
    }
  }
}

}  // namespace reelknit::testing
