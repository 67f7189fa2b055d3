// The library's entry operation: join MP4 chapter files into one MP4.
#pragma once

#include <string>
#include <vector>

#include "reelknit/error.h"
#include "reelknit/file_times.h"  // update_file_times, the step after a join
#include "reelknit/progress.h"

namespace reelknit {

/// Joins `input_paths`, in playing order, into a new file at `output_path`.
/// The first input's box tree is the template of the output. The inputs are
/// only read; the output is created (or replaced) only once every input has
/// been read and accepted, so a refused join leaves an existing file there as
/// it was. Returns the first error met; a join that fails while writing
/// leaves its partly written output on disk.
Status join_files(const std::vector<std::string>& input_paths, const std::string& output_path,
                  const ProgressCallback& progress);

}  // namespace reelknit
