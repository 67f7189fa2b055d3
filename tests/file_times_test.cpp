// The file time copy on real files: the output gets the input's modification
// time and keeps its access time, by utimensat and by the utimes route; a
// failure is one warning and nothing else.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "io/file_times.h"
#include "reelknit/join.h"
#include "reelknit/log.h"
#include "support/mp4_inspect.h"
#include "support/temp_dir.h"

namespace reelknit {
// Failed comparisons show times as the log writes them.
void PrintTo(const FileTime& time, std::ostream* out) { *out << file_time_text(time); }
}  // namespace reelknit

namespace reelknit::testing {
namespace {

struct Times {
  FileTime accessed;
  FileTime modified;
};

void set_times(const std::string& path, const Times& times) {
  struct timespec values[2] {};
  values[0] = {static_cast<time_t>(times.accessed.seconds), static_cast<long>(times.accessed.nanoseconds)};
  values[1] = {static_cast<time_t>(times.modified.seconds), static_cast<long>(times.modified.nanoseconds)};
  ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), values, 0), 0) << path;
}

Times times_of(const std::string& path) {
  struct stat info {};
  EXPECT_EQ(::stat(path.c_str(), &info), 0) << path;
  return {{static_cast<std::int64_t>(info.st_atim.tv_sec), static_cast<std::uint32_t>(info.st_atim.tv_nsec)},
          {static_cast<std::int64_t>(info.st_mtim.tv_sec), static_cast<std::uint32_t>(info.st_mtim.tv_nsec)}};
}

struct Line {
  LogLevel level;
  std::string target;
  std::string message;
  bool operator==(const Line&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Line& line) {
  return out << static_cast<int>(line.level) << " " << line.target << ": " << line.message;
}

/// Collects every log line, debug included, for the length of a test.
class LogCapture {
 public:
  LogCapture() {
    set_max_level(LevelFilter::Trace);
    set_sink([this](const LogRecord& record) {
      lines.push_back({record.level, std::string(record.target), std::string(record.message)});
    });
  }
  ~LogCapture() {
    set_max_level(LevelFilter::Off);
    set_sink(nullptr);
  }
  std::vector<Line> lines;
};

/// The output's access time before the copy: sub-microsecond digits show a cut.
constexpr FileTime OUTPUT_ACCESSED{1600000000, 123456789};
constexpr FileTime OUTPUT_MODIFIED{1650000000, 0};

struct Route {
  const char* name;
  bool use_utimensat;
};
void PrintTo(const Route& r, std::ostream* out) { *out << r.name; }

struct TimeCase {
  const char* name;
  FileTime input_modified;
  FileTime expected_modified;             ///< by utimensat
  FileTime expected_modified_by_utimes;   ///< cut to microseconds
  const char* logged;
};
void PrintTo(const TimeCase& c, std::ostream* out) { *out << c.name; }

class FileTimeCopy : public ::testing::TestWithParam<std::tuple<Route, TimeCase>> {
 protected:
  void SetUp() override {
    write_file(input, Bytes{1});
    write_file(output, Bytes{2});
    set_times(output, {OUTPUT_ACCESSED, OUTPUT_MODIFIED});
  }

  UtimensatFunction route() const { return std::get<0>(GetParam()).use_utimensat ? platform_utimensat() : nullptr; }

