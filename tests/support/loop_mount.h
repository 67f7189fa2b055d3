// A scratch file system of a chosen type, made in an image file and mounted
// through a loop device for the length of a test: how the tests reach a file
// system that shares blocks (XFS, Btrfs) on a machine whose disks do not.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "support/temp_dir.h"

namespace reelknit::testing {

/// How one type of file system is made.
struct FileSystemRecipe {
  const char* name;                 ///< the type as mount(8) knows it: "xfs", "btrfs"
  std::vector<std::string> mkfs;    ///< the program and its options; the image path is appended
  const char* package;              ///< where the program comes from, for the reason of a skip
};

/// XFS with shared blocks (reflinks) turned on, and Btrfs, which always has them.
const FileSystemRecipe& xfs_with_reflinks();
const FileSystemRecipe& btrfs();

class LoopMount {
 public:
  /// Makes a sparse image file of IMAGE_SIZE bytes in a fresh temporary
  /// directory, formats it and mounts it there (`mount -o loop`). Where any
  /// step is refused (not root, no loop device, no mkfs program, a kernel
  /// without the file system) nothing is left behind, `refusal()` says why,
  /// and the refusal is recorded for the end-of-run report (support/skips.h):
  /// a missing program as a missing tool, anything else as a limit of the
  /// machine. A test that cannot mount skips with `refusal()`.
  explicit LoopMount(const FileSystemRecipe& recipe);
  /// Unmounts (and so frees the loop device) and removes the image and the directory.
  ~LoopMount();
  LoopMount(const LoopMount&) = delete;
  LoopMount& operator=(const LoopMount&) = delete;

  bool mounted() const { return mounted_; }
  /// Why the file system could not be mounted; empty when it was.
  const std::string& refusal() const { return refusal_; }
  /// The root of the mounted file system.
  const std::filesystem::path& path() const { return mount_point_; }
  std::string file(const std::string& name) const { return (mount_point_ / name).string(); }

  /// The image only takes the blocks written to it.
  static constexpr std::uint64_t IMAGE_SIZE = 512ull * 1024 * 1024;

 private:
  /// Makes and mounts the file system; returns why it could not, or nothing.
  std::string make(const FileSystemRecipe& recipe);
  void unmount();

  TempDir dir_;
  std::filesystem::path mount_point_;
  bool mounted_ = false;
  bool missing_tool_ = false;  ///< the refusal is a missing program, already recorded
  std::string refusal_;
};

}  // namespace reelknit::testing
