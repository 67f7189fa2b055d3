// Runs a program as a user would and captures what it says.
#pragma once

#include <string>
#include <vector>

namespace reelknit::testing {

struct RunResult {
  int exit_status = -1;  ///< the exit status, or -1 when the program did not exit normally
  std::string out;
  std::string err;
};

/// `argv` as it must be run here: a cross build's reelknit goes through the
/// build's emulator (qemu-user), anything else as it is.
std::vector<std::string> program_command(std::vector<std::string> argv);

/// Runs `argv` (argv[0] is the program path) in `directory`, with stdin closed.
RunResult run_program(const std::vector<std::string>& argv, const std::string& directory = ".");

/// Runs a shell command line; for external judges such as ffprobe.
RunResult run_shell(const std::string& command);

/// True when `program` can be found on PATH or in the system directories
/// (find_program in support/skips.h). A test that needs it skips with
/// `missing_tools`, which records the skip.
bool have_program(const std::string& program);

}  // namespace reelknit::testing
