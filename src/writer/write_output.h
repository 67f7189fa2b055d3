// Writes the output's box tree: the first input's tree with merged durations,
// rebuilt sample tables and one media-data box holding every input's media.
#pragma once

#include <cstdint>
#include <span>

#include "desc_reader/desc.h"
#include "lib/file.h"
#include "lib/output_stream.h"

namespace reelknit {

/// Walks the box list of the first input that starts at its current read
/// position and spans `limit` bytes, and writes the matching output boxes at
/// the output's position. Records `mdat_position` and each track's
/// `co64_position` in `desc`. Returns the bytes written at this level.
Result<std::uint64_t> write_output(std::span<InputFile> inputs, OutputStream& output, Desc& desc,
                                   std::uint64_t track_index, std::uint64_t limit);

}  // namespace reelknit
