#include "lib/output_stream.h"

#include <algorithm>

#include "lib/byte_order.h"

namespace reelknit {

OutputStream::OutputStream(ProgressStream sink) : sink_(std::move(sink)) { buffer_.reserve(CAPACITY); }

OutputStream::~OutputStream() { (void)release(); }

Status OutputStream::write(std::span<const std::uint8_t> bytes) {
  if (bytes.size() <= CAPACITY - buffer_.size()) {
    buffer_.insert(buffer_.end(), bytes.begin(), bytes.end());
    return success();
  }
  REELKNIT_TRY(flush());
  if (bytes.size() < CAPACITY) {
    buffer_.insert(buffer_.end(), bytes.begin(), bytes.end());
    return success();
  }
  return sink_.write_all(bytes);
}

Status OutputStream::write_be32(std::uint32_t value) {
  std::uint8_t bytes[4];
  store_be32(bytes, value);
  return write(bytes);
}

Status OutputStream::write_be64(std::uint64_t value) {
  std::uint8_t bytes[8];
  store_be64(bytes, value);
  return write(bytes);
}

Status OutputStream::flush() {
  std::size_t done = 0;
  Status result;
  while (done < buffer_.size()) {
    auto n = sink_.write_some(std::span(buffer_).subspan(done));
    if (!n) {
      if (n.error().kind() == ErrorKind::Interrupted) continue;
      result = std::move(n).error();
      break;
    }
    if (*n == 0) {
      result = Error(ErrorKind::WriteZero, "failed to write the buffered data");
      break;
    }
    done += *n;
  }
  // What was written leaves the buffer; the rest stays for a later flush.
  buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(done));
  return result;
}

Result<std::uint64_t> OutputStream::position() {
  REELKNIT_TRY(flush());
  return sink_.seek(SeekFrom::current(0));
}

Result<std::uint64_t> OutputStream::seek(SeekFrom target) {
  REELKNIT_TRY(flush());
  return sink_.seek(target);
}

Status OutputStream::release() {
  if (released_) return success();
  released_ = true;
  Status flushed = flush();
  buffer_.clear();
  buffer_.shrink_to_fit();
  Status closed = sink_.close();
  if (!flushed) return flushed;
  return closed;
}

namespace {

template <std::size_t Width, class Store>
Status patch_at(OutputStream& out, std::uint64_t field_position, Store store) {
  REELKNIT_ASSIGN_OR_RETURN(const std::uint64_t resume, out.position());
  REELKNIT_TRY(out.seek(SeekFrom::start(field_position)));
  std::uint8_t bytes[Width];
  store(bytes);
  REELKNIT_TRY(out.write(bytes));
  REELKNIT_TRY(out.seek(SeekFrom::start(resume)));
  return success();
}

}  // namespace

Status patch_be32_at(OutputStream& out, std::uint64_t field_position, std::uint32_t value) {
  return patch_at<4>(out, field_position, [value](std::uint8_t* p) { store_be32(p, value); });
}

Status patch_be64_at(OutputStream& out, std::uint64_t field_position, std::uint64_t value) {
  return patch_at<8>(out, field_position, [value](std::uint8_t* p) { store_be64(p, value); });
}

Result<std::uint64_t> copy_to_output(File& input, std::uint64_t count, OutputStream& out) {
  // Large reads keep the system calls per byte low; the block then passes
  // the output buffer straight to the file.
  constexpr std::size_t CHUNK = 1024 * 1024;
  std::vector<std::uint8_t> chunk(static_cast<std::size_t>(std::min<std::uint64_t>(count, CHUNK)));
  std::uint64_t copied = 0;
  while (copied < count) {
    const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(count - copied, chunk.size()));
    REELKNIT_ASSIGN_OR_RETURN(const std::size_t n, read_some_retrying(input, std::span(chunk).first(want)));
    if (n == 0) break;
    REELKNIT_TRY(out.write(std::span(chunk).first(n)));
    copied += n;
  }
  return copied;
}

}  // namespace reelknit
