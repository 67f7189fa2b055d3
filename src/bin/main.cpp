// The reelknit command: wires the argument walk (or the chapters command),
// standard output and error, the monotonic clock and the exit status around
// join_files.
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "bin/chapters_command.h"
#include "bin/cli.h"
#include "bin/log_context.h"
#include "reelknit/join.h"
#include "reelknit/log.h"

namespace {

using reelknit::Error;
using reelknit::cli::Stream;

/// Set by SIGINT, SIGTERM and SIGHUP, and when standard output fails in the
/// middle of a join: the join stops at its next step and removes its partial
/// file, which exiting from a signal handler or a progress report would leave.
std::atomic<bool> g_stop{false};
static_assert(std::atomic<bool>::is_always_lock_free, "a signal handler may only set a lock-free flag");
/// The signal that stopped the run, or 0.
volatile sig_atomic_t g_signal = 0;

extern "C" void on_stop_signal(int signal_number) {
  g_signal = signal_number;
  g_stop.store(true);
}

/// A signal a shell (nohup, a background job) told the program to ignore stays ignored.
void stop_on_signals() {
  for (const int signal_number : {SIGINT, SIGTERM, SIGHUP}) {
    struct sigaction previous {};
    if (::sigaction(signal_number, nullptr, &previous) == 0 && previous.sa_handler == SIG_IGN) continue;
    struct sigaction action {};
    action.sa_handler = on_stop_signal;
    sigemptyset(&action.sa_mask);
    // Writes to standard output carry on after the handler; the join sees the flag.
    action.sa_flags = SA_RESTART;
    ::sigaction(signal_number, &action, nullptr);
  }
}

bool g_progress_shown = false;
/// The library's last steps in the join under way, shown above its error.
reelknit::cli::LogContext g_log_context;
/// The first failed write to standard output. The C library may drop the
/// buffered bytes when a flush fails, so a later flush alone would not tell.
std::optional<Error> g_output_failure;

void note_output_failure() {
  if (!g_output_failure) g_output_failure = Error::from_errno(errno);
}

void write_output(const std::string& text) {
  if (std::fputs(text.c_str(), stdout) == EOF) note_output_failure();
}

/// Flushes standard output and tells whether everything written so far got out.
reelknit::Status flush_output() {
  if (std::fflush(stdout) != 0) note_output_failure();
  if (g_output_failure) return *g_output_failure;
  if (std::ferror(stdout)) return Error(reelknit::ErrorKind::Other, "failed to write to standard output");
  return reelknit::success();
}

/// Writes to standard error; standard output goes first, so the two stay in
/// order when they share a pipe or file.
void write_error(const std::string& text) {
  if (std::fflush(stdout) != 0) note_output_failure();
  std::fputs(text.c_str(), stderr);
}

/// Writes a report to standard error on a line of its own: a terminal may still show the progress line.
void write_report(const std::string& text) {
  if (g_progress_shown && ::isatty(STDERR_FILENO)) write_error("\n");
  write_error(text);
}

/// Ends the run with status 101. Never called inside join_files, which must
/// return to remove its partial file. What the library was doing comes first;
/// the error's own line is the last.
[[noreturn]] void fail(const Error& error) {
  write_report(g_log_context.context_text() + reelknit::cli::fatal_error_text(error));
  std::exit(reelknit::cli::EXIT_MERGE_FAILED);
}

/// Ends a run a signal stopped with its one line and status 128 + n.
[[noreturn]] void end_stopped(const std::string& output_path) {
  const int signal_number = g_signal;
  write_report(reelknit::cli::stopped_text(signal_number, output_path));
  std::exit(reelknit::cli::EXIT_SIGNAL_BASE + signal_number);
}

/// The error a join ended with, as the run reports it: a signal ends the run
/// at once; a join stopped because standard output failed is that failure.
Error reason_of(const Error& error, const std::string& output_path) {
  if (g_signal != 0) end_stopped(output_path);
  if (error.kind() == reelknit::ErrorKind::Cancelled && g_output_failure) return *g_output_failure;
  return error;
}

/// The library's log lines reach the command: warnings are shown at once,
/// the rest are kept as the context of an error.
void listen_to_the_library() {
  reelknit::set_max_level(reelknit::LevelFilter::Debug);
  reelknit::set_sink([](const reelknit::LogRecord& record) {
    if (const std::string now = g_log_context.take(record); !now.empty()) write_report(now);
  });
}

/// Sends a message of the command to its stream.
void say(Stream stream, const std::string& text) {
  if (stream == Stream::Out)
    write_output(text);
  else
    write_error(text);
}

/// Writes a line that must reach standard output now; the run ends if it cannot.
void write_output_flushed(const std::string& text) {
  write_output(text);
  if (auto flushed = flush_output(); !flushed) fail(flushed.error());
}

/// Joins `inputs` into `output_path` with the messages of every join:
/// "Output file", the progress, and "Done in" counted from `start`. The output
/// then takes the first input's file time. Returns the join's error; a signal
/// ends the run instead.
reelknit::Status join_with_progress(const std::vector<std::string>& inputs, const std::string& output_path,
                                    bool sync, std::chrono::steady_clock::time_point start) {
  g_progress_shown = false;
  g_log_context = {};
  write_output(reelknit::cli::output_file_text(output_path));
  reelknit::JoinOptions options;
  options.progress = [](double fraction) {
    g_progress_shown = true;
    write_output(reelknit::cli::progress_text(fraction));
    if (!flush_output()) g_stop.store(true);
  };
  options.stop = &g_stop;
  options.sync = sync;
  if (auto joined = reelknit::join_files(inputs, output_path, options); !joined)
    return reason_of(joined.error(), output_path);
  reelknit::update_file_times(inputs.front(), output_path);
  write_output_flushed(reelknit::cli::done_text(std::chrono::steady_clock::now() - start));
  return reelknit::success();
}

/// The join of the inputs the arguments name, in their order.
int join_named_inputs(const std::vector<std::string>& arguments, std::chrono::steady_clock::time_point start) {
  const auto request = reelknit::cli::walk_arguments(arguments, reelknit::cli::path_exists, say);
  if (request.inputs.empty()) {
    write_error(reelknit::cli::no_inputs_text());
    return 0;
  }
  if (!request.output_path) {
    write_error(reelknit::cli::no_output_name_text(request.inputs.front()));
    return reelknit::cli::EXIT_NO_OUTPUT_NAME;
  }
  if (auto joined = join_with_progress(request.inputs, *request.output_path, request.sync, start); !joined)
    fail(joined.error());
  return 0;
}

/// The recordings of a card, each joined as if its chapters had been named in order.
int join_card_recordings(const std::vector<std::string>& arguments) {
  const bool sync = reelknit::cli::chapters_arguments(arguments).sync;
  const int status = reelknit::cli::run_chapters(
      arguments, say, [sync](const std::vector<std::string>& chapters, const std::string& output_path) {
        auto joined = join_with_progress(chapters, output_path, sync, std::chrono::steady_clock::now());
        // Standard output that cannot be written ends the whole run, as it would outside a join.
        if (!joined && g_output_failure) fail(*g_output_failure);
        if (!joined) {
          // More lines follow on standard output: the next one must not continue the progress line.
          if (g_progress_shown) write_output("\n");
          // The error's own line follows; above it, where the join was.
          write_error(g_log_context.context_text());
        }
        return joined;
      });
  if (auto flushed = flush_output(); !flushed) fail(flushed.error());
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  const auto start = std::chrono::steady_clock::now();
  // A reader that went away is a failed write, reported like any other, not a silent death.
  ::signal(SIGPIPE, SIG_IGN);
  stop_on_signals();

  const std::vector<std::string> arguments(argv + 1, argv + argc);
  listen_to_the_library();
  switch (reelknit::cli::choose_mode(arguments)) {
    case reelknit::cli::Mode::Help:
      write_output_flushed(reelknit::cli::help_text());
      return 0;
    case reelknit::cli::Mode::Version:
      write_output_flushed(reelknit::cli::version_text());
      return 0;
    case reelknit::cli::Mode::Chapters:
      return join_card_recordings(arguments);
    case reelknit::cli::Mode::Join:
      break;
  }
  return join_named_inputs(arguments, start);
}
