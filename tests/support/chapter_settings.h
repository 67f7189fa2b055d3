// Small recordings made with ffmpeg from its test sources, with the settings
// a camera may change from one chapter to the next, and what ffmpeg's
// decoders make of a file, frame by frame.
#pragma once

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "support/ffprobe.h"

namespace reelknit::testing {

/// True when this ffmpeg build has the encoder (`ffmpeg -encoders`).
bool have_encoder(const std::string& name);

/// The video encoder of the recipes: H.264 where this ffmpeg has libx264, else MPEG-4 Visual.
std::string video_encoder();

struct VideoSettings {
  std::string size = "320x240";
  std::string profile = "main";  ///< H.264 only
  std::string encoder;           ///< empty: `video_encoder()`
};

struct AudioSettings {
  int sample_rate = 48000;
  int channels = 1;
};

/// One chapter: a video track and a sound track (AAC), where their settings are given.
struct ChapterSettings {
  std::optional<VideoSettings> video;
  std::optional<AudioSettings> audio;
};

/// Records `chapters` as chapter1.mp4, chapter2.mp4, ... in `directory`, a
/// second each, each a little different (hue, tone), each sound track with
/// its sample rate as its timescale, as ffmpeg and cameras write them.
/// Returns the paths.
std::vector<std::string> record_chapters_with_settings(const std::string& directory,
                                                        const std::vector<ChapterSettings>& chapters);

/// One frame as ffmpeg decodes it (its showinfo and ashowinfo filters).
struct DecodedFrame {
  std::string size;  ///< video: "320x240"
  int sample_rate = 0;
  int channels = 0;
  std::string checksum;  ///< of the frame's pixels or samples
  bool operator==(const DecodedFrame&) const = default;
};

/// "320x240 E47317DE", "48000 Hz 2 ch 7E3DAAFE": a frame as a failed expectation shows it.
void PrintTo(const DecodedFrame& frame, std::ostream* out);

/// Every frame ffmpeg decodes from `stream` of the file at `path`, in the order it shows them.
std::vector<DecodedFrame> decode_frames(const std::string& path, const ProbeStream& stream);

/// What ffmpeg reports at level "error" while decoding the file at `path`
/// (its first video and sound streams); empty when it decodes cleanly.
std::string decode_errors(const std::string& path);

}  // namespace reelknit::testing
