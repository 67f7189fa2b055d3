// A 16 KiB read buffer over one input, so the many small reads of a box walk
// cost one system call per 16 KiB. Every seek empties the buffer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "io/file.h"

namespace reelknit {

class BufferedReader {
 public:
  static constexpr std::size_t CAPACITY = 16 * 1024;

  /// Reads `file` from its current position; the file must outlive the reader.
  explicit BufferedReader(File& file, std::size_t capacity = CAPACITY);

  /// Exactly `out.size()` bytes, or "failed to fill whole buffer" (the bytes read stay consumed).
  Status read_exact(std::span<std::uint8_t> out);
  Result<std::uint8_t> read_u8();
  Result<std::uint32_t> read_be32();
  Result<std::uint64_t> read_be64();

  /// The logical position: the file's position less what is still buffered.
  Result<std::uint64_t> position();
  /// Moves the logical position; returns it. A target inside the buffered bytes
  /// is reached without a system call; any other empties the buffer.
  Result<std::uint64_t> seek(SeekFrom target);

 private:
  std::size_t buffered() const { return end_ - begin_; }
  Result<std::size_t> read_file(std::span<std::uint8_t> out);
  Result<std::uint64_t> file_position();

  File& file_;
  /// Where the file stands, once known: saves a system call per position query.
  std::optional<std::uint64_t> file_position_;
  std::vector<std::uint8_t> buffer_;
  std::size_t begin_ = 0;
  std::size_t end_ = 0;
};

}  // namespace reelknit
