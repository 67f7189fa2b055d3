#include "support/loop_mount.h"

#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <thread>

#include "support/run.h"
#include "support/skips.h"

namespace reelknit::testing {
namespace {

namespace fs = std::filesystem;

/// What a failed command said, on one line.
std::string said(const RunResult& run) {
  std::string text = run.err.empty() ? run.out : run.err;
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
  for (char& c : text) c = c == '\n' ? ' ' : c;
  return text + " (exit status " + std::to_string(run.exit_status) + ")";
}

}  // namespace

const FileSystemRecipe& xfs_with_reflinks() {
  static const FileSystemRecipe recipe{"xfs", {"mkfs.xfs", "-q", "-m", "reflink=1"}, "xfsprogs"};
  return recipe;
}

const FileSystemRecipe& btrfs() {
  static const FileSystemRecipe recipe{"btrfs", {"mkfs.btrfs", "-q"}, "btrfs-progs"};
  return recipe;
}

LoopMount::LoopMount(const FileSystemRecipe& recipe) : mount_point_(dir_.path() / "mnt") {
#if defined(__linux__)
  refusal_ = make(recipe);
  mounted_ = refusal_.empty();
  if (!mounted_ && !missing_tool_) refusal_ = record_skip("no " + std::string(recipe.name) + " file system to test on: " + refusal_);
#else
  refusal_ = record_skip("no " + std::string(recipe.name) + " file system to test on: the tests mount an image file through a loop device on Linux only");
#endif
}

std::string LoopMount::make(const FileSystemRecipe& recipe) {
  const std::string kind = recipe.name;
  if (::geteuid() != 0) return "mounting an image file needs root";
  if (!fs::exists("/dev/loop-control") && !fs::exists("/dev/loop0")) return "no loop device (/dev/loop-control)";
  if (const auto missing = missing_tools({{recipe.mkfs.front().c_str(), recipe.package}, MOUNT})) {
    missing_tool_ = true;
    return *missing;
  }
  const std::string mkfs = find_program(recipe.mkfs.front());
  const std::string mount = find_program(MOUNT.program);

  const std::string image = (dir_.path() / "image").string();
  std::ofstream(image, std::ios::binary).close();
  std::error_code error;
  fs::resize_file(image, IMAGE_SIZE, error);  // sparse: no block is taken until written
  if (error) return "the image file cannot be made: " + error.message();
  std::vector<std::string> format = recipe.mkfs;
  format.front() = mkfs;
  format.push_back(image);
  if (const RunResult made = run_program(format); made.exit_status != 0) {
    return recipe.mkfs.front() + " failed: " + said(made);
  }
  fs::create_directory(mount_point_, error);
  if (error) return "the mount point cannot be made: " + error.message();
  const RunResult mounted = run_program({mount, "-t", kind, "-o", "loop", image, mount_point_.string()});
  if (mounted.exit_status != 0) return "mount -o loop of the " + kind + " image failed: " + said(mounted);
  return {};
}

LoopMount::~LoopMount() { unmount(); }

void LoopMount::unmount() {
  if (!mounted_) return;
  mounted_ = false;
  const std::string umount = find_program("umount");
  // A file the test still held open, or a flush in progress, can make the
  // file system busy for a moment; a lazy unmount is the last resort.
  for (int attempt = 0; attempt < 20; ++attempt) {
    if (run_program({umount, mount_point_.string()}).exit_status == 0) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  (void)run_program({umount, "-l", mount_point_.string()});
}

}  // namespace reelknit::testing
