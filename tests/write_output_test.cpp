// The writer: rebuilt tables, patched durations and sizes, the merged mdat.
#include <gtest/gtest.h>

#include <limits>

#include "base/byte_order.h"
#include "support/memory_file.h"
#include "support/mp4_builder.h"
#include "support/mp4_inspect.h"
#include "mp4/write_output.h"

namespace reelknit::testing {
namespace {

/// Runs the writer over `first` (and any further inputs) into memory.
struct Written {
  Bytes bytes;
  Status status;
  std::vector<BoxInfo> boxes;
  WrittenMovie movie;
};

/// Writes the output of `first` (and `more`), whose boxes end at `box_part_end` (its size when 0).
Written write(const Bytes& first, const Desc& desc, std::vector<Bytes> more = {}, std::uint64_t box_part_end = 0) {
  std::vector<InputFile> inputs;
  inputs.push_back({std::make_unique<MemoryFile>(std::make_shared<Bytes>(first)), first.size()});
  for (const Bytes& b : more) inputs.push_back({std::make_unique<MemoryFile>(std::make_shared<Bytes>(b)), b.size()});
  auto data = std::make_shared<Bytes>();
  Written result;
  {
    OutputStream out(ProgressStream(std::make_unique<MemoryFile>(data), 1, nullptr));
    auto written = write_output(inputs, out, desc, box_part_end != 0 ? box_part_end : first.size());
    result.status = written ? success() : Status(written.error());
    if (written) {
      result.movie = *written;
      EXPECT_TRUE(out.release());
    }
  }
  result.bytes = *data;
  if (result.status) result.boxes = parse_boxes(result.bytes);
  return result;
}

Bytes stbl_file(const Bytes& tables) {
  return box("moov", {box("trak", {box("mdia", {box("minf", {box("stbl", tables)})})})});
}

Bytes payload_of(const Written& w, const std::string& path, std::size_t trak = 0) {
  const BoxInfo* b = find_box(w.boxes, path, trak);
  if (!b) return {};
  return Bytes(w.bytes.begin() + static_cast<std::ptrdiff_t>(b->position + b->header_size),
               w.bytes.begin() + static_cast<std::ptrdiff_t>(b->position + b->size));
}

TEST(WriteOutput, MergesNeighbouringTimeToSampleRuns) {
  Desc desc;
  desc.tracks[0].stts = {{10, 1001}, {5, 1001}, {1, 2002}, {3, 2002}, {2, 1001}};
  const Written w = write(stbl_file(pair_table("stts", {{1, 1}})), desc);
  ASSERT_TRUE(w.status);
  const BoxInfo* stts = find_box(w.boxes, "moov/trak/mdia/minf/stbl/stts");
  ASSERT_NE(stts, nullptr);
  EXPECT_EQ(stts->size, 40u);
  EXPECT_EQ(payload_of(w, "moov/trak/mdia/minf/stbl/stts"),
            cat({zeros(4), be32(3), be32(15), be32(1001), be32(4), be32(2002), be32(2), be32(1001)}));
}

TEST(WriteOutput, RebuildsEveryTableFromTheDescAndPatchesTheContainersAroundThem) {
  Desc desc;
  TrackDesc& t = desc.tracks[0];
  t.stsz = {5, 6, 7};
  t.stsz_count = 3;
  t.stco = {0, 11};
  t.stsc = {{1, 2, 1}, {2, 1, 1}};
  desc.mdat_spans = {{0, 8, 16}};
  const Bytes tables = cat({stsd("avc1"), u32_table("stss", {1, 2}), sdtp({1, 2, 3}), stsz(0, 1, {5}),
                            stsc({{1, 1, 1}}), u32_table("stco", {8})});
  const Written w = write(cat({box("mdat", zeros(16)), stbl_file(tables)}), desc);
  ASSERT_TRUE(w.status);
  EXPECT_EQ(tree_text(w.boxes), "mdat,moov(trak(mdia(minf(stbl(stsd,stss,sdtp,stsz,stsc,co64)))))");
  EXPECT_EQ(find_box(w.boxes, "moov/trak/mdia/minf/stbl/stss")->size, 16u);  // empty lists give empty tables
  EXPECT_EQ(find_box(w.boxes, "moov/trak/mdia/minf/stbl/sdtp")->size, 12u);
  EXPECT_EQ(payload_of(w, "moov/trak/mdia/minf/stbl/stsz"), cat({zeros(4), be32(0), be32(3), be32(5), be32(6), be32(7)}));
  EXPECT_EQ(payload_of(w, "moov/trak/mdia/minf/stbl/stsc"),
            cat({zeros(4), be32(2), be32(1), be32(2), be32(1), be32(2), be32(1), be32(1)}));
  ASSERT_EQ(w.movie.placed_media.size(), 1u);
  const std::uint64_t media = w.movie.placed_media[0].position;
  EXPECT_EQ(payload_of(w, "moov/trak/mdia/minf/stbl/co64"), cat({zeros(4), be32(2), be64(media), be64(media + 11)}));
  // parse_boxes already checked that every container's size fits its children exactly.
  EXPECT_EQ(w.boxes[0].size + w.boxes[1].size, w.bytes.size());
}

TEST(WriteOutput, PatchesDurationsInTheWidthOfEachBoxVersion) {
  Desc desc;
  desc.mvhd_duration = 0x1'0000'0005;
  desc.tracks[0].edits = {{0x2'0000'0006, 0, 0x10000}};  // the track lasts what its edits present
  desc.tracks[0].mdhd_duration = 0x3'0000'0007;
  // Unknown versions take the 32-bit form, as version 0 does, and get the low 32 bits.
  for (std::uint8_t version : {std::uint8_t{2}, std::uint8_t{1}}) {
    SCOPED_TRACE("version " + std::to_string(version));
    Bytes file = box("moov", {mvhd(600, 1, version == 1 ? 1 : 0), box("trak", {tkhd(1, version == 1 ? 1 : 0),
                                                                              box("mdia", {mdhd(600, 1, version == 1 ? 1 : 0)})})});
    if (version == 2) {
      for (const char* path : {"moov/mvhd", "moov/trak/tkhd", "moov/trak/mdia/mdhd"}) {
        const auto boxes = parse_boxes(file);
        const BoxInfo* b = find_box(boxes, path);
        file[b->position + b->header_size] = 2;
      }
    }
    const Written w = write(file, desc);
    ASSERT_TRUE(w.status);
    const Bytes mv = payload_of(w, "moov/mvhd");
    EXPECT_EQ(version == 1 ? load_be64(mv.data() + 24) : load_be32(mv.data() + 16), version == 1 ? 0x1'0000'0005u : 5u);
    const Bytes tk = payload_of(w, "moov/trak/tkhd");
    EXPECT_EQ(version == 1 ? load_be64(tk.data() + 28) : load_be32(tk.data() + 20), version == 1 ? 0x2'0000'0006u : 6u);
    const Bytes md = payload_of(w, "moov/trak/mdia/mdhd");
    EXPECT_EQ(version == 1 ? load_be64(md.data() + 24) : load_be32(md.data() + 16), version == 1 ? 0x3'0000'0007u : 7u);
    EXPECT_EQ(load_be32(md.data() + (version == 1 ? 20 : 12)), 600u);  // the timescale is untouched
  }
}

TEST(WriteOutput, WidensVersionZeroHeadersWhoseDurationPassesThirtyTwoBits) {
  // Thirteen and a half hours at a 90 kHz timescale no longer fit in 32 bits.
  const std::uint64_t long_duration = 0x1'2345'6789;
  Desc desc;
  desc.movie_timescale = 90000;
  desc.mvhd_duration = long_duration;
  desc.tracks[0].edits = {{500, -1, 0x10000}, {long_duration + 2, 0, 0x10000}};
  desc.tracks[0].mdhd_timescale = 90000;
  desc.tracks[0].mdhd_duration = long_duration + 2;
  const Bytes file = box("moov", {mvhd(90000, 1), box("trak", {tkhd(1, 0, 7), box("edts", {elst({{500, -1}, {1000, 0}})}),
                                                               box("mdia", {mdhd(90000, 1)})})});
  const Written w = write(file, desc);
  ASSERT_TRUE(w.status) << w.status.error().describe();
  EXPECT_EQ(w.bytes.size(), file.size() + 12 + 12 + 12 + 16);  // parse_boxes checked the patched container sizes

  const Bytes mv = payload_of(w, "moov/mvhd");
  EXPECT_EQ(mv[0], 1);
  EXPECT_EQ(load_be32(mv.data() + 20), 90000u);
  EXPECT_EQ(load_be64(mv.data() + 24), long_duration);
  const Bytes tk = payload_of(w, "moov/trak/tkhd");
  EXPECT_EQ(tk[0], 1);
  EXPECT_EQ(load_be32(tk.data() + 20), 7u);  // the track id survives the move
  EXPECT_EQ(load_be64(tk.data() + 28), long_duration + 502);
  const Bytes md = payload_of(w, "moov/trak/mdia/mdhd");
  EXPECT_EQ(md[0], 1);
  EXPECT_EQ(load_be32(md.data() + 20), 90000u);
  EXPECT_EQ(load_be64(md.data() + 24), long_duration + 2);
  const Bytes edits = payload_of(w, "moov/trak/edts/elst");
  EXPECT_EQ(edits[0], 1);
  EXPECT_EQ(load_be32(edits.data() + 4), 2u);
  EXPECT_EQ(load_be64(edits.data() + 8), 500u);
  EXPECT_EQ(load_be64(edits.data() + 16), ~std::uint64_t{0});  // the empty edit stays empty
  EXPECT_EQ(load_be64(edits.data() + 28), long_duration + 2);
  EXPECT_EQ(load_be64(edits.data() + 36), 0u);
  EXPECT_EQ(load_be32(edits.data() + 44), 0x00010000u);
}

// Every input's edits replace the first input's edit list; a track that
// needs one where the first input's has none gets one before its media.
TEST(WriteOutput, WritesTheJoinedEditListInPlaceOfTheFirstInputs) {
  const std::vector<EditEntry> two_chapters = {{1500, 1024, 0x10000}, {1000, 74752, 0x10000}};
  const std::vector<EditEntry> whole_media = {{2500, 0, 0x10000}};
  struct Case {
    const char* name;
    bool first_has_edits;
    std::vector<EditEntry> edits;
    std::string tree;
    std::vector<EditEntry> written;  ///< none when no edit list is expected
  };
  const Case cases[] = {
      {"replaced", true, two_chapters, "moov(trak(tkhd,edts(elst),mdia(mdhd)))", two_chapters},
      {"inserted before the media", false, two_chapters, "moov(trak(tkhd,edts(elst),mdia(mdhd)))", two_chapters},
      {"the whole media from its start needs none", false, whole_media, "moov(trak(tkhd,mdia(mdhd)))", {}},
      {"kept as it was in a track without samples", true, {}, "moov(trak(tkhd,edts(elst),mdia(mdhd)))",
       {{77, 5, 0x10000}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Desc desc;
    desc.movie_timescale = desc.first_movie_timescale = 1000;
    desc.tracks[0].edits = c.edits;
    desc.tracks[0].mdhd_timescale = desc.tracks[0].first_mdhd_timescale = 48000;
    Bytes trak = tkhd(1);
    if (c.first_has_edits) append(trak, box("edts", {elst({{77, 5}})}));
    append(trak, box("mdia", {mdhd(48000, 1)}));
    const Written w = write(box("moov", {box("trak", trak)}), desc);
    ASSERT_TRUE(w.status) << w.status.error().describe();
    EXPECT_EQ(tree_text(w.boxes), c.tree);
    if (c.written.empty()) continue;
    const Bytes payload = payload_of(w, "moov/trak/edts/elst");
    ASSERT_EQ(load_be32(payload.data() + 4), c.written.size());
    std::uint64_t presented = 0;
    for (std::size_t k = 0; k < c.written.size(); ++k) {
      EXPECT_EQ(load_be32(payload.data() + 8 + 12 * k), c.written[k].duration) << "edit " << k;
      EXPECT_EQ(static_cast<std::int32_t>(load_be32(payload.data() + 12 + 12 * k)), c.written[k].media_time);
      presented += c.written[k].duration;
    }
    if (!c.edits.empty()) {
      EXPECT_EQ(load_be32(payload_of(w, "moov/trak/tkhd").data() + 20), presented);
    }
  }
}

TEST(WriteOutput, WritesCompositionOffsetsInTheFirstInputsVersion) {
  Desc desc;
  desc.tracks[0].ctts = {{1, 0xFFFFFE00}, {2, 0}, {1, 0}};
  desc.tracks[0].ctts_version = 1;
  const Written w = write(stbl_file(pair_table("ctts", {{1, 5}}, 1)), desc);
  ASSERT_TRUE(w.status);
  EXPECT_EQ(payload_of(w, "moov/trak/mdia/minf/stbl/ctts"),
            cat({Bytes{1, 0, 0, 0}, be32(2), be32(1), be32(0xFFFFFE00), be32(3), be32(0)}));
}

TEST(WriteOutput, MergesTheMediaDataOfEveryInputIntoOneLargeHeaderMdat) {
  const Bytes first = cat({box("ftyp", text("isom")), box("mdat", text("AAAA")), box("free", zeros(2))});
  const Bytes second = cat({box("ftyp", text("isom")), box("mdat", text("BBBBBB"))});
  Desc desc;
  desc.mdat_spans = {{0, 20, 4}, {std::nullopt, 0, 99}, {1, 20, 6}, {7, 0, 5}};  // unassigned and unknown inputs are skipped
  const Written w = write(first, desc, {second});
  ASSERT_TRUE(w.status);
  EXPECT_EQ(tree_text(w.boxes), "ftyp,mdat,free");
  const BoxInfo* mdat = find_box(w.boxes, "mdat");
  EXPECT_EQ(mdat->header_size, 16u);
  EXPECT_EQ(w.movie.media_data_position, mdat->position + 16);
  // Each input's media data keeps its offset within a 4096-byte block (20), after zeros.
  ASSERT_EQ(w.movie.placed_media.size(), 2u);
  const std::uint64_t a = w.movie.placed_media[0].position, b = w.movie.placed_media[1].position;
  EXPECT_EQ(a % 4096, 20u);
  EXPECT_EQ(b % 4096, 20u);
  EXPECT_EQ(a, mdat->position + 16 + 4088);  // the least gap that gets there
  EXPECT_EQ(w.movie.placed_media[1].unpadded_base, 4u + 99);  // a chunk offset counts every span before
  EXPECT_EQ(mdat->size, b + 6 - mdat->position);
  Bytes expected = zeros(static_cast<std::size_t>(b + 6 - (mdat->position + 16)));
  std::copy_n(text("AAAA").begin(), 4, expected.begin() + static_cast<std::ptrdiff_t>(a - (mdat->position + 16)));
  std::copy_n(text("BBBBBB").begin(), 6, expected.begin() + static_cast<std::ptrdiff_t>(b - (mdat->position + 16)));
  EXPECT_EQ(payload_of(w, "mdat"), expected);
}

// Chunk offsets are written once where the media data is already placed, and
// patched from its true position where the movie comes first.
TEST(WriteOutput, ChunkOffsetsAreFinalInEitherOrderOfMovieAndMediaData) {
  Desc desc;
  desc.tracks[0].stco = {0, 11};
  desc.mdat_spans = {{0, 8, 20}};
  const Bytes movie = stbl_file(u32_table("stco", {8}));
  const Bytes media = box("mdat", zeros(20));
  for (const bool movie_first : {false, true}) {
    SCOPED_TRACE(movie_first ? "movie first" : "media data first");
    const Bytes file = movie_first ? cat({movie, media}) : cat({media, movie});
    Desc placed = desc;
    placed.mdat_spans[0].offset = movie_first ? movie.size() + 8 : 8;
    const Written w = write(file, placed);
    ASSERT_TRUE(w.status);
    const BoxInfo* mdat = find_box(w.boxes, "mdat");
    ASSERT_TRUE(w.movie.media_data_position);
    EXPECT_EQ(*w.movie.media_data_position, mdat->position + 16);
    EXPECT_EQ(w.movie.pending_chunk_offsets.size(), movie_first ? 1u : 0u);
    ASSERT_EQ(w.movie.placed_media.size(), 1u);
    const std::uint64_t landed = w.movie.placed_media[0].position;
    EXPECT_EQ(landed % 4096, placed.mdat_spans[0].offset % 4096);
    EXPECT_EQ(payload_of(w, "moov/trak/mdia/minf/stbl/co64"), cat({zeros(4), be32(2), be64(landed), be64(landed + 11)}));
  }
}

// Where a list ends is one rule for every walk: at its parent's end, where too
// few bytes for a header remain, or where the boxes reach a trailer. A box of
// size 0 runs to the end of its list, and is written with its real size.
TEST(WriteOutput, AListEndsAtItsParentsEndAndABoxOfSizeZeroRunsThere) {
  Desc desc;
  const Bytes tail = box("free", zeros(4));
  {
    const Bytes file = cat({box("ftyp", text("isom")), be32(0), text("skip"), tail});
    const Written w = write(file, desc);
    ASSERT_TRUE(w.status);
    EXPECT_EQ(tree_text(w.boxes), "ftyp,skip");
    EXPECT_EQ(find_box(w.boxes, "skip")->size, 8u + tail.size());
  }
  {
    // Inside a container too: the size-0 box takes the rest of its parent, not of the file.
    const Bytes file = cat({box("moov", cat({box("free", zeros(2)), be32(0), text("udta"), zeros(5)})), tail});
    const Written w = write(file, desc);
    ASSERT_TRUE(w.status);
    EXPECT_EQ(tree_text(w.boxes), "moov(free,udta),free");
    EXPECT_EQ(find_box(w.boxes, "moov/udta")->size, 13u);
  }
  {
    // Four bytes left in a container are no box: they are not written, and the container shrinks.
    const Bytes file = box("moov", cat({box("free", zeros(2)), zeros(4)}));
    const Written w = write(file, desc);
    ASSERT_TRUE(w.status);
    EXPECT_EQ(w.bytes, box("moov", box("free", zeros(2))));
  }
  {
    // A trailer after the boxes: the walk stops once the boxes reach its start.
    const Bytes boxes = cat({box("ftyp", text("isom")), tail});
    const Bytes file = cat({boxes, text("not a box at all, a trailer")});
    const Written w = write(file, desc, {}, boxes.size());
    ASSERT_TRUE(w.status);
    EXPECT_EQ(w.bytes, boxes);
  }
}

TEST(WriteOutput, AnEmptyContainerIsCopiedWithoutReadingChildren) {
  Desc desc;
  const Bytes file = cat({box("moov", Bytes{}), box("free", zeros(3))});
  const Written w = write(file, desc);
  ASSERT_TRUE(w.status);
  EXPECT_EQ(w.bytes, file);
}

}  // namespace
}  // namespace reelknit::testing
