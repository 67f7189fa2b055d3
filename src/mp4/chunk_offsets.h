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

/// Where one input's media data landed in the output.
struct PlacedMedia {
  std::uint64_t unpadded_base = 0;  ///< where it starts in the media data laid end to end (a chunk offset's base)
  std::uint64_t size = 0;
  std::uint64_t position = 0;  ///< where it starts in the output file
};

/// What the writer learned about the output's layout.
struct WrittenMovie {
  /// Output position of the merged `mdat`'s first payload byte, once written.
  std::optional<std::uint64_t> media_data_position;
  /// Every input's media data, in input order, once written.
  std::vector<PlacedMedia> placed_media;
  std::vector<PendingChunkOffsets> pending_chunk_offsets;
};

/// Writes the track's chunk offsets as 64-bit entries at the output's position:
/// each chunk's offset in the media data laid end to end, moved to where its
/// input's media data landed.
Status write_chunk_offsets(OutputStream& output, const TrackDesc& track, const std::vector<PlacedMedia>& placed);

/// Writes the final entries over every table in `written.pending_chunk_offsets`,
/// then returns the output to where it stood.
Status patch_pending_chunk_offsets(OutputStream& output, const Desc& desc, const WrittenMovie& written);

}  // namespace reelknit
