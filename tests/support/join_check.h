// What a correct join looks like, computed from the inputs by the
// independent reader: every track's samples, in input order, with decode
// times that continue where the previous input ended.
#pragma once

#include <gtest/gtest.h>

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

/// Asserts that every track of `output` holds exactly the inputs' samples, bytes and timing.
inline void expect_joined(const std::vector<Movie>& inputs, const Movie& output) {
  ASSERT_EQ(output.tracks.size(), inputs.front().tracks.size());
  for (std::size_t t = 0; t < output.tracks.size(); ++t) {
    SCOPED_TRACE("track " + std::to_string(t + 1));
    const auto expected = concatenated_samples(inputs, t);
    const auto& actual = output.tracks[t].samples;
    ASSERT_EQ(actual.size(), expected.size());
    for (std::size_t s = 0; s < actual.size(); ++s) {
      ASSERT_EQ(actual[s].data, expected[s].data) << "sample " << s;
      ASSERT_EQ(actual[s].decode_time, expected[s].decode_time) << "sample " << s;
      ASSERT_EQ(actual[s].composition_offset, expected[s].composition_offset) << "sample " << s;
      ASSERT_EQ(actual[s].sync, expected[s].sync) << "sample " << s;
    }
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
/// track that ends early in a chapter waits for the next one), and exactly
/// that sum when no track had to wait.
inline void expect_durations_joined(const std::vector<Movie>& inputs, const Movie& output) {
  std::uint64_t movie_duration = 0;
  for (const Movie& m : inputs) movie_duration += m.duration;
  EXPECT_EQ(output.duration, movie_duration);
  for (std::size_t t = 0; t < output.tracks.size(); ++t) {
    SCOPED_TRACE("track " + std::to_string(t + 1));
    std::uint64_t tkhd = 0, mdhd = 0;
    for (const Movie& m : inputs) {
      tkhd += m.tracks.size() > t ? m.tracks[t].presented_duration() : 0;
      mdhd += m.tracks.size() > t ? m.tracks[t].mdhd_duration : 0;
    }
    const TrackSamples& track = output.tracks[t];
    EXPECT_EQ(track.tkhd_duration, track.presented_duration());
    // A chapter's edits may present a tick less than its track header rounds to.
    EXPECT_GE(track.tkhd_duration + inputs.size(), tkhd);
    bool waits = false;
    for (std::size_t k = 1; k < track.edits.size(); ++k) waits = waits || track.edits[k].media_time == -1;
    if (!waits) {
      EXPECT_LE(track.tkhd_duration, tkhd + inputs.size());
    }
    EXPECT_EQ(track.mdhd_duration, mdhd);
  }
}

}  // namespace reelknit::testing
