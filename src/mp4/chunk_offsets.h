// Where each chunk lands in the output: the one place that turns the chunk
// offsets the reader collected into the output's `co64` entries.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "io/output_stream.h"
#include "mp4/desc.h"

namespace reelknit {

/// A chunk-offset table written before the media data was placed.
struct PendingChunkOffsets {
  std::uint64_t track_slot = 0;
  std::uint64_t entries_position = 0;  ///< output position of its first 8-byte entry
};

/// What the writer learned about the output's layout.
struct WrittenMovie {
  /// Output position of the merged `mdat`'s first payload byte, once written.
  std::optional<std::uint64_t> media_data_position;
  std::vector<PendingChunkOffsets> pending_chunk_offsets;
};

/// Writes the track's chunk offsets as 64-bit entries at the output's position,
/// for merged media data whose payload starts at `media_data_position`.
Status write_chunk_offsets(OutputStream& output, const TrackDesc& track, std::uint64_t media_data_position);

/// Writes the final entries over every table in `written.pending_chunk_offsets`,
/// then returns the output to where it stood.
Status patch_pending_chunk_offsets(OutputStream& output, const Desc& desc, const WrittenMovie& written);

}  // namespace reelknit
