// A tiny MP4 builder for tests: `box("moov", {mvhd(...), trak(...)})` gives
// bytes, and `make_movie` lays out whole files with real sample tables.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

namespace reelknit::testing {

using Bytes = std::vector<std::uint8_t>;

inline void append(Bytes& to, const Bytes& more) { to.insert(to.end(), more.begin(), more.end()); }

inline Bytes be16(std::uint16_t v) { return {static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v)}; }
inline Bytes be32(std::uint32_t v) {
  return {static_cast<std::uint8_t>(v >> 24), static_cast<std::uint8_t>(v >> 16), static_cast<std::uint8_t>(v >> 8),
          static_cast<std::uint8_t>(v)};
}
inline Bytes be64(std::uint64_t v) {
  Bytes out = be32(static_cast<std::uint32_t>(v >> 32));
  append(out, be32(static_cast<std::uint32_t>(v)));
  return out;
}
inline Bytes le32(std::uint32_t v) {
  return {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v >> 16),
          static_cast<std::uint8_t>(v >> 24)};
}
inline Bytes text(const std::string& s) { return Bytes(s.begin(), s.end()); }
inline Bytes zeros(std::size_t n) { return Bytes(n, 0); }

inline Bytes cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& part : parts) append(out, part);
  return out;
}

/// A box with an 8-byte header around `payload`.
inline Bytes box(const std::string& type, const Bytes& payload) {
  Bytes out = be32(static_cast<std::uint32_t>(8 + payload.size()));
  append(out, text(type));
  append(out, payload);
  return out;
}
inline Bytes box(const std::string& type, std::initializer_list<Bytes> children) { return box(type, cat(children)); }

/// Writes the size of `box_bytes` into its 32-bit size field, after bytes were added to it.
inline void store_size(Bytes& box_bytes) {
  const Bytes size = be32(static_cast<std::uint32_t>(box_bytes.size()));
  std::copy(size.begin(), size.end(), box_bytes.begin());
}

/// A box with the 16-byte header (32-bit size 1, then a 64-bit size).
inline Bytes large_box(const std::string& type, const Bytes& payload) {
  Bytes out = be32(1);
  append(out, text(type));
  append(out, be64(16 + payload.size()));
  append(out, payload);
  return out;
}

/// A full box: version and flags before the payload.
inline Bytes full_box(const std::string& type, std::uint8_t version, const Bytes& payload) {
  return box(type, cat({Bytes{version, 0, 0, 0}, payload}));
}

inline Bytes mvhd(std::uint32_t timescale, std::uint64_t duration, std::uint8_t version = 0) {
  if (version == 1) return full_box("mvhd", 1, cat({zeros(16), be32(timescale), be64(duration), zeros(80)}));
  return full_box("mvhd", 0, cat({zeros(8), be32(timescale), be32(static_cast<std::uint32_t>(duration)), zeros(80)}));
}
inline Bytes tkhd(std::uint64_t duration, std::uint8_t version = 0, std::uint32_t track_id = 1) {
  if (version == 1) return full_box("tkhd", 1, cat({zeros(16), be32(track_id), zeros(4), be64(duration), zeros(60)}));
  return full_box("tkhd", 0,
                  cat({zeros(8), be32(track_id), zeros(4), be32(static_cast<std::uint32_t>(duration)), zeros(60)}));
}
inline Bytes mdhd(std::uint32_t timescale, std::uint64_t duration, std::uint8_t version = 0) {
  if (version == 1) return full_box("mdhd", 1, cat({zeros(16), be32(timescale), be64(duration), zeros(4)}));
  return full_box("mdhd", 0, cat({zeros(8), be32(timescale), be32(static_cast<std::uint32_t>(duration)), zeros(4)}));
}

struct Edit {
  std::uint64_t segment_duration;
  std::int64_t media_time;
};
inline Bytes elst(const std::vector<Edit>& edits, std::uint8_t version = 0) {
  Bytes payload = be32(static_cast<std::uint32_t>(edits.size()));
  for (const Edit& e : edits) {
    if (version == 1) {
      append(payload, be64(e.segment_duration));
      append(payload, be64(static_cast<std::uint64_t>(e.media_time)));
    } else {
      append(payload, be32(static_cast<std::uint32_t>(e.segment_duration)));
      append(payload, be32(static_cast<std::uint32_t>(e.media_time)));
    }
    append(payload, be32(0x00010000));
  }
  return full_box("elst", version, payload);
}

