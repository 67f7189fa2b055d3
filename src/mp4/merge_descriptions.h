// After each input's walk: its sample descriptions and sample groups join
// those of the inputs before it.
#pragma once

#include <cstddef>
#include <vector>

#include "mp4/desc.h"
#include "reelknit/error.h"

namespace reelknit {

/// Gives each track's sample entries of input `input_index` (just read,
/// before `finish_input`) a place in the output's `stsd`: the first input's
/// entries are the output's first ones; a later entry shares the first output
/// entry with its setting, or is appended when it matches none. The input's
/// sample-to-chunk runs (from `marks`) then name the output's entries. A track
/// whose input has no entries, a timecode track after the first input, and a
/// track whose first input had no entries keep their runs as read. Refuses a
/// run that names an entry the input does not have, and an entry whose
/// setting players would not switch to (see `switch_not_played`); the message
/// names the track and what differs, not the input.
Status merge_sample_descriptions(Desc& desc, const std::vector<TableMarks>& marks, std::size_t input_index);

/// Joins each track's sample groups of input `input_index` (just read, before
/// `finish_input`) to those of the inputs before it, one grouping type at a
/// time: where the input's group descriptions (sgpd) equal the first input's,
/// its runs follow, covering exactly its samples (an input without the
/// grouping gets a run of index 0); otherwise the grouping type is left out
/// of the output, with a debug line. Groupings the first input lacks are left out.
void merge_sample_groups(Desc& desc, std::size_t input_index);

}  // namespace reelknit
