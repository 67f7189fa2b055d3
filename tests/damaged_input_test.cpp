// Damaged recordings (cut short, or with sample tables that contradict each
// other) are refused with a reason before anything is written; strange but
// intact ones join into an output whose every chunk lies in its media data.
// Each case here was once a join that reported success with a broken output.
#include <gtest/gtest.h>

#include <functional>

#include "support/join_check.h"
#include "support/layout_check.h"
#include "support/memory_join.h"
#include "support/mp4_builder.h"
#include "support/mp4_inspect.h"

namespace reelknit::testing {
namespace {

MoviePlan two_tracks(bool moov_first, std::uint8_t fill) {
  MoviePlan plan = two_track_plan({30, 12, 25, 18, 9, 40, 22}, {6, 7, 6, 7, 6}, fill);
  plan.moov_first = moov_first;
  plan.tracks[0].samples_per_chunk = 3;  // runs {1, 3} and {3, 1}
  plan.tracks[0].sync_samples = {1, 4};
  return plan;
}

Bytes movie(bool moov_first = false, std::uint8_t fill = 0) { return make_movie(two_tracks(moov_first, fill)); }

BoxInfo box_at(const Bytes& file, const std::string& path, std::size_t trak = 0) {
  const Movie parsed = inspect_movie(file);
  const BoxInfo* found = find_box(parsed.boxes, path, trak);
  if (!found) throw std::runtime_error("no " + path);
  return *found;
}

void put_be32(Bytes& file, std::uint64_t at, std::uint32_t value) {
  const Bytes bytes = be32(value);
  std::copy(bytes.begin(), bytes.end(), file.begin() + static_cast<std::ptrdiff_t>(at));
}

void rename(Bytes& file, const std::string& path, const char* type, std::size_t trak = 0) {
  const BoxInfo box = box_at(file, path, trak);
  std::copy(type, type + 4, file.begin() + static_cast<std::ptrdiff_t>(box.position + 4));
}

/// `extra` as the last children of the moov of a movie whose moov is its last box.
Bytes with_moov_tail(Bytes file, const Bytes& extra) {
  const BoxInfo moov = box_at(file, "moov");
  put_be32(file, moov.position, static_cast<std::uint32_t>(moov.size + extra.size()));
  append(file, extra);
  return file;
}

struct Refused {
  const char* name;
  std::function<std::vector<Bytes>()> inputs;
  ErrorKind kind;
  const char* message;  ///< a part of the error text
};

class DamagedInputs : public ::testing::TestWithParam<Refused> {};

TEST_P(DamagedInputs, AreRefusedWithAReason) {
  const Refused& c = GetParam();
  const auto inputs = c.inputs();
  const MemoryJoin joined = join_in_memory(inputs);
  ASSERT_FALSE(joined.status) << "joined into " << joined.output.size() << " bytes";
  EXPECT_EQ(joined.status.error().kind(), c.kind) << joined.status.error().describe();
  EXPECT_NE(joined.status.error().message().find(c.message), std::string::npos) << joined.status.error().describe();
  // Refused while reading: nothing of the box tree reached the output.
  EXPECT_TRUE(joined.output.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Join, DamagedInputs,
    ::testing::Values(
        Refused{"FirstMoovCutShort",
                [] {
                  Bytes cut = movie();
                  cut.resize(cut.size() - 100);
                  return std::vector<Bytes>{cut, movie()};
                },
                ErrorKind::UnexpectedEof, "the moov box at offset"},
        Refused{"LaterMoovCutShort",
                [] {
                  Bytes cut = movie(false, 50);
                  cut.resize(cut.size() - 1);
                  return std::vector<Bytes>{movie(), cut};
                },
                ErrorKind::UnexpectedEof, "1 more than the file holds"},
        Refused{"LastInputWithoutStsc",
                [] {
                  Bytes second = movie(false, 50);
                  rename(second, "moov/trak/mdia/minf/stbl/stsc", "free");
                  return std::vector<Bytes>{movie(), second};
                },
                ErrorKind::InvalidData, "sample-to-chunk table (stsc) of track 1 does not describe its 3 chunks"},
        Refused{"ChunksHoldFewerSamplesThanListed",
                [] {
                  Bytes first = movie();
                  const BoxInfo stsc = box_at(first, "moov/trak/mdia/minf/stbl/stsc");
                  put_be32(first, stsc.position + stsc.header_size + 12, 2);  // the first run: 2 samples per chunk
                  return std::vector<Bytes>{first, movie(false, 50)};
                },
                ErrorKind::InvalidData, "the chunks of track 1 hold 5 samples but its sample-size table (stsz) lists 7"},
        Refused{"SecondChunkOffsetTable",
                [] {
                  Bytes first = movie(true);
                  rename(first, "moov/trak/mdia/minf/stbl/stss", "stco");
                  return std::vector<Bytes>{first, movie(false, 50)};
                },
                ErrorKind::InvalidData, "second stco table in track 1"},
        Refused{"TrakSpillsOutOfMoov",
                [] {
                  Bytes first = movie(true);
                  const BoxInfo trak = box_at(first, "moov/trak", 1);
                  put_be32(first, trak.position, static_cast<std::uint32_t>(trak.size + 8));
                  return std::vector<Bytes>{first, movie(false, 50)};
                },
                ErrorKind::InvalidData, "8 bytes past the end of its parent box"}),
    [](const auto& param_info) { return param_info.param.name; });

struct Strange {
  const char* name;
  std::function<Bytes()> first;
  const char* expected_tree;  ///< the output's top level and moov children
};

class StrangeInputs : public ::testing::TestWithParam<Strange> {};

TEST_P(StrangeInputs, JoinWithEveryChunkInTheMediaData) {
  const Strange& c = GetParam();
  const std::vector<Bytes> inputs = {c.first(), movie(false, 50)};
  const MemoryJoin joined = join_in_memory(inputs);
  ASSERT_TRUE(joined.status) << joined.status.error().describe();
  EXPECT_EQ(find_layout_problem(joined.output), std::nullopt);
  const Movie output = inspect_movie(joined.output);
  std::string tree;
  for (const BoxInfo& top : output.boxes) {
    tree += top.type + " ";
    if (top.type == "moov")
      for (const BoxInfo& child : top.children) tree += "." + child.type + " ";
  }
  EXPECT_EQ(tree, c.expected_tree);
  // Every first input here holds the samples of movie(), around boxes the independent reader would not take.
  expect_joined({inspect_movie(movie()), inspect_movie(inputs[1])}, output);
}

INSTANTIATE_TEST_SUITE_P(
    Join, StrangeInputs,
    ::testing::Values(
        // The merged media data replaces the first top-level mdat only; other mdat boxes are copied.
        Strange{"MdatInsideMoov", [] { return with_moov_tail(movie(), box("mdat", zeros(4))); },
                "ftyp mdat moov .mvhd .trak .trak .mdat "},
        Strange{"SecondTopLevelMdat",
                [] {
                  MoviePlan plan = two_tracks(false, 0);
                  plan.trailing = box("mdat", zeros(5));
                  return make_movie(plan);
                },
                "ftyp mdat moov .mvhd .trak .trak mdat "},
        // A box of size 0 runs to the end of its list: here, what is left of the moov.
        Strange{"ZeroSizeBoxInMoov",
                [] { return with_moov_tail(movie(), cat({be32(0), text("skip"), box("udta", zeros(6))})); },
                "ftyp mdat moov .mvhd .trak .trak .skip "},
        // At the top level it runs to the end of the file, and the output gives it its size.
        Strange{"MovieRunsToTheEndOfTheFile",
                [] {
                  Bytes file = movie();
                  put_be32(file, box_at(file, "moov").position, 0);
                  return file;
                },
                "ftyp mdat moov .mvhd .trak .trak "},
        Strange{"MediaDataRunsToTheEndOfTheFile",
                [] {
                  Bytes file = movie(true);
                  put_be32(file, box_at(file, "mdat").position, 0);
                  return file;
                },
                "ftyp moov .mvhd .trak .trak mdat "},
        // Fewer bytes than a header at the end of a container: padding, not a box.
        Strange{"TerminatorAtEndOfMoov", [] { return with_moov_tail(movie(), zeros(4)); },
                "ftyp mdat moov .mvhd .trak .trak "}),
    [](const auto& param_info) { return param_info.param.name; });

/// `file` with `bytes` inserted at `at`; the containers on `paths` grow to hold them.
Bytes insert_into(const Bytes& file, std::uint64_t at, const Bytes& bytes, std::initializer_list<const char*> paths) {
  Bytes out(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(at));
  append(out, bytes);
  append(out, Bytes(file.begin() + static_cast<std::ptrdiff_t>(at), file.end()));
  for (const char* path : paths) {
    const BoxInfo container = box_at(file, path);
    put_be32(out, container.position, static_cast<std::uint32_t>(container.size + bytes.size()));
  }
  return out;
}

/// Moves every 32-bit chunk offset of the file's tracks by `by`.
void move_chunk_offsets(Bytes& file, std::uint32_t by) {
  for (std::size_t trak = 0; trak < 2; ++trak) {
    const BoxInfo stco = box_at(file, "moov/trak/mdia/minf/stbl/stco", trak);
    for (std::uint64_t at = stco.position + stco.header_size + 8; at < stco.position + stco.size; at += 4) {
      std::uint32_t offset = 0;
      for (std::uint64_t k = 0; k < 4; ++k) offset = (offset << 8) | file[at + k];
      put_be32(file, at, offset + by);
    }
  }
}

// A size-0 header at the end of a track's stbl, before a second sync-sample
// table, hides that table: the box runs to the end of the stbl. The reader
// and the writer see the same tables (as players do), so the join neither
// reads a table it does not write nor blames the wrong cause.
TEST(SizeZeroHeader, HidesTheRestOfItsListFromTheReaderAndTheWriterAlike) {
  for (const bool moov_first : {false, true}) {
    for (const bool in_first : {true, false}) {
      SCOPED_TRACE(std::string(moov_first ? "movie first" : "media data first") +
                   (in_first ? ", first input" : ", second input"));
      const Bytes plain = movie(moov_first);
      const BoxInfo stbl = box_at(plain, "moov/trak/mdia/minf/stbl");
      // A sync-sample table that marks every sample: read, it would change the track.
      const Bytes hidden = cat({be32(0), text("free"), u32_table("stss", {1, 2, 3, 4, 5, 6, 7})});
      Bytes file = insert_into(plain, stbl.position + stbl.size, hidden,
                               {"moov", "moov/trak", "moov/trak/mdia", "moov/trak/mdia/minf", "moov/trak/mdia/minf/stbl"});
      if (moov_first) move_chunk_offsets(file, static_cast<std::uint32_t>(hidden.size()));
      const std::vector<Bytes> inputs = in_first ? std::vector<Bytes>{file, movie(false, 50)}
                                                 : std::vector<Bytes>{movie(false, 50), file};
      const MemoryJoin joined = join_in_memory(inputs);
      ASSERT_TRUE(joined.status) << joined.status.error().describe();
      EXPECT_EQ(find_layout_problem(joined.output), std::nullopt);
      const Movie output = inspect_movie(joined.output);
      // The hidden table is neither read nor written: sync samples 1 and 4 of each input, as they show.
      expect_joined({inspect_movie(inputs[0]), inspect_movie(inputs[1])}, output);
      const BoxInfo* stss = find_box(output.boxes, "moov/trak/mdia/minf/stbl/stss");
      ASSERT_NE(stss, nullptr);
      EXPECT_EQ(stss->size, 16u + 4 * 4);
    }
  }
}

TEST(SecondTopLevelMdat, IsCopiedNotMergedAgain) {
  MoviePlan plan = two_tracks(false, 0);
  plan.trailing = box("mdat", zeros(5));
  const MemoryJoin joined = join_in_memory({make_movie(plan), movie(false, 50)});
  ASSERT_TRUE(joined.status) << joined.status.error().describe();
  const Movie output = inspect_movie(joined.output);
  ASSERT_EQ(output.boxes.size(), 4u);
  EXPECT_EQ(output.boxes[3].type, "mdat");
  EXPECT_EQ(output.boxes[3].size, 13u);
}

// Nothing follows the last input's chunks, so they may place fewer samples than it lists.
TEST(LastInput, MayHoldFewerSamplesInItsChunksThanItLists) {
  Bytes last = movie(false, 50);
  const BoxInfo stsc = box_at(last, "moov/trak/mdia/minf/stbl/stsc", 1);
  put_be32(last, stsc.position + stsc.header_size + 12, 1);  // audio: 1 sample per chunk, 3 of 5 placed
  const MemoryJoin joined = join_in_memory({movie(), last});
  ASSERT_TRUE(joined.status) << joined.status.error().describe();
  EXPECT_EQ(find_layout_problem(joined.output), std::nullopt);
}

}  // namespace
}  // namespace reelknit::testing
