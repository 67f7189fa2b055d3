// Giving a joined file the time of the recording it was made from.
#pragma once

#include <string>

namespace reelknit {

/// Gives `output_path` the modification time of `input_path`, leaving its
/// access time as it is. Best effort: a failure is offered to the log as one
/// warning and goes no further.
void update_file_times(const std::string& input_path, const std::string& output_path);

}  // namespace reelknit
