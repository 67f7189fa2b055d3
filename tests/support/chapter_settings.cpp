#include "support/chapter_settings.h"

#include <filesystem>
#include <numeric>
#include <stdexcept>

#include "support/mp4_inspect.h"
#include "support/run.h"

namespace reelknit::testing {
namespace {

std::uint32_t get32(const Bytes& b, std::uint64_t at) {
  if (at + 4 > b.size()) throw std::runtime_error("read past the end at " + std::to_string(at));
  return (std::uint32_t{b[at]} << 24) | (std::uint32_t{b[at + 1]} << 16) | (std::uint32_t{b[at + 2]} << 8) | b[at + 3];
}

void put32(Bytes& b, std::uint64_t at, std::uint64_t value) {
  if (value > 0xFFFFFFFFu) throw std::runtime_error("a scaled time does not fit in 32 bits");
  for (int k = 0; k < 4; ++k) b[at + static_cast<std::uint64_t>(k)] = static_cast<std::uint8_t>(value >> (24 - 8 * k));
}

std::uint64_t payload(const BoxInfo& box) { return box.position + box.header_size; }

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
  std::uint32_t common_rate = 1;
  for (std::size_t k = 0; k < chapters.size(); ++k) {
    paths.push_back((std::filesystem::path(directory) / ("chapter" + std::to_string(k + 1) + ".mp4")).string());
    record_chapter(paths.back(), chapters[k], k);
    if (chapters[k].audio) common_rate = std::lcm(common_rate, static_cast<std::uint32_t>(chapters[k].audio->sample_rate));
  }
  for (std::size_t k = 0; k < chapters.size(); ++k) {
    if (!chapters[k].audio) continue;
    const auto rate = static_cast<std::uint32_t>(chapters[k].audio->sample_rate);
    if (common_rate != rate) scale_media_timescale(paths[k], chapters[k].video ? 1 : 0, common_rate / rate);
  }
  return paths;
}

void scale_media_timescale(const std::string& path, std::size_t track, std::uint32_t factor) {
  Bytes file = read_file(path);
  const std::vector<BoxInfo> boxes = parse_boxes(file);
  const BoxInfo* mdhd = find_box(boxes, "moov/trak/mdia/mdhd", track);
  if (!mdhd || file.at(payload(*mdhd)) != 0) throw std::runtime_error("no version 0 media header to scale");
  put32(file, payload(*mdhd) + 12, std::uint64_t{get32(file, payload(*mdhd) + 12)} * factor);
  put32(file, payload(*mdhd) + 16, std::uint64_t{get32(file, payload(*mdhd) + 16)} * factor);
  // Sample deltas, and composition offsets: entries of (count, time).
  for (const char* table : {"moov/trak/mdia/minf/stbl/stts", "moov/trak/mdia/minf/stbl/ctts"}) {
    const BoxInfo* box = find_box(boxes, table, track);
    if (!box) continue;
    for (std::uint32_t k = 0, n = get32(file, payload(*box) + 4); k < n; ++k) {
      const std::uint64_t at = payload(*box) + 12 + 8 * std::uint64_t{k};
      put32(file, at, std::uint64_t{get32(file, at)} * factor);
    }
  }
  // FFmpeg counts where a sound track's edit starts as samples, whatever the
  // timescale: a start past the encoder's priming, scaled, would skip all of the
  // sound. The edit plays the whole media instead, the priming included.
  if (const BoxInfo* elst = find_box(boxes, "moov/trak/edts/elst", track)) {
    const BoxInfo* mvhd = find_box(boxes, "moov/mvhd");
    if (file.at(payload(*elst)) != 0 || !mvhd || file.at(payload(*mvhd)) != 0) {
      throw std::runtime_error("no version 0 edit list and movie header to change");
    }
    const std::uint64_t movie_timescale = get32(file, payload(*mvhd) + 12);
    const std::uint64_t media_timescale = get32(file, payload(*mdhd) + 12);
    const std::uint64_t media_duration = get32(file, payload(*mdhd) + 16);
    for (std::uint32_t k = 0, n = get32(file, payload(*elst) + 4); k < n; ++k) {
      const std::uint64_t at = payload(*elst) + 8 + 12 * std::uint64_t{k};
      if (get32(file, at + 4) == 0xFFFFFFFFu) continue;  // an empty edit stays
      put32(file, at, (media_duration * movie_timescale + media_timescale - 1) / media_timescale);
      put32(file, at + 4, 0);
    }
  }
  write_file(path, file);
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
