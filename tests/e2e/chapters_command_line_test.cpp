// The built reelknit program on a GoPro card folder: `reelknit --chapters`
// must join each complete recording in chapter order, exactly as if its
// chapters had been named by hand, and leave or refuse the others by name.
// Every output is judged by the test's own MP4 reader and, where ffmpeg is
// installed, by ffprobe.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>

#include <filesystem>
#include <map>
#include <regex>
#include <set>

#include "support/ffprobe.h"
#include "support/join_check.h"
#include "support/mp4_builder.h"
#include "support/mp4_inspect.h"
#include "support/run.h"
#include "support/skips.h"
#include "support/temp_dir.h"

namespace reelknit::testing {
namespace {

namespace fs = std::filesystem;

const std::string BINARY = REELKNIT_BINARY;
const std::string CARD = "DCIM/100GOPRO";

/// A small chapter with a video and an audio track; `fill` makes its samples
/// its own, so a chapter joined out of order shows.
Bytes chapter_movie(std::uint8_t fill, std::size_t video_samples) {
  MoviePlan plan;
  TrackPlan video;
  for (std::size_t i = 0; i < video_samples; ++i) video.sample_sizes.push_back(static_cast<std::uint32_t>(40 + i * 3));
  video.sync_samples = {1};
  video.fill = fill;
  TrackPlan audio;
  audio.sample_sizes = {11, 12, 13};
  audio.format = "mp4a";
  audio.media_timescale = 48000;
  audio.sample_delta = 1024;
  audio.fill = static_cast<std::uint8_t>(fill + 100);
  plan.tracks = {video, audio};
  return make_movie(plan);
}

/// Standard output with each run of progress reports shown as "[progress]"
/// and each final line as "[done]\n"; the formats themselves must hold.
std::string normalised(const std::string& out) {
  static const std::regex progress(R"((\rMerging\.\.\. \d{1,3}\.\d{2}%)+)");
  static const std::regex done(R"(\rDone in \d+\.\d{3}s {16}\n)");
  return std::regex_replace(std::regex_replace(out, progress, "[progress]"), done, "[done]\n");
}

/// How many joins ran to their end: a last report of 100.00% right before "Done in".
std::size_t finished_joins(const std::string& out) {
  static const std::regex finished(R"(\rMerging\.\.\. 100\.00%\rDone in )");
  return static_cast<std::size_t>(std::distance(std::sregex_iterator(out.begin(), out.end(), finished), {}));
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  for (std::size_t begin = 0, end; begin < text.size(); begin = end + 1) {
    end = text.find('\n', begin);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(begin, end - begin));
  }
  return lines;
}

/// Every path below `root`, relative, with each file's bytes.
std::map<std::string, Bytes> snapshot(const fs::path& root) {
  std::map<std::string, Bytes> files;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    const std::string name = fs::relative(entry.path(), root).string();
    files[name] = entry.is_regular_file() ? read_file(entry.path().string()) : Bytes{};
  }
  return files;
}

std::int64_t modified_seconds(const std::string& path) {
  struct stat info {};
  EXPECT_EQ(::stat(path.c_str(), &info), 0) << path;
  return info.st_mtim.tv_sec;
}

/// A card as a camera leaves it, with a recording of each kind the command
/// must tell apart, its names in the order no sort would give.
class CardTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(dir.path() / CARD);
    std::uint8_t fill = 1;
    for (const char* name : {"GX020042.MP4", "GX030042.MP4", "GX010042.MP4",  // HEVC, three chapters
                             "GL020042.LRV", "GL010042.LRV",                  // its proxies
                             "GP020043.MP4", "GP010043.MP4", "GOPR0043.MP4",  // HERO5 naming
                             "GH010044.MP4",                                  // one chapter
                             "GX010045.MP4", "GX030045.MP4",                  // chapter 2 missing
                             "GX010046.MP4",                                  // with a chapter 2 that is no movie
                             "gx020047.mp4", "gx010047.mp4",                  // as some card readers show names
                             "GS020048.360", "GS010048.360"}) {               // a 360-degree recording
      write_file(card_file(name), chapter_movie(fill, 4 + fill % 3));
      fill = static_cast<std::uint8_t>(fill + 9);
    }
    write_file(card_file("GX020046.MP4"), text("not a movie"));
    // Neither a thumbnail, nor sound, nor an earlier output is a chapter; none of them is a movie either.
    for (const char* name : {"GOPR0043.THM", "GX010042.WAV", "GX010099.MP4_joined.mp4"})
      write_file(card_file(name), text("not a movie"));
    // The camera's times: the output takes its first chapter's.
    const struct timespec first_chapter_time[2] = {{1000, 0}, {1500000000, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, card_file("GOPR0043.MP4").c_str(), first_chapter_time, 0), 0);
  }

  std::string card_file(const std::string& name) const { return dir.file(CARD + "/" + name); }

  RunResult run(const std::vector<std::string>& arguments) {
    std::vector<std::string> argv = {BINARY};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    return run_program(argv, dir.path().string());
  }

  /// The output holds the chapters' samples in the order given.
  void expect_output_joins(const std::string& output, const std::vector<std::string>& chapters) {
    SCOPED_TRACE(output);
    ASSERT_TRUE(fs::exists(dir.path() / output));
    std::vector<Movie> inputs;
    for (const std::string& chapter : chapters) inputs.push_back(inspect_movie(read_file(card_file(chapter))));
    expect_joined(inputs, inspect_movie(read_file(dir.file(output))));
  }

  TempDir dir;
};

