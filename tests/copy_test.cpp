// The copy of media data: inside the kernel where it can, through the buffer
// where it cannot. Both roads must leave the same bytes, the same file
// positions and the same progress reports behind.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "join/join_seams.h"
#include "io/output_stream.h"
#include "reelknit/join.h"
#include "support/mp4_inspect.h"
#include "support/skips.h"
#include "support/temp_dir.h"

namespace reelknit::testing {
namespace {

constexpr std::size_t MiB = 1024 * 1024;

Bytes pattern(std::size_t size) {
  Bytes bytes(size);
  std::uint32_t state = 12345;
  for (auto& b : bytes) {
    state = state * 1103515245 + 12345;
    b = static_cast<std::uint8_t>(state >> 16);
  }
  return bytes;
}

/// A clock that moves on by `step` at every reading, so every write is worth a report.
Clock stepping_clock(std::chrono::milliseconds step) {
  auto now = std::make_shared<Instant>();
  return [now, step] { return *now += step; };
}

/// What a range copy was asked and did.
struct RangeCopyLog {
  int calls = 0;
  std::uint64_t moved = 0;
  int refused = 0;
  std::vector<std::size_t> reports_at_call;  ///< progress reports seen when each call began
};

/// A user-space stand-in for copy_file_range(2), with the same effect on the
/// descriptors, copying at most `longest` bytes per call as the kernel may.
Result<std::size_t> copy_by_read_and_write(int from, int to, std::size_t count, std::size_t longest) {
  std::vector<std::uint8_t> bytes(std::min(count, longest));
  const ssize_t got = ::read(from, bytes.data(), bytes.size());
  if (got < 0) return Error::from_errno(errno);
  std::size_t done = 0;
  while (done < static_cast<std::size_t>(got)) {
    const ssize_t put = ::write(to, bytes.data() + done, static_cast<std::size_t>(got) - done);
    if (put < 0) return Error::from_errno(errno);
    done += static_cast<std::size_t>(put);
  }
  return done;
}

/// Wraps `inner`, counting its calls and bytes, and the reports seen so far.
RangeCopy logged(RangeCopy inner, RangeCopyLog& log, const std::vector<double>* reports = nullptr) {
  return [inner = std::move(inner), &log, reports](int from, int to, std::size_t count) -> Result<std::size_t> {
    ++log.calls;
    if (reports) log.reports_at_call.push_back(reports->size());
    auto n = inner(from, to, count);
    if (n) log.moved += *n;
    if (!n) ++log.refused;
    return n;
  };
}

/// A real output file behind an output stream, with a chosen range copy.
struct Output {
  Output(const std::string& path, RangeCopy range_copy, Clock clock = steady_now, std::uint64_t total = 0) {
    auto file = create_for_writing(path);
    if (!file) throw std::runtime_error(file.error().describe());
    stream = std::make_unique<OutputStream>(
        ProgressStream(std::move(*file), total, [this](double p) { reports.push_back(p); }, clock),
        std::move(range_copy));
  }

  std::vector<double> reports;
  std::unique_ptr<OutputStream> stream;
};

std::unique_ptr<File> open_input(const std::string& path) {
  auto file = open_for_reading(path);
  if (!file) throw std::runtime_error(file.error().describe());
  return std::move(*file);
}

Bytes slice(const Bytes& bytes, std::size_t from, std::size_t count) {
  return Bytes(bytes.begin() + static_cast<std::ptrdiff_t>(from),
               bytes.begin() + static_cast<std::ptrdiff_t>(std::min(bytes.size(), from + count)));
}

void append(Bytes& to, const Bytes& bytes) { to.insert(to.end(), bytes.begin(), bytes.end()); }

/// Why the kernel will not copy from `source` to a new file in `directory`,
/// or nothing when it copies. A test of the kernel road where it refuses
/// would only test the buffered road again: it skips, and says why.
std::optional<std::string> kernel_copy_refusal(const std::string& source, const std::string& directory) {
  if (!system_range_copy()) return "no in-kernel copy on this system";
  auto from = open_for_reading(source);
  auto to = create_for_writing(directory + "/probe");
  if (!from || !to) throw std::runtime_error("cannot open the files of the in-kernel copy probe");
  const auto copied = system_range_copy()((*from)->native_handle(), (*to)->native_handle(), 4096);
  if (!copied) return "the kernel refuses to copy from " + source + " into " + directory + ": " + copied.error().describe();
  if (*copied == 0) return "the kernel copies nothing from " + source + " into " + directory;
  return std::nullopt;
}

enum class Road { Kernel, StandIn, Buffered };

class CopyRoads : public ::testing::TestWithParam<Road> {
 protected:
  void SetUp() override {
    if (GetParam() != Road::Kernel) return;
    write_file(dir.file("in"), pattern(4096));
    if (const auto refusal = kernel_copy_refusal(dir.file("in"), dir.path().string())) GTEST_SKIP() << record_skip(*refusal);
  }

