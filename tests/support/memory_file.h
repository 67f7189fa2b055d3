// An in-memory File that behaves like read(2) and write(2), with faults a
// test can inject: short counts, EINTR, writes that accept nothing, errors.
#pragma once

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <vector>

#include "io/file.h"

namespace reelknit::testing {

using Bytes = std::vector<std::uint8_t>;

struct Faults {
  std::size_t max_read = std::numeric_limits<std::size_t>::max();   ///< longest single read
  std::size_t max_write = std::numeric_limits<std::size_t>::max();  ///< longest single write
  int interrupt_every = 0;  ///< every n-th read or write call fails with EINTR first
  std::optional<std::uint64_t> write_zero_at;   ///< writes reaching this position accept nothing
  std::optional<std::uint64_t> write_error_at;  ///< writes reaching this position fail with write_errno
  int write_errno = ENOSPC;
  std::optional<std::uint64_t> read_error_at;  ///< reads reaching this position fail with read_errno
  int read_errno = EIO;
};

class MemoryFile final : public File {
 public:
  explicit MemoryFile(std::shared_ptr<Bytes> data, Faults faults = {}, std::uint64_t inode = next_inode())
      : data_(std::move(data)), faults_(faults), inode_(inode) {}

  static std::uint64_t next_inode() {
    static std::uint64_t counter = 1000;
    return ++counter;
  }

  Result<std::size_t> read_some(std::span<std::uint8_t> buffer) override {
    if (closed_) return Error::from_errno(EBADF);
    if (interrupt_now()) return Error::from_errno(EINTR);
    if (faults_.read_error_at && position_ + buffer.size() > *faults_.read_error_at)
      return Error::from_errno(faults_.read_errno);
    if (position_ >= data_->size()) return std::size_t{0};
    const std::size_t n = std::min({buffer.size(), faults_.max_read, static_cast<std::size_t>(data_->size() - position_)});
    std::memcpy(buffer.data(), data_->data() + position_, n);
    position_ += n;
    return n;
  }

  Result<std::size_t> write_some(std::span<const std::uint8_t> bytes) override {
    if (closed_) return Error::from_errno(EBADF);
    write_calls.push_back(bytes.size());
    if (interrupt_now()) return Error::from_errno(EINTR);
    std::size_t n = std::min(bytes.size(), faults_.max_write);
    if (faults_.write_error_at && position_ + n > *faults_.write_error_at) {
      if (position_ >= *faults_.write_error_at) return Error::from_errno(faults_.write_errno);
      n = static_cast<std::size_t>(*faults_.write_error_at - position_);
    }
    if (faults_.write_zero_at && position_ + n > *faults_.write_zero_at) {
      n = position_ >= *faults_.write_zero_at ? 0 : static_cast<std::size_t>(*faults_.write_zero_at - position_);
    }
    if (position_ + n > data_->size()) data_->resize(position_ + n);
    std::memcpy(data_->data() + position_, bytes.data(), n);
    position_ += n;
    return n;
  }

  Result<std::uint64_t> seek(SeekFrom target) override {
    if (closed_) return Error::from_errno(EBADF);
    // Like lseek(2): the result must be a non-negative off_t.
    constexpr auto largest = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
    std::uint64_t base = 0;
    std::int64_t offset = 0;
    switch (target.origin) {
      case SeekFrom::Origin::Start:
        if (target.position > largest) return Error::from_errno(EINVAL);
        position_ = target.position;
        return position_;
      case SeekFrom::Origin::Current: base = position_; offset = target.offset; break;
      case SeekFrom::Origin::End: base = data_->size(); offset = target.offset; break;
    }
    if (offset < 0 && std::uint64_t{0} - static_cast<std::uint64_t>(offset) > base) return Error::from_errno(EINVAL);
    const std::uint64_t moved = base + static_cast<std::uint64_t>(offset);
    if (moved > largest) return Error::from_errno(EINVAL);
    position_ = moved;
    return position_;
  }

  Result<FileStatus> status() override {
    if (closed_) return Error::from_errno(EBADF);
    return FileStatus{data_->size(), 1, inode_};
  }

  Status close() override {
    if (closed_) return Error::from_errno(EBADF);
    closed_ = true;
    return success();
  }

  Status sync() override {
    if (closed_) return Error::from_errno(EBADF);
    return on_sync ? on_sync() : success();
  }

  bool closed() const { return closed_; }

  /// What a sync does besides: note it, or fail.
  std::function<Status()> on_sync;

  /// The size offered by every write call, in order.
  std::vector<std::size_t> write_calls;

 private:
  bool interrupt_now() {
    if (faults_.interrupt_every <= 0) return false;
    return ++calls_ % faults_.interrupt_every == 0;
  }

  std::shared_ptr<Bytes> data_;
  Faults faults_;
  std::uint64_t inode_;
  std::uint64_t position_ = 0;
  int calls_ = 0;
  bool closed_ = false;
};

}  // namespace reelknit::testing
