// The one error value of the library, and the result type that carries it.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <variant>

namespace reelknit {

/// What went wrong, independent of the platform.
enum class ErrorKind {
  NotFound,
  PermissionDenied,
  AlreadyExists,
  IsADirectory,
  InvalidInput,
  InvalidData,
  UnexpectedEof,
  WriteZero,
  StorageFull,
  Interrupted,
  Unsupported,
  /// The caller asked a join in progress to stop; it left nothing behind.
  Cancelled,
  Other,
};

/// Lower-case name of a kind, as shown to users ("unexpected end of file").
const char* error_kind_text(ErrorKind kind);

/// An I/O error: a kind, the operating system's error number where the
/// system gave one (0 otherwise), and a message.
class Error {
 public:
  /// An error the program makes itself.
  Error(ErrorKind kind, std::string message) : kind_(kind), message_(std::move(message)) {}

  /// The error of a failed system call; the message is the system's text for `code`.
  static Error from_errno(int code);
  /// The error of a failed system call on `path`: "path: " and the system's text for `code`.
  static Error from_errno(int code, const std::string& path);

  ErrorKind kind() const { return kind_; }
  int os_error() const { return os_error_; }
  const std::string& message() const { return message_; }

  /// "message (kind, os error N)": everything a person needs to act on it.
  std::string describe() const;

 private:
  Error(ErrorKind kind, int os_error, std::string message)
      : kind_(kind), os_error_(os_error), message_(std::move(message)) {}

  ErrorKind kind_;
  int os_error_ = 0;
  std::string message_;
};

/// Either a value or the first error met. Results must be looked at.
template <class T>
class [[nodiscard]] Result {
 public:
  Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
  Result(Error error) : state_(std::in_place_index<1>, std::move(error)) {}

  bool ok() const { return state_.index() == 0; }
  explicit operator bool() const { return ok(); }

  T& value() & { return std::get<0>(state_); }
  const T& value() const& { return std::get<0>(state_); }
  T&& value() && { return std::get<0>(std::move(state_)); }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }

  const Error& error() const& { return std::get<1>(state_); }
  Error&& error() && { return std::get<1>(std::move(state_)); }

 private:
  std::variant<T, Error> state_;
};

template <>
class [[nodiscard]] Result<void> {
 public:
  Result() = default;
  Result(Error error) : error_(std::move(error)) {}

  bool ok() const { return !error_.has_value(); }
  explicit operator bool() const { return ok(); }

  const Error& error() const& { return *error_; }
  Error&& error() && { return std::move(*error_); }

 private:
  std::optional<Error> error_;
};

using Status = Result<void>;

inline Status success() { return {}; }

}  // namespace reelknit

#define REELKNIT_CONCAT_INNER(a, b) a##b
#define REELKNIT_CONCAT(a, b) REELKNIT_CONCAT_INNER(a, b)

/// Returns the error of `expr` from the enclosing function, unchanged.
#define REELKNIT_TRY(expr)                                              \
  do {                                                                  \
    if (auto reelknit_try_result_ = (expr); !reelknit_try_result_)      \
      return std::move(reelknit_try_result_).error();                   \
  } while (false)

#define REELKNIT_ASSIGN_OR_RETURN_IMPL(tmp, decl, expr) \
  auto tmp = (expr);                                    \
  if (!tmp) return std::move(tmp).error();              \
  decl = std::move(tmp).value()

/// `decl = value of expr`, or return its error from the enclosing function.
#define REELKNIT_ASSIGN_OR_RETURN(decl, expr) \
  REELKNIT_ASSIGN_OR_RETURN_IMPL(REELKNIT_CONCAT(reelknit_assign_, __LINE__), decl, expr)
