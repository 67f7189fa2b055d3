// The description reader: what each box adds to the Desc, the renumbering
// across inputs, and the refusal of boxes that would make the walk unsafe.
#include <gtest/gtest.h>

#include <limits>

#include "mp4/box.h"
#include "mp4/read_desc.h"
#include "support/memory_file.h"
#include "support/mp4_builder.h"
#include "support/mp4_inspect.h"

namespace reelknit::testing {
namespace {

constexpr std::uint64_t NO_LIMIT = std::numeric_limits<std::uint64_t>::max();

/// Reads one input as the driver does: its span first, then the tree, then the bookkeeping.
Status read_input(Desc& desc, const Bytes& file, std::size_t input_index, MdatSpan span = {std::nullopt, 0, 1000}) {
  desc.mdat_spans.push_back(span);
  MemoryFile memory(std::make_shared<Bytes>(file));
  BufferedReader reader(memory);
  Status status = read_desc(reader, desc, 0, NO_LIMIT, input_index);
  finish_input(desc, input_index);
  return status;
}

Bytes moov_with_tracks(std::initializer_list<Bytes> stbl_children_per_track) {
  Bytes traks;
  for (const Bytes& tables : stbl_children_per_track)
    append(traks, box("trak", {box("mdia", {box("minf", {box("stbl", tables)})})}));
  return box("moov", traks);
}

TEST(ReadDesc, RenumbersSyncSamplesChunksAndOffsetsAcrossInputs) {
  Desc desc;
  // Input 0: 100 samples in 10 chunks; its mdat payload starts at 48.
  const Bytes first = moov_with_tracks({cat({stsz(0, 100, std::vector<std::uint32_t>(100, 7)),
                                             u32_table("stss", {1, 31, 61}), stsc({{1, 10, 1}}),
                                             u32_table("stco", {48, 118, 188})})});
  // Input 1: 50 samples; its first chunk is exactly its own payload offset.
  const Bytes second = moov_with_tracks({cat({stsz(0, 50, std::vector<std::uint32_t>(50, 3)),
                                              u32_table("stss", {1, 26}), stsc({{1, 5, 1}, {3, 4, 2}}),
                                              co64({16, 31})})});
  const Bytes third = moov_with_tracks({cat({stsz(0, 2, {1, 1}), u32_table("stss", {2}), stsc({{1, 2, 1}}),
                                             u32_table("stco", {100})})});
  ASSERT_TRUE(read_input(desc, first, 0, {std::nullopt, 48, 700}));
  ASSERT_TRUE(read_input(desc, second, 1, {std::nullopt, 16, 150}));
  ASSERT_TRUE(read_input(desc, third, 2, {std::nullopt, 100, 2}));

  const TrackDesc& track = desc.tracks[0];
  EXPECT_EQ(track.stsz_count, 152u);
  EXPECT_EQ(track.stss, (std::vector<std::uint32_t>{1, 31, 61, 101, 126, 152}));
  EXPECT_EQ(track.stsc, (std::vector<StscEntry>{{1, 10, 1}, {4, 5, 1}, {6, 4, 2}, {6, 2, 1}}));
  EXPECT_EQ(track.stco, (std::vector<std::uint64_t>{0, 70, 140, 700, 715, 850}));
  EXPECT_EQ(desc.mdat_base, 852u);
  EXPECT_EQ(track.sample_base, 152u);
  EXPECT_EQ(track.chunk_base, 6u);
  for (std::size_t i = 0; i < 3; ++i) EXPECT_EQ(desc.mdat_spans[i].input_index, i);
}

TEST(ReadDesc, AnInputWithFewerTracksLeavesTheOthersBasesAlone) {
  Desc desc;
  const Bytes tables = cat({stsz(0, 2, {5, 5}), stsc({{1, 2, 1}}), u32_table("stco", {8})});
  ASSERT_TRUE(read_input(desc, moov_with_tracks({tables, tables}), 0));
  ASSERT_TRUE(read_input(desc, moov_with_tracks({tables}), 1));
  EXPECT_EQ(desc.tracks[0].stsz_count, 4u);
  EXPECT_EQ(desc.tracks[1].stsz_count, 2u);
  EXPECT_EQ(desc.tracks[1].sample_base, 2u);
  EXPECT_EQ(desc.tracks[1].chunk_base, 1u);
  EXPECT_TRUE(desc.tracks[2].stco.empty());
}

TEST(ConvertDuration, RoundsUpExactlyAndSaturates) {
  constexpr auto MAX = std::numeric_limits<std::uint64_t>::max();
  struct Case {
    std::uint64_t duration;
    std::uint32_t from, to;
    std::uint64_t expected;
  };
  const Case cases[] = {
      {3000, 600, 1000, 5000},  {1001, 30000, 1000, 34}, {5000, 1000, 1000, 5000}, {1, 0, 1000, MAX},
      {0, 0, 1000, 0},          {7, 0, 0, 0},            {MAX, 1, 1000, MAX},      {0, 1000, 0, 0},
      {1, 3, 1, 1},           {49024, 48000, 48000, 49024},  // a quotient that is exact must not round up
  };
  for (const Case& c : cases)
    EXPECT_EQ(convert_duration(c.duration, c.from, c.to), c.expected) << c.duration << " " << c.from << "->" << c.to;
}

// Chapters in other timescales are converted exactly, into timescales that
// every input's divides: the movie's and, per track, the media's.
TEST(ReadDesc, ConvertsEveryInputIntoCommonTimescalesExactly) {
  Desc desc;
  const auto input = [](std::uint32_t timescale, std::uint64_t movie, std::uint32_t media_scale, std::uint32_t delta,
                        std::uint8_t version) {
    return box("moov", {mvhd(timescale, movie, version),
                        box("trak", {tkhd(movie, version),
                                     box("mdia", {mdhd(media_scale, 3 * delta, version),
                                                  box("minf", {box("stbl", {pair_table("stts", {{3, delta}}),
                                                                            pair_table("ctts", {{3, delta}})})})})})});
  };
  ASSERT_TRUE(read_input(desc, input(1000, 5000, 30000, 1001, 0), 0));
  ASSERT_TRUE(read_input(desc, input(600, 3000, 15000, 500, 1), 1));
  ASSERT_TRUE(read_input(desc, input(30000, 30030, 90000, 3003, 0), 2));
  EXPECT_EQ(desc.movie_timescale, 30000u);  // 1000, 600 and 30000 all divide it
  EXPECT_EQ(desc.mvhd_duration, 5000u * 30 + 3000 * 50 + 30030);
  const TrackDesc& track = desc.tracks[0];
  EXPECT_EQ(track.mdhd_timescale, 90000u);
  EXPECT_EQ(track.stts, (std::vector<SttsEntry>{{3, 3003}, {3, 3000}, {3, 3003}}));
  EXPECT_EQ(track.ctts, (std::vector<CttsEntry>{{3, 3003}, {3, 3000}, {3, 3003}}));
  EXPECT_EQ(track.mdhd_duration, 3u * 3003 + 3 * 3000 + 3 * 3003);
  EXPECT_EQ(track.media_duration, 3u * 3003 + 3 * 3000 + 3 * 3003);

  // Timescales with no common multiple of 32 bits are refused, naming both.
  Desc refused;
  ASSERT_TRUE(read_input(refused, input(1000, 1000, 4294967291u, 1, 0), 0));
  const Status status = read_input(refused, input(1000, 1000, 4294967279u, 1, 0), 1);
  ASSERT_FALSE(status);
  EXPECT_EQ(status.error().kind(), ErrorKind::Unsupported);
  EXPECT_NE(status.error().message().find("4294967279"), std::string::npos) << status.error().message();
  EXPECT_NE(status.error().message().find("4294967291"), std::string::npos) << status.error().message();
}

TEST(ReadDesc, ConstantSampleSizesListNothingButCount) {
  Desc desc;
  ASSERT_TRUE(read_input(desc, moov_with_tracks({stsz(512, 300)}), 0, {std::nullopt, 0, 512 * 300}));
  EXPECT_TRUE(desc.tracks[0].stsz.empty());
  EXPECT_EQ(desc.tracks[0].stsz_sample_size, 512u);
  EXPECT_EQ(desc.tracks[0].stsz_count, 300u);
  ASSERT_TRUE(read_input(desc, moov_with_tracks({stsz(512, 10)}), 1, {std::nullopt, 0, 5120}));
  EXPECT_TRUE(desc.tracks[0].stsz.empty());
  EXPECT_EQ(desc.tracks[0].stsz_count, 310u);
}

TEST(ReadDesc, InputsThatDisagreeOnSampleSizesGetEverySizeListed) {
  struct Case {
    const char* name;
    Bytes first, second;
    std::vector<std::uint32_t> expected;
  };
  const Case cases[] = {
      {"constant, then listed", stsz(4, 3), stsz(0, 2, {9, 8}), {4, 4, 4, 9, 8}},
      {"listed, then constant", stsz(0, 2, {9, 8}), stsz(4, 3), {9, 8, 4, 4, 4}},
      {"two different constants", stsz(4, 2), stsz(6, 1), {4, 4, 6}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Desc desc;
    ASSERT_TRUE(read_input(desc, moov_with_tracks({c.first}), 0));
    ASSERT_TRUE(read_input(desc, moov_with_tracks({c.second}), 1));
    EXPECT_EQ(desc.tracks[0].stsz, c.expected);
    EXPECT_EQ(desc.tracks[0].stsz_sample_size, 0u);
    EXPECT_EQ(desc.tracks[0].stsz_count, c.expected.size());
  }
}

TEST(ReadDesc, SampleDependencyBytesRunToTheBoxEnd) {
  Desc desc;
  ASSERT_TRUE(read_input(desc, moov_with_tracks({sdtp({}), sdtp({0x20, 0x10})}), 0));
  EXPECT_TRUE(desc.tracks[0].sdtp.empty());
  EXPECT_EQ(desc.tracks[1].sdtp, (Bytes{0x20, 0x10}));
}

TEST(ReadDesc, TimecodeTracksKeepTheFirstInputsTablesButSumTheirDurations) {
  const auto input = [](std::uint32_t chunk_offset) {
    return box("moov", {mvhd(1000, 1000),
                        box("trak", {tkhd(1000), box("edts", {elst({{1000, 0}})}),
                                     box("mdia", {mdhd(30000, 30000),
                                                  box("minf", {box("stbl", {stsd("tmcd"), pair_table("stts", {{1, 30000}}),
                                                                            stsz(4, 1), stsc({{1, 1, 1}}),
                                                                            u32_table("stco", {chunk_offset})})})})})});
  };
  Desc desc;
  ASSERT_TRUE(read_input(desc, input(8), 0, {std::nullopt, 8, 100}));
  ASSERT_TRUE(read_input(desc, input(8), 1, {std::nullopt, 8, 100}));
  const TrackDesc& tmcd = desc.tracks[0];
  EXPECT_TRUE(tmcd.is_tmcd);
  EXPECT_EQ(tmcd.stts, (std::vector<SttsEntry>{{1, 30000}}));
  EXPECT_EQ(tmcd.stsz_count, 1u);
  EXPECT_EQ(tmcd.stco, (std::vector<std::uint64_t>{0}));
  // Its one sample's edit runs on through every chapter.
  EXPECT_EQ(tmcd.edits, (std::vector<EditEntry>{{2000, 0, 0x10000}}));
  EXPECT_EQ(tmcd.mdhd_duration, 60000u);
}

TEST(ReadDesc, PerSampleTablesCoverTheSamplesOfInputsThatLackThem) {
  const auto input = [](bool with_tables) {
    Bytes tables = cat({pair_table("stts", {{3, 512}}), stsz(0, 3, {1, 1, 1})});
    if (with_tables) {
      append(tables, pair_table("ctts", {{1, 1024}, {2, static_cast<std::uint32_t>(-512)}}, 1));
      append(tables, u32_table("stss", {1}));
      append(tables, sdtp({0x20, 0x10, 0x10}));
    }
    return moov_with_tracks({tables});
  };
  Desc desc;
  ASSERT_TRUE(read_input(desc, input(true), 0));
  ASSERT_TRUE(read_input(desc, input(false), 1));  // offset 0, all sync, dependencies unknown
  ASSERT_TRUE(read_input(desc, input(true), 2));
  const TrackDesc& track = desc.tracks[0];
  EXPECT_EQ(track.ctts_version, 1);
  EXPECT_EQ(track.ctts, (std::vector<CttsEntry>{{1, 1024}, {2, 0xFFFFFE00}, {3, 0}, {1, 1024}, {2, 0xFFFFFE00}}));
  EXPECT_EQ(track.stss, (std::vector<std::uint32_t>{1, 4, 5, 6, 7}));
  EXPECT_EQ(track.sdtp, (Bytes{0x20, 0x10, 0x10, 0, 0, 0, 0x20, 0x10, 0x10}));

  // Tables only a later input has: the samples before it had offset 0 and were all sync samples.
  // Dependency flags, which only inform, are kept only where the first input has them.
  Desc later;
  ASSERT_TRUE(read_input(later, input(false), 0));
  ASSERT_TRUE(read_input(later, input(true), 1));
  const TrackDesc& joined = later.tracks[0];
  EXPECT_EQ(joined.ctts, (std::vector<CttsEntry>{{3, 0}, {1, 1024}, {2, 0xFFFFFE00}}));
  EXPECT_EQ(joined.stss, (std::vector<std::uint32_t>{1, 2, 3, 4}));
  EXPECT_FALSE(joined.sdtp_presence.in_first_input);
}

/// A movie of one track: `seconds` of movie (timescale 1000), `samples` samples
/// of `delta` at 1000 units a second, and the edits given (none: no edit list).
Bytes one_track_movie(std::uint64_t movie, std::uint32_t samples, std::uint32_t delta, const std::vector<Edit>& edits) {
  Bytes trak = tkhd(movie);
  if (!edits.empty()) append(trak, box("edts", {elst(edits)}));
  append(trak, box("mdia", {mdhd(1000, std::uint64_t{samples} * delta),
                            box("minf", {box("stbl", {pair_table("stts", {{samples, delta}}),
                                                      stsz(1, samples)})})}));
  return box("moov", {mvhd(1000, movie), box("trak", trak)});
}

/// Reads `inputs` into `desc` as the chapters of one join, each with 1000 bytes of media data.
void read_chapters(Desc& desc, const std::vector<Bytes>& inputs) {
  for (std::size_t i = 0; i < inputs.size(); ++i) {
    desc.mdat_spans.push_back({std::nullopt, 0, 1000});
    MemoryFile memory(std::make_shared<Bytes>(inputs[i]));
    BufferedReader reader(memory);
    ASSERT_TRUE(read_desc(reader, desc, 0, NO_LIMIT, i));
    finish_input(desc, i);
  }
}

// The output's edit list is every input's in order, merged into one edit
// wherever a chapter continues the one before it: the seam is then carried by
// the sample table, where the last sample before a chapter lasts until the
// chapter starts and a first sample the chapter hides takes next to no time.
TEST(ReadDesc, EditListsOfEveryInputFollowEachOther) {
  struct Case {
    const char* name;
    std::vector<Bytes> inputs;
    std::vector<EditEntry> edits;
    std::vector<SttsEntry> stts;
  };
  const Case cases[] = {
      {"whole chapters merge into one edit",
       {one_track_movie(1000, 10, 100, {{1000, 0}}), one_track_movie(500, 5, 100, {{500, 0}})},
       {{1500, 0, 0x10000}},
       {{10, 100}, {5, 100}}},
      {"no edit lists: each chapter presents its whole media",
       {one_track_movie(1000, 10, 100, {}), one_track_movie(500, 5, 100, {})},
       {{1500, 0, 0x10000}},
       {{10, 100}, {5, 100}}},
      {"a first chapter with two edits plays them once, then the next chapter",
       {one_track_movie(1000, 10, 100, {{200, 800}, {800, 0}}), one_track_movie(500, 5, 100, {{500, 0}})},
       {{200, 800, 0x10000}, {800, 0, 0x10000}, {500, 1000, 0x10000}},
       {{10, 100}, {5, 100}}},
      {"pictures hidden from the first one on are a trim: the chapter keeps its edit",
       {one_track_movie(900, 10, 100, {{900, 100}}), one_track_movie(400, 5, 100, {{400, 100}})},
       {{900, 100, 0x10000}, {400, 1100, 0x10000}},
       {{10, 100}, {5, 100}}},
      {"a chapter that ends early: its last sample lasts to the movie's end",
       {one_track_movie(1000, 5, 100, {}), one_track_movie(500, 5, 100, {})},
       {{1500, 0, 0x10000}},
       {{4, 100}, {1, 600}, {5, 100}}},
      {"within one sample of the movie's end: the last sample lasts to it",
       {one_track_movie(1050, 10, 100, {}), one_track_movie(500, 5, 100, {})},
       {{1550, 0, 0x10000}},
       {{9, 100}, {1, 150}, {5, 100}}},
      {"a trimmed chapter keeps its edit, where it starts",
       {one_track_movie(1000, 10, 100, {}), one_track_movie(300, 5, 100, {{300, 200}})},
       {{1000, 0, 0x10000}, {300, 1200, 0x10000}},
       {{10, 100}, {5, 100}}},
      {"samples that last 0 present no time and never wait",
       {one_track_movie(1000, 1, 0, {}), one_track_movie(500, 1, 0, {})},
       {{1500, 0, 0x10000}},
       {{1, 0}, {1, 0}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Desc desc;
    read_chapters(desc, c.inputs);
    EXPECT_EQ(desc.tracks[0].edits, c.edits);
    EXPECT_EQ(desc.tracks[0].stts, c.stts);
  }
}

/// A track for `two_track_movie`: `samples` samples of `delta` at 1000 units a
/// second, composition offsets where given, and its edits.
Bytes seam_track(std::uint64_t movie, std::uint32_t samples, std::uint32_t delta, const std::vector<Edit>& edits,
                 const std::vector<std::pair<std::uint32_t, std::uint32_t>>& offsets = {}) {
  Bytes tables = cat({pair_table("stts", {{samples, delta}}), stsz(1, samples)});
  if (!offsets.empty()) append(tables, pair_table("ctts", offsets));
  return box("trak", {tkhd(movie), box("edts", {elst(edits)}),
                      box("mdia", {mdhd(1000, std::uint64_t{samples} * delta), box("minf", {box("stbl", tables)})})});
}

Bytes two_track_movie(std::uint64_t movie, const Bytes& pictures, const Bytes& sound) {
  return box("moov", {mvhd(1000, movie), pictures, sound});
}

// Where a chapter starts is one time for all its tracks; a chapter that hides
// what continues the one before shows it where it fits.
TEST(ReadDesc, EveryTrackOfAChapterStartsAtOneTime) {
  struct Case {
    const char* name;
    std::vector<Bytes> inputs;
    std::vector<SttsEntry> pictures, sound;
    std::vector<EditEntry> picture_edits, sound_edits;
  };
  const Case cases[] = {
      {"pictures reordered only in the later chapter come late, and the sound waits for them",
       {two_track_movie(1000, seam_track(1000, 10, 100, {{1000, 0}}), seam_track(1000, 10, 100, {{1000, 0}})),
        two_track_movie(500, seam_track(500, 5, 100, {{500, 200}}, {{5, 200}}),
                        seam_track(500, 5, 100, {{500, 0}}))},
       {{9, 100}, {1, 1}, {5, 100}},
       {{9, 100}, {1, 201}, {5, 100}},
       {{1601, 0, 0x10000}},
       {{1601, 0, 0x10000}}},
      {"the encoder priming every chapter's sound hides: the later chapter's takes a tick",
       {two_track_movie(1000, seam_track(1000, 10, 100, {{1000, 0}}), seam_track(1000, 11, 100, {{1000, 100}})),
        two_track_movie(500, seam_track(500, 5, 100, {{500, 0}}), seam_track(500, 6, 100, {{500, 100}}))},
       {{10, 100}, {5, 100}},
       {{10, 100}, {1, 99}, {1, 1}, {5, 100}},
       {{1500, 0, 0x10000}},
       {{1500, 100, 0x10000}}},
      {"sound a chapter hides where the chapter before ended early continues it",
       {two_track_movie(1000, seam_track(1000, 10, 100, {{1000, 0}}), seam_track(1000, 8, 100, {{800, 0}})),
        two_track_movie(500, seam_track(500, 5, 100, {{500, 0}}), seam_track(500, 7, 100, {{500, 200}}))},
       {{10, 100}, {5, 100}},
       {{8, 100}, {7, 100}},
       {{1500, 0, 0x10000}},
       {{1500, 0, 0x10000}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Desc desc;
    desc.first_input_kinds = {TrackKind{HANDLER_VIDE, fourcc("avc1")}, TrackKind{HANDLER_SOUN, fourcc("mp4a")}};
    read_chapters(desc, c.inputs);
    EXPECT_EQ(desc.tracks[0].stts, c.pictures);
    EXPECT_EQ(desc.tracks[1].stts, c.sound);
    EXPECT_EQ(desc.tracks[0].edits, c.picture_edits);
    EXPECT_EQ(desc.tracks[1].edits, c.sound_edits);
  }
}

// Compact sample sizes (stz2) in 4-, 8- and 16-bit fields are listed like any others.
TEST(ReadDesc, CompactSampleSizesAreListed) {
  const auto stz2 = [](std::uint8_t field_size, const Bytes& packed, std::uint32_t count) {
    return full_box("stz2", 0, cat({zeros(3), Bytes{field_size}, be32(count), packed}));
  };
  Desc desc;
  ASSERT_TRUE(read_input(desc, moov_with_tracks({stsz(7, 2)}), 0));
  ASSERT_TRUE(read_input(desc, moov_with_tracks({stz2(4, {0x12, 0x30}, 3)}), 1));
  ASSERT_TRUE(read_input(desc, moov_with_tracks({stz2(8, {9, 250}, 2)}), 2));
  ASSERT_TRUE(read_input(desc, moov_with_tracks({stz2(16, {0x01, 0x02}, 1)}), 3));
  EXPECT_EQ(desc.tracks[0].stsz, (std::vector<std::uint32_t>{7, 7, 1, 2, 3, 9, 250, 0x102}));
  EXPECT_EQ(desc.tracks[0].stsz_count, 8u);

  Desc refused;
  const Status status = read_input(refused, moov_with_tracks({stz2(12, {1, 2, 3}, 2)}), 0);
  ASSERT_FALSE(status);
  EXPECT_EQ(status.error().kind(), ErrorKind::InvalidData);
}

TEST(ReadDesc, ASizeZeroBoxRunsToTheEndOfItsParent) {
  Desc desc;
  // Inside stbl: a size-0 header; the table after it lies inside that box, and is not read.
  const Bytes file = moov_with_tracks({cat({be32(0), text("free"), stsz(0, 1, {9})}), stsz(0, 1, {7})});
  ASSERT_TRUE(read_input(desc, file, 0));
  EXPECT_TRUE(desc.tracks[0].stsz.empty());
  EXPECT_EQ(desc.tracks[1].stsz, (std::vector<std::uint32_t>{7})) << "the next track is read as usual";
}

TEST(ReadDesc, ContainerBoundariesDecideWhichTrackABoxBelongsTo) {
  {
    // An empty trak is slot 0 all the same; the table after it belongs to slot 1.
    Desc desc;
    const Bytes file = box("moov", cat({box("trak", Bytes{}), box("trak", {stsz(0, 1, {5})})}));
    ASSERT_TRUE(read_input(desc, file, 0));
    EXPECT_EQ(desc.tracks[0].stsz_count, 0u);
    EXPECT_EQ(desc.tracks[1].stsz, (std::vector<std::uint32_t>{5}));
  }
  {
    // A child that declares more than its trak holds would swallow the next track's
    // boxes, and the output would carry them unrebuilt: refused.
    Desc desc;
    Bytes overrun = box("trak", {box("free", zeros(4))});
    overrun[8 + 3] = 8 + 4 + 8;
    const Bytes file = box("moov", cat({overrun, zeros(8), box("trak", {stsz(0, 1, {5})})}));
    const Status status = read_input(desc, file, 0);
    ASSERT_FALSE(status);
    EXPECT_EQ(status.error().kind(), ErrorKind::InvalidData);
    EXPECT_NE(status.error().message().find("past the end of its parent"), std::string::npos);
  }
}

struct BadInput {
  const char* name;
  Bytes file;
  ErrorKind kind;
  std::string in_message;
};

TEST(ReadDesc, RefusesBoxesThatWouldMakeTheWalkUnsafe) {
  Bytes eleven_traks;
  for (int i = 0; i < 10; ++i) append(eleven_traks, box("trak", Bytes{}));
  append(eleven_traks, box("trak", {box("stbl", {stsz(0, 1, {1})})}));
  Bytes deep = stsz(0, 0);
  for (int i = 0; i < 40; ++i) deep = box("moov", deep);
  Bytes wrapping = cat({be32(1), text("free"), be64(~std::uint64_t{0} - 4)});

  const BadInput cases[] = {
      {"size below the header", moov_with_tracks({cat({be32(5), text("stco"), zeros(8)})}), ErrorKind::InvalidData,
       "stco at offset 40"},
      {"64-bit size below the header", cat({be32(1), text("moov"), be64(12)}), ErrorKind::InvalidData, "moov at offset 0"},
      {"end past 2^64", cat({box("ftyp", zeros(4)), wrapping}), ErrorKind::InvalidData, "free at offset 12"},
      {"more entries than the box holds", moov_with_tracks({cat({be32(24), text("stco"), zeros(4), be32(3), be32(1),
                                                                 box("free", zeros(64))})}),
       ErrorKind::InvalidData, "claims 3 entries"},
      {"sample sizes past the box", moov_with_tracks({cat({be32(20), text("stsz"), zeros(4), be32(0), be32(100000)})}),
       ErrorKind::InvalidData, "claims 100000 entries"},
      {"more same-size samples than the media data holds", moov_with_tracks({stsz(100, 11)}), ErrorKind::InvalidData,
       "more than its 1000 bytes"},
      {"an sdtp shorter than its fields", moov_with_tracks({cat({be32(10), text("sdtp"), zeros(2)})}),
       ErrorKind::InvalidData, "sdtp"},
      {"a table in the eleventh track", box("moov", eleven_traks), ErrorKind::Unsupported, "more than 10 tracks"},
      {"nesting without end", deep, ErrorKind::InvalidData, "deeper"},
      {"a table cut off by the end of the file",
       [] {
         Bytes cut = moov_with_tracks({stsz(0, 4, {1, 2, 3, 4})});
         cut.resize(cut.size() - 3);
         return cut;
       }(),
       ErrorKind::UnexpectedEof, "failed to fill whole buffer"},
  };
  for (const BadInput& c : cases) {
    SCOPED_TRACE(c.name);
    Desc desc;
    const Status status = read_input(desc, c.file, 0);
    ASSERT_FALSE(status);
    EXPECT_EQ(status.error().kind(), c.kind);
    EXPECT_NE(status.error().message().find(c.in_message), std::string::npos) << status.error().message();
  }
}

TEST(ReadDesc, ATableWithoutAnyMediaDataIsRefusedNotIndexed) {
  Desc desc;
  MemoryFile memory(std::make_shared<Bytes>(moov_with_tracks({u32_table("stco", {8})})));
  BufferedReader reader(memory);
  const Status status = read_desc(reader, desc, 0, NO_LIMIT, 0);
  ASSERT_FALSE(status);
  EXPECT_EQ(status.error().kind(), ErrorKind::InvalidData);
  EXPECT_NE(status.error().message().find("a stco table at offset"), std::string::npos)
      << status.error().message();
  EXPECT_NE(status.error().message().find("but no media data"), std::string::npos) << status.error().message();
}

struct RealFile {
  const char* name;
  std::vector<std::uint32_t> sample_counts;
  std::size_t timecode_slot;
};

TEST(ReadDesc, ReadsTheGoProRecordingsFiveTracks) {
  const RealFile files[] = {
      {"karma.mp4", {362, 566, 1, 13, 943}, 2},
      {"max-heromode.mp4", {315, 493, 1, 11, 821}, 2},
  };
  for (const RealFile& f : files) {
    SCOPED_TRACE(f.name);
    MemoryFile memory(std::make_shared<Bytes>(read_file(std::string(REELKNIT_TEST_DATA_DIR) + "/" + f.name)));
    BufferedReader reader(memory);
    Desc desc;
    desc.mdat_spans.push_back({std::nullopt, 0, 1u << 30});
    ASSERT_TRUE(read_desc(reader, desc, 0, NO_LIMIT, 0));
    for (std::size_t slot = 0; slot < TRACK_SLOTS; ++slot) {
      const std::uint32_t expected = slot < f.sample_counts.size() ? f.sample_counts[slot] : 0;
      EXPECT_EQ(desc.tracks[slot].stsz_count, expected) << "slot " << slot;
      EXPECT_EQ(desc.tracks[slot].is_tmcd, slot == f.timecode_slot) << "slot " << slot;
    }
    EXPECT_EQ(desc.tracks[0].stss.front(), 1u);
    EXPECT_EQ(desc.movie_timescale, 90000u);
  }
}

}  // namespace
}  // namespace reelknit::testing
