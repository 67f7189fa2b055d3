// Copies between two files that the kernel makes without a trip through user
// space. A join chooses the road; these are the roads there are.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

#include "reelknit/error.h"

namespace reelknit {

/// One copy inside the kernel of up to `count` bytes from the current position
/// of descriptor `from` to the current position of descriptor `to`; both
/// positions move by the count copied. Like copy_file_range(2): it may copy
/// fewer bytes than asked, 0 at the end of `from`, and an interrupted call is
/// reported as such.
using RangeCopy = std::function<Result<std::size_t>(int from, int to, std::size_t count)>;

/// The system's in-kernel copy, or an empty function where the system has none.
RangeCopy system_range_copy();

/// The range copy a join uses: the system's in-kernel copy between two files
/// on a network file system (NFS, SMB, Ceph), whose server then copies the
/// bytes so that they never cross the network. Between other files it refuses
/// (EOPNOTSUPP) without a system call: on a local file system the kernel copies
/// through the page cache as well, and media data that lands at another offset
/// within a page than it had costs it about twice the CPU of the buffered copy
/// (bench/README.md). Empty where the system has no in-kernel copy.
RangeCopy offloaded_range_copy();

/// Makes `length` bytes of descriptor `to`, from `to_offset` on, share the
/// blocks of descriptor `from` at `from_offset` (a reflink): no byte is copied,
/// and no new block is taken until one file changes. Like ioctl(FICLONERANGE):
/// both offsets, and the length unless it reaches the end of `from`, lie on
/// block boundaries; the file positions do not move; a file system that cannot
/// share blocks, or files on two file systems, refuse it (EOPNOTSUPP, EXDEV, EINVAL ...).
using RangeClone = std::function<Status(int from, std::uint64_t from_offset, int to, std::uint64_t to_offset,
                                        std::uint64_t length)>;

/// The system's range clone (Linux: XFS, Btrfs, bcachefs, OpenZFS 2.2 and
/// others); an empty function where the system has none (macOS: APFS clones
/// whole files only).
RangeClone system_range_clone();

/// The block size a clone must keep the phase of on the file system of
/// descriptor `fd`: what fstatfs and fstat report, never below 4096 (and
/// 4096 for a file without a descriptor). OpenZFS reports its record size.
std::uint64_t clone_granularity(int fd);

}  // namespace reelknit
