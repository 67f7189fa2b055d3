#include "support/players.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <stdexcept>

#include "support/ffprobe.h"
#include "support/run.h"
#include "support/skips.h"
#include "support/temp_dir.h"

namespace reelknit::testing {
namespace {

/// Runs gst-launch-1.0 (the words after the script's first two) with its
/// standard error in the file named by the first. gst-launch-1.0 1.22 can
/// hang setting the pipeline to NULL after an error (qtdemux's "no playable
/// streams" with two branches, for one): two seconds after it has said ERROR
/// it is stopped. Nor may it play for more than ten minutes.
const char* const GST_LAUNCH_WATCHED = R"(err=$1; shift
"$@" 2>"$err" &
player=$!
ticks=0
while kill -0 "$player" 2>/dev/null; do
  if grep -q '^ERROR' "$err"; then
    sleep 2; kill -KILL "$player" 2>/dev/null; wait "$player"; exit 1
  fi
  ticks=$((ticks + 1))
  if [ "$ticks" -gt 6000 ]; then
    echo "ERROR: gst-launch-1.0 did not finish within ten minutes" >>"$err"; kill -KILL "$player"; wait "$player"; exit 124
  fi
  sleep 0.1
done
wait "$player")";

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t begin = 0;
  while (begin < text.size()) {
    std::size_t end = text.find('\n', begin);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(begin, end - begin));
    begin = end + 1;
  }
  return lines;
}

/// The text after `key` up to the next space, comma, semicolon or bar; empty when absent.
std::string field(const std::string& line, const std::string& key) {
  const std::size_t at = line.find(key);
  if (at == std::string::npos) return {};
  const std::size_t begin = at + key.size();
  const std::size_t end = line.find_first_of(" ,;|", begin);
  return line.substr(begin, end == std::string::npos ? std::string::npos : end - begin);
}

struct Kinds {
  bool video = false;
  bool audio = false;
};

/// Which kinds of track the file has, as FFmpeg's demuxer lists them.
Kinds kinds_of(const std::string& path) {
  const RunResult result =
      run_program({"ffprobe", "-v", "error", "-show_entries", "stream=codec_type", "-of", "csv=p=0", path});
  if (result.exit_status != 0) throw std::runtime_error("ffprobe cannot read " + path + ": " + result.err);
  Kinds kinds;
  for (const std::string& line : lines_of(result.out)) {
    kinds.video = kinds.video || line == "video";
    kinds.audio = kinds.audio || line == "audio";
  }
  return kinds;
}

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

/// FNV-1a over the file's bytes, as 16 hex digits.
std::string file_checksum(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read the decoded frame " + path);
  std::uint64_t hash = 14695981039346656037u;
  std::vector<char> buffer(1 << 20);
  while (in) {
    in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
    for (std::streamsize k = 0; k < in.gcount(); ++k) {
      hash = (hash ^ static_cast<unsigned char>(buffer[static_cast<std::size_t>(k)])) * 1099511628211u;
    }
  }
  char text[17];
  std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(hash));
  return text;
}

/// The sound packets FFmpeg's demuxer presents: those it does not mark as
/// outside the edit list (it hands over some more, marked, as a decoder's warm-up).
std::vector<Presented> ffmpeg_audio_packets(const std::string& path) {
  const RunResult result = run_program({"ffprobe", "-v", "error", "-select_streams", "a:0", "-show_data_hash", "md5",
                                        "-show_entries", "packet=pts_time,duration_time,flags,data_hash", "-of",
                                        "compact=p=0", path});
  if (result.exit_status != 0) throw std::runtime_error("ffprobe cannot list the sound of " + path + ": " + result.err);
  // A packet with side data spans lines: it runs from one "pts_time=" to the next.
  std::vector<std::string> packets;
  for (const std::string& line : lines_of(result.out)) {
    if (line.find("pts_time=") != std::string::npos || packets.empty()) packets.emplace_back();
    packets.back() += "|" + line + "|";
  }
  std::vector<Presented> presented;
  for (const std::string& packet : packets) {
    const std::string time = field(packet, "|pts_time=");
    if (field(packet, "|flags=").find('D') != std::string::npos || time.empty() || time == "N/A") continue;
    Presented p;
    p.time = std::stod(time);
    const std::string duration = field(packet, "|duration_time=");
    p.duration = duration.empty() || duration == "N/A" ? 0 : std::stod(duration);
    p.checksum = field(packet, "|data_hash=");
    presented.push_back(p);
  }
  return presented;
}

