// join_files with the platform pieces it uses made replaceable, so tests can
// join in-memory files, inject faults and run the clock by hand.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "io/file.h"
#include "io/output_file.h"
#include "io/progress_stream.h"
#include "io/range_copy.h"
#include "reelknit/join.h"

namespace reelknit {

struct JoinSeams {
  std::function<Result<std::unique_ptr<File>>(const std::string&)> open_input = open_for_reading;
  /// How the output is made, written beside its path and put in place.
  OutputCalls output;
  Clock clock = steady_now;
  /// How large copies move inside the kernel; empty keeps them on the buffered road.
  RangeCopy range_copy = offloaded_range_copy();
  /// How whole blocks of media data are shared; empty copies them.
  RangeClone range_clone = system_range_clone();
};

Status join_files_with(const std::vector<std::string>& input_paths, const std::string& output_path,
                       const JoinOptions& options, const JoinSeams& seams);

inline Status join_files_with(const std::vector<std::string>& input_paths, const std::string& output_path,
                              const ProgressCallback& progress, const JoinSeams& seams) {
  return join_files_with(input_paths, output_path, JoinOptions{progress}, seams);
}

}  // namespace reelknit
