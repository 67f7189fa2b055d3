// Groups the chapter files of a folder into recordings and checks that each
// recording's chapters run from the first without a gap.
#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <map>
#include <system_error>

#include "reelknit/chapters.h"

namespace reelknit {
namespace {

namespace fs = std::filesystem;

/// std::filesystem reports the system's errno values on POSIX systems.
Error error_of(const std::error_code& code) {
  if (code.category() == std::generic_category() || code.category() == std::system_category())
    return Error::from_errno(code.value());
  return Error(ErrorKind::Other, code.message());
}

struct FoundChapter {
  int chapter;
  std::string file_name;  ///< as on disk
};

/// The regular files of `folder` named like a chapter, by recording.
Result<std::map<RecordingId, std::vector<FoundChapter>>> chapters_by_recording(const std::string& folder) {
  std::map<RecordingId, std::vector<FoundChapter>> recordings;
  std::error_code code;
  // An empty folder names the working directory; the paths then stay bare names.
  fs::directory_iterator entries(folder.empty() ? "." : folder, code);
  for (; !code && entries != fs::directory_iterator(); entries.increment(code)) {
    std::string file_name = entries->path().filename().string();
    const auto name = parse_chapter_name(file_name);
    std::error_code ignored;  // an entry that vanished or dangles is no chapter
    if (!name || !entries->is_regular_file(ignored)) continue;
    recordings[recording_id(*name)].push_back({name->chapter, std::move(file_name)});
  }
  if (code) return error_of(code);
  return recordings;
}

/// The sequence of one recording: chapters in order, and the first thing wrong with them.
ChapterSequence make_sequence(const std::string& folder, const RecordingId& recording,
                              std::vector<FoundChapter> chapters) {
  // Names that differ in letter case only come out in byte order, so the outcome does not depend on the listing.
  std::sort(chapters.begin(), chapters.end(), [](const FoundChapter& a, const FoundChapter& b) {
    return a.chapter != b.chapter ? a.chapter < b.chapter : a.file_name < b.file_name;
  });
  ChapterSequence sequence;
  sequence.recording = recording;
  int expected = 1;
  for (const FoundChapter& found : chapters) {
    sequence.chapter_paths.push_back((fs::path(folder) / found.file_name).string());
    if (sequence.problem != SequenceProblem::None) continue;
    if (found.chapter < expected) {
      sequence.problem = SequenceProblem::RepeatedChapter;
      sequence.problem_file = found.file_name;
    } else if (found.chapter > expected) {
      sequence.problem = SequenceProblem::MissingChapter;
      sequence.problem_file = sibling_chapter_name(found.file_name, expected).value_or(std::string());
    }
    expected = found.chapter + 1;
  }
  return sequence;
}

}  // namespace

Result<std::vector<ChapterSequence>> find_chapter_sequences(const std::string& folder) {
  REELKNIT_ASSIGN_OR_RETURN(auto recordings, chapters_by_recording(folder));
  std::vector<ChapterSequence> sequences;
  for (auto& [recording, chapters] : recordings)
    sequences.push_back(make_sequence(folder, recording, std::move(chapters)));
  return sequences;
}

Result<ChapterSequence> find_recording_of(const std::string& chapter_path) {
  std::error_code code;
  const fs::file_status status = fs::status(chapter_path, code);
  if (code) return error_of(code);
  if (fs::is_directory(status)) return Error::from_errno(EISDIR);
  const fs::path path(chapter_path);
  const auto name = parse_chapter_name(path.filename().string());
  if (!name) return Error(ErrorKind::InvalidInput, "not named like a GoPro chapter file");
  if (!fs::is_regular_file(status)) return Error(ErrorKind::InvalidInput, "not a regular file");

  REELKNIT_ASSIGN_OR_RETURN(auto sequences, find_chapter_sequences(path.parent_path().string()));
  const RecordingId recording = recording_id(*name);
  for (ChapterSequence& sequence : sequences)
    if (sequence.recording == recording) return std::move(sequence);
  // The file went away while its folder was read.
  return Error::from_errno(ENOENT);
}

}  // namespace reelknit
