// Does a joined file play, in each player, as its chapters play one after
// another? Each player's timeline of the joined file (see players.h) is
// compared with the same player's timelines of the chapters, chapter k laid
// at the sum of the earlier chapters' movie durations:
//  - every video frame is shown once, in order (the same pictures, as many per chapter);
//  - each chapter's first frame, and its sound, start within one frame of where
//    they are due (a later start by the chapter's hidden priming is allowed
//    when its picture and sound stay together);
//  - each chapter's span of the joined movie plays as many seconds of sound as
//    the chapter alone, within one AAC frame (1024 samples).
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "support/players.h"

namespace reelknit::testing {

/// What one player does with one chapter of the joined file.
struct ChapterMeasure {
  double due = 0;                       ///< seconds: where the chapter starts in the joined movie
  std::optional<double> video_offset;   ///< seconds its first frame is shown late (negative: early); none when never shown
  std::optional<double> audio_offset;   ///< the same for its sound
  double audio_seconds = 0;             ///< sound played in the chapter's span of the joined movie
  double expected_audio_seconds = 0;    ///< sound the chapter plays alone
  bool faulty = false;                  ///< one of the verdict's faults is about this chapter
};

struct PlayerVerdict {
  Player player = Player::Ffmpeg;
  std::vector<ChapterMeasure> chapters;
  /// One line per fault, naming the player, the chapter, and the expected and actual times.
  std::vector<std::string> faults;
  std::string complaints;  ///< what the player said while playing the joined file
};

/// The verdict of `player` on `joined` as the join of `chapters`. Throws
/// std::runtime_error with the player's message when it cannot play a file.
PlayerVerdict judge_chapters(Player player, const std::vector<std::string>& chapters, const std::string& joined);

/// The verdict of `player` on `joined` as the join of `parts`, the pieces a
/// camera (or ffmpeg's segment muxer) cut `recording` into: it must present
/// what the whole recording presents, part by part, each part's span being
/// where the recording shows that part's first frame. The joined file may
/// start each track as late as the first part alone starts it (the segment
/// muxer gives the first part an empty edit per track); every seam after that
/// must be where the recording has it.
PlayerVerdict judge_recording(Player player, const std::string& recording, const std::vector<std::string>& parts,
                              const std::string& joined);

/// Every available player's verdict on `joined` as the join of `chapters`:
/// a test failure per fault, or per file a player cannot play, and a line on
/// standard output per chapter and player with its measured start offsets
/// and sound. Skips the test, after judging with FFmpeg, when GStreamer is
/// missing.
void expect_plays_like_chapters(const std::vector<std::string>& chapters, const std::string& joined);

/// The same for a camera's own cut: `joined` against the whole `recording`.
void expect_plays_like_recording(const std::string& recording, const std::vector<std::string>& parts,
                                 const std::string& joined);

}  // namespace reelknit::testing
