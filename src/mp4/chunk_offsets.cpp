#include "mp4/chunk_offsets.h"

#include <algorithm>

namespace reelknit {

Status write_chunk_offsets(OutputStream& output, const TrackDesc& track, const std::vector<PlacedMedia>& placed) {
  for (const std::uint64_t offset : track.stco) {
    // The last input whose media data starts at or before the chunk holds it
    // (every chunk was checked to lie inside its input's media data).
    auto holder = std::upper_bound(placed.begin(), placed.end(), offset,
                                   [](std::uint64_t value, const PlacedMedia& media) { return value < media.unpadded_base; });
    if (holder == placed.begin()) return Error(ErrorKind::InvalidData, "a chunk offset lies before all media data");
    --holder;
    REELKNIT_TRY(output.write_be64(holder->position + (offset - holder->unpadded_base)));
  }
  return success();
}

Status patch_pending_chunk_offsets(OutputStream& output, const Desc& desc, const WrittenMovie& written) {
  REELKNIT_ASSIGN_OR_RETURN(const std::uint64_t resume, output.position());
  for (const PendingChunkOffsets& table : written.pending_chunk_offsets) {
    REELKNIT_TRY(output.seek(SeekFrom::start(table.entries_position)));
    REELKNIT_TRY(write_chunk_offsets(output, desc.tracks[table.track_slot], written.placed_media));
  }
  REELKNIT_TRY(output.seek(SeekFrom::start(resume)));
  return success();
}

}  // namespace reelknit
