// Sharing the media data's blocks instead of copying them. Whether every
// clone is accepted, none is, or the file system refuses one half-way, the
// join must be the file the buffered copy writes, byte for byte, and its
// progress must climb to 1.0. The clones here are a stand-in that copies, so
// these tests run on any disk; e2e/clone_join_test.cpp shares real blocks.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "io/output_stream.h"
#include "join/join_seams.h"
#include "support/mp4_inspect.h"
#include "support/temp_dir.h"

namespace reelknit::testing {
namespace {

const std::string DATA_DIR = REELKNIT_TEST_DATA_DIR;

/// Every clone granularity is a multiple of it.
constexpr std::uint64_t BLOCK = 4096;

/// What the clones of one join were asked and did.
struct CloneLog {
  int calls = 0;
  int refused = 0;
  /// Calls the system would refuse for their offsets or length: a layout fault.
  int misaligned = 0;
  std::uint64_t cloned = 0;
  /// How many progress reports had arrived when each call began.
  std::vector<std::size_t> reports_at_call;
};

/// Which calls a clone refuses, and with what.
struct Refusal {
  int from_call = 0;          ///< the first call refused (counting from 1); 0 refuses none
  bool later_calls = true;    ///< the calls after it are refused too
  int error = EOPNOTSUPP;