std::string merging(const std::vector<std::string>& chapters) {
  std::string text;
  for (const std::string& chapter : chapters) text += "Merging file " + CARD + "/" + chapter + "\n";
  return text;
}

TEST_F(CardTest, WholeCardJoinsEachCompleteRecordingAndNamesTheRest) {
  const auto before = snapshot(dir.path() / CARD);

  const RunResult result = run({"--chapters", CARD});

  EXPECT_EQ(result.exit_status, 101);
  EXPECT_EQ(normalised(result.out),
            merging({"GX010042.MP4", "GX020042.MP4", "GX030042.MP4"}) + "Output file " + CARD +
                "/GX010042.MP4_joined.mp4\n[progress][done]\n" + merging({"GL010042.LRV", "GL020042.LRV"}) +
                "Output file " + CARD + "/GL010042.LRV_joined.mp4\n[progress][done]\n" +
                merging({"GOPR0043.MP4", "GP010043.MP4", "GP020043.MP4"}) + "Output file " + CARD +
                "/GOPR0043.MP4_joined.mp4\n[progress][done]\n" + "Skipping the recording of " + CARD +
                "/GH010044.MP4: it has only one chapter\n" + merging({"GX010046.MP4", "GX020046.MP4"}) +
                "Output file " + CARD + "/GX010046.MP4_joined.mp4\n[progress]\n" +
                merging({"gx010047.mp4", "gx020047.mp4"}) + "Output file " + CARD +
                "/gx010047.mp4_joined.mp4\n[progress][done]\n" + merging({"GS010048.360", "GS020048.360"}) +
                "Output file " + CARD + "/GS010048.360_joined.mp4\n[progress][done]\n" +
                "5 recordings joined, 1 skipped, 2 failed\n");
  EXPECT_EQ(finished_joins(result.out), 5u);
  // Above a failed join's error, what the library was doing: which input.
  std::vector<std::string> errors;
  std::string context;
  for (const std::string& line : lines_of(result.err)) {
    if (line == "What reelknit was doing:" || line.rfind("  ", 0) == 0) {
      context += line + "\n";
    } else {
      errors.push_back(line);
    }
  }
  EXPECT_NE(context.find("Reading input 2 of 2: " + CARD + "/GX020046.MP4"), std::string::npos) << result.err;
  ASSERT_EQ(errors.size(), 3u) << result.err;
  EXPECT_EQ(errors[0], "Not joining the recording of " + CARD + "/GX010045.MP4: chapter GX020045.MP4 is missing");
  EXPECT_EQ(errors[1].rfind("Error: " + CARD + "/GX020046.MP4: ", 0), 0u) << errors[1];
  EXPECT_TRUE(std::regex_search(errors[1], std::regex(R"( \([a-z ]+\)$)"))) << errors[1];
  EXPECT_EQ(errors[2], "Failed to join the recording of " + CARD + "/GX010046.MP4");

  expect_output_joins(CARD + "/GX010042.MP4_joined.mp4", {"GX010042.MP4", "GX020042.MP4", "GX030042.MP4"});
  expect_output_joins(CARD + "/GL010042.LRV_joined.mp4", {"GL010042.LRV", "GL020042.LRV"});
  expect_output_joins(CARD + "/GOPR0043.MP4_joined.mp4", {"GOPR0043.MP4", "GP010043.MP4", "GP020043.MP4"});
  expect_output_joins(CARD + "/gx010047.mp4_joined.mp4", {"gx010047.mp4", "gx020047.mp4"});
  expect_output_joins(CARD + "/GS010048.360_joined.mp4", {"GS010048.360", "GS020048.360"});
  EXPECT_EQ(modified_seconds(card_file("GOPR0043.MP4_joined.mp4")), 1500000000);

  // The chapters are only read; nothing but the five outputs is new (the failed join is refused before it
  // creates its output).
  auto after = snapshot(dir.path() / CARD);
  for (const auto& [name, bytes] : before) {
    EXPECT_EQ(after.count(name), 1u) << name;
    EXPECT_TRUE(after[name] == bytes) << name << " changed";
  }
  std::set<std::string> created;
  for (const auto& [name, bytes] : after)
    if (!before.count(name)) created.insert(name);
  EXPECT_EQ(created, (std::set<std::string>{"GX010042.MP4_joined.mp4", "GL010042.LRV_joined.mp4",
                                            "GOPR0043.MP4_joined.mp4", "gx010047.mp4_joined.mp4", "GS010048.360_joined.mp4"}));
}

