// join_files end to end on generated files: every sample of every input must
// reach the output, byte for byte, with its timing, whatever the layout.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>

#include "lib/join_seams.h"
#include "reelknit/join.h"
#include "support/join_check.h"
#include "support/memory_file.h"
#include "support/mp4_builder.h"
#include "support/mp4_inspect.h"
#include "support/temp_dir.h"

namespace reelknit::testing {
namespace {

TrackSpec video_track(std::size_t samples, std::uint8_t fill) {
  TrackSpec t;
  for (std::size_t i = 0; i < samples; ++i) t.sample_sizes.push_back(static_cast<std::uint32_t>(40 + (i * 13) % 50));
  t.samples_per_chunk = 3;
  t.sample_delta = 1001;
  t.media_timescale = 30000;
  t.sync_samples = {1};
  if (samples > 4) t.sync_samples.push_back(5);
  t.fill = fill;
  return t;
}

TrackSpec audio_track(std::size_t samples, std::uint8_t fill) {
  TrackSpec t;
  for (std::size_t i = 0; i < samples; ++i) t.sample_sizes.push_back(static_cast<std::uint32_t>(20 + i % 7));
  t.samples_per_chunk = 4;
  t.sample_delta = 1024;
  t.media_timescale = 48000;
  t.format = "mp4a";
  t.fill = fill;
  return t;
}

/// Writes each movie to a file of the directory and returns the paths.
std::vector<std::string> write_inputs(const TempDir& dir, const std::vector<Bytes>& files) {
  std::vector<std::string> paths;
  for (std::size_t i = 0; i < files.size(); ++i) {
    paths.push_back(dir.file("in" + std::to_string(i) + ".mp4"));
    write_file(paths.back(), files[i]);
  }
  return paths;
}

struct Layout {
  const char* name;
  bool moov_first;
  bool large_mdat;
  bool wide_offsets;
  std::size_t inputs;
};

void PrintTo(const Layout& layout, std::ostream* out) { *out << layout.name; }

class JoinLayouts : public ::testing::TestWithParam<Layout> {};

TEST_P(JoinLayouts, CarriesEverySampleWithContinuousTiming) {
  const Layout layout = GetParam();
  TempDir dir;
  std::vector<Bytes> files;
  for (std::size_t i = 0; i < layout.inputs; ++i) {
    MovieSpec spec;
    spec.moov_first = layout.moov_first;
    spec.large_mdat = layout.large_mdat;
    spec.tracks = {video_track(7 + i * 3, static_cast<std::uint8_t>(i * 50)),
                   audio_track(11 + i, static_cast<std::uint8_t>(i * 50 + 9))};
    spec.tracks[0].wide_offsets = layout.wide_offsets;
    files.push_back(make_movie(spec));
  }
  const auto paths = write_inputs(dir, files);
  const std::string out = dir.file("out.mp4");
  ASSERT_TRUE(join_files(paths, out, nullptr));

  std::vector<Movie> inputs;
  for (const Bytes& f : files) inputs.push_back(inspect_movie(f));
  const Bytes joined = read_file(out);
  const Movie output = inspect_movie(joined);
  expect_joined(inputs, output);

  // The first input's tree, with co64 for stco and one 16-byte-header mdat.
  std::string expected_tree = tree_text(inputs.front().boxes);
  for (std::size_t at; (at = expected_tree.find("stco")) != std::string::npos;) expected_tree.replace(at, 4, "co64");
  EXPECT_EQ(tree_text(output.boxes), expected_tree);
  const BoxInfo* mdat = find_box(output.boxes, "mdat");
  ASSERT_NE(mdat, nullptr);
  EXPECT_EQ(mdat->header_size, 16u);

  // Durations are the sums over the inputs.
  std::uint64_t movie_duration = 0;
  for (const Movie& m : inputs) movie_duration += m.duration;
  EXPECT_EQ(output.duration, movie_duration);
  for (std::size_t t = 0; t < output.tracks.size(); ++t) {
    std::uint64_t tkhd = 0, mdhd = 0;
    for (const Movie& m : inputs) {
      tkhd += m.tracks[t].tkhd_duration;
      mdhd += m.tracks[t].mdhd_duration;
    }
    EXPECT_EQ(output.tracks[t].tkhd_duration, tkhd);
    EXPECT_EQ(output.tracks[t].mdhd_duration, mdhd);
  }
}

INSTANTIATE_TEST_SUITE_P(Layouts, JoinLayouts,
                         ::testing::Values(Layout{"MdatFirst", false, false, false, 2},
                                           Layout{"MoovFirst", true, false, false, 2},
                                           Layout{"ThreeInputs", false, false, false, 3},
                                           Layout{"ThreeMoovFirst", true, false, true, 3},
                                           Layout{"LargeMdatHeader", false, true, false, 2},
                                           Layout{"WideOffsets", false, false, true, 2},
                                           Layout{"OneInput", true, false, false, 1}),
                         [](const auto& param_info) { return param_info.param.name; });

}  // namespace
}  // namespace reelknit::testing
