#include "io/range_copy.h"

#include <unistd.h>
#if defined(__linux__)
#include <sys/vfs.h>
#endif

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

}  // namespace reelknit
