// Runs a program as a user would and captures what it says.
#pragma once

#include <string>
#include <vector>

#include <sys/types.h>

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

/// Starts `argv` (its program found on PATH) with standard input from
/// /dev/null, standard output into `pipe_write` (closed here once the child
/// has it; `pipe_read`, when not -1, is closed in the child) and standard
/// error into the file `err_path`. Returns the child's process id; throws
/// std::runtime_error when it cannot be started.
pid_t spawn_into_pipe(std::vector<std::string> argv, int pipe_read, int pipe_write, const std::string& err_path);

/// Runs a shell command line; for external judges such as ffprobe.
RunResult run_shell(const std::string& command);

/// True when `program` can be found on PATH or in the system directories
/// (find_program in support/skips.h). A test that needs it skips with
/// `missing_tools`, which records the skip.
bool have_program(const std::string& program);

}  // namespace reelknit::testing
