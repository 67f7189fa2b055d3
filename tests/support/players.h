// What a player presents from a file: every video frame it shows, in order,
// with the time it shows it and a checksum of its picture, and the sound it
// plays, block by block. Two players that read edit lists each in their own
// way: FFmpeg (its mov demuxer and decoders, through the ffmpeg program) and
// GStreamer (qtdemux and the libav decoders, through gst-launch-1.0).
#pragma once

#include <string>
#include <vector>

namespace reelknit::testing {

enum class Player { Ffmpeg, Gstreamer };

/// "FFmpeg", "GStreamer".
const char* player_name(Player player);

/// One presented video frame or block of sound.
struct Presented {
  double time = 0;      ///< seconds on the player's clock from the start of playing
  double duration = 0;  ///< seconds; for FFmpeg's video, the spacing to the next frame
  std::string checksum; ///< of the decoded picture or samples; equal within one player only
};

struct Timeline {
  std::vector<Presented> video;  ///< the first video track's frames, in the order shown
  std::vector<Presented> audio;  ///< the first sound track's blocks, in the order played
  /// The sound track's packets the demuxer presents, in order, with the
  /// checksum of their bytes. They tell whose sound plays where: decoded sound
  /// does not, as a chapter's sound decodes a little differently after
  /// another chapter's than alone (FFmpeg's AAC decoder carries the state of
  /// the noise it substitutes for some bands from frame to frame).
  std::vector<Presented> audio_packets;
  /// What the player complained of while playing (FFmpeg's error lines,
  /// GStreamer's warnings); playing went on regardless.
  std::string complaints;
};

/// The tools and elements the GStreamer timeline needs that this machine
/// lacks, each with the package that brings it ("avdec_h264 (gstreamer1.0-libav)");
/// empty when nothing is missing.
std::string missing_gstreamer();

/// True when gst-launch-1.0 and every element the GStreamer timeline uses are installed.
bool have_gstreamer();

/// Records every missing piece of GStreamer for the end of the run
/// (support/skips.h); returns the reason to skip.
std::string record_missing_gstreamer();

/// The players this machine has: FFmpeg when ffmpeg and ffprobe are
/// installed, GStreamer when `have_gstreamer()`.
std::vector<Player> available_players();

/// What `player` presents from the file at `path`, video and sound, as
/// playing it from the start at normal rate would. Throws std::runtime_error
/// with the player's own message when it cannot play the file (GStreamer
/// does not know compact sample sizes, for one).
Timeline presented_timeline(const std::string& path, Player player);

}  // namespace reelknit::testing
