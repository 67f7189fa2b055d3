// A fresh directory per test, removed with everything in it afterwards
// (kept where REELKNIT_KEEP_TEMP is set, to look at what a failing test made).
#pragma once

#include <filesystem>
#include <stdexcept>
#include <string>

#include <cstdlib>

#include <stdlib.h>

namespace reelknit::testing {

class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "reelknit-test-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
  }
  ~TempDir() {
    std::error_code ignored;
    if (!std::getenv("REELKNIT_KEEP_TEMP")) std::filesystem::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  std::string file(const std::string& name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

}  // namespace reelknit::testing
