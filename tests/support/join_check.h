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

}  // namespace reelknit::testing
