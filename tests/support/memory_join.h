// join_files over in-memory files, through the driver's seams: no disk, and
// faults can be injected into any input or the output.
#pragma once

#include <cerrno>
#include <memory>
#include <string>
#include <vector>

#include "join/join_seams.h"
#include "support/memory_file.h"
#include "support/memory_folder.h"

namespace reelknit::testing {

struct MemoryJoinFiles {
  std::vector<std::shared_ptr<Bytes>> inputs;
  std::vector<Faults> input_faults;  ///< one per input, or none
  /// After a join, the file at the path "output"; empty when there is none.
  std::shared_ptr<Bytes> output = std::make_shared<Bytes>();
  Faults output_faults;
  /// Where the output is made: whatever the join leaves is there.
  MemoryFolder folder;
};

/// Joins `files.inputs` in order into the path "output" of `files.folder`.
/// The inputs are named "input1", "input2", ... in error messages.
inline Status join_memory_files(MemoryJoinFiles& files, const JoinOptions& options, Clock clock = steady_now) {
  std::vector<std::string> paths;
  for (std::size_t i = 0; i < files.inputs.size(); ++i) paths.push_back("input" + std::to_string(i + 1));
  JoinSeams seams;
  seams.open_input = [&](const std::string& path) -> Result<std::unique_ptr<File>> {
    for (std::size_t i = 0; i < paths.size(); ++i) {
      if (paths[i] != path) continue;
      const Faults faults = i < files.input_faults.size() ? files.input_faults[i] : Faults{};
      return std::unique_ptr<File>(std::make_unique<MemoryFile>(files.inputs[i], faults));
    }
    return Error::from_errno(ENOENT);
  };
  files.folder.created_faults = files.output_faults;
  seams.output = files.folder.calls();
  seams.clock = std::move(clock);
  Status status = join_files_with(paths, "output", options, seams);
  const auto output = files.folder.files.find("output");
  files.output = output == files.folder.files.end() ? std::make_shared<Bytes>() : output->second;
  return status;
}

inline Status join_memory_files(MemoryJoinFiles& files, const ProgressCallback& progress = nullptr) {
  return join_memory_files(files, JoinOptions{progress});
}

struct MemoryJoin {
  Status status;
  Bytes output;
};

/// Joins copies of `inputs`; the caller's bytes are never touched.
inline MemoryJoin join_in_memory(const std::vector<Bytes>& inputs) {
  MemoryJoinFiles files;
  for (const Bytes& input : inputs) files.inputs.push_back(std::make_shared<Bytes>(input));
  Status status = join_memory_files(files);
  return MemoryJoin{std::move(status), *files.output};
}

}  // namespace reelknit::testing
