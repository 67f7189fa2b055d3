// ffmpeg and ffprobe as independent judges: make test recordings with ffmpeg,
// and read back what ffprobe sees in a file, packet by packet.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace reelknit::testing {

/// Runs ffmpeg with `args` (overwriting outputs, errors only on stderr);
/// throws std::runtime_error with ffmpeg's message when it fails.
void run_ffmpeg(const std::vector<std::string>& args);

/// One packet as ffprobe's demuxer delivers it.
struct ProbePacket {
  int stream_index = -1;
  std::optional<std::int64_t> pts;
  std::optional<std::int64_t> dts;
  std::int64_t duration = 0;  ///< in the stream's time base
  std::uint64_t size = 0;
  bool key = false;
  bool discard = false;  ///< the demuxer marks it as outside the edit list
  std::string hash;      ///< MD5 of the packet's bytes
};

struct ProbeStream {
  int index = -1;
  std::string codec_type;  ///< "video", "audio", "data"
  std::string codec_tag;   ///< "avc1", "mp4a", "tmcd", ...
  std::int64_t time_base_num = 0;
  std::int64_t time_base_den = 0;
  std::optional<std::int64_t> duration_ts;  ///< in the stream's time base
  std::optional<std::int64_t> start_pts;
  std::map<std::string, std::string> tags;
};

struct Probe {
  double format_duration = 0;  ///< seconds
  std::vector<ProbeStream> streams;
  std::vector<ProbePacket> packets;  ///< in file order, all streams

  /// The packets of one stream, in file order.
  std::vector<ProbePacket> packets_of(int stream_index) const;
};

/// The packets of one stream a player presents: those the demuxer does not
/// mark as outside the edit list (it may hand over earlier packets again,
/// marked, as a decoder's warm-up before a chapter's own edit).
std::vector<ProbePacket> presented_packets(const Probe& probe, int stream_index);

/// How many of the packets a later chapter hides at its start (its encoder
/// priming, or sound that continues the chapter before it) a join presents
/// at `at` of its presented packets `joined`, right before the chapter's
/// first presented packet: the join carries such a seam in its sample table,
/// where the hidden packets take next to no time or fill a wait.
std::size_t hidden_start_presented(const std::vector<ProbePacket>& joined, std::size_t at, const Probe& chapter,
                                   int stream_index);

/// ffprobe's view of `path`: format duration, streams, and every packet with
/// its timestamps, flags and data hash. Throws std::runtime_error when
/// ffprobe cannot read the file.
Probe probe(const std::string& path);

}  // namespace reelknit::testing
