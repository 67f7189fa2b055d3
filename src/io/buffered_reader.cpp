#include "io/buffered_reader.h"

#include <algorithm>
#include <cstring>

#include "base/byte_order.h"

namespace reelknit {

BufferedReader::BufferedReader(File& file, std::size_t capacity) : file_(file), buffer_(capacity) {}

Status BufferedReader::read_exact(std::span<std::uint8_t> out) {
  while (!out.empty()) {
    if (buffered() == 0) {
      if (out.size() >= buffer_.size()) {
        // A large request gains nothing from the buffer: read straight into place.
        REELKNIT_ASSIGN_OR_RETURN(const std::size_t n, read_file(out));
        if (n == 0) return unexpected_eof();
        out = out.subspan(n);
        continue;
      }
      REELKNIT_ASSIGN_OR_RETURN(const std::size_t n, read_file(buffer_));
      if (n == 0) return unexpected_eof();
      begin_ = 0;
      end_ = n;
    }
    const std::size_t take = std::min(out.size(), buffered());
    std::memcpy(out.data(), buffer_.data() + begin_, take);
    begin_ += take;
    out = out.subspan(take);
  }
  return success();
}

Result<std::uint8_t> BufferedReader::read_u8() {
  std::uint8_t byte = 0;
  REELKNIT_TRY(read_exact({&byte, 1}));
  return byte;
}

Result<std::uint32_t> BufferedReader::read_be32() {
  std::uint8_t bytes[4];
  REELKNIT_TRY(read_exact(bytes));
  return load_be32(bytes);
}

Result<std::uint64_t> BufferedReader::read_be64() {
  std::uint8_t bytes[8];
  REELKNIT_TRY(read_exact(bytes));
  return load_be64(bytes);
}

Result<std::size_t> BufferedReader::read_file(std::span<std::uint8_t> out) {
  auto n = read_some_retrying(file_, out);
  if (!n) {
    file_position_.reset();
    return n;
  }
  if (file_position_) *file_position_ += *n;
  return n;
}

Result<std::uint64_t> BufferedReader::file_position() {
  if (!file_position_) {
    REELKNIT_ASSIGN_OR_RETURN(file_position_, file_.position());
  }
  return *file_position_;
}

Result<std::uint64_t> BufferedReader::position() {
  REELKNIT_ASSIGN_OR_RETURN(const std::uint64_t at, file_position());
  return at - buffered();
}

Result<std::uint64_t> BufferedReader::seek(SeekFrom target) {
  if (target.origin != SeekFrom::Origin::End) {
    REELKNIT_ASSIGN_OR_RETURN(const std::uint64_t at, file_position());
    const std::uint64_t logical = at - buffered();
    const std::uint64_t buffer_start = at - end_;
    std::optional<std::uint64_t> wanted;
    if (target.origin == SeekFrom::Origin::Start) {
      wanted = target.position;
    } else if (target.offset >= 0 || std::uint64_t{0} - static_cast<std::uint64_t>(target.offset) <= logical) {
      wanted = logical + static_cast<std::uint64_t>(target.offset);
    }
    if (wanted && *wanted >= buffer_start && *wanted <= at) {
      begin_ = static_cast<std::size_t>(*wanted - buffer_start);
      return *wanted;
    }
    // A target before the start of the file is left to the file to refuse.
    target = wanted ? SeekFrom::start(*wanted) : SeekFrom::current(target.offset - static_cast<std::int64_t>(buffered()));
  }
  begin_ = end_ = 0;
  auto moved = file_.seek(target);
  if (moved) {
    file_position_ = *moved;
  } else {
    file_position_.reset();
  }
  return moved;
}

}  // namespace reelknit
