// Skips that the end of the test run names. ctest counts a skipped test among
// the passed ones and shows only "(Skipped)", so a machine without ffmpeg
// would pass the suite with every end-to-end judge switched off. Every skip
// therefore goes through this header: it appends the skip to a file of the
// build tree, and the test no_missing_tools, which ctest runs after all the
// others (tests/skip_report.cmake), prints one line naming the missing tools
// and the packages that bring them, and fails the run under CI (CI=true).
// A skip for a limit no package lifts (a container that refuses loop mounts,
// a file system without in-kernel copies) stays a skip, named on a line of
// its own.
//
//   // a judge that needs programs: skips unless all of them are found
//   if (const auto missing = missing_tools({FFMPEG, FFPROBE})) GTEST_SKIP() << *missing;
//
//   // a program that is there but lacks a part a package brings
//   if (!has_element("avdec_h264")) GTEST_SKIP() << record_missing_tool("gst-inspect-1.0's avdec_h264", "gstreamer1.0-libav");
//
//   // a limit of this machine
//   if (!fs::exists("/dev/full")) GTEST_SKIP() << record_skip("no /dev/full");
#pragma once

#include <initializer_list>
#include <optional>
#include <string>

namespace reelknit::testing {

/// A program a test runs, and the Debian package that installs it.
struct Tool {
  const char* program;
  const char* package;
};

inline constexpr Tool FFMPEG{"ffmpeg", "ffmpeg"};
inline constexpr Tool FFPROBE{"ffprobe", "ffmpeg"};
inline constexpr Tool EXIFTOOL{"exiftool", "libimage-exiftool-perl"};
inline constexpr Tool MOUNT{"mount", "mount"};
inline constexpr Tool GST_LAUNCH{"gst-launch-1.0", "gstreamer1.0-tools"};
inline constexpr Tool GST_INSPECT{"gst-inspect-1.0", "gstreamer1.0-tools"};

/// The path of `program`: found on PATH, or in the system directories
/// (/usr/sbin, /sbin) that a non-login root shell may leave off PATH; empty
/// when it is in none of them.
std::string find_program(const std::string& program);

/// Looks every tool up with find_program. When one or more are missing,
/// records each for the end-of-run report and returns the reason to skip
/// ("ffmpeg and ffprobe are not installed (package ffmpeg)"); nothing when
/// all are found.
std::optional<std::string> missing_tools(std::initializer_list<Tool> tools);

/// Records that `what` (a program, or a part of one) is missing and that
/// `package` brings it; returns the reason to skip.
std::string record_missing_tool(const std::string& what, const std::string& package);

/// Records a skip for a limit of this machine that no package lifts; returns
/// `reason`, to skip with.
std::string record_skip(const std::string& reason);

}  // namespace reelknit::testing
