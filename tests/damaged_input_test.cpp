// Damaged recordings (cut short, or with sample tables that contradict each
// other) are refused with a reason before anything is written; strange but
// intact ones join into an output whose every chunk lies in its media data.
// Each case here was once a join that reported success with a broken output.
#include <gtest/gtest.h>

#include <functional>

#include "support/join_check.h"
#include "support/layout_check.h"
#include "support/memory_join.h"
#include "support/mp4_builder.h"
#include "support/mp4_inspect.h"

namespace reelknit::testing {
namespace {

MovieSpec two_tracks(bool moov_first, std::uint8_t fill) {
  MovieSpec spec;
  spec.moov_first = moov_first;
  TrackSpec video;
  video.sample_sizes = {30, 12, 25, 18, 9, 40, 22};
  video.samples_per_chunk = 3;  // runs {1, 3} and {3, 1}
  video.sync_samples = {1, 4};
  video.fill = fill;
  TrackSpec audio;
  audio.sample_sizes = {6, 7, 6, 7, 6};
  audio.samples_per_chunk = 2;
  audio.format = "mp4a";
  audio.fill = static_cast<std::uint8_t>(fill + 100);
  spec.tracks = {video, audio};
  return spec;
}

Bytes movie(bool moov_first = false, std::uint8_t fill = 0) { return make_movie(two_tracks(moov_first, fill)); }

struct Refused {
  const char* name;
  std::function<std::vector<Bytes>()> inputs;
  ErrorKind kind;
  const char* message;  ///< a part of the error text
};

class DamagedInputs : public ::testing::TestWithParam<Refused> {};

TEST_P(DamagedInputs, AreRefusedWithAReason) {
  const Refused& c = GetParam();
  const auto inputs = c.inputs();
  const MemoryJoin joined = join_in_memory(inputs);
  ASSERT_FALSE(joined.status) << "joined into " << joined.output.size() << " bytes";
  EXPECT_EQ(joined.status.error().kind(), c.kind) << joined.status.error().describe();
  EXPECT_NE(joined.status.error().message().find(c.message), std::string::npos) << joined.status.error().describe();
  // Refused while reading: nothing of the box tree reached the output.
  EXPECT_TRUE(joined.output.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Join, DamagedInputs,
    ::testing::Values(
        Refused{"FirstMoovCutShort",
                [] {
                  Bytes cut = movie();
                  cut.resize(cut.size() - 100);
                  return std::vector<Bytes>{cut, movie()};
                },
                ErrorKind::UnexpectedEof, "the moov box at offset"},
        Refused{"LaterMoovCutShort",
                [] {
                  Bytes cut = movie(false, 50);
                  cut.resize(cut.size() - 1);
                  return std::vector<Bytes>{movie(), cut};
                },
                ErrorKind::UnexpectedEof, "1 more than the file holds"}),
    [](const auto& param_info) { return param_info.param.name; });

}  // namespace
}  // namespace reelknit::testing
