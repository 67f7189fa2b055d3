// The command's pure pieces: the argument walk against a made-up file system,
// the default output name, and the exact texts it prints.
#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <set>

#include "bin/cli.h"
#include "support/mp4_inspect.h"
#include "support/temp_dir.h"

namespace reelknit::testing {
namespace {

using namespace std::chrono_literals;
using cli::Stream;

struct WalkCase {
  const char* name;
  std::vector<std::string> arguments;
  std::vector<std::string> inputs;
  std::optional<std::string> output_path;
  std::string transcript;  ///< every message in order, standard error ones marked "E:"
  bool sync = true;
};
void PrintTo(const WalkCase& c, std::ostream* out) { *out << c.name; }

class ArgumentWalk : public ::testing::TestWithParam<WalkCase> {};

TEST_P(ArgumentWalk, AcceptsInputsAndChoosesTheOutput) {
  const WalkCase& c = GetParam();
  const std::set<std::string> existing = {"a.mp4", "b.mp4", "clips/GX010001.MP4", "..", "x.mp4"};
  std::string transcript;
  const auto request = cli::walk_arguments(
      c.arguments, [&](const std::string& path) { return existing.count(path) > 0; },
      [&](Stream stream, const std::string& text) { transcript += (stream == Stream::Err ? "E:" : "") + text; });
  EXPECT_EQ(request.inputs, c.inputs);
  EXPECT_EQ(request.output_path, c.output_path);
  EXPECT_EQ(transcript, c.transcript);
  EXPECT_EQ(request.sync, c.sync);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ArgumentWalk,
    ::testing::Values(
        WalkCase{"Nothing", {}, {}, std::nullopt, ""},
        WalkCase{"DefaultFromFirstInput",
                 {"a.mp4", "b.mp4"},
                 {"a.mp4", "b.mp4"},
                 "a.mp4_joined.mp4",
                 "Merging file a.mp4\nMerging file b.mp4\n"},
        WalkCase{"DefaultKeepsDirectory",
                 {"clips/GX010001.MP4"},
                 {"clips/GX010001.MP4"},
                 "clips/GX010001.MP4_joined.mp4",
                 "Merging file clips/GX010001.MP4\n"},
        WalkCase{"OutBeforeInputs",
                 {"--out", "joined.mp4", "a.mp4", "b.mp4"},
                 {"a.mp4", "b.mp4"},
                 "joined.mp4",
                 "Merging file a.mp4\nMerging file b.mp4\n"},
        WalkCase{"OutAfterInputsReplacesDefault",
                 {"a.mp4", "b.mp4", "--out", "joined.mp4"},
                 {"a.mp4", "b.mp4"},
                 "joined.mp4",
                 "Merging file a.mp4\nMerging file b.mp4\n"},
        WalkCase{"LastOutWins", {"a.mp4", "--out", "x.mp4", "--out", "y.mp4"}, {"a.mp4"}, "y.mp4",
                 "Merging file a.mp4\n"},
        WalkCase{"TrailingOutIgnored", {"a.mp4", "--out"}, {"a.mp4"}, "a.mp4_joined.mp4", "Merging file a.mp4\n"},
        WalkCase{"OnlyTrailingOut", {"--out"}, {}, std::nullopt, ""},
        WalkCase{"NoFsyncAnywhere", {"a.mp4", "--no-fsync", "b.mp4"}, {"a.mp4", "b.mp4"}, "a.mp4_joined.mp4",
                 "Merging file a.mp4\nMerging file b.mp4\n", false},
        WalkCase{"NoFsyncAsTheOutputsName", {"a.mp4", "--out", "--no-fsync"}, {"a.mp4"}, "--no-fsync",
                 "Merging file a.mp4\n", true},
        // The value of --out is never an input, even when it names an existing file or is "--out" itself.
        WalkCase{"OutValueIsNeverAnInput", {"--out", "a.mp4", "b.mp4"}, {"b.mp4"}, "a.mp4", "Merging file b.mp4\n"},
        WalkCase{"OutTakesOutAsValue", {"--out", "--out", "a.mp4"}, {"a.mp4"}, "--out", "Merging file a.mp4\n"},
        WalkCase{"OutAloneSetsOutputButNoInputs", {"--out", "x.mp4"}, {}, "x.mp4", ""},
        WalkCase{"MissingInputSkipped",
                 {"missing.mp4", "a.mp4", "b.mp4"},
                 {"a.mp4", "b.mp4"},
                 "a.mp4_joined.mp4",
                 "E:File doesn't exist missing.mp4\nMerging file a.mp4\nMerging file b.mp4\n"},
        WalkCase{"MessagesKeepArgumentOrder",
                 {"a.mp4", "gone.mp4", "b.mp4"},
                 {"a.mp4", "b.mp4"},
                 "a.mp4_joined.mp4",
                 "Merging file a.mp4\nE:File doesn't exist gone.mp4\nMerging file b.mp4\n"},
        WalkCase{"LookalikesOfOutAreInputs",
                 {"--out=x.mp4", "-o", "--OUT", "a.mp4"},
                 {"a.mp4"},
                 "a.mp4_joined.mp4",
                 "E:File doesn't exist --out=x.mp4\nE:File doesn't exist -o\nE:File doesn't exist --OUT\n"
                 "Merging file a.mp4\n"},
        WalkCase{"SameInputTwice", {"a.mp4", "a.mp4"}, {"a.mp4", "a.mp4"}, "a.mp4_joined.mp4",
                 "Merging file a.mp4\nMerging file a.mp4\n"},
        // The default comes from the first accepted input only: a later one does not stand in for it.
        WalkCase{"UnnameableFirstInputLeavesNoOutput", {"..", "a.mp4"}, {"..", "a.mp4"}, std::nullopt,
                 "Merging file ..\nMerging file a.mp4\n"},
        WalkCase{"UnnameableFirstInputWithOut", {"..", "a.mp4", "--out", "j.mp4"}, {"..", "a.mp4"}, "j.mp4",
                 "Merging file ..\nMerging file a.mp4\n"}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

TEST(ChooseMode, FirstHelpOrVersionWinsWhereverItStandsThenChapters) {
  using cli::Mode;
  const std::pair<std::vector<std::string>, Mode> cases[] = {
      {{}, Mode::Join},
      {{"a.mp4", "b.mp4", "--out", "j.mp4"}, Mode::Join},
      {{"--help"}, Mode::Help},
      {{"-h"}, Mode::Help},
      {{"--version"}, Mode::Version},
      {{"a.mp4", "missing.mp4", "--out", "j.mp4", "--help"}, Mode::Help},
      {{"a.mp4", "--version", "b.mp4"}, Mode::Version},
      {{"--version", "--help"}, Mode::Version},
      {{"-h", "--version"}, Mode::Help},
      {{"--chapters", "DCIM/100GOPRO"}, Mode::Chapters},
      {{"GX010042.MP4", "--out", "trip.mp4", "--chapters"}, Mode::Chapters},
      {{"--chapters", "DCIM/100GOPRO", "--help"}, Mode::Help},
      {{"--out", "--chapters", "a.mp4"}, Mode::Join},
      {{"--chapters=DCIM", "--CHAPTERS"}, Mode::Join},
      // The value of --out is a name, whatever it looks like.
      {{"a.mp4", "--out", "--help"}, Mode::Join},
      {{"--out", "-h", "--version"}, Mode::Version},
      {{"a.mp4", "--out"}, Mode::Join},
      // Lookalikes stay inputs.
      {{"--help=all", "-help", "--HELP", "-H", "-v", "-V", "--versions"}, Mode::Join},
  };
  for (const auto& [arguments, mode] : cases) {
    std::string shown;
    for (const std::string& a : arguments) shown += a + " ";
    EXPECT_EQ(cli::choose_mode(arguments), mode) << shown;
  }
}

struct NameCase {
  const char* input;
  std::optional<std::string> output;
};

TEST(DefaultOutputPath, FinalComponentPlusJoinedInSameDirectory) {
  const NameCase cases[] = {
      {"clips/GX010001.MP4", "clips/GX010001.MP4_joined.mp4"},
      {"take1", "take1_joined.mp4"},
      {"/media/card/DJI_0001.MP4", "/media/card/DJI_0001.MP4_joined.mp4"},
      {"./a.mp4", "./a.mp4_joined.mp4"},
      {"a.tar.mp4", "a.tar.mp4_joined.mp4"},
      {".hidden", ".hidden_joined.mp4"},
      {"...", "..._joined.mp4"},
      {"clips/", "clips_joined.mp4"},    // a directory given with a trailing slash
      {"a//b//", "a//b_joined.mp4"},
      {"/", std::nullopt},
      {"///", std::nullopt},
      {".", std::nullopt},
      {"..", std::nullopt},
      {"clips/.", std::nullopt},
      {"clips/..", std::nullopt},
      {"../..", std::nullopt},
      {"clips/../", std::nullopt},
  };
  for (const NameCase& c : cases) EXPECT_EQ(cli::default_output_path(c.input), c.output) << c.input;
}

TEST(PathExists, FollowsSymbolicLinks) {
  TempDir dir;
  const std::string file = dir.file("a.mp4");
  write_file(file, Bytes{1, 2, 3});
  ASSERT_EQ(::symlink(file.c_str(), dir.file("link").c_str()), 0);
  ASSERT_EQ(::symlink(dir.file("gone").c_str(), dir.file("dangling").c_str()), 0);
  const std::pair<std::string, bool> cases[] = {
      {file, true},
      {dir.file("link"), true},
      {dir.file("dangling"), false},
      {dir.path().string(), true},   // a directory exists too
      {dir.file("a.mp4/x"), false},  // ENOTDIR on the way
      {dir.file("nothing"), false},
      {"", false},
  };
  for (const auto& [path, exists] : cases) EXPECT_EQ(cli::path_exists(path), exists) << path;
}

TEST(Messages, ProgressHasTwoDecimalsAndNoLineBreak) {
  const std::pair<double, const char*> cases[] = {
      {0.0, "\rMerging... 0.00%"},       {1.0 / 30, "\rMerging... 3.33%"},  {0.1, "\rMerging... 10.00%"},
      {0.55, "\rMerging... 55.00%"},     {0.123456, "\rMerging... 12.35%"}, {0.9999, "\rMerging... 99.99%"},
      {1.0, "\rMerging... 100.00%"},
  };
  for (const auto& [fraction, text] : cases) EXPECT_EQ(cli::progress_text(fraction), text) << fraction;
}

TEST(Messages, ElapsedTimeCutToMillisecondsWithThreeDecimals) {
  const std::string blanks(16, ' ');
  const std::pair<std::chrono::nanoseconds, std::string> cases[] = {
      {2345600us, "2.345"},  // cut, not rounded
      {0ns, "0.000"},
      {999999us, "0.999"},
      {1ms, "0.001"},
      {999us, "0.000"},
      {3723s + 500us, "3723.000"},
      {61s + 70ms, "61.070"},
  };
  for (const auto& [elapsed, seconds] : cases)
    EXPECT_EQ(cli::done_text(elapsed), "\rDone in " + seconds + "s" + blanks + "\n") << elapsed.count();
}

TEST(Messages, Texts) {
  EXPECT_EQ(cli::version_text(), "reelknit " REELKNIT_VERSION "\n");
  for (const char* option : {"--out output", "--chapters path", "-h, --help", "--version", "--no-fsync"})
    EXPECT_NE(cli::help_text().find(option), std::string::npos) << option;
  EXPECT_EQ(cli::merging_file_text("clips/a.mp4"), "Merging file clips/a.mp4\n");
  EXPECT_EQ(cli::no_inputs_text(), "No input files!\n");
  EXPECT_EQ(cli::output_file_text("a.mp4_joined.mp4"), "Output file a.mp4_joined.mp4\n");
  EXPECT_EQ(cli::fatal_error_text(Error::from_errno(ENOENT)),
            "Error: No such file or directory (entity not found, os error 2)\n");
  EXPECT_EQ(cli::fatal_error_text(Error(ErrorKind::UnexpectedEof, "failed to fill whole buffer")),
            "Error: failed to fill whole buffer (unexpected end of file)\n");
  const std::string no_name = cli::no_output_name_text("..");
  EXPECT_NE(no_name.find(".."), std::string::npos);
  EXPECT_NE(no_name.find("--out"), std::string::npos);
  EXPECT_EQ(no_name.find('\n'), no_name.size() - 1);  // one line
}

TEST(Messages, AStoppedRunNamesTheSignalAndTheOutput) {
  EXPECT_EQ(cli::stopped_text(SIGINT, "trip.mp4"),
            "Stopped by SIGINT before the join was finished: nothing was written to trip.mp4\n");
  EXPECT_EQ(cli::signal_name(SIGTERM), "SIGTERM");
  EXPECT_EQ(cli::signal_name(SIGHUP), "SIGHUP");
  EXPECT_EQ(cli::signal_name(SIGUSR1), "signal " + std::to_string(SIGUSR1));
}

}  // namespace
}  // namespace reelknit::testing
