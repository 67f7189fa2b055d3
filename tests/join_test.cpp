// join_files end to end on generated files: every sample of every input must
// reach the output, byte for byte, with its timing, whatever the layout.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <functional>

#include "join/join_seams.h"
#include "reelknit/join.h"
#include "support/join_check.h"
#include "support/memory_file.h"
#include "support/memory_join.h"
#include "support/mp4_builder.h"
#include "support/mp4_inspect.h"
#include "support/temp_dir.h"

namespace reelknit::testing {
namespace {

/// Video at 29.97 fps with B-frames (composition offsets), dependency flags and
/// a second sync sample, and audio at 48 kHz, chunked unlike the video.
MoviePlan two_track_movie(std::size_t video_samples, std::size_t audio_samples, std::uint8_t fill) {
  std::vector<std::uint32_t> video_sizes, audio_sizes;
  for (std::size_t i = 0; i < video_samples; ++i) video_sizes.push_back(static_cast<std::uint32_t>(40 + (i * 13) % 50));
  for (std::size_t i = 0; i < audio_samples; ++i) audio_sizes.push_back(static_cast<std::uint32_t>(20 + i % 7));
  MoviePlan plan = two_track_plan(video_sizes, audio_sizes, fill);
  TrackPlan& video = plan.tracks[0];
  video.samples_per_chunk = 3;
  video.sample_delta = 1001;
  if (video_samples > 4) video.sync_samples.push_back(5);
  // B-frames: presentation runs ahead of decoding by a pattern of offsets.
  for (std::size_t i = 0; i < video_samples; ++i) video.ctts.push_back({1, static_cast<std::uint32_t>((i % 3) * 1001)});
  video.with_sdtp = true;
  TrackPlan& audio = plan.tracks[1];
  audio.samples_per_chunk = 4;
  audio.sample_delta = 1024;
  audio.media_timescale = 48000;
  return plan;
}

MoviePlan two_track_movie(std::size_t video_samples, std::uint8_t fill) {
  return two_track_movie(video_samples, video_samples + 3, fill);
}

/// Writes each movie to a file of the directory and returns the paths.
std::vector<std::string> write_inputs(const TempDir& dir, const std::vector<Bytes>& files) {
  std::vector<std::string> paths;
  for (std::size_t i = 0; i < files.size(); ++i) {
    paths.push_back(dir.file("in" + std::to_string(i) + ".mp4"));
    write_file(paths.back(), files[i]);
  }
  return paths;
}

struct Layout {
  const char* name;
  bool moov_first;
  bool large_mdat;
  bool wide_offsets;
  std::size_t inputs;
};

void PrintTo(const Layout& layout, std::ostream* out) { *out << layout.name; }

class JoinLayouts : public ::testing::TestWithParam<Layout> {};

TEST_P(JoinLayouts, CarriesEverySampleWithContinuousTiming) {
  const Layout layout = GetParam();
  TempDir dir;
  std::vector<Bytes> files;
  for (std::size_t i = 0; i < layout.inputs; ++i) {
    MoviePlan plan = two_track_movie(7 + i * 3, 11 + i, static_cast<std::uint8_t>(i * 50));
    plan.moov_first = layout.moov_first;
    plan.large_mdat = layout.large_mdat;
    plan.tracks[0].wide_offsets = layout.wide_offsets;
    files.push_back(make_movie(plan));
  }
  const auto paths = write_inputs(dir, files);
  const std::string out = dir.file("out.mp4");
  ASSERT_TRUE(join_files(paths, out, nullptr));

  std::vector<Movie> inputs;
  for (const Bytes& f : files) inputs.push_back(inspect_movie(f));
  const Bytes joined = read_file(out);
  const Movie output = inspect_movie(joined);
  expect_joined(inputs, output);

  // The first input's tree, with co64 for stco and one 16-byte-header mdat;
  // a track that needs an edit list to keep in step gets one.
  EXPECT_EQ(template_tree(output.boxes), template_tree(inputs.front().boxes));
  const BoxInfo* mdat = find_box(output.boxes, "mdat");
  ASSERT_NE(mdat, nullptr);
  EXPECT_EQ(mdat->header_size, 16u);

  expect_durations_joined(inputs, output);
}

INSTANTIATE_TEST_SUITE_P(Layouts, JoinLayouts,
                         ::testing::Values(Layout{"MdatFirst", false, false, false, 2},
                                           Layout{"MoovFirst", true, false, false, 2},
                                           Layout{"ThreeInputs", false, false, false, 3},
                                           Layout{"ThreeMoovFirst", true, false, true, 3},
                                           Layout{"LargeMdatHeader", false, true, false, 2},
                                           Layout{"WideOffsets", false, false, true, 2},
                                           Layout{"OneInput", true, false, false, 1}),
                         [](const auto& param_info) { return param_info.param.name; });

TEST(Join, AnInputWithoutPerSampleTablesKeepsItsSamplesTiming) {
  // The middle chapter has no composition offsets, no sync-sample table (all sync) and no dependency flags.
  TempDir dir;
  MoviePlan plain = two_track_movie(6, 80);
  plain.tracks[0].ctts.clear();
  plain.tracks[0].sync_samples.clear();
  plain.tracks[0].with_sdtp = false;
  const std::vector<Bytes> files = {make_movie(two_track_movie(5, 10)), make_movie(plain), make_movie(two_track_movie(4, 40))};
  const auto paths = write_inputs(dir, files);
  ASSERT_TRUE(join_files(paths, dir.file("out.mp4"), nullptr));
  std::vector<Movie> inputs;
  for (const Bytes& f : files) inputs.push_back(inspect_movie(f));
  expect_joined(inputs, inspect_movie(read_file(dir.file("out.mp4"))));
}

/// The file with the first track's sample sizes as compact 8-bit sizes (stz2), the same length.
Bytes with_compact_sizes(Bytes file) {
  const auto boxes = parse_boxes(file);
  const BoxInfo* stsz = find_box(boxes, "moov/trak/mdia/minf/stbl/stsz");
  const std::uint64_t payload = stsz->position + stsz->header_size;
  const std::uint32_t count = (std::uint32_t{file[payload + 8]} << 24) | (std::uint32_t{file[payload + 9]} << 16) |
                              (std::uint32_t{file[payload + 10]} << 8) | file[payload + 11];
  Bytes compact = cat({zeros(3), Bytes{8}, be32(count)});
  for (std::uint32_t k = 0; k < count; ++k) compact.push_back(file[payload + 12 + 4 * k + 3]);
  // A free box takes the bytes the compact form saves, so nothing else moves.
  const Bytes replacement = cat({full_box("stz2", 0, compact), box("free", zeros(stsz->size - 12 - compact.size() - 8))});
  std::copy(replacement.begin(), replacement.end(), file.begin() + static_cast<std::ptrdiff_t>(stsz->position));
  return file;
}

// Compact sample sizes, in the first chapter or a later one, are read like
// any others and written as a plain sample-size table.
TEST(Join, CompactSampleSizesInAnyChapterAreCarried) {
  const Bytes plain = make_movie(two_track_movie(5, 1));
  const Bytes compact = with_compact_sizes(plain);
  for (const bool compact_first : {true, false}) {
    SCOPED_TRACE(compact_first ? "first" : "later");
    const std::vector<Bytes> inputs = compact_first ? std::vector<Bytes>{compact, plain} : std::vector<Bytes>{plain, compact};
    const MemoryJoin joined = join_in_memory(inputs);
    ASSERT_TRUE(joined.status) << joined.status.error().describe();
    const Movie output = inspect_movie(joined.output);
    expect_joined({inspect_movie(plain), inspect_movie(plain)}, output);
    EXPECT_NE(find_box(output.boxes, "moov/trak/mdia/minf/stbl/stsz"), nullptr);
  }
}

TEST(Join, ReportsReadingProgressPerInputThenWritingThenOne) {
  TempDir dir;
  const Bytes file = make_movie(two_track_movie(5, 1));
  const auto paths = write_inputs(dir, {file, file, file});
  // A clock that moves 60 ms at every reading, so the writing phase reports without sleeping.
  Instant now{};
  JoinSeams seams;
  seams.clock = [&now] { return now += std::chrono::milliseconds(60); };
  std::vector<double> reports;
  ASSERT_TRUE(join_files_with(paths, dir.file("out.mp4"), [&](double p) { reports.push_back(p); }, seams));
  ASSERT_GE(reports.size(), 5u);
  EXPECT_DOUBLE_EQ(reports[0], 1.0 / 3 * 0.1);
  EXPECT_DOUBLE_EQ(reports[1], 2.0 / 3 * 0.1);
  EXPECT_DOUBLE_EQ(reports[2], 0.1);
  for (std::size_t i = 3; i + 1 < reports.size(); ++i) {
    EXPECT_GT(reports[i], 0.1);
    EXPECT_LE(reports[i], 0.9999);
  }
  EXPECT_EQ(reports.back(), 1.0);
}

struct FileLayoutFault {
  const char* name;
  std::function<Bytes()> bad_input;
  ErrorKind kind;
  std::string in_message;
  bool first_only = false;  ///< later inputs only lend their media and tables: this is harmless there
};

Bytes replace_type(Bytes file, const std::string& from, const std::string& to) {
  for (std::size_t i = 0; i + 4 <= file.size(); ++i) {
    if (std::equal(from.begin(), from.end(), file.begin() + static_cast<std::ptrdiff_t>(i))) {
      std::copy(to.begin(), to.end(), file.begin() + static_cast<std::ptrdiff_t>(i));
      return file;
    }
  }
  return file;
}

TEST(Join, RefusesInputsWhoseMediaDataTheOutputCouldNotCarry) {
  const Bytes good = make_movie(two_track_movie(5, 1));
  const FileLayoutFault cases[] = {
      {"no mdat", [&] { return replace_type(good, "mdat", "free"); }, ErrorKind::InvalidData, "no media data"},
      {"no moov", [&] { return replace_type(good, "moov", "free"); }, ErrorKind::InvalidData, "no movie box"},
      {"fragmented",
       [&] { return cat({good, box("moof", zeros(8)), box("mdat", zeros(8))}); },
       ErrorKind::Unsupported, "fragmented"},
      {"mdat of size 0",
       [&] {
         Bytes f = good;
         const auto boxes = parse_boxes(good);
         const BoxInfo* mdat = find_box(boxes, "mdat");
         std::fill_n(f.begin() + static_cast<std::ptrdiff_t>(mdat->position), 4, 0);
         return f;
       },
       // Size 0 runs to the end of the file: this mdat swallows the movie after it.
       ErrorKind::InvalidData, "no movie box"},
      {"media data cut short",
       [&] {
         MoviePlan plan = two_track_movie(5, 1);
         plan.moov_first = true;
         Bytes f = make_movie(plan);
         f.resize(f.size() - 10);
         return f;
       },
       ErrorKind::UnexpectedEof, "ends 10 bytes before"},
      {"a chunk beyond the media data",
       [&] {
         MoviePlan plan = two_track_movie(5, 1);
         plan.tracks[1].wide_offsets = true;  // co64 entries are easy to find: patch the last one
         Bytes f = make_movie(plan);
         const Movie movie = inspect_movie(f);
         const BoxInfo* co64 = find_box(movie.boxes, "moov/trak/mdia/minf/stbl/co64", 1);
         const std::uint64_t last = co64->position + co64->size - 8;
         const Bytes far = be64(f.size() + 100);
         std::copy(far.begin(), far.end(), f.begin() + static_cast<std::ptrdiff_t>(last));
         return f;
       },
       ErrorKind::InvalidData, "outside the media data"},
      {"media data in a second mdat",
       [&] {
         MoviePlan plan = two_track_movie(5, 1);
         plan.tracks[1].wide_offsets = true;
         Bytes f = make_movie(plan);
         const auto boxes = parse_boxes(f);
         const BoxInfo* co64 = find_box(boxes, "moov/trak/mdia/minf/stbl/co64", 1);
         const std::uint64_t last = co64->position + co64->size - 8;
         const Bytes there = be64(f.size() + 8);
         std::copy(there.begin(), there.end(), f.begin() + static_cast<std::ptrdiff_t>(last));
         append(f, box("mdat", zeros(200)));
         return f;
       },
       ErrorKind::Unsupported, "more than one box"},
      {"shorter than any movie", [] { return box("ftyp", text("isom")); }, ErrorKind::InvalidData, "no media data"},
      {"a box before the mdat whose size is below its header",
       [&] { return cat({box("ftyp", text("isom")), be32(3), text("free"), good}); }, ErrorKind::InvalidData,
       "smaller than its 8-byte header"},
  };
  for (const FileLayoutFault& c : cases) {
    SCOPED_TRACE(c.name);
    for (bool bad_first : {false, true}) {
      if (c.first_only && !bad_first) continue;
      TempDir dir;
      const Bytes bad = c.bad_input();
      const auto paths = write_inputs(dir, bad_first ? std::vector<Bytes>{bad, good} : std::vector<Bytes>{good, bad});
      const Status status = join_files(paths, dir.file("out.mp4"), nullptr);
      ASSERT_FALSE(status);
      EXPECT_EQ(status.error().kind(), c.kind);
      EXPECT_NE(status.error().message().find(c.in_message), std::string::npos) << status.error().message();
      EXPECT_NE(status.error().message().find(paths[bad_first ? 0 : 1]), std::string::npos) << "names the input";
      EXPECT_EQ(read_file(paths[bad_first ? 0 : 1]), bad) << "the input is untouched";
    }
  }
}

TEST(Join, ALaterInputsMovieBoxMayRunToTheEndOfTheFile) {
  TempDir dir;
  const Bytes first = make_movie(two_track_movie(5, 1));
  const Bytes second = make_movie(two_track_movie(7, 2));
  Bytes open_ended = second;
  const auto boxes = parse_boxes(second);
  std::fill_n(open_ended.begin() + static_cast<std::ptrdiff_t>(find_box(boxes, "moov")->position), 4, 0);
  const auto paths = write_inputs(dir, {first, open_ended});
  ASSERT_TRUE(join_files(paths, dir.file("out.mp4"), nullptr));
  expect_joined({inspect_movie(first), inspect_movie(second)}, inspect_movie(read_file(dir.file("out.mp4"))));
}

// A refused join touches nothing: the inputs are read and accepted before the
// output is created, so an earlier output at that path stays as it was.
TEST(Join, ARefusedJoinLeavesAnExistingOutputAsItWas) {
  TempDir dir;
  MoviePlan one_track = two_track_movie(5, 1);
  one_track.tracks.pop_back();
  const auto paths = write_inputs(dir, {make_movie(one_track), make_movie(two_track_movie(5, 2))});
  const Bytes earlier = text("an earlier, good join");
  write_file(dir.file("out.mp4"), earlier);
  const Status status = join_files(paths, dir.file("out.mp4"), nullptr);
  ASSERT_FALSE(status);
  EXPECT_EQ(status.error().kind(), ErrorKind::Unsupported);
  EXPECT_NE(status.error().message().find(paths[1]), std::string::npos) << status.error().message();
  EXPECT_NE(status.error().message().find("track 2"), std::string::npos) << status.error().message();
  EXPECT_EQ(read_file(dir.file("out.mp4")), earlier);
}

// Inputs that cannot be opened, and outputs that name an input: fault_test.cpp.
TEST(Join, CreatesNoOutputWhenThereIsNothingToJoin) {
  TempDir dir;
  const std::string out = dir.file("out.mp4");
  const Status none = join_files({}, out, nullptr);
  ASSERT_FALSE(none);
  EXPECT_EQ(none.error().kind(), ErrorKind::InvalidInput);
  EXPECT_EQ(none.error().message(), "no input files to join");
  EXPECT_FALSE(std::filesystem::exists(out));
}

TEST(Join, AnInputCutInsideItsMovieBoxFails) {
  TempDir dir;
  const Bytes file = make_movie(two_track_movie(9, 1));
  Bytes cut = file;
  cut.resize(file.size() - 40);  // the movie box comes last
  const auto paths = write_inputs(dir, {file, cut});
  const Status status = join_files(paths, dir.file("out.mp4"), nullptr);
  ASSERT_FALSE(status);
  EXPECT_EQ(status.error().kind(), ErrorKind::UnexpectedEof) << status.error().describe();
  EXPECT_NE(status.error().message().find(paths[1] + ": the moov box at offset"), std::string::npos)
      << status.error().describe();
  EXPECT_NE(status.error().message().find("40 more than the file holds"), std::string::npos) << status.error().describe();
}

TEST(Join, AFailedLastWriteOutIsTheJoinsError) {
  const Bytes file = make_movie(two_track_movie(5, 1));
  auto open_memory = [&file](const std::string&) -> Result<std::unique_ptr<File>> {
    return std::unique_ptr<File>(std::make_unique<MemoryFile>(std::make_shared<Bytes>(file)));
  };
  MemoryFolder folder;
  JoinSeams seams;
  seams.open_input = open_memory;
  seams.output = folder.calls();
  ASSERT_TRUE(join_files_with({"a", "b"}, "out", nullptr, seams));
  const std::uint64_t full_size = folder.files.at("out")->size();

  // The disk fills up one byte before the end: the bytes still buffered at the end cannot be written.
  MemoryFolder failing;
  failing.created_faults.write_error_at = full_size - 1;
  seams.output = failing.calls();
  const Status status = join_files_with({"a", "b"}, "out", nullptr, seams);
  ASSERT_FALSE(status);
  EXPECT_EQ(status.error().kind(), ErrorKind::StorageFull);
  EXPECT_EQ(status.error().message(), "No space left on device");
  EXPECT_TRUE(failing.files.empty()) << "left behind: " << failing.paths().front();
}

}  // namespace
}  // namespace reelknit::testing
