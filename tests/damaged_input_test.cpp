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

BoxInfo box_at(const Bytes& file, const std::string& path, std::size_t trak = 0) {
  const Movie parsed = inspect_movie(file);
  const BoxInfo* found = find_box(parsed.boxes, path, trak);
  if (!found) throw std::runtime_error("no " + path);
  return *found;
}

void put_be32(Bytes& file, std::uint64_t at, std::uint32_t value) {
  const Bytes bytes = be32(value);
  std::copy(bytes.begin(), bytes.end(), file.begin() + static_cast<std::ptrdiff_t>(at));
}

void rename(Bytes& file, const std::string& path, const char* type, std::size_t trak = 0) {
  const BoxInfo box = box_at(file, path, trak);
  std::copy(type, type + 4, file.begin() + static_cast<std::ptrdiff_t>(box.position + 4));
}

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
                ErrorKind::UnexpectedEof, "1 more than the file holds"},
        Refused{"LastInputWithoutStsc",
                [] {
                  Bytes second = movie(false, 50);
                  rename(second, "moov/trak/mdia/minf/stbl/stsc", "free");
                  return std::vector<Bytes>{movie(), second};
                },
                ErrorKind::InvalidData, "sample-to-chunk table (stsc) of track 1 does not describe its 3 chunks"},
        Refused{"ChunksHoldFewerSamplesThanListed",
                [] {
                  Bytes first = movie();
                  const BoxInfo stsc = box_at(first, "moov/trak/mdia/minf/stbl/stsc");
                  put_be32(first, stsc.position + stsc.header_size + 12, 2);  // the first run: 2 samples per chunk
                  return std::vector<Bytes>{first, movie(false, 50)};
                },
                ErrorKind::InvalidData, "the chunks of track 1 hold 5 samples but its sample-size table (stsz) lists 7"}),
    [](const auto& param_info) { return param_info.param.name; });

// Nothing follows the last input's chunks, so they may place fewer samples than it lists.
TEST(LastInput, MayHoldFewerSamplesInItsChunksThanItLists) {
  Bytes last = movie(false, 50);
  const BoxInfo stsc = box_at(last, "moov/trak/mdia/minf/stbl/stsc", 1);
  put_be32(last, stsc.position + stsc.header_size + 12, 1);  // audio: 1 sample per chunk, 3 of 5 placed
  const MemoryJoin joined = join_in_memory({movie(), last});
  ASSERT_TRUE(joined.status) << joined.status.error().describe();
  EXPECT_EQ(find_layout_problem(joined.output), std::nullopt);
}

}  // namespace
}  // namespace reelknit::testing
