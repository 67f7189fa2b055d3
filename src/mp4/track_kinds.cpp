#include "mp4/track_kinds.h"

#include <algorithm>

#include "base/format.h"
#include "mp4/box.h"

namespace reelknit {
namespace {

struct KindWalk {
  BufferedReader& reader;
  std::vector<TrackKind>& kinds;
};

/// Reads the handler type of an `hdlr` box: after version and flags, and a 32-bit pre_defined.
Status read_handler(KindWalk& walk, const BoxHeader& header) {
  if (header.payload_size() < 12) return success();
  REELKNIT_TRY(walk.reader.seek(SeekFrom::start(header.payload_position() + 8)));
  REELKNIT_ASSIGN_OR_RETURN(walk.kinds.back().handler, walk.reader.read_be32());
  return success();
}

/// Reads the format of the first sample entry: after version, flags and the entry count.
Status read_first_format(KindWalk& walk, const BoxHeader& header) {
  if (header.payload_size() < 16) return success();
  REELKNIT_TRY(walk.reader.seek(SeekFrom::start(header.payload_position() + 8)));
  REELKNIT_ASSIGN_OR_RETURN(const auto entry, next_box(walk.reader, header.end()));
  if (entry) walk.kinds.back().format = entry->type;
  return success();
}

/// Walks a list of boxes whose parent is of type `parent` (0 at the top level).
Status walk_list(KindWalk& walk, std::uint64_t list_end, std::uint32_t parent, int depth) {
  if (depth > MAX_BOX_DEPTH) return success();  // the reader walk refuses it with its reason
  for (;;) {
    REELKNIT_ASSIGN_OR_RETURN(const auto next, next_box(walk.reader, list_end));
    if (!next) return success();
    const BoxHeader header = *next;
    const std::uint64_t end = std::min(header.end(), list_end);
    // The path to what is read: moov/trak/mdia/hdlr (the media handler; minf may
    // hold a data handler too) and moov/trak/mdia/minf/stbl/stsd.
    const bool descend = (header.type == BOX_MOOV && parent == 0) || (header.type == BOX_TRAK && parent == BOX_MOOV) ||
                         (header.type == BOX_MDIA && parent == BOX_TRAK) ||
                         (header.type == BOX_MINF && parent == BOX_MDIA) || (header.type == BOX_STBL && parent == BOX_MINF);
    if (header.type == BOX_TRAK && parent == BOX_MOOV) walk.kinds.push_back(TrackKind{});
    if (descend) {
      REELKNIT_TRY(walk_list(walk, end, header.type, depth + 1));
    } else if (header.type == BOX_HDLR && parent == BOX_MDIA) {
      REELKNIT_TRY(read_handler(walk, header));
    } else if (header.type == BOX_STSD && parent == BOX_STBL) {
      REELKNIT_TRY(read_first_format(walk, header));
    }
    REELKNIT_TRY(walk.reader.seek(SeekFrom::start(end)));
    // Only the first movie box holds the tracks.
    if (header.type == BOX_MOOV) return success();
  }
}

std::string kind_text(const TrackKind& kind) {
  return format_text("{} {}", box_type_text(kind.handler), box_type_text(kind.format));
}

std::size_t count_of(const std::vector<TrackKind>& kinds, const TrackKind& kind) {
  return static_cast<std::size_t>(std::count(kinds.begin(), kinds.end(), kind));
}

}  // namespace

Result<std::vector<TrackKind>> read_track_kinds(BufferedReader& reader, std::uint64_t box_part_end) {
  std::vector<TrackKind> kinds;
  KindWalk walk{reader, kinds};
  REELKNIT_TRY(reader.seek(SeekFrom::start(0)));
  REELKNIT_TRY(walk_list(walk, box_part_end, 0, 0));
  return kinds;
}

Result<std::vector<std::size_t>> match_tracks(const std::vector<TrackKind>& first, const std::vector<TrackKind>& later) {
  std::vector<std::size_t> slots;
  std::vector<bool> taken(first.size(), false);
  for (std::size_t k = 0; k < later.size(); ++k) {
    const TrackKind& kind = later[k];
    const std::size_t in_first = count_of(first, kind);
    const std::size_t in_later = count_of(later, kind);
    if (in_later > in_first) {
      return Error(ErrorKind::Unsupported,
                   format_text("track {} ({}) has no track to continue: the first input has {} track{} of that kind "
                               "and this input {}",
                               k + 1, kind_text(kind), in_first, in_first == 1 ? "" : "s", in_later));
    }
    if (in_later < in_first && in_first > 1) {
      return Error(ErrorKind::Unsupported,
                   format_text("track {} ({}) cannot be matched: the first input has {} tracks of that kind and this "
                               "input {}, so which one it continues cannot be told",
                               k + 1, kind_text(kind), in_first, in_later));
    }
    std::size_t position = 0;
    while (taken[position] || !(first[position] == kind)) ++position;  // one exists: counted above
    taken[position] = true;
    slots.push_back(position);
  }
  return slots;
}

}  // namespace reelknit
