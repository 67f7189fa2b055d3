#include "io/range_copy.h"

#include <sys/stat.h>
#include <unistd.h>
#if defined(__linux__)
#include <sys/ioctl.h>
#include <sys/vfs.h>
#if __has_include(<linux/fs.h>)
#include <linux/fs.h>
#endif
#else
#include <sys/mount.h>
#endif

#include <algorithm>
#include <cerrno>
#include <cstdint>

namespace reelknit {

RangeCopy system_range_copy() {
#if defined(REELKNIT_HAVE_COPY_FILE_RANGE)
  return [](int from, int to, std::size_t count) -> Result<std::size_t> {
    // Null offsets: the kernel reads and writes at the descriptors' own positions and moves them.
    const ssize_t n = ::copy_file_range(from, nullptr, to, nullptr, count, 0);
    if (n < 0) return Error::from_errno(errno);
    return static_cast<std::size_t>(n);
  };
#else
  return {};
#endif
}

#if defined(REELKNIT_HAVE_COPY_FILE_RANGE) && defined(__linux__)
namespace {

/// True for a file on a file system whose copy_file_range asks the server to copy.
bool copies_on_the_server(int fd) {
  struct statfs info {};
  if (::fstatfs(fd, &info) != 0) return false;
  switch (static_cast<std::uint32_t>(info.f_type)) {
    case 0x6969:      // NFS
    case 0xFF534D42:  // CIFS
    case 0xFE534D42:  // SMB2 and SMB3
    case 0x00C36400:  // Ceph
      return true;
    default: return false;
  }
}

}  // namespace
#endif

RangeCopy offloaded_range_copy() {
#if defined(REELKNIT_HAVE_COPY_FILE_RANGE) && defined(__linux__)
  return [copy = system_range_copy()](int from, int to, std::size_t count) -> Result<std::size_t> {
    if (!copies_on_the_server(from) || !copies_on_the_server(to)) return Error::from_errno(EOPNOTSUPP);
    return copy(from, to, count);
  };
#else
  return {};
#endif
}

RangeClone system_range_clone() {
#if defined(__linux__) && defined(FICLONERANGE)
  return [](int from, std::uint64_t from_offset, int to, std::uint64_t to_offset, std::uint64_t length) -> Status {
    struct file_clone_range range {};
    range.src_fd = from;
    range.src_offset = from_offset;
    range.src_length = length;
    range.dest_offset = to_offset;
    // An interrupted clone is refused like any other: the copy takes over.
    if (::ioctl(to, FICLONERANGE, &range) != 0) return Error::from_errno(errno);
    return success();
  };
#else
  return {};
#endif
}

std::uint64_t clone_granularity(int fd) {
  constexpr std::uint64_t smallest = 4096;
  // Network file systems report their transfer size, which is no block size:
  // a megabyte is the most a block is taken to be.
  constexpr std::uint64_t largest = 1024 * 1024;
  if (fd < 0) return smallest;
  std::uint64_t size = smallest;
  struct stat info {};
  if (::fstat(fd, &info) == 0 && info.st_blksize > 0) size = std::max<std::uint64_t>(size, static_cast<std::uint64_t>(info.st_blksize));
  struct statfs system {};
  if (::fstatfs(fd, &system) == 0 && system.f_bsize > 0) size = std::max<std::uint64_t>(size, static_cast<std::uint64_t>(system.f_bsize));
  size = std::min(size, largest);
  // A block size is a power of two; anything else is rounded up to one.
  std::uint64_t power = smallest;
  while (power < size) power *= 2;
  return power;
}

}  // namespace reelknit
