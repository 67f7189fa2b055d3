#include "bin/chapters_command.h"

#include <filesystem>
#include <set>
#include <system_error>

namespace reelknit::cli {
namespace {

namespace fs = std::filesystem;

/// The same file whatever path leads to it ("card", "card/", "./card"); the
/// path as given when it cannot be resolved.
std::string file_identity(const std::string& path) {
  std::error_code code;
  const fs::path resolved = fs::weakly_canonical(path, code);
  return code ? path : resolved.string();
}

Result<std::vector<ChapterSequence>> recordings_of_path(const std::string& path) {
  std::error_code code;
  if (fs::is_directory(path, code)) return find_chapter_sequences(path);
  REELKNIT_ASSIGN_OR_RETURN(ChapterSequence sequence, find_recording_of(path));
  return std::vector<ChapterSequence>{std::move(sequence)};
}

Verdict verdict_on(const ChapterSequence& sequence) {
  if (sequence.problem != SequenceProblem::None) return Verdict::Refused;
  return sequence.chapter_paths.size() < 2 ? Verdict::OneChapter : Verdict::Join;
}

std::string out_refused_message(std::size_t recordings) {
  if (recordings == 0) return "--out needs exactly one recording, but the paths name none";
  return "--out needs exactly one recording, but the paths name " + std::to_string(recordings) +
         "; without --out each is joined next to its first chapter";
}

/// Does what the plan says for one recording and counts how it ended.
void carry_out(const PlannedRecording& planned, const MessageSink& say, const JoinChapters& join, Tally& tally) {
  switch (planned.verdict) {
    case Verdict::OneChapter:
      say(Stream::Out, one_chapter_text(planned.sequence));
      ++tally.skipped;
      return;
    case Verdict::Refused:
      say(Stream::Err, refused_text(planned.sequence));
      ++tally.failed;
      return;
    case Verdict::Join:
      break;
  }
  for (const std::string& chapter : planned.sequence.chapter_paths) say(Stream::Out, merging_file_text(chapter));
  if (auto joined = join(planned.sequence.chapter_paths, planned.output_path); !joined) {
    say(Stream::Err, fatal_error_text(joined.error()));
    say(Stream::Err, join_failed_text(planned.sequence));
    ++tally.failed;
    return;
  }
  ++tally.joined;
}

/// "the recording of DCIM/100GOPRO/GX010042.MP4": a recording is named by its first chapter on disk.
std::string recording_text(const ChapterSequence& sequence) {
  return "the recording of " + (sequence.chapter_paths.empty() ? std::string() : sequence.chapter_paths.front());
}

}  // namespace

ChaptersRequest chapters_arguments(const std::vector<std::string>& arguments) {
  ChaptersRequest request;
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    if (argument == "--out") {
      if (i + 1 < arguments.size()) request.output_path = arguments[++i];
    } else if (argument == NO_FSYNC) {
      request.sync = false;
    } else if (argument != "--chapters") {
      request.paths.push_back(argument);
    }
  }
  return request;
}

Discovery discover_recordings(const std::vector<std::string>& paths) {
  Discovery discovery;
  std::set<std::string> seen;  // the first chapter of each recording kept
  for (const std::string& path : paths) {
    auto found = recordings_of_path(path);
    if (!found) {
      discovery.error_texts.push_back(path_error_text(path, found.error()));
      continue;
    }
    for (ChapterSequence& sequence : *found)
      if (seen.insert(file_identity(sequence.chapter_paths.front())).second)
        discovery.recordings.push_back(std::move(sequence));
  }
  return discovery;
}

Result<std::vector<PlannedRecording>> plan_recordings(std::vector<ChapterSequence> recordings,
                                                      const std::optional<std::string>& output_path) {
  if (output_path && recordings.size() != 1)
    return Error(ErrorKind::InvalidInput, out_refused_message(recordings.size()));
  std::vector<PlannedRecording> plan;
  for (ChapterSequence& sequence : recordings) {
    PlannedRecording planned;
    planned.verdict = verdict_on(sequence);
    if (planned.verdict == Verdict::Join) {
      planned.output_path =
          output_path ? *output_path : default_output_path(sequence.chapter_paths.front()).value_or("");
    }
    planned.sequence = std::move(sequence);
    plan.push_back(std::move(planned));
  }
  return plan;
}

int run_chapters(const std::vector<std::string>& arguments, const MessageSink& say, const JoinChapters& join) {
  const ChaptersRequest request = chapters_arguments(arguments);
  if (request.paths.empty()) {
    say(Stream::Err, no_chapter_paths_text());
    return EXIT_CHAPTERS_REFUSED;
  }
  Discovery found = discover_recordings(request.paths);
  for (const std::string& text : found.error_texts) say(Stream::Err, text);
  if (!found.error_texts.empty()) return EXIT_CHAPTERS_REFUSED;
  auto plan = plan_recordings(std::move(found.recordings), request.output_path);
  if (!plan) {
    say(Stream::Err, fatal_error_text(plan.error()));
    return EXIT_CHAPTERS_REFUSED;
  }

  Tally tally;
  for (const PlannedRecording& planned : *plan) carry_out(planned, say, join, tally);
  say(Stream::Out, summary_text(tally));
  return tally.failed > 0 ? EXIT_MERGE_FAILED : 0;
}

std::string no_chapter_paths_text() { return "No folder or chapter file given to --chapters\n"; }

std::string path_error_text(std::string_view path, const Error& error) {
  return "Error: " + std::string(path) + ": " + error.describe() + "\n";
}

std::string one_chapter_text(const ChapterSequence& sequence) {
  return "Skipping " + recording_text(sequence) + ": it has only one chapter\n";
}

std::string refused_text(const ChapterSequence& sequence) {
  std::string text = "Not joining " + recording_text(sequence) + ": ";
  if (sequence.problem == SequenceProblem::RepeatedChapter) {
    const auto repeated = parse_chapter_name(sequence.problem_file);
    text += sequence.problem_file + " is chapter " + std::to_string(repeated ? repeated->chapter : 0) + " again";
  } else {
    text += "chapter " + sequence.problem_file + " is missing";
  }
  return text + "\n";
}

std::string join_failed_text(const ChapterSequence& sequence) {
  return "Failed to join " + recording_text(sequence) + "\n";
}

std::string summary_text(const Tally& tally) {
  return std::to_string(tally.joined) + (tally.joined == 1 ? " recording" : " recordings") + " joined, " +
         std::to_string(tally.skipped) + " skipped, " + std::to_string(tally.failed) + " failed\n";
}

}  // namespace reelknit::cli
