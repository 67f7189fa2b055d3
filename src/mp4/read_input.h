// Reading one input of a join: where its media data lies, what the join
// refuses about its top-level layout, and its box tree into the Desc.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "io/buffered_reader.h"
#include "mp4/desc.h"

namespace reelknit {

/// An error about one input: "<name>: <why>".
Error input_error(ErrorKind kind, std::string_view input_name, std::string_view why);

/// Adds input `input_index` to `desc`: its media data (the first top-level
/// `mdat`), then its movie and sample tables, renumbered against the inputs
/// before it. Its boxes end at `box_part_end` (the file's end, or where its
/// Insta360 trailer starts). Refuses, naming `input_name`, an input whose
/// media or movie the join cannot carry whole, or whose tables describe
/// samples outside its media data, or whose sample descriptions the output
/// track cannot carry. While `more_inputs_follow`, its chunks must hold
/// exactly the samples it lists, or the next input's would be misplaced.
Status read_input(BufferedReader& reader, Desc& desc, std::size_t input_index, std::uint64_t box_part_end,
                  bool more_inputs_follow, std::string_view input_name);

}  // namespace reelknit
