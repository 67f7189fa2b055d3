// The file system calls that put a join's output in place, over a map of
// paths to bytes: a test sees every file a join leaves behind, partial files
// included, and the order of its syncs and renames, and can make any of
// those calls fail.
#pragma once

#include <cerrno>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "io/output_file.h"
#include "support/memory_file.h"

namespace reelknit::testing {

class MemoryFolder {
 public:
  /// Every file there is, by path.
  std::map<std::string, std::shared_ptr<Bytes>> files;
  /// Paths that are something else than a regular file ("/dev/null", a FIFO).
  std::map<std::string, FileType> others;
  /// Faults of every file the join creates.
  Faults created_faults;
  /// Errors of the calls, by their name: "sync", "rename", "sync folder", "create new".
  std::map<std::string, int> failing;
  /// What happened, in order: "create new P", "create in place P", "sync P",
  /// "rename P to Q", "remove P", "sync folder P".
  std::vector<std::string> events;

  /// The paths there are, sorted.
  std::vector<std::string> paths() const {
    std::vector<std::string> all;
    for (const auto& [path, bytes] : files) all.push_back(path);
    return all;
  }

  OutputCalls calls() {
    OutputCalls c;
    c.status_of_path = [this](const std::string& path) -> Result<FileStatus> {
      if (auto other = others.find(path); other != others.end()) return FileStatus{0, 1, inode_of(path), other->second};
      auto file = files.find(path);
      if (file == files.end()) return Error::from_errno(ENOENT, path);
      return FileStatus{file->second->size(), 1, inode_of(path), FileType::Regular};
    };
    c.resolve_links = [](const std::string& path) { return path; };
    c.create_new = [this](const std::string& path) -> Result<std::unique_ptr<File>> {
      events.push_back("create new " + path);
      if (int code = failure("create new")) return Error::from_errno(code, path);
      if (files.count(path) || others.count(path)) return Error::from_errno(EEXIST, path);
      return open(path);
    };
    c.create_in_place = [this](const std::string& path) -> Result<std::unique_ptr<File>> {
      events.push_back("create in place " + path);
      return open(path);
    };
    c.rename = [this](const std::string& from, const std::string& to) -> Status {
      events.push_back("rename " + from + " to " + to);
      if (int code = failure("rename")) return Error::from_errno(code, to);
      auto file = files.find(from);
      if (file == files.end()) return Error::from_errno(ENOENT, to);
      files[to] = file->second;
      inodes_[to] = inode_of(from);
      inodes_.erase(from);
      files.erase(from);
      return success();
    };
    c.remove = [this](const std::string& path) -> Status {
      events.push_back("remove " + path);
      if (files.erase(path) == 0) return Error::from_errno(ENOENT, path);
      return success();
    };
    c.sync_folder = [this](const std::string& path) -> Status {
      events.push_back("sync folder " + path);
      if (int code = failure("sync folder")) return Error::from_errno(code, path);
      return success();
    };
    return c;
  }

  /// The inode a path has in this folder; a renamed file keeps its own.
  std::uint64_t inode_of(const std::string& path) {
    auto [at, added] = inodes_.try_emplace(path, 0);
    if (added) at->second = MemoryFile::next_inode();
    return at->second;
  }

 private:
  int failure(const std::string& call) const {
    auto at = failing.find(call);
    return at == failing.end() ? 0 : at->second;
  }

  Result<std::unique_ptr<File>> open(const std::string& path) {
    if (others.count(path)) {
      // A device takes every byte and keeps none.
      auto sink = std::make_unique<MemoryFile>(std::make_shared<Bytes>(), created_faults, inode_of(path));
      return std::unique_ptr<File>(std::move(sink));
    }
    auto& bytes = files[path];
    bytes = std::make_shared<Bytes>();
    auto file = std::make_unique<MemoryFile>(bytes, created_faults, inode_of(path));
    file->on_sync = [this, path]() -> Status {
      events.push_back("sync " + path);
      if (int code = failure("sync")) return Error::from_errno(code);
      return success();
    };
    return std::unique_ptr<File>(std::move(file));
  }

  std::map<std::string, std::uint64_t> inodes_;
};

}  // namespace reelknit::testing
