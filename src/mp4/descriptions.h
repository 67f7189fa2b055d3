// What the merge keeps of a track's sample descriptions (stsd) and sample
// groups (sbgp, sgpd): the output's entries and runs, and the input being
// read until its own are merged after its walk.
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

struct SbgpEntry {
  std::uint32_t sample_count = 0;
  std::uint32_t group_description_index = 0;
  bool operator==(const SbgpEntry&) const = default;
};

/// One input's sample-group boxes of one grouping type, in one track.
struct InputSampleGroup {
  std::uint32_t grouping_type = 0;
  std::optional<std::vector<std::uint8_t>> description;  ///< the sgpd's payload, version byte first
  bool has_sbgp = false;
  std::uint8_t sbgp_version = 0;
  std::uint32_t grouping_type_parameter = 0;  ///< version 1 only
  std::vector<SbgpEntry> runs;
  /// A second box of one kind, or a description too large to keep: the
  /// grouping cannot be told equal to another input's.
  bool unusable = false;
};

/// One grouping type of the output track.
struct SampleGroup {
  InputSampleGroup first;       ///< the first input's boxes, which the output's come from
  std::vector<SbgpEntry> runs;  ///< every input's runs in input order, each input's samples covered
  bool joined = true;           ///< false: the output leaves this grouping type out
};

struct SampleGroups {
  std::vector<SampleGroup> groups;
  std::vector<InputSampleGroup> input;  ///< the input being read, until merged
};

}  // namespace reelknit
