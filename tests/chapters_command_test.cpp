// The chapters command's pieces: its arguments, the plan for the recordings
// found, and the whole run against card folders of empty files, with a join
// that only records what it was asked to do.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "bin/chapters_command.h"
#include "support/temp_dir.h"

namespace reelknit::testing {
namespace {

namespace fs = std::filesystem;

using cli::Stream;
using cli::Verdict;

TEST(ChaptersArguments, EveryArgumentButTheOptionsIsAPath) {
  struct ArgumentsCase {
    std::vector<std::string> arguments;
    std::vector<std::string> paths;
    std::optional<std::string> output_path;
    bool sync = true;
  };
  const ArgumentsCase cases[] = {
      {{"--chapters"}, {}, std::nullopt},
      {{"--chapters", "DCIM/100GOPRO", "DCIM/101GOPRO"}, {"DCIM/100GOPRO", "DCIM/101GOPRO"}, std::nullopt},
      {{"GX010042.MP4", "--chapters"}, {"GX010042.MP4"}, std::nullopt},
      {{"--chapters", "a", "--out", "trip.mp4", "b"}, {"a", "b"}, "trip.mp4"},
      {{"--out", "x.mp4", "--chapters", "a", "--out", "y.mp4"}, {"a"}, "y.mp4"},
      {{"--chapters", "a", "--out"}, {"a"}, std::nullopt},
      {{"--chapters", "a", "--chapters", "b"}, {"a", "b"}, std::nullopt},
      {{"--chapters", "--out", "--chapters", "a"}, {"a"}, "--chapters"},
      {{"--chapters", "--chapters=b", "-c"}, {"--chapters=b", "-c"}, std::nullopt},
      {{"--chapters", "a", "--no-fsync"}, {"a"}, std::nullopt, false},
      {{"--chapters", "a", "--out", "--no-fsync"}, {"a"}, "--no-fsync", true},
  };
  for (const ArgumentsCase& c : cases) {
    const auto request = cli::chapters_arguments(c.arguments);
    EXPECT_EQ(request.paths, c.paths) << c.arguments.size() << " arguments, first " << c.arguments.front();
    EXPECT_EQ(request.output_path, c.output_path) << c.arguments.size() << " arguments";
    EXPECT_EQ(request.sync, c.sync) << c.arguments.size() << " arguments";
  }
}

ChapterSequence sequence_of(std::vector<std::string> chapters, SequenceProblem problem = SequenceProblem::None,
                            std::string problem_file = "") {
  ChapterSequence sequence;
  sequence.chapter_paths = std::move(chapters);
  sequence.problem = problem;
  sequence.problem_file = std::move(problem_file);
  return sequence;
}

TEST(PlanRecordings, JoinsCompleteRecordingsNextToTheirFirstChapter) {
  const auto plan = cli::plan_recordings(
      {sequence_of({"card/GOPR0007.MP4", "card/GP010007.MP4"}), sequence_of({"card/GH010044.MP4"}),
       sequence_of({"card/GX010045.MP4", "card/GX030045.MP4"}, SequenceProblem::MissingChapter, "GX020045.MP4"),
       sequence_of({"card/GX020046.MP4"}, SequenceProblem::MissingChapter, "GX010046.MP4")},
      std::nullopt);
  ASSERT_TRUE(plan);
  ASSERT_EQ(plan->size(), 4u);
  const std::pair<Verdict, std::string> expected[] = {
      {Verdict::Join, "card/GOPR0007.MP4_joined.mp4"},
      {Verdict::OneChapter, ""},
      {Verdict::Refused, ""},
      {Verdict::Refused, ""},  // one chapter, but not the first: the recording is incomplete
  };
  for (std::size_t i = 0; i < plan->size(); ++i) {
    EXPECT_EQ((*plan)[i].verdict, expected[i].first) << i;
    EXPECT_EQ((*plan)[i].output_path, expected[i].second) << i;
  }
  EXPECT_EQ((*plan)[0].sequence.chapter_paths, (std::vector<std::string>{"card/GOPR0007.MP4", "card/GP010007.MP4"}));
}

TEST(PlanRecordings, OutNeedsExactlyOneRecording) {
  const ChapterSequence joinable = sequence_of({"card/GX010042.MP4", "card/GX020042.MP4"});
  const ChapterSequence single = sequence_of({"card/GH010044.MP4"});

  const auto one = cli::plan_recordings({joinable}, "trip.mp4");
  ASSERT_TRUE(one);
  EXPECT_EQ(one->front().output_path, "trip.mp4");

  // A recording left alone still counts: the command line named more than one output could hold.
  struct RefusedCase {
    std::vector<ChapterSequence> recordings;
    std::string message;
  };
  const RefusedCase cases[] = {
      {{joinable, single},
       "--out needs exactly one recording, but the paths name 2; without --out each is joined next to its first "
       "chapter"},
      {{}, "--out needs exactly one recording, but the paths name none"},
  };
  for (const RefusedCase& c : cases) {
    const auto plan = cli::plan_recordings(c.recordings, "trip.mp4");
    ASSERT_FALSE(plan);
    EXPECT_EQ(plan.error().kind(), ErrorKind::InvalidInput);
    EXPECT_EQ(plan.error().message(), c.message);
  }
}

TEST(ChaptersTexts, SummaryAndRefusals) {
  const std::pair<cli::Tally, const char*> summaries[] = {
      {{0, 0, 0}, "0 recordings joined, 0 skipped, 0 failed\n"},
      {{1, 0, 0}, "1 recording joined, 0 skipped, 0 failed\n"},
      {{3, 1, 2}, "3 recordings joined, 1 skipped, 2 failed\n"},
  };
  for (const auto& [tally, text] : summaries) EXPECT_EQ(cli::summary_text(tally), text);

  EXPECT_EQ(cli::refused_text(sequence_of({"card/GP010007.MP4"}, SequenceProblem::MissingChapter, "GOPR0007.MP4")),
            "Not joining the recording of card/GP010007.MP4: chapter GOPR0007.MP4 is missing\n");
  EXPECT_EQ(cli::refused_text(sequence_of({"card/GX010042.MP4", "card/GX020042.MP4", "card/gx020042.mp4"},
                                          SequenceProblem::RepeatedChapter, "gx020042.mp4")),
            "Not joining the recording of card/GX010042.MP4: gx020042.mp4 is chapter 2 again\n");
  EXPECT_EQ(cli::one_chapter_text(sequence_of({"card/GH010044.MP4"})),
            "Skipping the recording of card/GH010044.MP4: it has only one chapter\n");
  EXPECT_EQ(cli::join_failed_text(sequence_of({"card/GX010046.MP4", "card/GX020046.MP4"})),
            "Failed to join the recording of card/GX010046.MP4\n");
}

/// A card folder of empty files named like a real card's.
const std::vector<std::string> CARD = {
    "GX020042.MP4", "GX010042.MP4", "GL010042.LRV", "GL020042.LRV",  // a recording and its proxies
    "GP020043.MP4", "GOPR0043.MP4", "GP010043.MP4",                  // HERO5 naming
    "GH010044.MP4",                                                  // one chapter
    "GX010045.MP4", "GX030045.MP4",                                  // a gap
    "GX010046.MP4", "GX020046.MP4",                                  // the join fails
    "GOPR0043.THM", "GX010042.MP4_joined.mp4",                       // ignored
};

struct RunCase {
  const char* name;
  std::vector<std::string> arguments;  ///< "card" is the card folder, relative to the test's folder
  std::vector<std::vector<std::string>> joins;  ///< the chapters of each join asked for, then its output
  std::string transcript;  ///< every message in order, standard error ones marked "E:"
  int status;
};
void PrintTo(const RunCase& c, std::ostream* out) { *out << c.name; }

class RunChapters : public ::testing::TestWithParam<RunCase> {};

TEST_P(RunChapters, JoinsEachCompleteRecordingAndSaysWhatBecameOfEveryOne) {
  const RunCase& c = GetParam();
  TempDir dir;
  fs::create_directory(dir.path() / "card");
  for (const std::string& name : CARD) std::ofstream(dir.path() / "card" / name) << "x";
  const std::string root = dir.path().string() + "/";
  const auto relative = [&root](std::string text) {
    for (std::size_t at; (at = text.find(root)) != std::string::npos;) text.erase(at, root.size());
    return text;
  };
  std::vector<std::string> arguments;
  for (const std::string& a : c.arguments) arguments.push_back(a.rfind("card", 0) == 0 ? root + a : a);

  std::string transcript;
  std::vector<std::vector<std::string>> joins;
  const int status = cli::run_chapters(
      arguments,
      [&](Stream stream, const std::string& text) {
        transcript += (stream == Stream::Err ? "E:" : "") + relative(text);
      },
      [&](const std::vector<std::string>& chapters, const std::string& output_path) -> Status {
        joins.emplace_back();
        for (const std::string& chapter : chapters) joins.back().push_back(relative(chapter));
        joins.back().push_back(relative(output_path));
        if (chapters.back().find("GX020046") != std::string::npos)
          return Error(ErrorKind::InvalidData, "GX020046.MP4: not a movie");
        return success();
      });

  EXPECT_EQ(transcript, c.transcript);
  EXPECT_EQ(joins, c.joins);
  EXPECT_EQ(status, c.status);
}

const std::string CARD_TRANSCRIPT =
    "Merging file card/GX010042.MP4\nMerging file card/GX020042.MP4\n"
    "Merging file card/GL010042.LRV\nMerging file card/GL020042.LRV\n"
    "Merging file card/GOPR0043.MP4\nMerging file card/GP010043.MP4\nMerging file card/GP020043.MP4\n"
    "Skipping the recording of card/GH010044.MP4: it has only one chapter\n"
    "E:Not joining the recording of card/GX010045.MP4: chapter GX020045.MP4 is missing\n"
    "Merging file card/GX010046.MP4\nMerging file card/GX020046.MP4\n"
    "E:Error: GX020046.MP4: not a movie (invalid data)\n"
    "E:Failed to join the recording of card/GX010046.MP4\n"
    "3 recordings joined, 1 skipped, 2 failed\n";

INSTANTIATE_TEST_SUITE_P(
    Cases, RunChapters,
    ::testing::Values(
        RunCase{"WholeCard",
                {"--chapters", "card"},
                {{"card/GX010042.MP4", "card/GX020042.MP4", "card/GX010042.MP4_joined.mp4"},
                 {"card/GL010042.LRV", "card/GL020042.LRV", "card/GL010042.LRV_joined.mp4"},
                 {"card/GOPR0043.MP4", "card/GP010043.MP4", "card/GP020043.MP4", "card/GOPR0043.MP4_joined.mp4"},
                 {"card/GX010046.MP4", "card/GX020046.MP4", "card/GX010046.MP4_joined.mp4"}},
                CARD_TRANSCRIPT,
                101},
        // The folder, again with a slash, and one of its files name the same recordings: each is joined once.
        RunCase{"RecordingsNamedTwiceJoinedOnce",
                {"card/GP020043.MP4", "--chapters", "card", "card/", "card/GX020042.MP4"},
                {{"card/GOPR0043.MP4", "card/GP010043.MP4", "card/GP020043.MP4", "card/GOPR0043.MP4_joined.mp4"},
                 {"card/GX010042.MP4", "card/GX020042.MP4", "card/GX010042.MP4_joined.mp4"},
                 {"card/GL010042.LRV", "card/GL020042.LRV", "card/GL010042.LRV_joined.mp4"},
                 {"card/GX010046.MP4", "card/GX020046.MP4", "card/GX010046.MP4_joined.mp4"}},
                "Merging file card/GOPR0043.MP4\nMerging file card/GP010043.MP4\nMerging file card/GP020043.MP4\n"
                "Merging file card/GX010042.MP4\nMerging file card/GX020042.MP4\n"
                "Merging file card/GL010042.LRV\nMerging file card/GL020042.LRV\n"
                "Skipping the recording of card/GH010044.MP4: it has only one chapter\n"
                "E:Not joining the recording of card/GX010045.MP4: chapter GX020045.MP4 is missing\n"
                "Merging file card/GX010046.MP4\nMerging file card/GX020046.MP4\n"
                "E:Error: GX020046.MP4: not a movie (invalid data)\n"
                "E:Failed to join the recording of card/GX010046.MP4\n"
                "3 recordings joined, 1 skipped, 2 failed\n",
                101},
        RunCase{"OneFileWithOut",
                {"--chapters", "card/GP010043.MP4", "--out", "trip.mp4"},
                {{"card/GOPR0043.MP4", "card/GP010043.MP4", "card/GP020043.MP4", "trip.mp4"}},
                "Merging file card/GOPR0043.MP4\nMerging file card/GP010043.MP4\nMerging file card/GP020043.MP4\n"
                "1 recording joined, 0 skipped, 0 failed\n",
                0},
        RunCase{"OnlyOneChapter",
                {"--chapters", "card/GH010044.MP4", "--out", "trip.mp4"},
                {},
                "Skipping the recording of card/GH010044.MP4: it has only one chapter\n"
                "0 recordings joined, 1 skipped, 0 failed\n",
                0},
        RunCase{"ProxyOfOneRecordingOnly",
                {"--chapters", "card/GL020042.LRV"},
                {{"card/GL010042.LRV", "card/GL020042.LRV", "card/GL010042.LRV_joined.mp4"}},
                "Merging file card/GL010042.LRV\nMerging file card/GL020042.LRV\n"
                "1 recording joined, 0 skipped, 0 failed\n",
                0},
        RunCase{"GapAlone", {"--chapters", "card/GX030045.MP4"}, {},
                "E:Not joining the recording of card/GX010045.MP4: chapter GX020045.MP4 is missing\n"
                "0 recordings joined, 0 skipped, 1 failed\n",
                101},
        RunCase{"OutWithSeveralRecordingsRefusedBeforeAnything",
                {"--chapters", "card", "--out", "trip.mp4"},
                {},
                "E:Error: --out needs exactly one recording, but the paths name 6; without --out each is joined next "
                "to its first chapter (invalid input parameter)\n",
                1},
        RunCase{"MissingPathRefusedBeforeAnything",
                {"--chapters", "card", "nowhere", "card/GX010099.MP4"},
                {},
                "E:Error: nowhere: No such file or directory (entity not found, os error 2)\n"
                "E:Error: card/GX010099.MP4: No such file or directory (entity not found, os error 2)\n",
                1},
        RunCase{"FileNamedLikeNoChapter",
                {"--chapters", "card/GOPR0043.THM"},
                {},
                "E:Error: card/GOPR0043.THM: not named like a GoPro chapter file (invalid input parameter)\n",
                1},
        RunCase{"NoPath",
                {"--chapters", "--out", "trip.mp4"},
                {},
                "E:No folder or chapter file given to --chapters\n",
                1}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

TEST(RunChaptersOnAnEmptyCard, NothingToJoinIsNoFailure) {
  TempDir dir;
  std::ofstream(dir.path() / "GOPR0001.THM") << "x";
  std::string transcript;
  const int status = cli::run_chapters(
      {"--chapters", dir.path().string()}, [&](Stream, const std::string& text) { transcript += text; },
      [](const std::vector<std::string>&, const std::string&) -> Status {
        ADD_FAILURE() << "nothing to join";
        return success();
      });
  EXPECT_EQ(transcript, "0 recordings joined, 0 skipped, 0 failed\n");
  EXPECT_EQ(status, 0);
}

}  // namespace
}  // namespace reelknit::testing
