// The byte sink under the output stream: it writes to the output file, counts
// the bytes and turns them into progress reports, at most one per 100 ms.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>

#include "io/file.h"
#include "reelknit/progress.h"

namespace reelknit {

using Instant = std::chrono::steady_clock::time_point;
/// A monotonic clock; tests pass their own so the throttle is tested without sleeping.
using Clock = std::function<Instant()>;

inline Instant steady_now() { return std::chrono::steady_clock::now(); }

class ProgressStream {
 public:
  static constexpr std::chrono::milliseconds REPORT_INTERVAL{100};

  /// Reports writing progress out of `total` bytes; the first report comes
  /// once REPORT_INTERVAL has passed since the stream was made. Once `stop`
  /// (when given; it must outlive the stream) is set, every write fails.
  ProgressStream(std::unique_ptr<File> file, std::uint64_t total, ProgressCallback progress,
                 Clock clock = steady_now, const std::atomic<bool>* stop = nullptr);

  /// One write, retried while interrupted (the one place a write is); may
  /// accept fewer bytes than offered.
  Result<std::size_t> write_some(std::span<const std::uint8_t> bytes);
  /// The error of a stopped join once stop was asked for. Every write asks;
  /// roads that move bytes without a write (kernel copies, clones) ask before each call.
  Status check_stop() const;
  /// Writes every byte; "failed to write whole buffer" when a write accepts none.
  Status write_all(std::span<const std::uint8_t> bytes);
  Result<std::uint64_t> seek(SeekFrom target);

  /// Counts bytes that reached the output file by another road, and reports as for a write.
  void count_written(std::uint64_t bytes);

  std::uint64_t written() const { return written_; }
  File& file() { return *file_; }
  Status close() { return file_->close(); }

 private:
  void report_progress();

  std::unique_ptr<File> file_;
  std::uint64_t total_;
  ProgressCallback progress_;
  Clock clock_;
  const std::atomic<bool>* stop_;
  Instant last_report_;
  std::uint64_t written_ = 0;
};

/// The error of a join stopped at its caller's request.
Error stopped_error();

/// The fraction reported after `written` of `total` bytes: 0.1 + 0.9 × written / total,
/// kept below 0.9999 (and 0.9999 when it is not a number).
double writing_progress(std::uint64_t written, std::uint64_t total);

}  // namespace reelknit
