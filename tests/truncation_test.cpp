// Recordings cut short at any length, as the first input or a later one:
// each join ends with a clear error (only the uncut file joins), never a
// crash, a hang or a success with a broken output, and never changes an input.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "support/layout_check.h"
#include "support/memory_join.h"
#include "support/mp4_builder.h"
#include "support/mp4_inspect.h"

namespace reelknit::testing {
namespace {

/// The error text without its numbers, so that outcomes can be counted by kind.
std::string outcome_of(const Status& status) {
  if (status) return "success";
  std::string text;
  for (char c : status.error().message()) {
    if (c >= '0' && c <= '9') {
      if (text.empty() || text.back() != '#') text += '#';
    } else {
      text += c;
    }
  }
  // The input's name leads the driver's messages; it is not part of the outcome.
  if (text.rfind("input#: ", 0) == 0) text.erase(0, 8);
  return text;
}

/// Joins `cut` as input `cut_index` with `whole` in the other place, and checks the outcome.
std::string join_cut(const std::shared_ptr<Bytes>& whole, const std::shared_ptr<Bytes>& cut, std::size_t cut_index) {
  MemoryJoinFiles files;
  files.inputs = {cut_index == 0 ? cut : whole, cut_index == 0 ? whole : cut};
  const std::uint64_t length = cut->size();
  const Status status = join_memory_files(files);
  // Both share the bytes of the whole recording: the cut must still be its first `length` bytes.
  EXPECT_EQ(cut->size(), length) << "the cut input was changed";
  EXPECT_TRUE(std::equal(cut->begin(), cut->end(), whole->begin())) << "an input was changed";
  if (status) {
    const auto problem = find_layout_problem(*files.output);
    EXPECT_EQ(problem, std::nullopt) << "cut at " << length << " joined into a broken output";
    if (!problem) {
      EXPECT_NO_THROW(inspect_movie(*files.output)) << "cut at " << length;
    }
  } else {
    const Error& error = status.error();
    EXPECT_FALSE(error.message().empty());
    const std::set<ErrorKind> clear = {ErrorKind::InvalidData, ErrorKind::UnexpectedEof, ErrorKind::Unsupported,
                                       ErrorKind::InvalidInput};
    EXPECT_TRUE(clear.count(error.kind())) << "cut at " << length << ": " << error.describe();
  }
  return outcome_of(status);
}

/// Joins every cut of `bytes` as the first and as the second input. Only the
/// uncut file may join: any shorter one has lost bytes the output would need.
void sweep(const Bytes& bytes, const std::set<std::uint64_t>& lengths) {
  ASSERT_EQ(*lengths.rbegin(), bytes.size()) << "the sweep includes the uncut file";
  const auto whole = std::make_shared<Bytes>(bytes);
  for (std::size_t cut_index : {0u, 1u}) {
    SCOPED_TRACE(cut_index == 0 ? "cut file first" : "cut file second");
    std::map<std::string, int> tally;
    std::vector<std::uint64_t> joined;
    // From the longest cut down, so that one copy shrinks in place instead of a copy per length.
    const auto cut = std::make_shared<Bytes>(bytes);
    for (auto length = lengths.rbegin(); length != lengths.rend(); ++length) {
      cut->resize(*length);
      const std::string outcome = join_cut(whole, cut, cut_index);
      ++tally[outcome];
      if (outcome == "success") joined.push_back(*length);
      if (::testing::Test::HasFailure()) return;
    }
    std::string outcomes;
    for (const auto& [outcome, count] : tally) outcomes += "\n  " + std::to_string(count) + " x " + outcome;
    EXPECT_EQ(joined, std::vector<std::uint64_t>{bytes.size()})
        << lengths.size() << " lengths, with these outcomes:" << outcomes;
  }
  EXPECT_EQ(*whole, bytes);
}

MoviePlan small_movie(bool moov_first) {
  MoviePlan plan = two_track_plan({30, 12, 25, 18, 9, 40, 22}, {6, 7, 6, 7, 6});
  plan.moov_first = moov_first;
  TrackPlan& video = plan.tracks[0];
  video.samples_per_chunk = 3;
  video.sync_samples = {1, 4};
  video.ctts = {{7, 1001}};
  return plan;
}

TEST(Truncation, SmallRecordingCutAtEveryLength) {
  for (const bool moov_first : {false, true}) {
    const Bytes whole = make_movie(small_movie(moov_first));
    std::set<std::uint64_t> lengths;
    for (std::uint64_t n = 0; n <= whole.size(); ++n) lengths.insert(n);
    SCOPED_TRACE(moov_first ? "moov first" : "mdat first");
    sweep(whole, lengths);
  }
}

void add_boundaries(const std::vector<BoxInfo>& boxes, std::uint64_t size, std::set<std::uint64_t>& lengths) {
  for (const BoxInfo& box : boxes) {
    for (const std::uint64_t edge : {box.position, box.position + box.header_size, box.position + box.size}) {
      for (std::int64_t d = -8; d <= 8; ++d) {
        const std::uint64_t at = edge + static_cast<std::uint64_t>(d);
        if (at <= size) lengths.insert(at);
      }
    }
    add_boundaries(box.children, size, lengths);
  }
}

TEST(Truncation, CameraRecordingCutAtBoxBoundaries) {
  const Bytes whole = read_file(REELKNIT_TEST_DATA_DIR "/karma.mp4");
  std::set<std::uint64_t> lengths;
  add_boundaries(inspect_movie(whole).boxes, whole.size(), lengths);
  for (std::uint64_t k = 0; k <= 100; ++k) lengths.insert(whole.size() * k / 100);
  sweep(whole, lengths);
}

}  // namespace
}  // namespace reelknit::testing
