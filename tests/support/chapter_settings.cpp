#include "support/chapter_settings.h"

#include <filesystem>
#include <stdexcept>

#include "support/mp4_inspect.h"
#include "support/run.h"

namespace reelknit::testing {
namespace {

/// The value after `key` on a filter's line ("s:320x240 " gives "320x240"); empty when absent.
std::string field(const std::string& line, const std::string& key) {
  const std::size_t at = line.find(" " + key);
  if (at == std::string::npos) return {};
  const std::size_t begin = at + 1 + key.size();
  return line.substr(begin, line.find(' ', begin) - begin);
}

void record_chapter(const std::string& path, const ChapterSettings& settings, std::size_t number) {
  std::vector<std::string> args;
  if (settings.video) {
    args.insert(args.end(), {"-f", "lavfi", "-i", "testsrc2=size=" + settings.video->size + ":rate=30"});
  }
  if (settings.audio) {
    args.insert(args.end(), {"-f", "lavfi", "-i",
                             "sine=frequency=" + std::to_string(440 + 110 * number) +
                                 ":sample_rate=" + std::to_string(settings.audio->sample_rate)});
  }
  args.insert(args.end(), {"-t", "1"});
  if (settings.video) {
    const std::string encoder = settings.video->encoder.empty() ? video_encoder() : settings.video->encoder;
    args.insert(args.end(), {"-vf", "hue=h=" + std::to_string(40 * number), "-c:v", encoder, "-g", "12"});
    if (encoder == "libx264") {
      // veryfast, unlike ultrafast, uses what tells the profiles apart (CABAC, the 8x8 transform).
      args.insert(args.end(), {"-preset", "veryfast", "-profile:v", settings.video->profile, "-bf", "2", "-pix_fmt", "yuv420p"});
    }
  }
  if (settings.audio) {
    args.insert(args.end(), {"-c:a", "aac", "-b:a", "64k", "-ac", std::to_string(settings.audio->channels)});
  }
  args.push_back(path);
  run_ffmpeg(args);
}

}  // namespace

bool have_encoder(const std::string& name) {
  const RunResult result = run_program({"ffmpeg", "-hide_banner", "-encoders"});
  return result.out.find(" " + name + " ") != std::string::npos;
}

std::string video_encoder() {
  static const std::string encoder = have_encoder("libx264") ? "libx264" : "mpeg4";
  return encoder;
}

std::vector<std::string> record_chapters_with_settings(const std::string& directory,
                                                        const std::vector<ChapterSettings>& chapters) {
  std::vector<std::string> paths;
  for (std::size_t k = 0; k < chapters.size(); ++k) {
    paths.push_back((std::filesystem::path(directory) / ("chapter" + std::to_string(k + 1) + ".mp4")).string());
    record_chapter(paths.back(), chapters[k], k);
  }
  return paths;
}

void PrintTo(const DecodedFrame& frame, std::ostream* out) {
  if (frame.size.empty()) {
    *out << frame.sample_rate << " Hz " << frame.channels << " ch " << frame.checksum;
  } else {
    *out << frame.size << " " << frame.checksum;
  }
}

std::vector<DecodedFrame> decode_frames(const std::string& path, const ProbeStream& stream) {
  const bool video = stream.codec_type == "video";
  const RunResult result =
      run_program({"ffmpeg", "-hide_banner", "-nostdin", "-nostats", "-loglevel", "info", "-i", path, "-map",
                   "0:" + std::to_string(stream.index), video ? "-vf" : "-af", video ? "showinfo" : "ashowinfo",
                   "-f", "null", "-"});
  if (result.exit_status != 0) throw std::runtime_error("ffmpeg cannot decode " + path + ": " + result.err);
  std::vector<DecodedFrame> frames;
  std::size_t begin = 0;
  while (begin < result.err.size()) {
    std::size_t end = result.err.find('\n', begin);
    if (end == std::string::npos) end = result.err.size();
    const std::string line = result.err.substr(begin, end - begin);
    begin = end + 1;
    if (line.find(video ? "Parsed_showinfo" : "Parsed_ashowinfo") == std::string::npos) continue;
    DecodedFrame frame;
    frame.checksum = field(line, "checksum:");
    if (frame.checksum.empty()) continue;  // the filter's lines about the stream, not a frame
    if (video) {
      frame.size = field(line, "s:");
    } else {
      frame.sample_rate = std::stoi(field(line, "rate:"));
      frame.channels = std::stoi(field(line, "channels:"));
    }
    frames.push_back(frame);
  }
  return frames;
}

std::string decode_errors(const std::string& path) {
  const RunResult result =
      run_program({"ffmpeg", "-hide_banner", "-nostdin", "-nostats", "-loglevel", "error", "-i", path, "-f", "null", "-"});
  return result.err + (result.exit_status != 0 ? "ffmpeg exited with " + std::to_string(result.exit_status) : "");
}

}  // namespace reelknit::testing
