#include "io/output_stream.h"

#include <algorithm>
#include <cerrno>

#include "base/byte_order.h"
#include "base/log_line.h"

namespace reelknit {

OutputStream::OutputStream(ProgressStream sink, RangeCopy range_copy, RangeClone range_clone)
    : sink_(std::move(sink)), range_copy_(std::move(range_copy)), range_clone_(std::move(range_clone)) {
  buffer_.reserve(CAPACITY);
}

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

Status OutputStream::sync() {
  REELKNIT_TRY(flush());
  return sink_.file().sync();
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

namespace {

/// The answers of a kernel that cannot copy between these two descriptors
/// (no such call, different file systems, a pipe or device, a file opened for
/// appending, a seccomp filter): the buffered copy can still do it, and it
/// reports whatever real fault there is in its own words.
bool refuses_range_copy(const Error& error) {
  switch (error.os_error()) {
    case ENOSYS:
    case EXDEV:
    case EINVAL:
    case EOPNOTSUPP:
#if ENOTSUP != EOPNOTSUPP
    case ENOTSUP:
#endif
    case EBADF:
    case ETXTBSY:
    case EPERM:
    case EINTR:  // the buffered copy, which retries its own reads and writes, goes on from here
      return true;
    default: return false;
  }
}

/// Moves as much of `count` as the kernel will, from the input's position to
/// the output's, and returns the bytes moved. It stops at the first call that
/// copies nothing or is refused and leaves the rest to the buffered copy, which
/// also has the last word on where the input ends.
Result<std::uint64_t> copy_in_kernel(File& input, std::uint64_t count, OutputStream& out) {
  const int from = input.native_handle();
  const int to = out.sink().file().native_handle();
  // Small copies stay in the buffer: a flush and a system call each would cost more.
  if (count < DIRECT_COPY_MIN || !out.range_copy() || from < 0 || to < 0) return std::uint64_t{0};
  // Bytes still in the buffer belong before the copied ones.
  REELKNIT_TRY(out.flush());
  std::uint64_t copied = 0;
  while (copied < count) {
    REELKNIT_TRY(out.sink().check_stop());
    const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(count - copied, DIRECT_COPY_CHUNK));
    auto n = out.range_copy()(from, to, want);
    if (!n) {
      if (refuses_range_copy(n.error())) break;
      return std::move(n).error();
    }
    if (*n == 0) break;
    copied += *n;
    out.sink().count_written(*n);
  }
  return copied;
}

}  // namespace

Result<std::uint64_t> copy_to_output(File& input, std::uint64_t count, OutputStream& out) {
  REELKNIT_ASSIGN_OR_RETURN(std::uint64_t copied, copy_in_kernel(input, count, out));
  if (copied == count) return copied;
  // Blocks of 64 KiB or more pass the output buffer straight to the file.
  std::vector<std::uint8_t> chunk(static_cast<std::size_t>(std::min<std::uint64_t>(count - copied, BUFFERED_COPY_CHUNK)));
  while (copied < count) {
    const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(count - copied, chunk.size()));
    REELKNIT_ASSIGN_OR_RETURN(const std::size_t n, read_some_retrying(input, std::span(chunk).first(want)));
    if (n == 0) break;
    REELKNIT_TRY(out.write(std::span(chunk).first(n)));
    copied += n;
  }
  return copied;
}

namespace {

/// Copies exactly `count` bytes from `offset` of the input to the output's position.
Status copy_range(File& input, std::uint64_t offset, std::uint64_t count, OutputStream& out) {
  if (count == 0) return success();
  REELKNIT_TRY(input.seek(SeekFrom::start(offset)));
  REELKNIT_ASSIGN_OR_RETURN(const std::uint64_t copied, copy_to_output(input, count, out));
  if (copied != count) return unexpected_eof();
  return success();
}

/// Shares as many whole blocks of `count` bytes as the file system will, from
/// `offset` of the input to the output's position; returns the bytes shared.
/// It stops at the first refusal and leaves the rest to the copy: a refused
/// call changes nothing, so no wrong byte is left behind.
Result<std::uint64_t> clone_blocks(File& input, std::uint64_t offset, std::uint64_t count, OutputStream& out) {
  const int from = input.native_handle();
  const int to = out.sink().file().native_handle();
  if (count == 0 || !out.range_clone() || from < 0 || to < 0) return std::uint64_t{0};
  REELKNIT_ASSIGN_OR_RETURN(const std::uint64_t at, out.position());  // flushes what lies before
  std::uint64_t cloned = 0;
  while (cloned < count) {
    REELKNIT_TRY(out.sink().check_stop());
    const std::uint64_t length = std::min(count - cloned, CLONE_CHUNK);
    if (const Status shared = out.range_clone()(from, offset + cloned, to, at + cloned, length); !shared) {
      // Another file system, or one that cannot share blocks: the copy takes
      // over, as it always could. The next input is offered again (it may lie
      // on the output's file system), but its refusal is no news.
      if (out.first_clone_refusal()) {
        REELKNIT_DEBUG(LOG_TARGET_DRIVER, "Copying instead of sharing blocks: {}", shared.error().describe());
      } else {
        REELKNIT_TRACE(LOG_TARGET_DRIVER, "Copying instead of sharing blocks: {}", shared.error().describe());
      }
      break;
    }
    cloned += length;
    out.sink().count_written(length);
  }
  REELKNIT_TRY(out.seek(SeekFrom::start(at + cloned)));
  return cloned;
}

}  // namespace

Status place_media_data(File& input, std::uint64_t offset, std::uint64_t count, std::uint64_t granularity,
                        OutputStream& out) {
  // The partial block before the first whole one, the whole blocks, the partial block after them.
  const std::uint64_t into_block = offset % granularity;
  const std::uint64_t head = std::min(count, into_block == 0 ? 0 : granularity - into_block);
  const std::uint64_t whole = (count - head) / granularity * granularity;
  REELKNIT_TRY(copy_range(input, offset, head, out));
  REELKNIT_ASSIGN_OR_RETURN(const std::uint64_t cloned, clone_blocks(input, offset + head, whole, out));
  return copy_range(input, offset + head + cloned, count - head - cloned, out);
}

}  // namespace reelknit
