#include "io/file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
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

Result<FileStatus> PosixFile::status() {
  struct stat info {};
  if (::fstat(fd_, &info) != 0) return Error::from_errno(errno);
  return FileStatus{static_cast<std::uint64_t>(info.st_size), static_cast<std::uint64_t>(info.st_dev),
                    static_cast<std::uint64_t>(info.st_ino)};
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
  if (fd < 0) return Error::from_errno(errno);
  return std::unique_ptr<File>(std::make_unique<PosixFile>(fd));
}

}  // namespace

Result<FileStatus> status_of_path(const std::string& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) return Error::from_errno(errno);
  return FileStatus{static_cast<std::uint64_t>(info.st_size), static_cast<std::uint64_t>(info.st_dev),
                    static_cast<std::uint64_t>(info.st_ino)};
}

Result<std::unique_ptr<File>> open_for_reading(const std::string& path) {
  REELKNIT_ASSIGN_OR_RETURN(std::unique_ptr<File> file, open_path(path, O_RDONLY));
  // open(2) gives a directory to a reader too; its reads fail later, after the output was created.
  struct stat info {};
  if (::fstat(file->native_handle(), &info) != 0) return Error::from_errno(errno);
  if (S_ISDIR(info.st_mode)) return Error::from_errno(EISDIR);
  return file;
}

Result<std::unique_ptr<File>> create_for_writing(const std::string& path) {
  return open_path(path, O_WRONLY | O_CREAT | O_TRUNC);
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
