// The 64 KiB write buffer over the ProgressStream. Small writes are copied
// into the buffer; a block of 64 KiB or more goes straight through. Every
// position query and seek flushes first, so a patch never lands behind
// bytes still waiting in the buffer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "io/progress_stream.h"
#include "io/range_copy.h"

namespace reelknit {

class OutputStream {
 public:
  static constexpr std::size_t CAPACITY = 64 * 1024;

  /// `range_copy` moves large copies inside the kernel (copy_to_output), and
  /// `range_clone` shares blocks (place_media_data); empty ones keep every
  /// byte on the buffered road.
  explicit OutputStream(ProgressStream sink, RangeCopy range_copy = offloaded_range_copy(),
                        RangeClone range_clone = system_range_clone());
  ~OutputStream();
  OutputStream(const OutputStream&) = delete;
  OutputStream& operator=(const OutputStream&) = delete;

  Status write(std::span<const std::uint8_t> bytes);
  Status write_be32(std::uint32_t value);
  Status write_be64(std::uint64_t value);

  /// Writes out the buffer; "failed to write the buffered data" when a write accepts none.
  Status flush();
  Result<std::uint64_t> position();
  Result<std::uint64_t> seek(SeekFrom target);

  /// Flushes, then waits until every byte written has reached the disk.
  Status sync();

  /// Flushes, frees the buffer and closes the file. Returns the first failure,
  /// which a caller on an error path may ignore. Later calls do nothing.
  Status release();

  ProgressStream& sink() { return sink_; }
  const RangeCopy& range_copy() const { return range_copy_; }
  const RangeClone& range_clone() const { return range_clone_; }
  /// True the first time it is asked, false after: one refused clone is worth
  /// telling, the same refusal for every later input is not.
  bool first_clone_refusal() { return !std::exchange(clone_refused_, true); }

 private:
  ProgressStream sink_;
  RangeCopy range_copy_;
  RangeClone range_clone_;
  std::vector<std::uint8_t> buffer_;
  bool released_ = false;
  bool clone_refused_ = false;
};

/// Overwrites a field already written: note the position, seek to `field_position`,
/// write, seek back.
Status patch_be32_at(OutputStream& out, std::uint64_t field_position, std::uint32_t value);
Status patch_be64_at(OutputStream& out, std::uint64_t field_position, std::uint64_t value);

/// Copies up to `count` bytes from the current position of `input` to `out`.
/// Stops early, without error, where the input ends; returns the bytes copied.
/// The input is left after the bytes copied, the output after the bytes written.
/// A copy of DIRECT_COPY_MIN bytes or more between two descriptors goes through
/// the stream's range copy when it has one, in DIRECT_COPY_CHUNK pieces, each
/// counted by the ProgressStream; what the kernel refuses takes the buffered road.
Result<std::uint64_t> copy_to_output(File& input, std::uint64_t count, OutputStream& out);

/// Writes `count` bytes of `input`, from `offset` on, at the output's position,
/// which must lie at the same offset within a clone block (`granularity`) as
/// `offset` does in the input. The whole blocks in between share the input's
/// blocks where the file system can (one progress step per clone); the partial
/// blocks at either end, and whatever a clone refuses, are copied; the
/// stream's first refusal is one debug line, any later one a trace line. An input
/// that ends first fails with "failed to fill whole buffer". The output is
/// left after the bytes written; the input's position is not kept.
Status place_media_data(File& input, std::uint64_t offset, std::uint64_t count, std::uint64_t granularity,
                        OutputStream& out);

/// The most one clone call shares: progress moves once per call.
inline constexpr std::uint64_t CLONE_CHUNK = 1024ull * 1024 * 1024;

inline constexpr std::uint64_t DIRECT_COPY_MIN = 1024 * 1024;
inline constexpr std::size_t DIRECT_COPY_CHUNK = 8 * 1024 * 1024;
/// The reads of the buffered road: few system calls, and a buffer that leaves
/// room in a core's L2 cache while the kernel copies into and out of it (a
/// buffer the size of the L2 cache was at times three times slower, and 2 MiB
/// always was; bench/README.md).
inline constexpr std::size_t BUFFERED_COPY_CHUNK = 512 * 1024;

}  // namespace reelknit
