#include "bin/cli.h"

#include <signal.h>
#include <sys/stat.h>

#include <cstdio>

namespace reelknit::cli {

bool path_exists(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0;
}

Mode choose_mode(const std::vector<std::string>& arguments) {
  Mode mode = Mode::Join;
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    if (argument == "--out") {
      ++i;  // the output's name, whatever it looks like
    } else if (argument == "--help" || argument == "-h") {
      return Mode::Help;
    } else if (argument == "--version") {
      return Mode::Version;
    } else if (argument == "--chapters") {
      mode = Mode::Chapters;
    }
  }
  return mode;
}

Request walk_arguments(const std::vector<std::string>& arguments, const ExistsTest& exists,
                       const MessageSink& say) {
  Request request;
  bool default_considered = false;
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    if (argument == "--out") {
      if (i + 1 < arguments.size()) request.output_path = arguments[++i];
      continue;
    }
    if (argument == NO_FSYNC) {
      request.sync = false;
      continue;
    }
    if (!exists(argument)) {
      say(Stream::Err, "File doesn't exist " + argument + "\n");
      continue;
    }
    say(Stream::Out, merging_file_text(argument));
    request.inputs.push_back(argument);
    // Only the first accepted input names the output, and only when no "--out" came before it.
    if (!request.output_path && !default_considered) request.output_path = default_output_path(argument);
    default_considered = true;
  }
  return request;
}

std::optional<std::string> default_output_path(std::string_view input) {
  // "clips/" names the directory clips: its name is the final component.
  const auto last_kept = input.find_last_not_of('/');
  if (last_kept == std::string_view::npos) return std::nullopt;  // "/", or nothing at all
  const std::string_view path = input.substr(0, last_kept + 1);
  const auto slash = path.rfind('/');
  const std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
  // "." and ".." name a directory by where it is, not by what it is called.
  if (name == "." || name == "..") return std::nullopt;
  return std::string(path) + "_joined.mp4";
}

std::string help_text() {
  return "Usage: reelknit [input ...] [--out output] [--no-fsync] [input ...]\n"
         "       reelknit --chapters path ... [--out output] [--no-fsync]\n"
         "       reelknit --help | --version\n"
         "\n"
         "Joins the chapter files of one recording into one MP4, losslessly, in the\n"
         "order given. Without --out the output lies next to the first input, named\n"
         "after it with _joined.mp4 appended.\n"
         "\n"
         "  --out output  write the joined file to output; the last --out counts\n"
         "  --no-fsync    do not wait until the output is on the disk before it takes\n"
         "                its name: faster, but a power cut soon after may leave a\n"
         "                damaged file there\n"
         "  --chapters    find GoPro recordings by their chapter file names: each path\n"
         "                is a card folder (every recording in it) or a chapter file\n"
         "                (its recording); each recording of two chapters or more is\n"
         "                joined in chapter order next to its first chapter; --out\n"
         "                only when the paths name exactly one recording\n"
         "  -h, --help    show this help and exit\n"
         "  --version     show the version and exit\n"
         "\n"
         "Every other argument is an input, or with --chapters a path.\n"
         "Example: reelknit --chapters /media/card/DCIM/100GOPRO\n"
         "\n"
         "The output appears under its name only once it is whole and on the disk.\n"
         "A join that fails or is stopped (Ctrl-C, kill, a closed terminal) leaves\n"
         "nothing, and a file already there as it was.\n"
         "Exit status: 0 done, 1 no output name, 101 failed, 128+N stopped by signal N.\n";
}

std::string version_text() { return "reelknit " REELKNIT_VERSION "\n"; }

std::string merging_file_text(std::string_view input) { return "Merging file " + std::string(input) + "\n"; }

std::string no_inputs_text() { return "No input files!\n"; }

std::string no_output_name_text(std::string_view input) {
  return "Cannot form an output file name from " + std::string(input) +
         "; name the output file with --out\n";
}

std::string output_file_text(std::string_view output_path) {
  return "Output file " + std::string(output_path) + "\n";
}

std::string progress_text(double fraction) {
  char text[64];
  std::snprintf(text, sizeof text, "\rMerging... %.2f%%", fraction * 100.0);
  return text;
}

std::string done_text(std::chrono::nanoseconds elapsed) {
  const auto milliseconds = std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count();
  char text[96];
  std::snprintf(text, sizeof text, "\rDone in %.3fs                \n", static_cast<double>(milliseconds) / 1000.0);
  return text;
}

std::string fatal_error_text(const Error& error) { return "Error: " + error.describe() + "\n"; }

std::string signal_name(int signal_number) {
  switch (signal_number) {
    case SIGINT: return "SIGINT";
    case SIGTERM: return "SIGTERM";
    case SIGHUP: return "SIGHUP";
    default: return "signal " + std::to_string(signal_number);
  }
}

std::string stopped_text(int signal_number, std::string_view output_path) {
  return "Stopped by " + signal_name(signal_number) + " before the join was finished: nothing was written to " +
         std::string(output_path) + "\n";
}

}  // namespace reelknit::cli
