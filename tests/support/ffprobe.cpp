#include "support/ffprobe.h"

#include <cstdlib>
#include <stdexcept>

#include "support/run.h"

namespace reelknit::testing {
namespace {

/// ffprobe's flat writer quotes strings and prints numbers bare; "N/A" marks a missing value.
std::string unquote(const std::string& value) {
  if (value.size() < 2 || value.front() != '"' || value.back() != '"') return value;
  std::string out;
  for (std::size_t i = 1; i + 1 < value.size(); ++i) {
    if (value[i] == '\\' && i + 2 < value.size()) ++i;
    out += value[i];
  }
  return out;
}

std::optional<std::int64_t> number(const std::string& value) {
  if (value.empty() || value == "N/A") return std::nullopt;
  char* end = nullptr;
  const long long parsed = std::strtoll(value.c_str(), &end, 10);
  if (*end != '\0') throw std::runtime_error("ffprobe gave a value that is not a number: " + value);
  return parsed;
}

std::int64_t required_number(const std::string& value) {
  const auto parsed = number(value);
  if (!parsed) throw std::runtime_error("ffprobe left out a value the tests need");
  return *parsed;
}

/// Splits "a.b.N.rest" after the section prefix: the entry number and the rest of the key.
bool section_entry(const std::string& key, const std::string& prefix, std::size_t& entry, std::string& field) {
  if (key.compare(0, prefix.size(), prefix) != 0) return false;
  const std::size_t dot = key.find('.', prefix.size());
  if (dot == std::string::npos) return false;
  entry = static_cast<std::size_t>(std::stoul(key.substr(prefix.size(), dot - prefix.size())));
  field = key.substr(dot + 1);
  return true;
}

template <class T>
T& entry_at(std::vector<T>& list, std::size_t entry) {
  if (entry >= list.size()) list.resize(entry + 1);
  return list[entry];
}

void set_packet_field(ProbePacket& packet, const std::string& field, const std::string& value) {
  if (field == "stream_index") packet.stream_index = static_cast<int>(required_number(value));
  else if (field == "pts") packet.pts = number(value);
  else if (field == "dts") packet.dts = number(value);
  else if (field == "duration") packet.duration = number(value).value_or(0);
  else if (field == "size") packet.size = static_cast<std::uint64_t>(required_number(value));
  else if (field == "flags") {
    packet.key = value.find('K') != std::string::npos;
    packet.discard = value.find('D') != std::string::npos;
  } else if (field == "data_hash") packet.hash = value;
  // side data and anything else ffprobe adds is not judged
}

void set_stream_field(ProbeStream& stream, const std::string& field, const std::string& value) {
  if (field == "index") stream.index = static_cast<int>(required_number(value));
  else if (field == "codec_type") stream.codec_type = value;
  else if (field == "codec_tag_string") stream.codec_tag = value;
  else if (field == "duration_ts") stream.duration_ts = number(value);
  else if (field == "start_pts") stream.start_pts = number(value);
  else if (field == "time_base") {
    const std::size_t slash = value.find('/');
    if (slash == std::string::npos) throw std::runtime_error("ffprobe gave a time base without '/': " + value);
    stream.time_base_num = required_number(value.substr(0, slash));
    stream.time_base_den = required_number(value.substr(slash + 1));
  } else if (field.compare(0, 5, "tags.") == 0) stream.tags[field.substr(5)] = value;
}

}  // namespace

void run_ffmpeg(const std::vector<std::string>& args) {
  std::vector<std::string> argv = {"ffmpeg", "-hide_banner", "-nostdin", "-loglevel", "error", "-y"};
  argv.insert(argv.end(), args.begin(), args.end());
  const RunResult result = run_program(argv);
  if (result.exit_status != 0) {
    std::string command;
    for (const std::string& a : argv) command += a + " ";
    throw std::runtime_error("ffmpeg failed (" + std::to_string(result.exit_status) + "): " + command + "\n" + result.err);
  }
}

std::vector<ProbePacket> presented_packets(const Probe& probe, int stream_index) {
  std::vector<ProbePacket> presented;
  for (const ProbePacket& packet : probe.packets_of(stream_index))
    if (!packet.discard) presented.push_back(packet);
  return presented;
}

std::size_t hidden_start_presented(const std::vector<ProbePacket>& joined, std::size_t at, const Probe& chapter,
                                   int stream_index) {
  std::vector<ProbePacket> hidden;
  for (const ProbePacket& packet : chapter.packets_of(stream_index)) {
    if (!packet.discard) break;
    hidden.push_back(packet);
  }
  for (std::size_t count = hidden.size(); count > 0; --count) {
    if (at + count > joined.size()) continue;
    bool same = true;
    for (std::size_t k = 0; k < count && same; ++k) same = joined[at + k].hash == hidden[hidden.size() - count + k].hash;
    if (same) return count;
  }
  return 0;
}

Probe probe(const std::string& path) {
  const RunResult result = run_program({"ffprobe", "-v", "error", "-show_data_hash", "md5", "-show_entries",
                                        "packet=stream_index,pts,dts,duration,size,flags,data_hash:"
                                        "stream=index,codec_type,codec_tag_string,time_base,duration_ts,start_pts:"
                                        "stream_tags:format=duration",
                                        "-of", "flat", path});
  if (result.exit_status != 0 || !result.err.empty()) {
    throw std::runtime_error("ffprobe cannot read " + path + " cleanly: " + result.err);
  }
  Probe out;
  std::size_t begin = 0;
  while (begin < result.out.size()) {
    std::size_t end = result.out.find('\n', begin);
    if (end == std::string::npos) end = result.out.size();
    const std::string line = result.out.substr(begin, end - begin);
    begin = end + 1;
    const std::size_t equals = line.find('=');
    if (equals == std::string::npos) continue;
    const std::string key = line.substr(0, equals);
    const std::string value = unquote(line.substr(equals + 1));
    std::size_t entry = 0;
    std::string field;
    if (section_entry(key, "packets.packet.", entry, field)) {
      set_packet_field(entry_at(out.packets, entry), field, value);
    } else if (section_entry(key, "streams.stream.", entry, field)) {
      set_stream_field(entry_at(out.streams, entry), field, value);
    } else if (key == "format.duration") {
      out.format_duration = std::strtod(value.c_str(), nullptr);
    }
  }
  return out;
}

std::vector<ProbePacket> Probe::packets_of(int stream_index) const {
  std::vector<ProbePacket> selected;
  for (const ProbePacket& p : packets)
    if (p.stream_index == stream_index) selected.push_back(p);
  return selected;
}

}  // namespace reelknit::testing
