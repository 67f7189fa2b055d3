// An independent reader of finished MP4 files for tests: it follows the
// sample tables to every sample's bytes and timing, sharing no code with the
// library it judges.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace reelknit::testing {

using Bytes = std::vector<std::uint8_t>;

struct BoxInfo {
  std::string type;
  std::uint64_t position = 0;
  std::uint64_t size = 0;
  std::uint32_t header_size = 8;
  std::vector<BoxInfo> children;  ///< for the containers a walk descends into
};

struct Sample {
  Bytes data;
  std::uint64_t decode_time = 0;
  std::int64_t composition_offset = 0;
  bool sync = true;
  std::uint32_t description_index = 0;  ///< 1-based, as the sample-to-chunk table names it
  bool operator==(const Sample&) const = default;
};

struct TrackSamples {
  std::string format;  ///< the first sample entry's type
  std::vector<Bytes> sample_entries;  ///< every entry of the sample description box, whole
  std::vector<Sample> samples;
  std::uint64_t tkhd_duration = 0;
  std::uint64_t mdhd_duration = 0;
  std::uint32_t mdhd_timescale = 0;
  std::uint64_t stts_duration = 0;  ///< the sum of every sample delta
  bool has_stss = false;
  bool has_ctts = false;
  struct Edit {
    std::uint64_t duration = 0;  ///< movie timescale
    std::int64_t media_time = 0;  ///< media timescale; −1 for an empty edit
  };
  std::vector<Edit> edits;  ///< the edit list; empty when the track has none
  /// What the track presents: its edits' durations summed, or its tkhd duration without an edit list.
  std::uint64_t presented_duration() const {
    if (edits.empty()) return tkhd_duration;
    std::uint64_t total = 0;
    for (const Edit& e : edits) total += e.duration;
    return total;
  }
};

struct Movie {
  std::vector<BoxInfo> boxes;  ///< the top level
  std::uint32_t timescale = 0;
  std::uint64_t duration = 0;
  std::vector<TrackSamples> tracks;
};

/// Parses `file`; throws std::runtime_error naming what is wrong when box
/// sizes do not tile the file or a sample lies outside it. `limit` bounds the
/// box part (a trailer may follow it).
Movie inspect_movie(const Bytes& file, std::optional<std::uint64_t> limit = std::nullopt);

/// The box tree alone; throws when sizes do not tile the file (or the first `limit` bytes).
std::vector<BoxInfo> parse_boxes(const Bytes& file, std::optional<std::uint64_t> limit = std::nullopt);

/// The first box of `type` along a path of types ("moov/trak/mdia/minf/stbl/stco"), k-th trak by index.
const BoxInfo* find_box(const std::vector<BoxInfo>& boxes, const std::string& path, std::size_t trak_index = 0);

/// The types of a tree, depth first, as "moov(mvhd,trak(...))": shows structure at a glance.
std::string tree_text(const std::vector<BoxInfo>& boxes);

Bytes read_file(const std::string& path);
void write_file(const std::string& path, const Bytes& bytes);

}  // namespace reelknit::testing
