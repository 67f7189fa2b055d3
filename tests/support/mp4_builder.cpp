#include "support/mp4_builder.h"

#include <algorithm>
#include <utility>

namespace reelknit::testing {
namespace {

struct Layout {
  Bytes payload;                                    // the mdat payload
  std::vector<std::vector<std::uint64_t>> chunks;  // per track, offsets within the payload
};

Layout lay_out_samples(const MoviePlan& plan) {
  Layout layout;
  layout.chunks.resize(plan.tracks.size());
  std::vector<std::size_t> next(plan.tracks.size(), 0);
  bool more = true;
  while (more) {
    more = false;
    for (std::size_t t = 0; t < plan.tracks.size(); ++t) {
      const TrackPlan& track = plan.tracks[t];
      if (next[t] >= track.sample_sizes.size()) continue;
      layout.chunks[t].push_back(layout.payload.size());
      const std::size_t end = std::min(track.sample_sizes.size(), next[t] + track.samples_per_chunk);
      for (; next[t] < end; ++next[t]) append(layout.payload, sample_bytes(track, next[t]));
      more = true;
    }
  }
  return layout;
}

std::uint64_t media_duration(const TrackPlan& track) {
  return std::uint64_t{track.sample_delta} * track.sample_sizes.size();
}

Bytes make_trak(const TrackPlan& track, const std::vector<std::uint64_t>& chunks, std::uint64_t base,
                std::uint32_t movie_timescale, std::uint32_t id) {
  const std::uint64_t duration = media_duration(track);
  const std::uint64_t movie_duration = duration * movie_timescale / track.media_timescale;
  const auto count = static_cast<std::uint32_t>(track.sample_sizes.size());
  Bytes tables = stsd(track.format);
  if (!track.sample_entries.empty()) {
    Bytes entries = be32(static_cast<std::uint32_t>(track.sample_entries.size()));
    for (const Bytes& entry : track.sample_entries) append(entries, entry);
    tables = full_box("stsd", 0, entries);
  }
  append(tables, pair_table("stts", {{count, track.sample_delta}}));
  if (!track.ctts.empty()) append(tables, pair_table("ctts", track.ctts));
  if (!track.sync_samples.empty()) append(tables, u32_table("stss", track.sync_samples));
  if (track.with_sdtp) {
    Bytes flags;
    for (std::uint32_t i = 0; i < count; ++i) flags.push_back(static_cast<std::uint8_t>(i % 2 ? 0x18 : 0x20));
    append(tables, sdtp(flags));
  }
  // Full chunks, then the shorter last chunk when the samples do not divide evenly;
  // a run starts wherever the count or the sample description changes.
  std::vector<Stsc> runs;
  for (std::uint32_t chunk = 1, first_sample = 0; first_sample < count; ++chunk) {
    const std::uint32_t samples = std::min(track.samples_per_chunk, count - first_sample);
    const std::uint32_t description =
        track.chunk_descriptions.empty() ? 1 : track.chunk_descriptions[std::min<std::size_t>(chunk, track.chunk_descriptions.size()) - 1];
    if (runs.empty() || runs.back().samples_per_chunk != samples || runs.back().description_index != description) {
      runs.push_back({chunk, samples, description});
    }
    first_sample += samples;
  }
  append(tables, stsc(runs));
  if (track.constant_size && count > 0) {
    append(tables, stsz(track.sample_sizes.front(), count));
  } else {
    append(tables, stsz(0, count, track.sample_sizes));
  }
  if (track.wide_offsets) {
    std::vector<std::uint64_t> offsets;
    for (auto c : chunks) offsets.push_back(base + c);
    append(tables, co64(offsets));
  } else {
    std::vector<std::uint32_t> offsets;
    for (auto c : chunks) offsets.push_back(static_cast<std::uint32_t>(base + c));
    append(tables, u32_table("stco", offsets));
  }
  for (const Bytes& group : track.sample_groups) append(tables, group);
  const Bytes media_header = track.handler == "soun" ? full_box("smhd", 0, zeros(4)) : full_box("vmhd", 0, zeros(8));
  Bytes trak_payload = tkhd(movie_duration, 0, id);
  if (!track.edits.empty()) append(trak_payload, box("edts", {elst(track.edits)}));
  append(trak_payload, box("mdia", {mdhd(track.media_timescale, duration),
                                    full_box("hdlr", 0, cat({zeros(4), text(track.handler), zeros(13)})),
                                    box("minf", {media_header, box("stbl", tables)})}));
  return box("trak", trak_payload);
}

}  // namespace

MoviePlan two_track_plan(std::vector<std::uint32_t> video_sizes, std::vector<std::uint32_t> audio_sizes,
                         std::uint8_t fill) {
  TrackPlan video;
  video.sample_sizes = std::move(video_sizes);
  video.sync_samples = {1};
  video.fill = fill;
  TrackPlan audio;
  audio.sample_sizes = std::move(audio_sizes);
  audio.format = "mp4a";
  audio.fill = static_cast<std::uint8_t>(fill + 100);
  MoviePlan plan;
  plan.tracks = {std::move(video), std::move(audio)};
  return plan;
}

Bytes make_movie(const MoviePlan& plan) {
  const Layout layout = lay_out_samples(plan);
  const Bytes ftyp = box("ftyp", cat({text("isom"), be32(512), text("isomiso2avc1mp41")}));
  const std::uint32_t mdat_header = plan.large_mdat ? 16 : 8;

  auto make_moov = [&](std::uint64_t payload_position) {
    std::uint64_t movie_duration = 0;
    Bytes children;
    for (std::size_t t = 0; t < plan.tracks.size(); ++t) {
      const TrackPlan& track = plan.tracks[t];
      movie_duration = std::max(movie_duration, media_duration(track) * plan.movie_timescale / track.media_timescale);
      append(children, make_trak(track, layout.chunks[t], payload_position, plan.movie_timescale,
                                 static_cast<std::uint32_t>(t + 1)));
    }
    return box("moov", cat({mvhd(plan.movie_timescale, movie_duration), children}));
  };
  const Bytes mdat = plan.large_mdat ? large_box("mdat", layout.payload) : box("mdat", layout.payload);

  Bytes out = ftyp;
  if (plan.moov_first) {
    // The moov's size does not depend on the offsets it holds, so measure it once.
    const std::uint64_t moov_size = make_moov(0).size();
    append(out, make_moov(ftyp.size() + moov_size + mdat_header));
    append(out, mdat);
  } else {
    append(out, mdat);
    append(out, make_moov(ftyp.size() + mdat_header));
  }
  append(out, plan.trailing);
  return out;
}

}  // namespace reelknit::testing
