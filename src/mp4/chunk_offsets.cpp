#include "mp4/chunk_offsets.h"

namespace reelknit {

Status write_chunk_offsets(OutputStream& output, const TrackDesc& track, std::uint64_t media_data_position) {
  for (const std::uint64_t offset : track.stco) REELKNIT_TRY(output.write_be64(media_data_position + offset));
  return success();
}

Status patch_pending_chunk_offsets(OutputStream& output, const Desc& desc, const WrittenMovie& written) {
  REELKNIT_ASSIGN_OR_RETURN(const std::uint64_t resume, output.position());
  for (const PendingChunkOffsets& table : written.pending_chunk_offsets) {
    REELKNIT_TRY(output.seek(SeekFrom::start(table.entries_position)));
    REELKNIT_TRY(write_chunk_offsets(output, desc.tracks[table.track_slot], *written.media_data_position));
  }
  REELKNIT_TRY(output.seek(SeekFrom::start(resume)));
  return success();
}

}  // namespace reelknit
