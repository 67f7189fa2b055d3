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

/// What a path or an open file is. Only a regular file has a size to read to
/// its end and a folder to be replaced in; a named pipe or a device may never end.
enum class FileType { Regular, Directory, NamedPipe, CharacterDevice, BlockDevice, Socket, Other };

/// "a directory", "a named pipe (FIFO)", ...: what a path is, in an error message.
const char* file_type_text(FileType type);

/// What fstat tells of an open file.
struct FileStatus {
  std::uint64_t size = 0;
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  FileType type = FileType::Regular;
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
  /// Waits until everything written has reached the disk (fsync(2)).
  virtual Status sync() = 0;
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
  Status sync() override;
  int native_handle() const override { return fd_; }

 private:
  int fd_;
};

/// One opened input of a merge: its handle and its size, taken right after opening.
struct InputFile {
  std::unique_ptr<File> file;
  std::uint64_t size = 0;
};

// Every error of a call on a path names the path ("clips: Is a directory").

/// Opens an existing regular file (symbolic links followed) read-only. Anything
/// else is refused, naming what it is, before it is opened for reading: a
/// directory with EISDIR, a named pipe, device or socket as invalid input
/// (a pipe without a writer, or /dev/zero, would never end).
Result<std::unique_ptr<File>> open_for_reading(const std::string& path);
/// Creates `path` for writing, or truncates it, with mode 0666 less the umask.
Result<std::unique_ptr<File>> create_for_writing(const std::string& path);
/// Creates `path` for writing, with mode 0666 less the umask; fails with
/// EEXIST where anything is there already.
Result<std::unique_ptr<File>> create_new_file(const std::string& path);

/// stat(2) of a path, following symbolic links.
Result<FileStatus> status_of_path(const std::string& path);
/// The path a symbolic link at `path` finally leads to; `path` itself when it
/// is no link, or a link that leads nowhere.
std::string resolve_links(const std::string& path);
/// rename(2): `to` is replaced at once, never seen half-written.
Status rename_file(const std::string& from, const std::string& to);
/// unlink(2).
Status remove_file(const std::string& path);
/// fsync(2) of a folder, so that a name just made in it survives a power
/// cut; a file system that cannot sync folders counts as done.
Status sync_folder(const std::string& path);

/// One read, retried while interrupted: the one place a read is retried.
Result<std::size_t> read_some_retrying(File& file, std::span<std::uint8_t> buffer);

/// Reads exactly `buffer.size()` bytes; "failed to fill whole buffer" when the file ends first.
Status read_exact(File& file, std::span<std::uint8_t> buffer);

/// The error of a read that met the end of the file too early.
Error unexpected_eof();

}  // namespace reelknit
