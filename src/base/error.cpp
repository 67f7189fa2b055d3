#include "reelknit/error.h"

#include <cerrno>
#include <cstring>

namespace reelknit {
namespace {

ErrorKind kind_of_errno(int code) {
  switch (code) {
    case ENOENT: return ErrorKind::NotFound;
    case EACCES:
    case EPERM: return ErrorKind::PermissionDenied;
    case EEXIST: return ErrorKind::AlreadyExists;
    case EISDIR: return ErrorKind::IsADirectory;
    case EINVAL: return ErrorKind::InvalidInput;
    case ENOSPC:
    case EDQUOT: return ErrorKind::StorageFull;
    case EINTR: return ErrorKind::Interrupted;
    case ENOSYS:
    case EOPNOTSUPP: return ErrorKind::Unsupported;
    default: return ErrorKind::Other;
  }
}

}  // namespace

const char* error_kind_text(ErrorKind kind) {
  switch (kind) {
    case ErrorKind::NotFound: return "entity not found";
    case ErrorKind::PermissionDenied: return "permission denied";
    case ErrorKind::AlreadyExists: return "entity already exists";
    case ErrorKind::IsADirectory: return "is a directory";
    case ErrorKind::InvalidInput: return "invalid input parameter";
    case ErrorKind::InvalidData: return "invalid data";
    case ErrorKind::UnexpectedEof: return "unexpected end of file";
    case ErrorKind::WriteZero: return "write zero";
    case ErrorKind::StorageFull: return "no storage space";
    case ErrorKind::Interrupted: return "operation interrupted";
    case ErrorKind::Unsupported: return "unsupported";
    case ErrorKind::Cancelled: return "operation cancelled";
    case ErrorKind::Other: return "other error";
  }
  return "other error";
}

Error Error::from_errno(int code) {
  return Error(kind_of_errno(code), code, std::strerror(code));
}

Error Error::from_errno(int code, const std::string& path) {
  return Error(kind_of_errno(code), code, path + ": " + std::strerror(code));
}

std::string Error::describe() const {
  std::string text = message_.empty() ? std::string(error_kind_text(kind_)) : message_;
  text += " (";
  text += error_kind_text(kind_);
  if (os_error_ != 0) {
    text += ", os error ";
    text += std::to_string(os_error_);
  }
  text += ")";
  return text;
}

}  // namespace reelknit
