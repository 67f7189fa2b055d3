#include "support/run.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include "support/skips.h"
#include "support/temp_dir.h"

extern char** environ;

namespace reelknit::testing {
namespace {

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

/// The emulator words a cross build runs its programs under ("qemu-aarch64;-L;/usr/aarch64-linux-gnu"), if any.
std::vector<std::string> program_launcher() {
  std::vector<std::string> words;
  std::string rest = REELKNIT_PROGRAM_LAUNCHER;
  while (!rest.empty()) {
    const auto semicolon = rest.find(';');
    if (semicolon != 0) words.push_back(rest.substr(0, semicolon));
    if (semicolon == std::string::npos) break;
    rest.erase(0, semicolon + 1);
  }
  return words;
}

}  // namespace

std::vector<std::string> program_command(std::vector<std::string> argv) {
  if (argv.empty() || argv.front() != REELKNIT_BINARY) return argv;
  std::vector<std::string> command = program_launcher();
  command.insert(command.end(), argv.begin(), argv.end());
  return command;
}

RunResult run_program(const std::vector<std::string>& argv, const std::string& directory) {
  TempDir capture;
  const std::string out_path = capture.file("out");
  const std::string err_path = capture.file("err");
  // The child changes directory through the shell-free route: a small wrapper via /bin/sh would quote badly.
  std::vector<std::string> args = {"/bin/sh", "-c", "cd \"$0\" && exec \"$@\"", directory};
  const auto command = program_command(argv);
  args.insert(args.end(), command.begin(), command.end());
  std::vector<char*> raw;
  for (std::string& a : args) raw.push_back(a.data());
  raw.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&actions, 2, err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  pid_t pid = 0;
  const int spawned = posix_spawn(&pid, "/bin/sh", &actions, nullptr, raw.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) throw std::runtime_error("posix_spawn failed");
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
  }
  RunResult result;
  result.exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  result.out = slurp(out_path);
  result.err = slurp(err_path);
  return result;
}

pid_t spawn_into_pipe(std::vector<std::string> argv, int pipe_read, int pipe_write, const std::string& err_path) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, pipe_write, 1);
  if (pipe_read >= 0) posix_spawn_file_actions_addclose(&actions, pipe_read);
  posix_spawn_file_actions_addopen(&actions, 2, err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  std::vector<char*> raw;
  for (std::string& a : argv) raw.push_back(a.data());
  raw.push_back(nullptr);
  pid_t pid = 0;
  const int spawned = posix_spawnp(&pid, raw[0], &actions, nullptr, raw.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(pipe_write);
  if (spawned != 0) throw std::runtime_error("posix_spawn failed");
  return pid;
}

RunResult run_shell(const std::string& command) { return run_program({"/bin/sh", "-c", command}); }

bool have_program(const std::string& program) { return !find_program(program).empty(); }

}  // namespace reelknit::testing
