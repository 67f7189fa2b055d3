// Writes the fuzz targets' seed corpora: small generated recordings in the
// layouts cameras write, and Insta360-style trailers with and without an index.
//   make_seeds DIR   ->  DIR/join/*.mp4, DIR/trailer/*.bin
#include <filesystem>
#include <string>
#include <vector>

#include "insta360/trailer_format.h"
#include "join_harness.h"
#include "support/mp4_builder.h"
#include "support/mp4_inspect.h"

using namespace reelknit::testing;

namespace {

/// Video in chunks of three and audio of constant-size samples in chunks of four.
MoviePlan two_tracks(std::size_t video_samples, std::uint8_t fill) {
  std::vector<std::uint32_t> video_sizes;
  for (std::size_t i = 0; i < video_samples; ++i) video_sizes.push_back(static_cast<std::uint32_t>(9 + (i * 5) % 17));
  MoviePlan plan = two_track_plan(video_sizes, std::vector<std::uint32_t>(7, 6), fill);
  plan.tracks[0].samples_per_chunk = 3;
  plan.tracks[1].samples_per_chunk = 4;
  return plan;
}

struct Record {
  std::uint8_t id;
  std::uint8_t tag;
  Bytes data;
};

/// An Insta360-style trailer: records with footers, optionally an index, then the tail.
Bytes trailer(const std::vector<Record>& records, bool with_index, std::uint32_t version) {
  namespace t = reelknit::insta360;
  Bytes out;
  Bytes index;
  for (const Record& r : records) {
    append(index, Bytes{r.id, r.tag});
    append(index, le32(static_cast<std::uint32_t>(r.data.size())));
    append(index, le32(static_cast<std::uint32_t>(out.size())));
    append(out, r.data);
    append(out, Bytes{r.tag, r.id});
    append(out, le32(static_cast<std::uint32_t>(r.data.size())));
  }
  if (with_index) {
    append(out, index);
    append(out, Bytes{0, t::INDEX_RECORD_ID});
    append(out, le32(static_cast<std::uint32_t>(index.size())));
  }
  append(out, zeros(t::TAIL_RESERVED_SIZE));
  append(out, le32(static_cast<std::uint32_t>(out.size() + 8 + t::MAGIC_SIZE)));
  append(out, le32(version));
  append(out, text(std::string(t::TRAILER_MAGIC)));
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  const std::filesystem::path dir = argv[1];
  std::filesystem::create_directories(dir / "join");
  std::filesystem::create_directories(dir / "trailer");

  std::vector<MoviePlan> movies;
  for (int layout = 0; layout < 8; ++layout) {
    MoviePlan plan = two_tracks(5 + static_cast<std::size_t>(layout), static_cast<std::uint8_t>(layout * 20));
    plan.moov_first = layout % 2 == 1;
    plan.large_mdat = layout == 2;
    if (layout == 3) plan.tracks[0].wide_offsets = true;
    if (layout == 4) plan.tracks[0].ctts = {{2, 1000}, {3, 0}, {4, 2000}};
    if (layout == 5) plan.tracks[0].with_sdtp = true, plan.tracks[1].constant_size = true;
    if (layout == 6) plan.tracks[0].edits = {{500, -1}, {9000, 0}};
    if (layout == 7) {
      TrackPlan timecode;
      timecode.sample_sizes = {4};
      timecode.format = "tmcd";
      plan.tracks.push_back(timecode);
    }
    movies.push_back(plan);
  }
  std::vector<Bytes> seeds;
  for (const MoviePlan& plan : movies) seeds.push_back(make_movie(plan));
  seeds.push_back(reelknit::fuzzing::partner_movie());
  MoviePlan with_trailer = movies[0];
  with_trailer.trailing = trailer({{3, 1, Bytes(20, 3)}, {1, 2, Bytes(9, 1)}}, true, 3);
  seeds.push_back(make_movie(with_trailer));
  for (std::size_t i = 0; i < seeds.size(); ++i) write_file((dir / "join" / ("movie" + std::to_string(i) + ".mp4")).string(), seeds[i]);

  // Trailer seeds: two little-endian bytes give the first input's length, the rest is the two inputs.
  const Bytes head = make_movie(movies[0]);
  const std::vector<std::pair<Bytes, Bytes>> pairs = {
      {cat({head, trailer({{3, 1, Bytes(12, 0x33)}, {1, 7, Bytes(5, 0x11)}, {4, 2, Bytes(8, 0x44)}}, true, 3)}),
       cat({head, trailer({{3, 1, Bytes(10, 0x55)}, {4, 2, Bytes(3, 0x66)}}, true, 3)})},
      {cat({head, trailer({{3, 1, Bytes(12, 0x33)}, {2, 0, Bytes(6, 0x22)}}, false, 2)}),
       cat({head, trailer({{3, 1, Bytes(10, 0x55)}}, false, 2)})},
      {cat({head, trailer({}, true, 3)}), cat({head, trailer({{6, 9, Bytes(30, 0x77)}}, true, 3)})},
      {head, cat({head, trailer({{3, 1, Bytes(4, 0x12)}}, true, 3)})},
  };
  for (std::size_t i = 0; i < pairs.size(); ++i) {
    const auto length = static_cast<std::uint16_t>(pairs[i].first.size());
    Bytes seed = {static_cast<std::uint8_t>(length), static_cast<std::uint8_t>(length >> 8)};
    append(seed, pairs[i].first);
    append(seed, pairs[i].second);
    write_file((dir / "trailer" / ("pair" + std::to_string(i) + ".bin")).string(), seed);
  }
  return 0;
}
