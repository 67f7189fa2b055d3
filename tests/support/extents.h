// Where a file's bytes are stored: how many of them share their blocks with
// another file (a clone), read from the file system's extent map (FIEMAP),
// and how many blocks a file system has left.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace reelknit::testing {

struct ExtentUse {
  std::uint64_t shared = 0;  ///< bytes in extents the file system marks as shared
  std::uint64_t own = 0;     ///< every other byte of the range: its own blocks, or a hole
};

/// How the bytes [from, to) of the file at `path` are stored, after its dirty
/// pages are written out. Nothing where the system has no extent map (not
/// Linux) or the file system keeps none; throws std::runtime_error when the
/// file cannot be opened.
std::optional<ExtentUse> extent_use(const std::string& path, std::uint64_t from, std::uint64_t to);

/// The free bytes of the file system holding `path`, after everything written
/// to it has reached its blocks. Throws std::runtime_error when it cannot be read.
std::uint64_t free_bytes(const std::string& path);

}  // namespace reelknit::testing
