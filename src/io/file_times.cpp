#include "io/file_times.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/time.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "base/log_line.h"
#include "reelknit/file_times.h"

namespace reelknit {
namespace {

constexpr long NANOSECONDS_PER_SECOND = 1'000'000'000;

// Darwin names the stat(2) time fields differently.
#if defined(__APPLE__)
const struct timespec& modification_time(const struct stat& info) { return info.st_mtimespec; }
const struct timespec& access_time(const struct stat& info) { return info.st_atimespec; }
#else
const struct timespec& modification_time(const struct stat& info) { return info.st_mtim; }
const struct timespec& access_time(const struct stat& info) { return info.st_atim; }
#endif

Result<struct stat> stat_path(const std::string& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) return Error::from_errno(errno);
  return info;
}

struct timeval to_microseconds(const FileTime& time) {
  struct timeval value {};
  value.tv_sec = static_cast<time_t>(time.seconds);
  value.tv_usec = static_cast<suseconds_t>(time.nanoseconds / 1000);
  return value;
}

Status set_modification_time(const std::string& output_path, const FileTime& modified,
                             UtimensatFunction set_times) {
  if (set_times) {
    struct timespec times[2] {};
    times[0].tv_nsec = UTIME_OMIT;  // the access time stays as it is
    times[1].tv_sec = static_cast<time_t>(modified.seconds);
    times[1].tv_nsec = static_cast<long>(modified.nanoseconds);
    // No flags: a symbolic link named as the output is followed.
    if (set_times(AT_FDCWD, output_path.c_str(), times, 0) != 0) return Error::from_errno(errno);
    return success();
  }
  // utimes sets both times, so the output's own access time is given back to it.
  REELKNIT_ASSIGN_OR_RETURN(const struct stat output, stat_path(output_path));
  REELKNIT_ASSIGN_OR_RETURN(const FileTime accessed, file_time_from(access_time(output)));
  const struct timeval times[2] = {to_microseconds(accessed), to_microseconds(modified)};
  if (::utimes(output_path.c_str(), times) != 0) return Error::from_errno(errno);
  return success();
}

Status copy_modification_time(const std::string& input_path, const std::string& output_path,
                              UtimensatFunction set_times) {
  REELKNIT_ASSIGN_OR_RETURN(const struct stat input, stat_path(input_path));
  REELKNIT_ASSIGN_OR_RETURN(const FileTime modified, file_time_from(modification_time(input)));
  REELKNIT_DEBUG(LOG_TARGET_DRIVER, "Updating modification time of {} to {}", output_path, file_time_text(modified));
  return set_modification_time(output_path, modified, set_times);
}

}  // namespace

UtimensatFunction platform_utimensat() {
  static const UtimensatFunction found = [] {
    void* symbol = ::dlsym(RTLD_DEFAULT, "utimensat");
    UtimensatFunction function = nullptr;
    static_assert(sizeof function == sizeof symbol);
    std::memcpy(&function, &symbol, sizeof function);
    return function;
  }();
  return found;
}

Result<FileTime> file_time_from(const struct timespec& time) {
  if (time.tv_nsec < 0 || time.tv_nsec >= NANOSECONDS_PER_SECOND) return Error(ErrorKind::Other, "");
  // POSIX keeps tv_nsec non-negative before the epoch too: -1.5 s is {-2, 500000000}.
  return FileTime{static_cast<std::int64_t>(time.tv_sec), static_cast<std::uint32_t>(time.tv_nsec)};
}

std::string file_time_text(const FileTime& time) {
  char text[48];
  std::snprintf(text, sizeof text, "%" PRId64 ".%09" PRIu32 "s", time.seconds, time.nanoseconds);
  return text;
}

void update_file_times_using(const std::string& input_path, const std::string& output_path,
                             UtimensatFunction set_times) {
  if (auto copied = copy_modification_time(input_path, output_path, set_times); !copied)
    REELKNIT_WARN(LOG_TARGET_DRIVER, "Failed to update file times: {}", copied.error().describe());
}

void update_file_times(const std::string& input_path, const std::string& output_path) {
  update_file_times_using(input_path, output_path, platform_utimensat());
}

}  // namespace reelknit