/// FFmpeg presents a frame at its timestamp as the mov demuxer gives it, the
/// edit list applied (the demuxer's default). -copyts keeps the ffmpeg
/// program from shifting every stream by the file's start time, which a
/// player does not do either.
Timeline ffmpeg_timeline(const std::string& path, Kinds kinds) {
  std::vector<std::string> argv = {"ffmpeg", "-hide_banner", "-nostdin", "-nostats", "-loglevel", "level+info",
                                   "-copyts", "-i", path};
  if (kinds.video) argv.insert(argv.end(), {"-map", "0:v:0", "-vf", "showinfo", "-f", "null", "-"});
  if (kinds.audio) argv.insert(argv.end(), {"-map", "0:a:0", "-af", "ashowinfo", "-f", "null", "-"});
  const RunResult result = run_program(argv);
  if (result.exit_status != 0) throw std::runtime_error("FFmpeg cannot play " + path + ": " + result.err);
  Timeline timeline;
  for (const std::string& line : lines_of(result.err)) {
    if (line.find("[error]") != std::string::npos || line.find("[fatal]") != std::string::npos) {
      timeline.complaints += line + "\n";
      continue;
    }
    const bool video = line.find("Parsed_showinfo") != std::string::npos;
    const bool audio = line.find("Parsed_ashowinfo") != std::string::npos;
    const std::string checksum = field(line, " checksum:");
    const std::string time = field(line, " pts_time:");
    if ((!video && !audio) || checksum.empty() || time.empty()) continue;  // the filters' lines about the stream
    Presented presented;
    presented.time = std::stod(time);
    presented.checksum = checksum;
    if (video) {
      timeline.video.push_back(presented);
    } else {
      presented.duration = std::stod(field(line, " nb_samples:")) / std::stod(field(line, " rate:"));
      timeline.audio.push_back(presented);
    }
  }
  // showinfo does not give a frame's duration: the spacing to the next frame stands in for it.
  for (std::size_t k = 0; k + 1 < timeline.video.size(); ++k) {
    timeline.video[k].duration = timeline.video[k + 1].time - timeline.video[k].time;
  }
  if (timeline.video.size() > 1) timeline.video.back().duration = timeline.video[timeline.video.size() - 2].duration;
  if (kinds.audio) timeline.audio_packets = ffmpeg_audio_packets(path);
  return timeline;
}

/// One multifilesink message: "... from element "video_sink" (element):
/// GstMultiFileSink, filename=(string)..., index=(int)0, ..., running-time=(guint64)33333334, duration=(guint64)...".
struct SinkMessage {
  std::string sink;
  std::uint64_t index = 0;
  std::string filename;
  std::optional<std::uint64_t> running_time;
  std::optional<std::uint64_t> duration;
};

std::optional<std::uint64_t> clock_time(const std::string& value) {
  if (value.empty()) return std::nullopt;
  const std::uint64_t parsed = std::stoull(value);
  if (parsed == UINT64_MAX) return std::nullopt;  // GST_CLOCK_TIME_NONE
  return parsed;
}

/// GStreamer presents a buffer at its running time, the time the sink would
/// wait for: its timestamp counted from the start of its segment, plus the
/// running time of the segments played before it (qtdemux starts a segment
/// per edit). A sink drops what falls outside its segment, and the decoders
/// clip sound to it, so what reaches the sink is what plays. Each buffer is
/// written to a file of its own (multifilesink), whose message on the bus
/// carries the running time; the file gives the checksum. I420 from
/// videoconvert leaves nothing of the picture to the decoder's own layout.
Timeline gstreamer_timeline(const std::string& path, Kinds kinds) {
  TempDir frames;
  const std::string err_path = frames.file("gst-launch.err");
  std::vector<std::string> argv = {"/bin/sh", "-c", GST_LAUNCH_WATCHED, "sh", err_path, "env", "GST_DEBUG=qtdemux:2",
                                   "GST_DEBUG_NO_COLOR=1", "gst-launch-1.0", "-m", "filesrc", "location=\"" + path + "\"", "!", "qtdemux",
                                   "name=demux"};
  const auto sink = [&](const std::string& name) {
    return std::vector<std::string>{"!", "multifilesink", "name=" + name,
                                    "location=\"" + frames.file(name + "-%06d") + "\"", "post-messages=true",
                                    "sync=false"};
  };
  if (kinds.video) {
    argv.insert(argv.end(), {"demux.video_0", "!", "queue", "!", "decodebin", "!", "videoconvert", "!",
                             "video/x-raw,format=I420"});
    const auto s = sink("video_sink");
    argv.insert(argv.end(), s.begin(), s.end());
  }
  if (kinds.audio) {
    // The demuxer's packets go to a sink of their own beside the decoder.
    argv.insert(argv.end(), {"demux.audio_0", "!", "tee", "name=packets", "!", "queue", "!", "decodebin", "!",
                             "audioconvert", "!", "audio/x-raw,format=F32LE"});
    const auto s = sink("audio_sink");
    argv.insert(argv.end(), s.begin(), s.end());
    argv.insert(argv.end(), {"packets.", "!", "queue"});
    const auto p = sink("packet_sink");
    argv.insert(argv.end(), p.begin(), p.end());
  }
  RunResult result = run_program(argv);
  result.err = slurp(err_path);
  if (result.exit_status != 0) {
    std::string said;
    for (const std::string& line : lines_of(result.err)) {
      if (line.find("ERROR") != std::string::npos || line.find("WARN") != std::string::npos) said += line + "\n";
    }
    throw std::runtime_error("GStreamer cannot play " + path + " (exit status " + std::to_string(result.exit_status) +
                             "):\n" + said);
  }
  std::vector<SinkMessage> messages;
  for (const std::string& line : lines_of(result.out)) {
    if (line.find("GstMultiFileSink, filename=") == std::string::npos) continue;
    SinkMessage message;
    for (const char* name : {"video_sink", "audio_sink", "packet_sink"}) {
      if (line.find("\"" + std::string(name) + "\"") != std::string::npos) message.sink = name;
    }
    message.filename = field(line, "filename=(string)");
    message.index = std::stoull(field(line, "index=(int)"));
    message.running_time = clock_time(field(line, "running-time=(guint64)"));
    message.duration = clock_time(field(line, "duration=(guint64)"));
    messages.push_back(message);
  }
  std::sort(messages.begin(), messages.end(), [](const SinkMessage& a, const SinkMessage& b) {
    return a.sink != b.sink ? a.sink < b.sink : a.index < b.index;
  });
  Timeline timeline;
  for (const std::string& line : lines_of(result.err)) {
    if (line.find("WARN") != std::string::npos) timeline.complaints += line + "\n";
  }
  for (const SinkMessage& message : messages) {
    if (!message.running_time) {
      // qtdemux hands over some packets without a timestamp where an edit
      // starts inside a chunk; the decoder places the sound they make.
      if (message.sink == "packet_sink") continue;
      throw std::runtime_error("GStreamer wrote a buffer without a running time from " + path + ": " + message.filename);
    }
    Presented presented;
    presented.time = static_cast<double>(*message.running_time) / 1e9;
    presented.duration = static_cast<double>(message.duration.value_or(0)) / 1e9;
    presented.checksum = file_checksum(message.filename);
    (message.sink == "video_sink"   ? timeline.video
     : message.sink == "audio_sink" ? timeline.audio
                                    : timeline.audio_packets)
        .push_back(presented);
  }
  return timeline;
}