/// A table of (count, value) pairs: stts or ctts.
inline Bytes pair_table(const std::string& type, const std::vector<std::pair<std::uint32_t, std::uint32_t>>& runs,
                        std::uint8_t version = 0) {
  Bytes payload = be32(static_cast<std::uint32_t>(runs.size()));
  for (auto [count, value] : runs) append(payload, cat({be32(count), be32(value)}));
  return full_box(type, version, payload);
}
inline Bytes stsz(std::uint32_t sample_size, std::uint32_t count, const std::vector<std::uint32_t>& sizes = {}) {
  Bytes payload = cat({be32(sample_size), be32(count)});
  for (auto size : sizes) append(payload, be32(size));
  return full_box("stsz", 0, payload);
}
inline Bytes u32_table(const std::string& type, const std::vector<std::uint32_t>& entries) {
  Bytes payload = be32(static_cast<std::uint32_t>(entries.size()));
  for (auto entry : entries) append(payload, be32(entry));
  return full_box(type, 0, payload);
}
inline Bytes co64(const std::vector<std::uint64_t>& entries) {
  Bytes payload = be32(static_cast<std::uint32_t>(entries.size()));
  for (auto entry : entries) append(payload, be64(entry));
  return full_box("co64", 0, payload);
}
struct Stsc {
  std::uint32_t first_chunk, samples_per_chunk, description_index;
};
inline Bytes stsc(const std::vector<Stsc>& entries) {
  Bytes payload = be32(static_cast<std::uint32_t>(entries.size()));
  for (const Stsc& e : entries) append(payload, cat({be32(e.first_chunk), be32(e.samples_per_chunk), be32(e.description_index)}));
  return full_box("stsc", 0, payload);
}
inline Bytes sdtp(const Bytes& flags) { return full_box("sdtp", 0, flags); }
/// A sample description with one entry of `format` (its body is opaque here).
inline Bytes stsd(const std::string& format) {
  return full_box("stsd", 0, cat({be32(1), box(format, zeros(16))}));
}

inline Bytes be24(std::uint32_t v) {
  return {static_cast<std::uint8_t>(v >> 16), static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v)};
}

/// A visual sample entry of `width`×`height` with a compressor name, then `children` (avcC, btrt, colr, ...).
inline Bytes visual_entry(const std::string& format, std::uint16_t width, std::uint16_t height,
                          std::initializer_list<Bytes> children = {}, const std::string& compressor = "") {
  Bytes name(32, 0);
  name[0] = static_cast<std::uint8_t>(compressor.size());
  std::copy(compressor.begin(), compressor.end(), name.begin() + 1);
  return box(format, cat({zeros(6), be16(1), zeros(16), be16(width), be16(height), be32(0x480000), be32(0x480000),
                          zeros(4), be16(1), name, be16(0x18), be16(0xFFFF), cat(children)}));
}

/// A sound sample entry (version 0), the sample rate in hertz, then `children` (esds, btrt, ...).
inline Bytes audio_entry(const std::string& format, std::uint16_t channels, std::uint16_t sample_size,
                         std::uint32_t sample_rate, std::initializer_list<Bytes> children = {}) {
  return box(format, cat({zeros(6), be16(1), zeros(8), be16(channels), be16(sample_size), zeros(4),
                          be32(sample_rate << 16), cat(children)}));
}

/// A descriptor of an esds; `long_size` writes its size in four bytes, as some cameras do.
inline Bytes descriptor(std::uint8_t tag, const Bytes& body, bool long_size = false) {
  Bytes out = {tag};
  const auto size = static_cast<std::uint32_t>(body.size());
  if (long_size) {
    append(out, {static_cast<std::uint8_t>(0x80 | (size >> 21)), static_cast<std::uint8_t>(0x80 | ((size >> 14) & 0x7F)),
                 static_cast<std::uint8_t>(0x80 | ((size >> 7) & 0x7F)), static_cast<std::uint8_t>(size & 0x7F)});
  } else {
    out.push_back(static_cast<std::uint8_t>(size));  // bodies here stay below 128 bytes
  }
  append(out, body);
  return out;
}

struct EsdsPlan {
  std::uint8_t object_type = 0x40;  ///< MPEG-4 audio
  Bytes codec_config = {0x11, 0x90};  ///< AAC LC, 48 kHz, stereo
  std::uint32_t buffer_size = 0;
  std::uint32_t max_bitrate = 0;
  std::uint32_t avg_bitrate = 0;
  bool long_sizes = false;
};
inline Bytes esds(const EsdsPlan& plan = {}) {
  const Bytes config = cat({Bytes{plan.object_type, 0x15}, be24(plan.buffer_size), be32(plan.max_bitrate),
                            be32(plan.avg_bitrate), descriptor(0x05, plan.codec_config, plan.long_sizes)});
  const Bytes es = cat({be16(1), Bytes{0}, descriptor(0x04, config, plan.long_sizes),
                        descriptor(0x06, {0x02}, plan.long_sizes)});
  return full_box("esds", 0, descriptor(0x03, es, plan.long_sizes));
}
inline Bytes btrt(std::uint32_t buffer_size, std::uint32_t max_bitrate, std::uint32_t avg_bitrate) {
  return box("btrt", cat({be32(buffer_size), be32(max_bitrate), be32(avg_bitrate)}));
}
/// An H.264 configuration with one parameter set of each kind; only its bytes matter here.
inline Bytes avcC(std::uint8_t profile, std::uint8_t level, const Bytes& sps = {0x67, 0x42}, const Bytes& pps = {0x68}) {
  return box("avcC", cat({Bytes{1, profile, 0, level, 0xFF, 0xE1}, be16(static_cast<std::uint16_t>(sps.size())), sps,
                          Bytes{1}, be16(static_cast<std::uint16_t>(pps.size())), pps}));
}

