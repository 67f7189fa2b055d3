// What the merge keeps of a track's sample descriptions (stsd): the
// output's entries, and the input being read until its own are merged after
// its walk.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace reelknit {

/// One sample entry, whole, with an 8-byte header that states its size.
using SampleEntryBytes = std::vector<std::uint8_t>;

/// A track's sample descriptions. The output's `stsd` lists `entries`: the
/// first input's, then each later setting that matches none before it.
struct SampleDescriptions {
  std::vector<SampleEntryBytes> entries;
  std::size_t first_input_count = 0;
  std::uint32_t handler = 0;  ///< the first input's media handler ('vide', 'soun', ...)

  /// The input being read, until they are merged: its entries (none when
  /// its track has no `stsd`) and its media handler (0 while none was met).
  std::optional<std::vector<SampleEntryBytes>> input_entries;
  std::uint32_t input_handler = 0;
};

}  // namespace reelknit
