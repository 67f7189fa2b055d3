// The library's entry operation: join MP4 chapter files into one MP4.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "reelknit/error.h"

namespace reelknit {

/// Receives the fraction of the work done, 0.0 to 1.0, on the merging thread.
using ProgressCallback = std::function<void(double)>;

/// Joins `input_paths`, in playing order, into a new file at `output_path`.
/// The first input's box tree is the template of the output. The inputs are
/// only read; the output is created (or replaced) once every input is open.
/// Returns the first error met; a partly written output stays on disk.
Status join_files(const std::vector<std::string>& input_paths, const std::string& output_path,
                  const ProgressCallback& progress);

/// Gives `output_path` the modification time of `input_path`, leaving its
/// access time as it is. Best effort: a failure is offered to the log as one
/// warning and goes no further.
void update_file_times(const std::string& input_path, const std::string& output_path);

}  // namespace reelknit