  RangeCopy range_copy() {
    switch (GetParam()) {
      case Road::Kernel:
        if (!system_range_copy()) return {};
        return logged(system_range_copy(), log);
      case Road::StandIn:
        return logged([](int from, int to, std::size_t count) { return copy_by_read_and_write(from, to, count, 300000); },
                      log);
      case Road::Buffered: return {};
    }
    return {};
  }

  TempDir dir;
  RangeCopyLog log;
};

// Buffered bytes before a copy, a copy from the middle of the input, a copy
// that asks for more than the input holds, a small copy and buffered bytes
// after: the file holds them in that order, and both files stand where the
// callers expect.
TEST_P(CopyRoads, BytesAndPositionsAreThoseOfTheBufferedCopy) {
  const Bytes media = pattern(5 * MiB + 123);
  write_file(dir.file("in"), media);
  auto input = open_input(dir.file("in"));
  Output out(dir.file("out"), range_copy());
  const Bytes head = {1, 2, 3, 4, 5, 6, 7};
  const Bytes tail = {9, 8, 7};
  Bytes expected;

  ASSERT_TRUE(out.stream->write(head));
  append(expected, head);
  ASSERT_TRUE(input->seek(SeekFrom::start(1000)));
  auto copied = copy_to_output(*input, 3 * MiB, *out.stream);
  ASSERT_TRUE(copied) << copied.error().describe();
  EXPECT_EQ(*copied, 3 * MiB);
  append(expected, slice(media, 1000, 3 * MiB));
  EXPECT_EQ(*input->position(), 1000 + 3 * MiB);
  EXPECT_EQ(*out.stream->position(), expected.size());

  // The input ends 4 MiB early: the copy stops there without an error.
  copied = copy_to_output(*input, 4 * MiB, *out.stream);
  ASSERT_TRUE(copied) << copied.error().describe();
  EXPECT_EQ(*copied, media.size() - 1000 - 3 * MiB);
  append(expected, slice(media, 1000 + 3 * MiB, 4 * MiB));
  EXPECT_EQ(*input->position(), media.size());
  const int calls_before_small_copy = log.calls;

  ASSERT_TRUE(input->seek(SeekFrom::start(10)));
  copied = copy_to_output(*input, 100, *out.stream);
  ASSERT_TRUE(copied);
  EXPECT_EQ(*copied, 100u);
  append(expected, slice(media, 10, 100));
  EXPECT_EQ(*input->position(), 110u);
  ASSERT_TRUE(out.stream->write(tail));
  append(expected, tail);

  ASSERT_TRUE(out.stream->release());
  EXPECT_EQ(out.stream->sink().written(), expected.size());
  EXPECT_TRUE(read_file(dir.file("out")) == expected) << "the output differs from the bytes copied";

  // A few bytes stay in the buffer; the large copies went the road under test.
  EXPECT_EQ(log.calls, calls_before_small_copy);
  if (GetParam() == Road::Buffered) {
    EXPECT_EQ(log.calls, 0);
  } else {
    EXPECT_EQ(log.refused, 0);
    EXPECT_EQ(log.moved, media.size() - 1000);
  }
}

// Every piece the range copy moves is counted and reported as soon as it is
// done, with the value the buffered road would give for that many bytes.
TEST_P(CopyRoads, ALongCopyReportsProgressAsItGoes) {
  const Bytes media = pattern(20 * MiB);
  write_file(dir.file("in"), media);
  auto input = open_input(dir.file("in"));
  Output out(dir.file("out"), range_copy(), stepping_clock(std::chrono::milliseconds(150)), media.size());

  auto copied = copy_to_output(*input, media.size(), *out.stream);
  ASSERT_TRUE(copied);
  ASSERT_EQ(*copied, media.size());
  ASSERT_TRUE(out.stream->release());

  ASSERT_GE(out.reports.size(), 2u);
  for (std::size_t i = 1; i < out.reports.size(); ++i) EXPECT_LT(out.reports[i - 1], out.reports[i]);
  EXPECT_GT(out.reports.front(), 0.1);
  EXPECT_EQ(out.reports.back(), writing_progress(media.size(), media.size()));
  EXPECT_EQ(log.refused, 0);
  if (GetParam() == Road::StandIn) {
    // 300000 bytes per call: one report after each.
    ASSERT_EQ(out.reports.size(), (media.size() + 299999) / 300000);
    for (std::size_t i = 0; i < out.reports.size(); ++i) {
      EXPECT_EQ(out.reports[i], writing_progress(std::min<std::uint64_t>((i + 1) * 300000, media.size()), media.size()));
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Roads, CopyRoads, ::testing::Values(Road::Kernel, Road::StandIn, Road::Buffered),
                         [](const auto& param_info) {
                           switch (param_info.param) {
                             case Road::Kernel: return "Kernel";
                             case Road::StandIn: return "StandIn";
                             case Road::Buffered: return "Buffered";
                           }
                           return "";
                         });

struct Refusal {
  const char* name;
  int error;
  int refuse_from_call;  ///< the first call that fails; the ones before copy 300000 bytes each
  bool falls_back;
};

class RangeCopyErrors : public ::testing::TestWithParam<Refusal> {};

// A kernel that cannot copy between the two descriptors leaves the work to the
// buffered copy, from wherever the range copy got to; a real fault is the
// copy's error, unchanged.
TEST_P(RangeCopyErrors, RefusalsFallBackAndFaultsEndTheCopy) {
  const Refusal refusal = GetParam();
  TempDir dir;
  const Bytes media = pattern(3 * MiB + 5);
  write_file(dir.file("in"), media);
  auto input = open_input(dir.file("in"));
  int calls = 0;
  Output out(dir.file("out"), [&](int from, int to, std::size_t count) -> Result<std::size_t> {
    if (++calls >= refusal.refuse_from_call) return Error::from_errno(refusal.error);
    return copy_by_read_and_write(from, to, count, 300000);
  });

  auto copied = copy_to_output(*input, media.size(), *out.stream);
  if (!refusal.falls_back) {
    ASSERT_FALSE(copied);
    // Unchanged: the kind, the errno and the message the range copy gave.
    EXPECT_EQ(copied.error().kind(), Error::from_errno(refusal.error).kind());
    EXPECT_EQ(copied.error().os_error(), refusal.error);
    EXPECT_EQ(copied.error().message(), Error::from_errno(refusal.error).message());
    return;
  }
  ASSERT_TRUE(copied) << copied.error().describe();
  EXPECT_EQ(*copied, media.size());
  EXPECT_EQ(calls, refusal.refuse_from_call);  // no second try after a refusal
  ASSERT_TRUE(out.stream->release());
  EXPECT_EQ(out.stream->sink().written(), media.size());
  EXPECT_TRUE(read_file(dir.file("out")) == media);
}

INSTANTIATE_TEST_SUITE_P(Errors, RangeCopyErrors,
                         ::testing::Values(Refusal{"NoSuchCall", ENOSYS, 1, true},
                                           Refusal{"OtherFileSystem", EXDEV, 1, true},
                                           Refusal{"NotARegularFile", EINVAL, 1, true},
                                           Refusal{"NotSupported", EOPNOTSUPP, 1, true},
                                           Refusal{"AppendOnlyOutput", EBADF, 1, true},
                                           Refusal{"SwapFile", ETXTBSY, 1, true},
                                           Refusal{"FilteredCall", EPERM, 1, true},
                                           Refusal{"RefusedAfterTwoPieces", EXDEV, 3, true},
                                           Refusal{"ReadFault", EIO, 1, false},
                                           Refusal{"DiskFullAfterTwoPieces", ENOSPC, 3, false}),
                         [](const auto& param_info) { return std::string(param_info.param.name); });

TEST(RangeCopy, AnInterruptedCallIsRetried) {
  TempDir dir;
  const Bytes media = pattern(2 * MiB);
  write_file(dir.file("in"), media);
  auto input = open_input(dir.file("in"));
  int calls = 0;
  Output out(dir.file("out"), [&](int from, int to, std::size_t count) -> Result<std::size_t> {
    if (++calls % 2 == 1) return Error::from_errno(EINTR);
    return copy_by_read_and_write(from, to, count, 300000);
  });
  auto copied = copy_to_output(*input, media.size(), *out.stream);
  ASSERT_TRUE(copied);
  EXPECT_EQ(*copied, media.size());
  ASSERT_TRUE(out.stream->release());
  EXPECT_TRUE(read_file(dir.file("out")) == media);
}

// The kernel itself refuses a device as the source; the buffered copy reads it.
TEST(RangeCopy, TheKernelRefusingADeviceLeavesTheCopyToTheBuffer) {
  if (!system_range_copy()) GTEST_SKIP() << record_skip("no in-kernel copy on this system");
  // Opened by hand: a join refuses a device as an input before it opens it.
  const int zero_fd = ::open("/dev/zero", O_RDONLY | O_CLOEXEC);
  if (zero_fd < 0) GTEST_SKIP() << record_skip("no /dev/zero");
  PosixFile zero(zero_fd);
  TempDir dir;
  RangeCopyLog log;
  Output out(dir.file("out"), logged(system_range_copy(), log));
  auto copied = copy_to_output(zero, 2 * MiB, *out.stream);
  ASSERT_TRUE(copied) << copied.error().describe();
  EXPECT_EQ(*copied, 2 * MiB);
  EXPECT_EQ(log.refused, 1);
  EXPECT_EQ(log.moved, 0u);
  ASSERT_TRUE(out.stream->release());
  EXPECT_TRUE(read_file(dir.file("out")) == Bytes(2 * MiB, 0));
}

// On a local disk the kernel would copy through the page cache as well, and
// slower than the buffered copy for media data that moves by a few bytes: the
// join's range copy declines there, before asking the kernel.
TEST(RangeCopy, AJoinLeavesCopiesBetweenLocalFilesToTheBuffer) {
  if (!offloaded_range_copy()) GTEST_SKIP() << record_skip("no in-kernel copy on this system");
  TempDir dir;
  const Bytes media = pattern(3 * MiB);
  write_file(dir.file("in"), media);
  auto input = open_input(dir.file("in"));
  RangeCopyLog log;
  Output out(dir.file("out"), logged(offloaded_range_copy(), log));
  ASSERT_TRUE(input->seek(SeekFrom::start(48)));
  ASSERT_TRUE(out.stream->write(Bytes(56, 0)));
  auto copied = copy_to_output(*input, media.size(), *out.stream);
  ASSERT_TRUE(copied) << copied.error().describe();
  EXPECT_EQ(*copied, media.size() - 48);
  EXPECT_EQ(log.calls, 1);
  EXPECT_EQ(log.refused, 1);
  ASSERT_TRUE(out.stream->release());
  Bytes expected(56, 0);
  append(expected, slice(media, 48, media.size()));
  EXPECT_TRUE(read_file(dir.file("out")) == expected);
}

/// Joins `inputs` (files of the test data) into `output` with the given range copy.
void join_with(const std::vector<std::string>& inputs, const std::string& output, RangeCopy range_copy,
               const ProgressCallback& progress = nullptr, Clock clock = steady_now) {
  JoinSeams seams;
  seams.range_copy = std::move(range_copy);
  seams.clock = std::move(clock);
  std::vector<std::string> paths;
  for (const std::string& name : inputs) paths.push_back(std::string(REELKNIT_TEST_DATA_DIR) + "/" + name);
  const Status joined = join_files_with(paths, output, progress, seams);
  ASSERT_TRUE(joined) << joined.error().describe();
}

class JoinRoads : public ::testing::TestWithParam<std::vector<std::string>> {};

// Real recordings joined with the media data moved by the kernel, through the
// buffer, and as a join chooses: the outputs are the same, byte for byte.
TEST_P(JoinRoads, TheKernelAndTheBufferWriteTheSameFile) {
  TempDir dir;
  const std::string first_input = std::string(REELKNIT_TEST_DATA_DIR) + "/" + GetParam().front();
  if (const auto refusal = kernel_copy_refusal(first_input, dir.path().string())) GTEST_SKIP() << record_skip(*refusal);
  RangeCopyLog log;
  join_with(GetParam(), dir.file("kernel.mp4"), logged(system_range_copy(), log));
  join_with(GetParam(), dir.file("buffered.mp4"), {});
  join_with(GetParam(), dir.file("default.mp4"), JoinSeams{}.range_copy);
  const Bytes kernel = read_file(dir.file("kernel.mp4"));
  const Bytes buffered = read_file(dir.file("buffered.mp4"));
  ASSERT_EQ(kernel.size(), buffered.size());
  EXPECT_TRUE(kernel == buffered) << "the outputs differ";
  EXPECT_TRUE(read_file(dir.file("default.mp4")) == buffered) << "the join's own range copy wrote other bytes";
  EXPECT_EQ(log.calls, static_cast<int>(GetParam().size()));  // one call per input's media data
  EXPECT_EQ(log.refused, 0);
  EXPECT_GT(log.moved, 3 * MiB * GetParam().size());
}

INSTANTIATE_TEST_SUITE_P(Recordings, JoinRoads,
                         ::testing::Values(std::vector<std::string>{"karma.mp4", "karma.mp4"},
                                           std::vector<std::string>{"max-heromode.mp4", "max-heromode.mp4",
                                                                    "max-heromode.mp4"}),
                         [](const auto& param_info) { return param_info.index == 0 ? "KarmaTwice" : "MaxThreeTimes"; });

// A clock that moves on at every reading lets each piece of a long copy report:
// the callback hears from the merge between one piece and the next.
TEST(JoinProgress, ReportsReachTheCallbackDuringTheMediaCopy) {
  TempDir dir;
  RangeCopyLog log;
  std::vector<double> reports;
  join_with({"karma.mp4", "karma.mp4"}, dir.file("out.mp4"),
            logged([](int from, int to, std::size_t count) { return copy_by_read_and_write(from, to, count, MiB); },
                   log, &reports),
            [&](double p) { reports.push_back(p); }, stepping_clock(std::chrono::milliseconds(150)));

  // Two inputs of about 4 MB each, moved 1 MiB at a time.
  ASSERT_GE(log.reports_at_call.size(), 8u);
  for (std::size_t i = 1; i < log.reports_at_call.size(); ++i) {
    EXPECT_LT(log.reports_at_call[i - 1], log.reports_at_call[i]) << "no report between pieces " << i - 1 << " and " << i;
  }
  // Reading reports 0.05 and 0.1; writing climbs from there to at most 0.9999; then 1.0.
  ASSERT_GE(reports.size(), 3u);
  EXPECT_EQ(reports[0], 0.05);
  EXPECT_EQ(reports[1], 0.1);
  const auto done = std::find(reports.begin(), reports.end(), 1.0);
  ASSERT_NE(done, reports.end());
  EXPECT_GE(done - reports.begin(), 2 + 8);
  for (auto it = reports.begin() + 2; it != done; ++it) {
    EXPECT_GT(*it, 0.1);
    EXPECT_LE(*it, 0.9999);
    if (it != reports.begin() + 2) {
      EXPECT_GE(*it, *(it - 1));
    }
  }
}

}  // namespace
}  // namespace reelknit::testing
