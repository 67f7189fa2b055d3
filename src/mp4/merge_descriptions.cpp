#include "mp4/merge_descriptions.h"

#include <algorithm>
#include <optional>

#include "base/format.h"
#include "base/log_line.h"
#include "mp4/box.h"
#include "mp4/sample_entry.h"

namespace reelknit {
namespace {

/// The output entry that input entry `entry` is shown with: the first with
/// its setting, or a new one appended.
Result<std::uint32_t> place_entry(SampleDescriptions& descriptions, const SampleEntryBytes& entry,
                                  std::size_t entry_number, std::size_t slot, std::size_t input_index) {
  const EntryLayout output_layout = entry_layout(descriptions.handler);
  // An input whose track names no handler is read as laid out like the first input's.
  const EntryLayout input_layout =
      descriptions.input_handler != 0 ? entry_layout(descriptions.input_handler) : output_layout;
  const SampleSetting setting = read_sample_setting(input_layout, entry);
  for (std::size_t k = 0; k < descriptions.entries.size(); ++k) {
    if (read_sample_setting(output_layout, descriptions.entries[k]) == setting) {
      return static_cast<std::uint32_t>(k + 1);
    }
  }
  for (const SampleEntryBytes& earlier_entry : descriptions.entries) {
    const SampleSetting earlier = read_sample_setting(output_layout, earlier_entry);
    if (auto why = switch_not_played(earlier, setting)) {
      return Error(ErrorKind::Unsupported,
                   format_text("track {} ({}) cannot take this input's sample description {}: {}", slot + 1,
                               box_type_text(earlier.format), entry_number, *why));
    }
  }
  const SampleSetting first = read_sample_setting(output_layout, descriptions.entries.front());
  descriptions.entries.push_back(entry);
  REELKNIT_DEBUG(LOG_TARGET_DESC_READER,
                 "Track {} of input {}: sample description {} differs from the first input's in its {}; it becomes "
                 "the output's description {}",
                 slot + 1, input_index + 1, entry_number, setting_difference(first, setting),
                 descriptions.entries.size());
  return static_cast<std::uint32_t>(descriptions.entries.size());
}

/// Where the input's entries stand in the output, entry by entry; none where its runs are kept as read.
Result<std::optional<std::vector<std::uint32_t>>> place_entries(TrackDesc& track, std::size_t slot,
                                                                 std::size_t input_index) {
  SampleDescriptions& descriptions = track.descriptions;
  const std::optional<std::vector<SampleEntryBytes>> entries = std::move(descriptions.input_entries);
  descriptions.input_entries.reset();
  using Placed = std::optional<std::vector<std::uint32_t>>;
  if (input_index == 0) {
    descriptions.handler = descriptions.input_handler;
    if (entries) {
      descriptions.entries = *entries;
      descriptions.first_input_count = entries->size();
    }
  }
  // Timecode tracks keep the first input's tables; nothing can be placed where
  // the first input's track had no entries.
  if (!entries || entries->empty() || descriptions.entries.empty() || (input_index != 0 && track.is_tmcd)) {
    return Placed();
  }
  std::vector<std::uint32_t> placed;
  for (std::size_t k = 0; k < entries->size(); ++k) {
    if (input_index == 0) {
      placed.push_back(static_cast<std::uint32_t>(k + 1));
      continue;
    }
    REELKNIT_ASSIGN_OR_RETURN(const std::uint32_t index, place_entry(descriptions, (*entries)[k], k + 1, slot, input_index));
    placed.push_back(index);
  }
  return Placed(std::move(placed));
}

}  // namespace

Status merge_sample_descriptions(Desc& desc, const std::vector<TableMarks>& marks, std::size_t input_index) {
  for (std::size_t slot = 0; slot < desc.tracks.size(); ++slot) {
    TrackDesc& track = desc.tracks[slot];
    const auto placed = place_entries(track, slot, input_index);
    track.descriptions.input_handler = 0;
    if (!placed) return placed.error();
    if (!*placed) continue;
    const std::vector<std::uint32_t>& output_index = **placed;
    for (std::size_t j = marks[slot].stsc; j < track.stsc.size(); ++j) {
      std::uint32_t& index = track.stsc[j].sample_description_index;
      if (index == 0 || index > output_index.size()) {
        return Error(ErrorKind::InvalidData,
                     format_text("the sample-to-chunk table (stsc) of track {} names sample description {}, but the "
                                 "track's sample description box (stsd) holds {}",
                                 slot + 1, index, output_index.size()));
      }
      index = output_index[index - 1];
    }
  }
  return success();
}

}  // namespace reelknit