TEST_F(CardTest, OneChapterFileWithOutJoinsItsRecordingAlone) {
  const RunResult result = run({"--chapters", CARD + "/GP020043.MP4", "--out", "trip.mp4"});

  EXPECT_EQ(result.exit_status, 0);
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(normalised(result.out), merging({"GOPR0043.MP4", "GP010043.MP4", "GP020043.MP4"}) +
                                        "Output file trip.mp4\n[progress][done]\n"
                                        "1 recording joined, 0 skipped, 0 failed\n");
  EXPECT_EQ(finished_joins(result.out), 1u);
  expect_output_joins("trip.mp4", {"GOPR0043.MP4", "GP010043.MP4", "GP020043.MP4"});
  EXPECT_EQ(modified_seconds(dir.file("trip.mp4")), 1500000000);
  EXPECT_FALSE(fs::exists(card_file("GOPR0043.MP4_joined.mp4")));
}

struct RefusedCase {
  const char* name;
  std::vector<std::string> arguments;
  std::string err;
  int status;
};
void PrintTo(const RefusedCase& c, std::ostream* out) { *out << c.name; }

class CardRefused : public CardTest, public ::testing::WithParamInterface<RefusedCase> {};

TEST_P(CardRefused, BeforeAnythingIsWritten) {
  const RefusedCase& c = GetParam();
  const auto before = snapshot(dir.path());

  const RunResult result = run(c.arguments);

  EXPECT_EQ(result.exit_status, c.status);
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err, c.err);
  EXPECT_TRUE(snapshot(dir.path()) == before) << "the run changed the card";
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CardRefused,
    ::testing::Values(
        RefusedCase{"OutWithSeveralRecordings",
                    {"--chapters", CARD, "--out", "trip.mp4"},
                    "Error: --out needs exactly one recording, but the paths name 8; without --out each is joined "
                    "next to its first chapter (invalid input parameter)\n",
                    1},
        RefusedCase{"OutWithTwoChapterFilesOfTwoRecordings",
                    {"--out", "trip.mp4", "--chapters", CARD + "/GX020042.MP4", CARD + "/GL010042.LRV"},
                    "Error: --out needs exactly one recording, but the paths name 2; without --out each is joined "
                    "next to its first chapter (invalid input parameter)\n",
                    1},
        RefusedCase{"PathThatDoesNotExist",
                    {"--chapters", CARD, "DCIM/101GOPRO"},
                    "Error: DCIM/101GOPRO: No such file or directory (entity not found, os error 2)\n",
                    1},
        RefusedCase{"FileNamedLikeNoChapter",
                    {"--chapters", CARD + "/GOPR0043.THM"},
                    "Error: " + CARD + "/GOPR0043.THM: not named like a GoPro chapter file (invalid input parameter)\n",
                    1},
        RefusedCase{"NoPath", {"--chapters"}, "No folder or chapter file given to --chapters\n", 1}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

// Help comes first, wherever it is asked for.
TEST_F(CardTest, HelpAmongChaptersPrintsTheUsageAndJoinsNothing) {
  const auto before = snapshot(dir.path());
  const RunResult result = run({"--chapters", CARD, "-h"});
  EXPECT_EQ(result.exit_status, 0);
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(result.out.rfind("Usage: reelknit ", 0), 0u) << result.out;
  EXPECT_NE(result.out.find("--chapters"), std::string::npos);
  EXPECT_TRUE(snapshot(dir.path()) == before) << "asking for help changed the card";
}

/// ffprobe sees, per video and audio stream, the chapters' packets one after
/// another: same bytes and key flags, and decode times that run on across
/// each seam where the previous chapter's track ended.
void expect_packets_in_chapter_order(const std::vector<std::string>& chapters, const std::string& output) {
  const Probe joined = probe(output);
  std::vector<Probe> probes;
  std::vector<Movie> movies;
  for (const std::string& chapter : chapters) {
    probes.push_back(probe(chapter));
    movies.push_back(inspect_movie(read_file(chapter)));
  }
  ASSERT_EQ(joined.streams.size(), probes.front().streams.size());
  for (const ProbeStream& stream : joined.streams) {
    if (stream.codec_type != "video" && stream.codec_type != "audio") continue;
    SCOPED_TRACE("stream " + std::to_string(stream.index) + " (" + stream.codec_tag + ")");
    // What a player presents: every chapter's presented packets, in camera order.
    const auto packets = presented_packets(joined, stream.index);
    ASSERT_FALSE(packets.empty());
    std::size_t at = 0;
    for (std::size_t c = 0; c < chapters.size(); ++c) {
      SCOPED_TRACE(chapters[c]);
      const auto expected = presented_packets(probes[c], stream.index);
      if (c > 0) at += hidden_start_presented(packets, at, probes[c], stream.index);
      ASSERT_LE(at + expected.size(), packets.size());
      for (const ProbePacket& packet : expected) {
        const ProbePacket& actual = packets[at++];
        ASSERT_EQ(actual.hash, packet.hash) << "packet " << at - 1;
        ASSERT_EQ(actual.key, packet.key) << "packet " << at - 1;
      }
    }
    EXPECT_EQ(at, packets.size()) << "the output has more packets than the chapters";
  }
}

class RecordedCard : public ::testing::Test {
 protected:
  void SetUp() override {
    if (const auto missing = missing_tools({FFMPEG, FFPROBE})) GTEST_SKIP() << *missing;
  }
  TempDir dir;
};

// Chapters an encoder really wrote, H.264 with B-frames and AAC, each in its own colour and pitch.
TEST_F(RecordedCard, ProbedOutputsHoldTheChaptersInCameraOrder) {
  const fs::path card = dir.path() / "100GOPRO";
  fs::create_directories(card);
  const std::vector<std::string> names = {"GP010001.MP4", "GOPR0001.MP4", "GP020001.MP4", "GX020002.MP4",
                                          "GX010002.MP4"};
  for (std::size_t k = 0; k < names.size(); ++k) {
    run_ffmpeg({"-f", "lavfi", "-i", "testsrc2=size=96x64:rate=30", "-f", "lavfi", "-i",
                "sine=frequency=" + std::to_string(300 + 100 * k) + ":sample_rate=48000", "-t", "0.5", "-vf",
                "hue=h=" + std::to_string(60 * k), "-c:v", "libx264", "-preset", "ultrafast", "-bf", "2", "-g", "6",
                "-pix_fmt", "yuv420p", "-c:a", "aac", "-b:a", "48k", (card / names[k]).string()});
  }

  const RunResult result = run_program({BINARY, "--chapters", card.string()}, dir.path().string());

  ASSERT_EQ(result.exit_status, 0) << result.err;
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(lines_of(result.out).back(), "2 recordings joined, 0 skipped, 0 failed");
  const auto in_card = [&card](std::initializer_list<const char*> chapter_names) {
    std::vector<std::string> paths;
    for (const char* name : chapter_names) paths.push_back((card / name).string());
    return paths;
  };
  {
    SCOPED_TRACE("HERO5 naming");
    expect_packets_in_chapter_order(in_card({"GOPR0001.MP4", "GP010001.MP4", "GP020001.MP4"}),
                                    (card / "GOPR0001.MP4_joined.mp4").string());
  }
  {
    SCOPED_TRACE("HERO6 naming");
    expect_packets_in_chapter_order(in_card({"GX010002.MP4", "GX020002.MP4"}),
                                    (card / "GX010002.MP4_joined.mp4").string());
  }
}

}  // namespace
}  // namespace reelknit::testing
