// What the join fuzz targets share: a join of in-memory files through the
// driver's seams, and the checks that turn a broken output reported as a
// success into a crash the fuzzer keeps.
#pragma once

#include <cstdint>
#include <vector>

#include "reelknit/error.h"

namespace reelknit::fuzzing {

using Bytes = std::vector<std::uint8_t>;

/// A small valid recording (video with sync samples and composition offsets,
/// audio, timecode) to join the fuzzed bytes with.
const Bytes& partner_movie();

/// Joins `inputs` in memory, in order. On success the output must keep the
/// layout promise (box sizes tile it, every chunk inside the media data);
/// either way the inputs must be unchanged. Aborts with a message otherwise.
void join_and_check(const std::vector<Bytes>& inputs);

}  // namespace reelknit::fuzzing
