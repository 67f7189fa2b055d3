// The pure pieces of the reelknit command: the argument walk, the default
// output name and every text it prints. main.cpp wires them to the process.
#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "reelknit/error.h"

namespace reelknit::cli {

/// The merge failed, or standard output could not be written.
inline constexpr int EXIT_MERGE_FAILED = 101;
/// The first input gives no file name to build the default output name from.
inline constexpr int EXIT_NO_OUTPUT_NAME = 1;
/// A run ended by a signal exits with 128 + its number, as a shell reports a process the signal killed.
inline constexpr int EXIT_SIGNAL_BASE = 128;

/// The argument that skips the wait for the disk at the end of each join.
inline constexpr std::string_view NO_FSYNC = "--no-fsync";

enum class Stream { Out, Err };

/// Receives each message of the argument walk, in order, with its stream.
using MessageSink = std::function<void(Stream, const std::string&)>;
/// Tells whether a path names something that exists.
using ExistsTest = std::function<bool(const std::string&)>;

/// stat(2), following symbolic links; any failure counts as not existing.
bool path_exists(const std::string& path);

/// What the command line asks the program to do.
enum class Mode { Join, Chapters, Help, Version };

/// The first "--help", "-h" or "--version" decides wherever it stands, so that
/// asking for help never joins anything; without one, a "--chapters" anywhere
/// asks for the recordings of a card, else the arguments ask for a join. The
/// argument after "--out" is its value, never an option.
Mode choose_mode(const std::vector<std::string>& arguments);

/// What the command line asks for.
struct Request {
  std::vector<std::string> inputs;         ///< accepted inputs, in order; duplicates kept
  std::optional<std::string> output_path;  ///< from the last "--out", else the default name
  bool sync = true;                        ///< false after "--no-fsync"
};

/// Walks the arguments (the program name already dropped). "--out" takes the
/// next argument as the output path, replacing any set before; a trailing
/// "--out" is ignored. "--no-fsync" clears `sync`. Every other argument is an input: when `exists` denies
/// it, "File doesn't exist {}\n" goes to standard error and it is dropped;
/// otherwise "Merging file {}\n" goes to standard output. The first accepted
/// input sets the default output name when no "--out" came before it.
Request walk_arguments(const std::vector<std::string>& arguments, const ExistsTest& exists,
                       const MessageSink& say);

/// The input's final file-name component followed by "_joined.mp4", in the
/// input's directory: clips/GX010001.MP4 gives clips/GX010001.MP4_joined.mp4.
/// None for a path without such a component: "/", ".", or one ending in "..".
std::optional<std::string> default_output_path(std::string_view input);

/// How to call the program, for "--help".
std::string help_text();
/// "reelknit <version>\n", the version of the build.
std::string version_text();
/// "Merging file {}\n"
std::string merging_file_text(std::string_view input);
/// "No input files!\n"
std::string no_inputs_text();
/// Why there is no output path, naming the input that gave none.
std::string no_output_name_text(std::string_view input);
/// "Output file {}\n"
std::string output_file_text(std::string_view output_path);
/// "\rMerging... {}%": the fraction times 100 with two decimals, no line break.
std::string progress_text(double fraction);
/// "\rDone in {}s" with 16 blanks and a line break; the elapsed time is cut
/// to whole milliseconds and shown in seconds with three decimals.
std::string done_text(std::chrono::nanoseconds elapsed);
/// The one line that ends a failed run: the error's message, kind and OS error number.
std::string fatal_error_text(const Error& error);
/// "SIGINT", "SIGTERM", "SIGHUP", or "signal N".
std::string signal_name(int signal_number);
/// The one line that ends a run a signal stopped: nothing of the join under
/// way was written, and a file already at `output_path` is as it was.
std::string stopped_text(int signal_number, std::string_view output_path);

}  // namespace reelknit::cli
