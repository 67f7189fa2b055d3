#include "mp4/merge_descriptions.h"

#include <algorithm>
#include <optional>

#include "base/byte_order.h"
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

namespace {

/// The group that samples no run maps belong to: a version 2 description names it, otherwise none (0).
std::uint32_t default_group(const InputSampleGroup& group) {
  if (!group.description) return 0;
  const std::vector<std::uint8_t>& payload = *group.description;
  if (payload.size() < 16 || payload[0] < 2) return 0;
  return load_be32(payload.data() + 12);
}

/// Appends `runs` for an input's `samples` to the output's: clipped to them,
/// and the rest of them covered with `rest_index`, so that the next input's
/// runs start at its first sample.
void append_runs(SampleGroup& group, const std::vector<SbgpEntry>& runs, std::uint64_t samples,
                 std::uint32_t rest_index) {
  std::uint64_t covered = 0;
  for (const SbgpEntry& run : runs) {
    const auto count = static_cast<std::uint32_t>(std::min<std::uint64_t>(run.sample_count, samples - covered));
    if (count == 0) continue;
    group.runs.push_back(SbgpEntry{count, run.group_description_index});
    covered += count;
  }
  if (covered < samples) group.runs.push_back(SbgpEntry{static_cast<std::uint32_t>(samples - covered), rest_index});
}

constexpr const char* UNUSABLE_GROUPING = "a second box of one kind, or a group description too large to compare";

void leave_out(SampleGroup& group, std::size_t slot, std::size_t input_index, const char* why) {
  group.joined = false;
  group.runs.clear();
  REELKNIT_DEBUG(LOG_TARGET_DESC_READER, "Track {}: leaving the sample groups of type {} out of the output: {} in input {}",
                 slot + 1, box_type_text(group.first.grouping_type), why, input_index + 1);
}

/// Why input's `group` cannot follow the first input's, or none.
const char* why_not_joined(const SampleGroup& joined, const InputSampleGroup* group) {
  const InputSampleGroup& first = joined.first;
  if (!group) {
    // Its samples are in no group: only a run of index 0 can say so, and
    // without the first input's sbgp, unmapped samples take the default group.
    if (!first.has_sbgp && default_group(first) != 0) return "no grouping, where the first input's puts every sample in a group";
    return nullptr;
  }
  if (group->unusable) return UNUSABLE_GROUPING;
  if (group->description != first.description) return "the group descriptions (sgpd) differ";
  if (group->has_sbgp != first.has_sbgp || group->sbgp_version != first.sbgp_version ||
      group->grouping_type_parameter != first.grouping_type_parameter) {
    return "the sample-to-group boxes (sbgp) differ in kind";
  }
  return nullptr;
}

const InputSampleGroup* find_group(const std::vector<InputSampleGroup>& groups, std::uint32_t grouping_type) {
  const auto found = std::find_if(groups.begin(), groups.end(), [grouping_type](const InputSampleGroup& group) {
    return group.grouping_type == grouping_type;
  });
  return found == groups.end() ? nullptr : &*found;
}

void merge_track_groups(TrackDesc& track, std::size_t slot, std::size_t input_index) {
  SampleGroups& groups = track.groups;
  const std::vector<InputSampleGroup> input = std::move(groups.input);
  groups.input.clear();
  // Timecode tracks keep the first input's tables.
  if (input_index != 0 && track.is_tmcd) return;
  const std::uint64_t samples = track.stsz_count - track.sample_base;
  if (input_index == 0) {
    for (const InputSampleGroup& group : input) {
      SampleGroup joined{group, {}, !group.unusable};
      joined.first.runs.clear();
      if (!joined.joined) {
        leave_out(joined, slot, input_index, UNUSABLE_GROUPING);
      } else if (group.has_sbgp) {
        append_runs(joined, group.runs, samples, default_group(group));
      }
      groups.groups.push_back(std::move(joined));
    }
    return;
  }
  for (SampleGroup& joined : groups.groups) {
    if (!joined.joined) continue;
    const InputSampleGroup* group = find_group(input, joined.first.grouping_type);
    if (const char* why = why_not_joined(joined, group)) {
      leave_out(joined, slot, input_index, why);
      continue;
    }
    if (!joined.first.has_sbgp) continue;
    if (group) {
      append_runs(joined, group->runs, samples, default_group(*group));
    } else {
      append_runs(joined, {}, samples, 0);
    }
  }
  for (const InputSampleGroup& group : input) {
    const bool known = std::any_of(groups.groups.begin(), groups.groups.end(), [&](const SampleGroup& joined) {
      return joined.first.grouping_type == group.grouping_type;
    });
    if (!known) {
      REELKNIT_DEBUG(LOG_TARGET_DESC_READER,
                     "Track {} of input {}: the first input's track has no sample groups of type {}; they are left out",
                     slot + 1, input_index + 1, box_type_text(group.grouping_type));
    }
  }
}

}  // namespace

void merge_sample_groups(Desc& desc, std::size_t input_index) {
  for (std::size_t slot = 0; slot < desc.tracks.size(); ++slot) merge_track_groups(desc.tracks[slot], slot, input_index);
}

}  // namespace reelknit
