// Finding the chapters of GoPro recordings by their file names. A GoPro
// camera splits a long recording into chapter files of about 4 GiB each and
// numbers them in the name; a card folder (DCIM/100GOPRO) holds the chapters
// of many recordings side by side.
#pragma once

#include <compare>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "reelknit/error.h"

namespace reelknit {

/// How a camera numbers the chapters of a recording.
enum class ChapterScheme {
  /// HERO5 and earlier: GOPR0042.MP4 is the first chapter, GP010042.MP4 the
  /// second, GP020042.MP4 the third.
  Hero5,
  /// HERO6 and later: G, the encoding letter, the chapter from 01 and the
  /// recording number: GX010042.MP4, GX020042.MP4.
  Hero6,
};

/// What a chapter file holds, as its name tells.
enum class ChapterEncoding {
  Avc,            ///< GH....MP4, and every HERO5-era .MP4
  Hevc,           ///< GX....MP4
  Spherical,      ///< GS....360: a 360-degree recording
  LowResolution,  ///< GL....LRV and the HERO5-era .LRV: the proxy kept for previews
};

/// What a chapter's file name says about it.
struct ChapterName {
  ChapterScheme scheme = ChapterScheme::Hero6;
  ChapterEncoding encoding = ChapterEncoding::Avc;
  int chapter = 1;    ///< 1 for the first chapter
  int recording = 0;  ///< the camera's recording number, 0 to 9999

  /// A low-resolution proxy (.LRV), a sequence of its own beside the full files.
  bool proxy() const { return encoding == ChapterEncoding::LowResolution; }

  bool operator==(const ChapterName&) const = default;
};

/// Reads a chapter file name (without its folder), letters in any case:
/// GH/GX + chapter 01-99 + recording + .MP4, GS... + .360, GL... + .LRV;
/// GOPR + recording or GP + 01-99 + recording, each with .MP4 or .LRV.
/// None for any other name: thumbnails (.THM), audio (.WAV), joined outputs.
std::optional<ChapterName> parse_chapter_name(std::string_view file_name);

/// The file name chapter `chapter` of `sibling`'s recording has, in the
/// letter case of `sibling`: chapter 1 of GP020042.MP4 is GOPR0042.MP4,
/// chapter 2 of gx010042.mp4 is gx020042.mp4. None when `sibling` is no
/// chapter name or the scheme has no name for that chapter.
std::optional<std::string> sibling_chapter_name(std::string_view sibling, int chapter);

/// The recording a chapter belongs to: the chapters of one sequence, and only
/// those, share it. A recording's proxies are a recording of their own.
struct RecordingId {
  ChapterScheme scheme = ChapterScheme::Hero6;
  ChapterEncoding encoding = ChapterEncoding::Avc;
  int recording = 0;

  /// By recording number first, so a folder's recordings come in the order they were made.
  std::strong_ordering operator<=>(const RecordingId& other) const;
  bool operator==(const RecordingId&) const = default;
};

/// The recording of a parsed chapter name.
RecordingId recording_id(const ChapterName& name);

/// What keeps a sequence from being joined.
enum class SequenceProblem {
  None,
  MissingChapter,   ///< a chapter number below the last one found has no file
  RepeatedChapter,  ///< two files name the same chapter (their names differ in letter case only)
};

/// The chapters of one recording found in one folder.
struct ChapterSequence {
  RecordingId recording;
  /// The folder joined with each file name as it is on disk, in chapter order.
  std::vector<std::string> chapter_paths;
  SequenceProblem problem = SequenceProblem::None;
  /// The file name the problem is about: the first missing chapter's name as
  /// the camera would have written it, or the second file of a repeated chapter.
  std::string problem_file;
};

/// Every GoPro recording with a chapter in `folder` (its subfolders are not
/// searched), ordered by recording number, then by encoding. Only regular
/// files (symbolic links followed) named like a chapter count; every other
/// entry is ignored. The system's error when the folder cannot be read.
Result<std::vector<ChapterSequence>> find_chapter_sequences(const std::string& folder);

/// The recording the file at `chapter_path` is a chapter of, completed by its
/// siblings in the same folder. InvalidInput for a file not named like a
/// chapter; the system's error when the file or its folder cannot be read.
Result<ChapterSequence> find_recording_of(const std::string& chapter_path);

}  // namespace reelknit
