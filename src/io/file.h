// The one small file interface everything else stands on, with the POSIX
// implementation. It behaves like read(2) and write(2): short counts happen,
// and an interrupted call is reported as such, to be retried by the caller.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "reelknit/error.h"

namespace reelknit {

/// Where a seek goes: an absolute position, or an offset from the current
/// position or from the end of the file.
struct SeekFrom {
  enum class Origin { Start, Current, End };
  Origin origin;
  std::uint64_t position = 0;  ///< for Start
  std::int64_t offset = 0;     ///< for Current and End

  static SeekFrom start(std::uint64_t position) { return {Origin::Start, position, 0}; }
  static SeekFrom current(std::int64_t offset) { return {Origin::Current, 0, offset}; }
  static SeekFrom end(std::int64_t offset) { return {Origin::End, 0, offset}; }
};

/// What fstat tells of an open file.
struct FileStatus {
  std::uint64_t size = 0;
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
};

class File {
 public:
  virtual ~File() = default;

  /// One read of up to `buffer.size()` bytes; 0 at the end of the file.
  virtual Result<std::size_t> read_some(std::span<std::uint8_t> buffer) = 0;
  /// One write; may accept fewer bytes than offered, or none.
  virtual Result<std::size_t> write_some(std::span<const std::uint8_t> bytes) = 0;
  /// Moves the file position; returns the new absolute position.
  virtual Result<std::uint64_t> seek(SeekFrom target) = 0;
  virtual Result<FileStatus> status() = 0;
  /// Closes the file; later calls fail. Reports what close(2) reports.
  virtual Status close() = 0;
  /// The POSIX descriptor, or -1 for a file that has none (in-memory files).
  virtual int native_handle() const { return -1; }

  Result<std::uint64_t> position() { return seek(SeekFrom::current(0)); }
};

/// A file opened with open(2); closed on destruction if not closed before.
class PosixFile final : public File {
 public:
  explicit PosixFile(int fd) : fd_(fd) {}
  ~PosixFile() override;
  PosixFile(const PosixFile&) = delete;
  PosixFile& operator=(const PosixFile&) = delete;

  Result<std::size_t> read_some(std::span<std::uint8_t> buffer) override;
  Result<std::size_t> write_some(std::span<const std::uint8_t> bytes) override;
  Result<std::uint64_t> seek(SeekFrom target) override;
  Result<FileStatus> status() override;
  Status close() override;
  int native_handle() const override { return fd_; }

 private:
  int fd_;
};

/// One opened input of a merge: its handle and its size, taken right after opening.
struct InputFile {
  std::unique_ptr<File> file;
  std::uint64_t size = 0;
};

/// Opens an existing file read-only; a directory fails with EISDIR.
Result<std::unique_ptr<File>> open_for_reading(const std::string& path);
/// Creates `path` for writing, or truncates it, with mode 0666 less the umask.
Result<std::unique_ptr<File>> create_for_writing(const std::string& path);

/// stat(2) of a path, following symbolic links.
Result<FileStatus> status_of_path(const std::string& path);

/// One read, retried while interrupted: the one place a read is retried.
Result<std::size_t> read_some_retrying(File& file, std::span<std::uint8_t> buffer);

/// Reads exactly `buffer.size()` bytes; "failed to fill whole buffer" when the file ends first.
Status read_exact(File& file, std::span<std::uint8_t> buffer);

/// The error of a read that met the end of the file too early.
Error unexpected_eof();

}  // namespace reelknit