/// A sample-to-group box: (sample count, group description index) runs.
inline Bytes sbgp(const std::string& grouping_type, const std::vector<std::pair<std::uint32_t, std::uint32_t>>& runs,
                  std::uint8_t version = 0, std::uint32_t parameter = 0) {
  Bytes payload = text(grouping_type);
  if (version == 1) append(payload, be32(parameter));
  append(payload, be32(static_cast<std::uint32_t>(runs.size())));
  for (auto [count, index] : runs) append(payload, cat({be32(count), be32(index)}));
  return full_box("sbgp", version, payload);
}
/// A group description box whose entries are all `entry_size` bytes; version 2
/// names the group of the samples no run maps.
inline Bytes sgpd(const std::string& grouping_type, const std::vector<Bytes>& entries, std::uint32_t entry_size = 2,
                  std::uint8_t version = 1, std::uint32_t default_index = 0) {
  Bytes payload = cat({text(grouping_type), be32(entry_size)});
  if (version >= 2) append(payload, be32(default_index));
  append(payload, be32(static_cast<std::uint32_t>(entries.size())));
  for (const Bytes& entry : entries) append(payload, entry);
  return full_box("sgpd", version, payload);
}

/// One track of a generated movie. Samples are laid out chunk by chunk,
/// tracks interleaved chunk by chunk, in the media data.
struct TrackPlan {
  std::vector<std::uint32_t> sample_sizes;
  std::uint32_t samples_per_chunk = 2;
  std::uint32_t sample_delta = 1000;
  std::uint32_t media_timescale = 30000;
  std::vector<std::uint32_t> sync_samples;          ///< 1-based; none gives no stss
  std::vector<std::pair<std::uint32_t, std::uint32_t>> ctts;  ///< none gives no ctts
  std::vector<Edit> edits;                          ///< none gives no edts
  std::string format = "avc1";                      ///< "tmcd" makes a timecode track
  std::string handler = "vide";
  std::vector<Bytes> sample_entries;  ///< whole entry boxes; none gives one opaque entry of `format`
  std::vector<std::uint32_t> chunk_descriptions;  ///< each chunk's sample description, 1-based; none: the first
  std::vector<Bytes> sample_groups;               ///< sbgp and sgpd boxes, at the end of the sample table
  bool constant_size = false;                       ///< stsz with one sample_size
  bool wide_offsets = false;                        ///< co64 instead of stco
  bool with_sdtp = false;
  std::uint8_t fill = 0;  ///< first byte of the track's sample pattern
};

struct MoviePlan {
  std::vector<TrackPlan> tracks;
  std::uint32_t movie_timescale = 1000;
  bool moov_first = false;
  bool large_mdat = false;  ///< 16-byte mdat header
  Bytes trailing;           ///< bytes after the last box
};

/// The bytes of sample `index` of a track: recognisable, different per track and sample.
inline Bytes sample_bytes(const TrackPlan& track, std::size_t index) {
  Bytes out(track.sample_sizes[index]);
  for (std::size_t k = 0; k < out.size(); ++k)
    out[k] = static_cast<std::uint8_t>(track.fill + index * 7 + k);
  return out;
}

/// A recording's usual pair of tracks: video ("avc1", sync sample 1) with
/// samples of `video_sizes`, then audio ("mp4a") with samples of `audio_sizes`,
/// two samples to a chunk. The video's bytes start from `fill`, the audio's
/// from `fill + 100`, so the tracks of inputs with other fills differ. Tests
/// change the returned plan where their case needs other tables or timing.
MoviePlan two_track_plan(std::vector<std::uint32_t> video_sizes, std::vector<std::uint32_t> audio_sizes,
                         std::uint8_t fill = 0);

/// A whole file: ftyp, then mdat and moov in the order asked for.
Bytes make_movie(const MoviePlan& plan);

}  // namespace reelknit::testing
