// The library's entry operation: join MP4 chapter files into one MP4.
#pragma once

#include <atomic>
#include <string>
#include <vector>

#include "reelknit/error.h"
#include "reelknit/file_times.h"  // update_file_times, the step after a join
#include "reelknit/progress.h"

namespace reelknit {

/// How a join runs, beyond what it joins.
struct JoinOptions {
  /// Told the fraction done, on the joining thread; may be empty.
  ProgressCallback progress;
  /// Set to true, from any thread or from a signal handler (it is lock-free),
  /// to stop the join: it looks before each step (each input read, each write
  /// of at most 512 KiB, each in-kernel copy or block-sharing call), then
  /// returns an error of kind Cancelled and leaves nothing behind. May be
  /// null; must outlive the join.
  const std::atomic<bool>* stop = nullptr;
  /// Waits until the output is on the disk (fsync of the file, then of its
  /// folder) before it takes the output's name. Without it a power cut or
  /// crash in the seconds after the join may leave a file under the output's
  /// name whose bytes never reached the disk.
  bool sync = true;
};

/// Joins `input_paths`, in playing order, into a new file at `output_path`.
/// The first input's box tree is the template of the output. The inputs are
/// only read, and each must be a regular file (symbolic links followed).
/// The join writes a new file beside the output and renames it over the
/// output once it is whole and on the disk: until then a file already at
/// `output_path` stays as it was, and a join that fails or is stopped leaves
/// nothing behind. An output that is a device or named pipe, or lies in a
/// folder where no new file can be made, is written in place; a failed join
/// leaves such a regular file empty. Returns the first error met.
Status join_files(const std::vector<std::string>& input_paths, const std::string& output_path,
                  const JoinOptions& options);

/// join_files with a progress callback alone.
Status join_files(const std::vector<std::string>& input_paths, const std::string& output_path,
                  const ProgressCallback& progress);

}  // namespace reelknit
