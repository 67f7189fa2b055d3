#include "support/extents.h"

#include <fcntl.h>
#include <sys/statvfs.h>
#include <unistd.h>
#if defined(__linux__)
#include <linux/fiemap.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#endif

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <vector>

namespace reelknit::testing {
namespace {

/// A descriptor closed when it goes out of scope.
class Descriptor {
 public:
  Descriptor(const std::string& path, int flags) : fd_(::open(path.c_str(), flags | O_CLOEXEC)) {
    if (fd_ < 0) throw std::runtime_error("cannot open " + path + ": " + std::strerror(errno));
  }
  ~Descriptor() { ::close(fd_); }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

}  // namespace

std::optional<ExtentUse> extent_use(const std::string& path, std::uint64_t from, std::uint64_t to) {
#if defined(__linux__) && defined(FS_IOC_FIEMAP)
  const Descriptor file(path, O_RDONLY);
  constexpr std::size_t batch = 256;
  // The header, then room for `batch` extents, in memory aligned for both.
  std::vector<std::uint64_t> storage((sizeof(struct fiemap) + batch * sizeof(struct fiemap_extent)) / 8 + 1);
  auto* map = reinterpret_cast<struct fiemap*>(storage.data());
  ExtentUse use;
  std::uint64_t next = from;
  while (next < to) {
    std::fill(storage.begin(), storage.end(), 0);
    map->fm_start = next;
    map->fm_length = to - next;
    map->fm_flags = FIEMAP_FLAG_SYNC;  // delayed allocations get their blocks first
    map->fm_extent_count = batch;
    if (::ioctl(file.get(), FS_IOC_FIEMAP, map) != 0) {
      if (errno == EOPNOTSUPP || errno == ENOTTY) return std::nullopt;
      throw std::runtime_error("FIEMAP of " + path + " failed: " + std::strerror(errno));
    }
    if (map->fm_mapped_extents == 0) break;  // a hole up to the end
    bool last = false;
    for (std::uint32_t k = 0; k < map->fm_mapped_extents; ++k) {
      const struct fiemap_extent& extent = map->fm_extents[k];
      const std::uint64_t start = std::max<std::uint64_t>(extent.fe_logical, from);
      const std::uint64_t end = std::min<std::uint64_t>(extent.fe_logical + extent.fe_length, to);
      if (start < end && (extent.fe_flags & FIEMAP_EXTENT_SHARED)) use.shared += end - start;
      next = std::max<std::uint64_t>(next, extent.fe_logical + extent.fe_length);
      last = last || (extent.fe_flags & FIEMAP_EXTENT_LAST);
    }
    if (last) break;
  }
  use.own = (to - from) - use.shared;
  return use;
#else
  (void)path, (void)from, (void)to;
  return std::nullopt;
#endif
}

std::uint64_t free_bytes(const std::string& path) {
  {
    const Descriptor on_it(path, O_RDONLY);
#if defined(__linux__)
    if (::syncfs(on_it.get()) != 0) throw std::runtime_error("syncfs of " + path + " failed: " + std::strerror(errno));
#else
    ::sync();
#endif
  }
  struct statvfs info {};
  if (::statvfs(path.c_str(), &info) != 0) throw std::runtime_error("statvfs of " + path + " failed: " + std::strerror(errno));
  return static_cast<std::uint64_t>(info.f_bfree) * info.f_frsize;
}

}  // namespace reelknit::testing
