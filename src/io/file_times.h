// The file time copy with its platform lookup made replaceable, so tests can
// take the utimes route on a system that has utimensat.
#pragma once

#include <cstdint>
#include <string>

#include <sys/stat.h>

#include "reelknit/error.h"

namespace reelknit {

/// A point in time as seconds since the Unix epoch and a nanosecond part
/// from 0 to 999,999,999; before the epoch the nanoseconds stay non-negative
/// (1.5 s before the epoch is seconds -2, nanoseconds 500,000,000).
struct FileTime {
  std::int64_t seconds = 0;
  std::uint32_t nanoseconds = 0;
  bool operator==(const FileTime&) const = default;
};

/// The signature of utimensat(2).
using UtimensatFunction = int (*)(int, const char*, const struct timespec[2], int);

/// utimensat as the running system provides it, looked up by name once per
/// process; null where the C library has none.
UtimensatFunction platform_utimensat();

/// A time as stat(2) gives it; an error of the kind other when its nanosecond
/// part is out of range and so names no point in time.
Result<FileTime> file_time_from(const struct timespec& time);

/// "1700000000.000012345s": seconds, a full stop, nine digits of nanoseconds, 's'.
std::string file_time_text(const FileTime& time);

/// update_file_times with the utimensat to use given; null takes the utimes
/// route, which cuts both times to microseconds.
void update_file_times_using(const std::string& input_path, const std::string& output_path,
                             UtimensatFunction set_times);

}  // namespace reelknit