/// An element the GStreamer timeline needs, and the package that brings it.
struct Element {
  const char* name;
  const char* package;
};

const Element GSTREAMER_ELEMENTS[] = {
    {"filesrc", "gstreamer1.0 (core)"},         {"queue", "gstreamer1.0 (core)"}, {"tee", "gstreamer1.0 (core)"},
    {"qtdemux", "gstreamer1.0-plugins-good"},   {"multifilesink", "gstreamer1.0-plugins-good"},
    {"decodebin", "gstreamer1.0-plugins-base"}, {"videoconvert", "gstreamer1.0-plugins-base"},
    {"audioconvert", "gstreamer1.0-plugins-base"}, {"avdec_h264", "gstreamer1.0-libav"},
    {"avdec_h265", "gstreamer1.0-libav"},       {"avdec_aac", "gstreamer1.0-libav"},
};

}  // namespace

const char* player_name(Player player) { return player == Player::Ffmpeg ? "FFmpeg" : "GStreamer"; }

namespace {

/// Each missing piece of GStreamer, with the package that brings it.
const std::vector<std::pair<std::string, std::string>>& missing_gstreamer_parts() {
  static const std::vector<std::pair<std::string, std::string>> missing = [] {
    std::vector<std::pair<std::string, std::string>> parts;
    for (const Tool& tool : {GST_LAUNCH, GST_INSPECT}) {
      if (!have_program(tool.program)) parts.emplace_back(tool.program, tool.package);
    }
    if (!parts.empty()) return parts;
    for (const Element& element : GSTREAMER_ELEMENTS) {
      if (run_program({"gst-inspect-1.0", "--exists", element.name}).exit_status != 0) {
        parts.emplace_back(element.name, element.package);
      }
    }
    return parts;
  }();
  return missing;
}

}  // namespace

std::string missing_gstreamer() {
  std::string text;
  for (const auto& [what, package] : missing_gstreamer_parts()) {
    text += (text.empty() ? "" : ", ") + what + " (" + package + ")";
  }
  return text;
}

std::string record_missing_gstreamer() {
  std::string reason;
  for (const auto& [what, package] : missing_gstreamer_parts()) {
    reason += (reason.empty() ? "" : "; ") + record_missing_tool("GStreamer's " + what, package);
  }
  return reason;
}

bool have_gstreamer() { return missing_gstreamer().empty(); }

std::vector<Player> available_players() {
  std::vector<Player> players;
  const bool ffmpeg = have_program(FFMPEG.program) && have_program(FFPROBE.program);
  if (ffmpeg) players.push_back(Player::Ffmpeg);
  if (ffmpeg && have_gstreamer()) players.push_back(Player::Gstreamer);  // ffprobe lists the tracks
  return players;
}

Timeline presented_timeline(const std::string& path, Player player) {
  const Kinds kinds = kinds_of(path);
  return player == Player::Ffmpeg ? ffmpeg_timeline(path, kinds) : gstreamer_timeline(path, kinds);
}

}  // namespace reelknit::testing
