// "reelknit --chapters": finds GoPro recordings by their chapter file names
// and joins each complete one next to its first chapter. main.cpp lends it
// standard output and error and the join with its progress; everything else
// is here, in pieces the tests call directly.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "bin/cli.h"
#include "reelknit/chapters.h"
#include "reelknit/error.h"

namespace reelknit::cli {

/// A path cannot be searched, or --out does not name exactly one recording's
/// output; nothing is joined.
inline constexpr int EXIT_CHAPTERS_REFUSED = 1;

/// What "--chapters" asks for.
struct ChaptersRequest {
  std::vector<std::string> paths;          ///< folders and chapter files, in the order given
  std::optional<std::string> output_path;  ///< from the last "--out"
  bool sync = true;                        ///< false after "--no-fsync"
};

/// Every argument but "--chapters" is a path, except that "--out" takes the
/// next argument as the output path as in a join (the last one counts, a
/// trailing one is ignored), and "--no-fsync" clears `sync`.
ChaptersRequest chapters_arguments(const std::vector<std::string>& arguments);

/// The recordings some paths name.
struct Discovery {
  std::vector<ChapterSequence> recordings;  ///< each once, in the order the paths name them
  std::vector<std::string> error_texts;     ///< a line for each path that could not be searched
};

/// A folder names every recording in it, a file the recording it is a chapter
/// of. A recording named again (by its folder and by one of its files, or by
/// two of its chapters) keeps its first place.
Discovery discover_recordings(const std::vector<std::string>& paths);

/// What the command does with a recording.
enum class Verdict {
  Join,        ///< two chapters or more, none missing
  OneChapter,  ///< nothing to join: left alone
  Refused,     ///< a missing or repeated chapter: joining would make a wrong recording
};

struct PlannedRecording {
  ChapterSequence sequence;
  Verdict verdict = Verdict::Join;
  std::string output_path;  ///< where a recording to join goes
};

/// The verdict on each recording, in order; a recording to join goes to its
/// first chapter's default output name, or to `output_path` when given. An
/// InvalidInput error when `output_path` is given and there is not exactly one
/// recording, whatever its verdict: one name cannot hold several outputs.
Result<std::vector<PlannedRecording>> plan_recordings(std::vector<ChapterSequence> recordings,
                                                      const std::optional<std::string>& output_path);

/// How many recordings ended each way.
struct Tally {
  int joined = 0;
  int skipped = 0;
  int failed = 0;  ///< refused, or the join failed
};

/// Joins `chapters` into `output_path` with the messages of every join
/// ("Output file", the progress, "Done in"). A failure is returned, not yet reported.
using JoinChapters = std::function<Status(const std::vector<std::string>& chapters, const std::string& output_path)>;

/// The whole command for the arguments (the program name dropped, "--chapters"
/// among them): finds the recordings, then joins each complete one through
/// `join`, saying what happens to each and, last, the tally. Returns the exit
/// status: 0 when no recording failed, EXIT_MERGE_FAILED when one did, and
/// EXIT_CHAPTERS_REFUSED, before anything is joined, for no path, a path that
/// cannot be searched, or a --out that does not fit.
int run_chapters(const std::vector<std::string>& arguments, const MessageSink& say, const JoinChapters& join);

/// "No folder or chapter file given to --chapters\n"
std::string no_chapter_paths_text();
/// The error line for a path that cannot be searched, naming the path.
std::string path_error_text(std::string_view path, const Error& error);
/// Names a recording of one chapter, which is left alone.
std::string one_chapter_text(const ChapterSequence& sequence);
/// Names a refused recording and the chapter file that is missing or repeated.
std::string refused_text(const ChapterSequence& sequence);
/// Names a recording whose join failed, after the join's error line.
std::string join_failed_text(const ChapterSequence& sequence);
/// "3 recordings joined, 1 skipped, 1 failed\n"
std::string summary_text(const Tally& tally);

}  // namespace reelknit::cli
