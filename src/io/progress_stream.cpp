#include "io/progress_stream.h"

#include <cmath>

namespace reelknit {

ProgressStream::ProgressStream(std::unique_ptr<File> file, std::uint64_t total, ProgressCallback progress, Clock clock,
                               const std::atomic<bool>* stop)
    : file_(std::move(file)),
      total_(total),
      progress_(std::move(progress)),
      clock_(std::move(clock)),
      stop_(stop),
      last_report_(clock_()) {}

Error stopped_error() { return Error(ErrorKind::Cancelled, "the join was stopped before it was finished"); }

Status ProgressStream::check_stop() const {
  if (stop_ && stop_->load(std::memory_order_relaxed)) return stopped_error();
  return success();
}

Result<std::size_t> ProgressStream::write_some(std::span<const std::uint8_t> bytes) {
  REELKNIT_TRY(check_stop());
  for (;;) {
    auto n = file_->write_some(bytes);
    if (!n && n.error().kind() == ErrorKind::Interrupted) continue;
    if (!n) return n;
    count_written(*n);
    return n;
  }
}

Status ProgressStream::write_all(std::span<const std::uint8_t> bytes) {
  while (!bytes.empty()) {
    REELKNIT_ASSIGN_OR_RETURN(const std::size_t n, write_some(bytes));
    if (n == 0) return Error(ErrorKind::WriteZero, "failed to write whole buffer");
    bytes = bytes.subspan(n);
  }
  return success();
}

Result<std::uint64_t> ProgressStream::seek(SeekFrom target) { return file_->seek(target); }

void ProgressStream::count_written(std::uint64_t bytes) {
  written_ += bytes;
  report_progress();
}

double writing_progress(std::uint64_t written, std::uint64_t total) {
  const double p = static_cast<double>(written) / static_cast<double>(total) * 0.9 + 0.1;
  if (std::isnan(p) || !(p < 0.9999)) return 0.9999;
  return p;
}

void ProgressStream::report_progress() {
  const Instant now = clock_();
  const auto elapsed = now < last_report_ ? std::chrono::milliseconds(0)
                                          : std::chrono::duration_cast<std::chrono::milliseconds>(now - last_report_);
  if (elapsed <= REPORT_INTERVAL) return;
  if (progress_) progress_(writing_progress(written_, total_));
  last_report_ = clock_();
}

}  // namespace reelknit
