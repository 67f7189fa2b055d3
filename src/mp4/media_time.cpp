#include "mp4/media_time.h"

#include <limits>

namespace reelknit {

namespace {

constexpr std::uint64_t U64_MAX = std::numeric_limits<std::uint64_t>::max();

}  // namespace

std::uint64_t times_saturated(std::uint64_t value, std::uint64_t factor) {
  if (factor != 0 && value > U64_MAX / factor) return U64_MAX;
  return value * factor;
}

std::uint64_t scale_rounded(std::uint64_t value, std::uint32_t from, std::uint32_t to) {
  if (from == 0) return value == 0 ? 0 : U64_MAX;
  // value = whole × from + rest: rest × to stays below 2^64 with both below 2^32.
  const std::uint64_t whole = value / from;
  const std::uint64_t rest = value % from;
  const std::uint64_t rest_scaled = (rest * to + from / 2) / from;
  if (whole != 0 && to > (U64_MAX - rest_scaled) / whole) return U64_MAX;
  return whole * to + rest_scaled;
}

std::uint64_t MediaTimeScale::time(std::uint64_t value) const {
  return is_exact() ? times_saturated(value, factor_) : scale_rounded(value, from_, to_);
}

std::int64_t MediaTimeScale::offset(std::int64_t value) const {
  if (is_exact()) return value * static_cast<std::int64_t>(factor_);  // the reader bounds it to 32 bits
  const std::uint64_t magnitude = scale_rounded(value < 0 ? 0 - static_cast<std::uint64_t>(value)
                                                          : static_cast<std::uint64_t>(value),
                                                from_, to_);
  return value < 0 ? -static_cast<std::int64_t>(magnitude) : static_cast<std::int64_t>(magnitude);
}

std::uint64_t MediaTimeScale::next_delta(std::uint32_t delta) {
  if (is_exact()) return std::uint64_t{delta} * factor_;
  source_elapsed_ += delta;
  const std::uint64_t end = scale_rounded(source_elapsed_, from_, to_);
  const std::uint64_t scaled = end - emitted_;
  emitted_ = end;
  return scaled;
}

}  // namespace reelknit