  TempDir dir;
  const std::string input = dir.file("GX010001.MP4");
  const std::string output = dir.file("GX010001.MP4_joined.mp4");
};

TEST_P(FileTimeCopy, OutputTakesInputModificationTime) {
  const auto& [route_case, time_case] = GetParam();
  set_times(input, {{1000, 0}, time_case.input_modified});
  LogCapture log;

  update_file_times_using(input, output, route());

  const Times after = times_of(output);
  if (route_case.use_utimensat) {
    EXPECT_EQ(after.modified, time_case.expected_modified);
    EXPECT_EQ(after.accessed, OUTPUT_ACCESSED);  // left alone
  } else {
    EXPECT_EQ(after.modified, time_case.expected_modified_by_utimes);
    EXPECT_EQ(after.accessed, (FileTime{OUTPUT_ACCESSED.seconds, 123456000}));  // rewritten, cut to microseconds
  }
  EXPECT_EQ(times_of(input).modified, time_case.input_modified);
  const std::vector<Line> expected = {
      {LogLevel::Debug, "reelknit", "Updating modification time of " + output + " to " + time_case.logged}};
  EXPECT_EQ(log.lines, expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FileTimeCopy,
    ::testing::Combine(::testing::Values(Route{"Utimensat", true}, Route{"Utimes", false}),
                       ::testing::Values(
                           TimeCase{"HalfSecond", {1700000000, 500000000}, {1700000000, 500000000},
                                    {1700000000, 500000000}, "1700000000.500000000s"},
                           TimeCase{"Nanoseconds", {1700000000, 12345}, {1700000000, 12345}, {1700000000, 12000},
                                    "1700000000.000012345s"},
                           TimeCase{"SubMicrosecond", {1700000000, 500000789}, {1700000000, 500000789},
                                    {1700000000, 500000000}, "1700000000.500000789s"},
                           // 1.5 s before the epoch: the nanosecond part stays positive.
                           TimeCase{"BeforeEpoch", {-2, 500000000}, {-2, 500000000}, {-2, 500000000},
                                    "-2.500000000s"},
                           TimeCase{"Epoch", {0, 0}, {0, 0}, {0, 0}, "0.000000000s"})),
    [](const auto& param_info) {
      return std::string(std::get<0>(param_info.param).name) + "_" + std::get<1>(param_info.param).name;
    });

TEST(FileTimeCopyThroughLink, OutputSymbolicLinkIsFollowed) {
  TempDir dir;
  const std::string input = dir.file("in.mp4");
  const std::string target = dir.file("target.mp4");
  const std::string link = dir.file("link.mp4");
  write_file(input, Bytes{1});
  write_file(target, Bytes{2});
  ASSERT_EQ(::symlink(target.c_str(), link.c_str()), 0);
  set_times(input, {{1000, 0}, {1700000000, 500000000}});

  update_file_times(input, link);

  EXPECT_EQ(times_of(target).modified, (FileTime{1700000000, 500000000}));
}

// A stand-in for utimensat that refuses, as the system does for a file the user does not own.
int refuse_not_owner(int, const char*, const struct timespec[2], int) {
  errno = EPERM;
  return -1;
}

struct FailureCase {
  const char* name;
  bool remove_input;
  bool remove_output;
  UtimensatFunction set_times;
  bool logs_update;  ///< the input's time was read before the failure
  const char* warning;
};

TEST(FileTimeCopyFailure, OneWarningAndNothingChanged) {
  const FailureCase cases[] = {
      {"InputDeleted", true, false, platform_utimensat(), false,
       "Failed to update file times: No such file or directory (entity not found, os error 2)"},
      {"OutputNotOwned", false, false, refuse_not_owner, true,
       "Failed to update file times: Operation not permitted (permission denied, os error 1)"},
      {"OutputGone", false, true, platform_utimensat(), true,
       "Failed to update file times: No such file or directory (entity not found, os error 2)"},
      {"OutputGoneUtimesRoute", false, true, nullptr, true,
       "Failed to update file times: No such file or directory (entity not found, os error 2)"},
  };
  for (const FailureCase& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    const std::string input = dir.file("in.mp4");
    const std::string output = dir.file("out.mp4");
    write_file(input, Bytes{1});
    write_file(output, Bytes{2});
    set_times(input, {{1000, 0}, {1700000000, 500000000}});
    set_times(output, {OUTPUT_ACCESSED, OUTPUT_MODIFIED});
    if (c.remove_input) {
      ASSERT_EQ(::unlink(input.c_str()), 0);
    }
    if (c.remove_output) {
      ASSERT_EQ(::unlink(output.c_str()), 0);
    }
    LogCapture log;

    update_file_times_using(input, output, c.set_times);

    std::vector<Line> expected;
    if (c.logs_update)
      expected.push_back({LogLevel::Debug, "reelknit", "Updating modification time of " + output + " to 1700000000.500000000s"});
    expected.push_back({LogLevel::Warn, "reelknit", c.warning});
    EXPECT_EQ(log.lines, expected);
    if (!c.remove_output) {
      EXPECT_EQ(times_of(output).modified, OUTPUT_MODIFIED);
      EXPECT_EQ(times_of(output).accessed, OUTPUT_ACCESSED);
    }
  }
}

TEST(FileTime, StatTimeWithNanosecondsOutOfRangeIsNoPointInTime) {
  for (long nanoseconds : {-1L, 1000000000L}) {
    const auto time = file_time_from(timespec{5, nanoseconds});
    ASSERT_FALSE(time.ok());
    EXPECT_EQ(time.error().kind(), ErrorKind::Other);
  }
  EXPECT_EQ(file_time_from(timespec{-2, 500000000}).value(), (FileTime{-2, 500000000}));
}

}  // namespace
}  // namespace reelknit::testing
