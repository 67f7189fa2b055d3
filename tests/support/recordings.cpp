#include "support/recordings.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <stdexcept>

#include "support/ffprobe.h"

namespace reelknit::testing {
namespace {

namespace fs = std::filesystem;

/// The name of a recipe's recording: FNV-1a over its arguments, each ended by a NUL.
std::string recipe_name(const std::vector<std::string>& args) {
  std::uint64_t hash = 14695981039346656037u;
  for (const std::string& arg : args) {
    for (const char c : arg) hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211u;
    hash *= 1099511628211u;
  }
  char name[17];
  std::snprintf(name, sizeof name, "%016llx", static_cast<unsigned long long>(hash));
  return name;
}

/// An exclusive lock on a file for as long as the object lives; the system
/// releases it when the process ends, however it ends.
class LockedFile {
 public:
  explicit LockedFile(const fs::path& path) : fd_(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644)) {
    if (fd_ < 0) throw std::runtime_error("cannot open " + path.string());
    while (::flock(fd_, LOCK_EX) != 0) {
      if (errno == EINTR) continue;
      ::close(fd_);
      throw std::runtime_error("cannot lock " + path.string());
    }
  }
  ~LockedFile() { ::close(fd_); }
  LockedFile(const LockedFile&) = delete;
  LockedFile& operator=(const LockedFile&) = delete;

 private:
  int fd_;
};

}  // namespace

void record_once(const std::vector<std::string>& args, const std::string& output) {
  const fs::path store = REELKNIT_RECORDINGS_DIR;
  fs::create_directories(store);
  const std::string name = recipe_name(args);
  const fs::path recording = store / (name + ".mp4");
  {
    // ctest runs each case as a process of its own, often side by side: one
    // records a recipe while the others that need it wait for the lock.
    const LockedFile lock(store / (name + ".lock"));
    if (!fs::exists(recording)) {
      // Recorded under a name of its own and renamed once whole, so that no case
      // finds a recording cut short, not even after a run killed half-way.
      const fs::path partial = store / (name + ".part" + std::to_string(::getpid()) + ".mp4");
      std::vector<std::string> argv = args;
      argv.push_back(partial.string());
      run_ffmpeg(argv);
      fs::rename(partial, recording);
    }
  }
  fs::copy_file(recording, output, fs::copy_options::overwrite_existing);
}

}  // namespace reelknit::testing