  bool refuses(int call) const {
    return from_call != 0 && (later_calls ? call >= from_call : call == from_call);
  }
};

/// A stand-in for FICLONERANGE that copies with pread and pwrite: the same
/// bytes land at the same place, no file position moves. Like the system's,
/// it takes only ranges on block boundaries (the length may end where `from`
/// ends), and counts any other as a fault of its caller.
RangeClone clone_by_copying(CloneLog& log, Refusal refusal = {}, const std::vector<double>* reports = nullptr) {
  return [&log, refusal, reports](int from, std::uint64_t from_offset, int to, std::uint64_t to_offset,
                                  std::uint64_t length) -> Status {
    ++log.calls;
    if (reports) log.reports_at_call.push_back(reports->size());
    if (refusal.refuses(log.calls)) {
      ++log.refused;
      return Error::from_errno(refusal.error);
    }
    struct stat source {};
    if (::fstat(from, &source) != 0) return Error::from_errno(errno);
    const bool reaches_the_end = from_offset + length == static_cast<std::uint64_t>(source.st_size);
    if (from_offset % BLOCK != 0 || to_offset % BLOCK != 0 || (length % BLOCK != 0 && !reaches_the_end)) {
      ++log.misaligned;
      return Error::from_errno(EINVAL);
    }
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(length));
    std::size_t done = 0;
    while (done < bytes.size()) {
      const ssize_t got = ::pread(from, bytes.data() + done, bytes.size() - done, static_cast<off_t>(from_offset + done));
      if (got < 0) return Error::from_errno(errno);
      if (got == 0) return Error::from_errno(EINVAL);  // past the end of `from`
      done += static_cast<std::size_t>(got);
    }
    for (done = 0; done < bytes.size();) {
      const ssize_t put = ::pwrite(to, bytes.data() + done, bytes.size() - done, static_cast<off_t>(to_offset + done));
      if (put < 0) return Error::from_errno(errno);
      done += static_cast<std::size_t>(put);
    }
    log.cloned += length;
    return success();
  };
}

/// A clock that moves on by 150 ms at every reading: every write and every clone is worth a report.
Clock stepping_clock() {
  auto now = std::make_shared<Instant>();
  return [now] { return *now += std::chrono::milliseconds(150); };
}

std::vector<std::string> data_files(const std::vector<std::string>& names) {
  std::vector<std::string> paths;
  for (const std::string& name : names) paths.push_back(DATA_DIR + "/" + name);
  return paths;
}

/// The join by the buffered road alone: no clone, no kernel copy.
Bytes buffered_join(const std::vector<std::string>& inputs, const TempDir& dir) {
  JoinSeams seams;
  seams.range_copy = {};
  seams.range_clone = {};
  const std::string path = dir.file("buffered.mp4");
  const Status joined = join_files_with(inputs, path, nullptr, seams);
  if (!joined) throw std::runtime_error(joined.error().describe());
  return read_file(path);
}

struct RefusalCase {
  const char* name;
  Refusal refusal;
};

void PrintTo(const RefusalCase& c, std::ostream* os) { *os << c.name; }

class CloneRefusals : public ::testing::TestWithParam<RefusalCase> {};

// Three recordings, one clone each. A refused clone changes nothing, so the
// copy that takes over must leave the same bytes as if no clone had been
// tried, and a later input is offered to the clone again.
TEST_P(CloneRefusals, TheJoinIsWhatTheBufferedRoadWrites) {
  const Refusal refusal = GetParam().refusal;
  TempDir dir;
  const auto inputs = data_files({"karma.mp4", "karma.mp4", "karma.mp4"});
  CloneLog log;
  JoinSeams seams;
  seams.range_copy = {};
  seams.range_clone = clone_by_copying(log, refusal);
  const std::string out = dir.file("cloned.mp4");
  const Status joined = join_files_with(inputs, out, nullptr, seams);
  ASSERT_TRUE(joined) << joined.error().describe();

  EXPECT_EQ(log.calls, 3) << "one clone per input's media data";
  EXPECT_EQ(log.misaligned, 0) << "a clone was asked for a range off the block boundaries";
  std::uint64_t accepted = 0;
  for (int call = 1; call <= 3; ++call) accepted += refusal.refuses(call) ? 0 : 1;
  EXPECT_EQ(log.refused, 3 - static_cast<int>(accepted));
  // An accepted call shares the whole blocks of one input's media data: all but its partial blocks.
  const std::vector<BoxInfo> karma = parse_boxes(read_file(inputs[0]));
  const BoxInfo* mdat = find_box(karma, "mdat");
  ASSERT_NE(mdat, nullptr);
  const std::uint64_t media = mdat->size - mdat->header_size;
  EXPECT_GE(log.cloned, accepted * (media - 2 * BLOCK));
  EXPECT_LE(log.cloned, accepted * media);
  const Bytes cloned = read_file(out);
  const Bytes buffered = buffered_join(inputs, dir);
  ASSERT_EQ(cloned.size(), buffered.size());
  EXPECT_TRUE(cloned == buffered) << "the clones left other bytes than the copy";
}

INSTANTIATE_TEST_SUITE_P(
    Karma, CloneRefusals,
    ::testing::Values(RefusalCase{"EveryCloneAccepted", {}},
                      RefusalCase{"NoSharedBlocksFromTheFirstCallOn", {1, true, EOPNOTSUPP}},
                      RefusalCase{"AnotherFileSystemFromTheSecondCallOn", {2, true, EXDEV}},
                      RefusalCase{"OnlyTheSecondCallRefused", {2, false, EINVAL}},
                      RefusalCase{"OnlyTheLastCallFailsForAnyReason", {3, false, EIO}}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

// The join as it is made on the test's own disk (ext4 here, which shares no
// blocks; where it does, the clones are real) is the buffered road's file.
TEST(CloneOnTheTestDisk, TheJoinIsWhatTheBufferedRoadWrites) {
  for (const auto& names : {std::vector<std::string>{"karma.mp4", "karma.mp4"},
                            std::vector<std::string>{"max-heromode.mp4", "max-heromode.mp4", "max-heromode.mp4"}}) {
    SCOPED_TRACE(names.front() + " " + std::to_string(names.size()) + " times");
    TempDir dir;
    const auto inputs = data_files(names);
    const std::string out = dir.file("joined.mp4");
    int calls = 0;
    JoinSeams seams;  // the system's clone and the join's own range copy
    if (const RangeClone system = seams.range_clone) {
      seams.range_clone = [&calls, system](int from, std::uint64_t from_offset, int to, std::uint64_t to_offset,
                                           std::uint64_t length) {
        ++calls;
        return system(from, from_offset, to, to_offset, length);
      };
    }
    const Status joined = join_files_with(inputs, out, nullptr, seams);
    ASSERT_TRUE(joined) << joined.error().describe();
    if (system_range_clone()) {
      EXPECT_EQ(calls, static_cast<int>(inputs.size())) << "every input's media data is offered to the clone";
    }
    EXPECT_TRUE(read_file(out) == buffered_join(inputs, dir));
  }
}

// Each clone moves the progress by the bytes it shared, at once: the reports
// never go back, one comes between one clone and the next, and the join ends
// at exactly 1.0.
TEST(CloneProgress, ClimbsThroughClonedRangesToExactlyOne) {
  TempDir dir;
  const auto inputs = data_files({"karma.mp4", "karma.mp4", "karma.mp4"});
  std::vector<double> reports;
  CloneLog log;
  JoinSeams seams;
  seams.range_copy = {};
  seams.range_clone = clone_by_copying(log, {}, &reports);
  seams.clock = stepping_clock();
  const Status joined = join_files_with(inputs, dir.file("out.mp4"), [&](double p) { reports.push_back(p); }, seams);
  ASSERT_TRUE(joined) << joined.error().describe();

  ASSERT_EQ(log.calls, 3);
  EXPECT_EQ(log.refused, 0);
  ASSERT_FALSE(reports.empty());
  for (std::size_t k = 1; k < log.reports_at_call.size(); ++k) {
    EXPECT_LT(log.reports_at_call[k - 1], log.reports_at_call[k]) << "no report between clones " << k << " and " << k + 1;
  }
  EXPECT_LT(log.reports_at_call.back(), reports.size() - 1) << "no report between the last clone and the end";
  for (std::size_t k = 1; k < reports.size(); ++k) {
    EXPECT_GE(reports[k], reports[k - 1]) << "report " << k << " went back";
  }
  EXPECT_EQ(reports.back(), 1.0);
  for (std::size_t k = 0; k + 1 < reports.size(); ++k) EXPECT_LT(reports[k], 1.0) << "report " << k;
  // The clones are most of the join: the last report before the end counts them all.
  EXPECT_GT(reports[reports.size() - 2], 0.99);
}

}  // namespace
}  // namespace reelknit::testing
