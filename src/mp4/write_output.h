// Writes the output's box tree: the first input's tree with merged durations,
// rebuilt sample tables and one media-data box holding every input's media.
#pragma once

#include <cstdint>
#include <span>

#include "io/file.h"
#include "io/output_stream.h"
#include "mp4/chunk_offsets.h"
#include "mp4/desc.h"

namespace reelknit {

/// Writes the output's box tree at the output's position, walking the first
/// input's boxes up to `box_part_end` (its end, or where its Insta360 trailer
/// starts). Every chunk offset is final when this returns: written once where
/// the media data was already placed, patched where the movie came first.
/// Returns where the media data and the tables that waited for it landed.
Result<WrittenMovie> write_output(std::span<InputFile> inputs, OutputStream& output, const Desc& desc,
                                  std::uint64_t box_part_end);

}  // namespace reelknit
