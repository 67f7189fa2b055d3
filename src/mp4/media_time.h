// How one chapter's media times become the joined track's. A track whose
// chapters share a timescale, or one that all of theirs divide, is converted
// exactly by a whole factor. A sound track keeps its first chapter's
// timescale, which players take for its sample rate: a chapter recorded at
// another rate has its times rounded, the remainder carried from sample to
// sample, so that no sample starts more than half a tick from its exact time.
#pragma once

#include <cstdint>

namespace reelknit {

/// value × factor, or the largest value where the product passes 64 bits.
std::uint64_t times_saturated(std::uint64_t value, std::uint64_t factor);

/// round(value × to ÷ from), exact in integers; saturates where it passes 64 bits.
std::uint64_t scale_rounded(std::uint64_t value, std::uint32_t from, std::uint32_t to);

class MediaTimeScale {
 public:
  /// Times are kept as they are.
  MediaTimeScale() = default;
  /// Times are multiplied by `factor`.
  static MediaTimeScale exact(std::uint64_t factor) { return MediaTimeScale(factor, 1, 1); }
  /// Times counted in `from` become times counted in `to`, rounded.
  static MediaTimeScale rounded(std::uint32_t from, std::uint32_t to) { return MediaTimeScale(1, from, to); }

  bool is_exact() const { return from_ == to_; }

  /// A time counted from the chapter's media start: an edit's media time, a duration.
  std::uint64_t time(std::uint64_t value) const;

  /// A composition offset (signed in a version-1 table).
  std::int64_t offset(std::int64_t value) const;

  /// The duration of the chapter's next sample, given its own: where its end
  /// falls, rounded, less where its start fell. Samples are taken in decode order.
  std::uint64_t next_delta(std::uint32_t delta);

 private:
  MediaTimeScale(std::uint64_t factor, std::uint32_t from, std::uint32_t to) : factor_(factor), from_(from), to_(to) {}

  std::uint64_t factor_ = 1;
  std::uint32_t from_ = 1;
  std::uint32_t to_ = 1;
  std::uint64_t source_elapsed_ = 0;  ///< the chapter's samples so far, in its own ticks
  std::uint64_t emitted_ = 0;         ///< the same samples, in the joined track's ticks
};

}  // namespace reelknit
