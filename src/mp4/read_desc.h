// Walks one input's box tree and adds its durations and sample tables to the Desc.
#pragma once

#include <cstddef>
#include <cstdint>

#include "mp4/desc.h"
#include "io/buffered_reader.h"

namespace reelknit {

/// Reads the box list that starts at the reader's position and spans `limit`
/// bytes, adding input `input_index`'s movie and track data to `desc`,
/// renumbered against the inputs read before. Boxes of this list belong to
/// track slot `track_index`; each `trak` met advances it for the boxes after it.
Status read_desc(BufferedReader& reader, Desc& desc, std::uint64_t track_index, std::uint64_t limit,
                 std::size_t input_index);

}  // namespace reelknit
