#include "io/file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <limits>

namespace reelknit {

PosixFile::~PosixFile() {
  if (fd_ >= 0) ::close(fd_);
}

Result<std::size_t> PosixFile::read_some(std::span<std::uint8_t> buffer) {
  const ssize_t n = ::read(fd_, buffer.data(), buffer.size());
  if (n < 0) return Error::from_errno(errno);
  return static_cast<std::size_t>(n);
}

Result<std::size_t> PosixFile::write_some(std::span<const std::uint8_t> bytes) {
  const ssize_t n = ::write(fd_, bytes.data(), bytes.size());
  if (n < 0) return Error::from_errno(errno);
  return static_cast<std::size_t>(n);
}

Result<std::uint64_t> PosixFile::seek(SeekFrom target) {
  int whence = SEEK_SET;
  off_t offset = 0;
  switch (target.origin) {
    case SeekFrom::Origin::Start:
      // A position beyond what off_t holds cannot be reached; lseek says so with EINVAL.
      if (target.position > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max()))
        return Error::from_errno(EINVAL);
      offset = static_cast<off_t>(target.position);
      break;
    case SeekFrom::Origin::Current:
      whence = SEEK_CUR;
      offset = static_cast<off_t>(target.offset);
      break;
    case SeekFrom::Origin::End:
      whence = SEEK_END;
      offset = static_cast<off_t>(target.offset);
      break;
  }
  const off_t result = ::lseek(fd_, offset, whence);
  if (result < 0) return Error::from_errno(errno);
  return static_cast<std::uint64_t>(result);
}

namespace {

FileType type_of(mode_t mode) {
  if (S_ISREG(mode)) return FileType::Regular;
  if (S_ISDIR(mode)) return FileType::Directory;
  if (S_ISFIFO(mode)) return FileType::NamedPipe;
  if (S_ISCHR(mode)) return FileType::CharacterDevice;
  if (S_ISBLK(mode)) return FileType::BlockDevice;
  if (S_ISSOCK(mode)) return FileType::Socket;
  return FileType::Other;
}

FileStatus status_from(const struct stat& info) {
  return FileStatus{static_cast<std::uint64_t>(info.st_size), static_cast<std::uint64_t>(info.st_dev),
                    static_cast<std::uint64_t>(info.st_ino), type_of(info.st_mode)};
}

}  // namespace

const char* file_type_text(FileType type) {
  switch (type) {
    case FileType::Regular: return "a regular file";
    case FileType::Directory: return "a directory";
    case FileType::NamedPipe: return "a named pipe (FIFO)";
    case FileType::CharacterDevice: return "a character device";
    case FileType::BlockDevice: return "a block device";
    case FileType::Socket: return "a socket";
    case FileType::Other: return "not a regular file";
  }
  return "not a regular file";
}

Result<FileStatus> PosixFile::status() {
  struct stat info {};
  if (::fstat(fd_, &info) != 0) return Error::from_errno(errno);
  return status_from(info);
}

Status PosixFile::sync() {
#if defined(F_FULLFSYNC)
  // macOS: fsync(2) leaves the data in the drive's cache; F_FULLFSYNC flushes
  // it, where the file system allows.
  if (::fcntl(fd_, F_FULLFSYNC) == 0) return success();
#endif
  while (::fsync(fd_) != 0) {
    if (errno != EINTR) return Error::from_errno(errno);
  }
  return success();
}

Status PosixFile::close() {
  if (fd_ < 0) return Error::from_errno(EBADF);
  const int fd = fd_;
  fd_ = -1;
  // The descriptor is gone after close(2) whatever it returns; EINTR is not retried.
  if (::close(fd) != 0 && errno != EINTR) return Error::from_errno(errno);
  return success();
}

namespace {

Result<std::unique_ptr<File>> open_path(const std::string& path, int flags) {
  const int fd = ::open(path.c_str(), flags | O_CLOEXEC, 0666);
  if (fd < 0) return Error::from_errno(errno, path);
  return std::unique_ptr<File>(std::make_unique<PosixFile>(fd));
}

/// Only a regular file has an end that a join reaches: a directory cannot be
/// read, a named pipe may never see a writer, a device such as /dev/zero never ends.
Status refuse_unless_regular(const std::string& path, FileType type) {
  if (type == FileType::Regular) return success();
  if (type == FileType::Directory) return Error::from_errno(EISDIR, path);
  return Error(ErrorKind::InvalidInput, path + ": is " + file_type_text(type) + ", not a regular file");
}

}  // namespace

Result<FileStatus> status_of_path(const std::string& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) return Error::from_errno(errno, path);
  return status_from(info);
}

Result<std::unique_ptr<File>> open_for_reading(const std::string& path) {
  // Looked at before it is opened: open(2) of a named pipe waits for a writer.
  REELKNIT_ASSIGN_OR_RETURN(const FileStatus named, status_of_path(path));
  REELKNIT_TRY(refuse_unless_regular(path, named.type));
  // O_NONBLOCK: a pipe put in its place since is not waited on either.
  REELKNIT_ASSIGN_OR_RETURN(std::unique_ptr<File> file, open_path(path, O_RDONLY | O_NONBLOCK));
  const int fd = file->native_handle();
  struct stat info {};
  if (::fstat(fd, &info) != 0) return Error::from_errno(errno, path);
  REELKNIT_TRY(refuse_unless_regular(path, type_of(info.st_mode)));
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) return Error::from_errno(errno, path);
  return file;
}

Result<std::unique_ptr<File>> create_for_writing(const std::string& path) {
  return open_path(path, O_WRONLY | O_CREAT | O_TRUNC);
}

Result<std::unique_ptr<File>> create_new_file(const std::string& path) {
  return open_path(path, O_WRONLY | O_CREAT | O_EXCL);
}

std::string resolve_links(const std::string& path) {
  struct stat info {};
  if (::lstat(path.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) return path;
  char resolved[PATH_MAX];
  if (::realpath(path.c_str(), resolved) == nullptr) return path;
  return resolved;
}

Status rename_file(const std::string& from, const std::string& to) {
  if (::rename(from.c_str(), to.c_str()) != 0) return Error::from_errno(errno, to);
  return success();
}

Status remove_file(const std::string& path) {
  if (::unlink(path.c_str()) != 0) return Error::from_errno(errno, path);
  return success();
}

Status sync_folder(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return Error::from_errno(errno, path);
  PosixFile folder(fd);
  const Status synced = folder.sync();
  if (synced) return success();
  // Some file systems keep no folder to sync (EINVAL, EBADF on a few network ones).
  const int code = synced.error().os_error();
  if (code == EINVAL || code == EBADF) return success();
  return Error::from_errno(code, path);
}

Result<std::size_t> read_some_retrying(File& file, std::span<std::uint8_t> buffer) {
  for (;;) {
    auto n = file.read_some(buffer);
    if (n || n.error().kind() != ErrorKind::Interrupted) return n;
  }
}

Error unexpected_eof() { return Error(ErrorKind::UnexpectedEof, "failed to fill whole buffer"); }

Status read_exact(File& file, std::span<std::uint8_t> buffer) {
  while (!buffer.empty()) {
    REELKNIT_ASSIGN_OR_RETURN(const std::size_t n, read_some_retrying(file, buffer));
    if (n == 0) return unexpected_eof();
    buffer = buffer.subspan(n);
  }
  return success();
}

}  // namespace reelknit
