// What kind each track of an input is, and which track of the first input a
// later input's track continues.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "io/buffered_reader.h"

namespace reelknit {

/// A track's kind: its handler type (vide, soun, tmcd, meta, ...) and the
/// format of its first sample entry (avc1, mp4a, gpmd, ...).
struct TrackKind {
  std::uint32_t handler = 0;
  std::uint32_t format = 0;
  bool operator==(const TrackKind&) const = default;
};

/// The kinds of the input's tracks, in the order of their `trak` boxes. The
/// walk follows the same rule for where a box list ends as every other walk.
Result<std::vector<TrackKind>> read_track_kinds(BufferedReader& reader, std::uint64_t box_part_end);

/// For each track of a later input, the position of the first input's track
/// it continues: the tracks of one kind are matched in order. Refuses a track
/// of a kind the first input has fewer of (an extra track), and a kind of
/// which the later input has fewer tracks than the first while the first has
/// several (which of them would it continue?).
Result<std::vector<std::size_t>> match_tracks(const std::vector<TrackKind>& first, const std::vector<TrackKind>& later);

}  // namespace reelknit
