// The built reelknit program, run as a user runs it: the exact bytes it says
// on standard output and standard error, its exit status, the file it writes
// and the file time that file ends up with.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <ctime>
#include <filesystem>
#include <map>
#include <regex>
#include <set>

#include "bin/cli.h"
#include "support/join_check.h"
#include "support/mp4_builder.h"
#include "support/mp4_inspect.h"
#include "support/run.h"
#include "support/skips.h"
#include "support/temp_dir.h"

extern char** environ;

namespace reelknit::testing {
namespace {

namespace fs = std::filesystem;

const std::string BINARY = REELKNIT_BINARY;

Bytes small_movie(std::uint8_t fill, std::size_t video_samples) {
  std::vector<std::uint32_t> video_sizes;
  for (std::size_t i = 0; i < video_samples; ++i) video_sizes.push_back(static_cast<std::uint32_t>(30 + i * 5));
  MoviePlan plan = two_track_plan(video_sizes, {11, 12, 13, 14, 15}, fill);
  plan.tracks[1].media_timescale = 48000;
  plan.tracks[1].sample_delta = 1024;
  return make_movie(plan);
}

struct Stamp {
  std::int64_t seconds;
  long nanoseconds;
  bool operator==(const Stamp&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Stamp& s) { return out << s.seconds << "s+" << s.nanoseconds << "ns"; }

void set_modified(const std::string& path, Stamp modified) {
  const struct timespec times[2] = {{1000, 0}, {static_cast<time_t>(modified.seconds), modified.nanoseconds}};
  ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0) << path;
}

std::pair<Stamp, Stamp> accessed_and_modified(const std::string& path) {
  struct stat info {};
  EXPECT_EQ(::stat(path.c_str(), &info), 0) << path;
  return {{info.st_atim.tv_sec, info.st_atim.tv_nsec}, {info.st_mtim.tv_sec, info.st_mtim.tv_nsec}};
}

/// Every path below `root`, relative, directories included.
std::set<std::string> listing(const fs::path& root) {
  std::set<std::string> paths;
  for (const auto& entry : fs::recursive_directory_iterator(root))
    paths.insert(fs::relative(entry.path(), root).string());
  return paths;
}

/// Standard output of a run, cut into the lines before the progress, the
/// progress reports and the final line.
struct Transcript {
  std::string head;
  std::vector<std::string> reports;
  std::string done;  ///< empty when there is no line that begins "\rDone in "
};

Transcript split_output(const std::string& out) {
  Transcript t;
  std::size_t at = out.find('\r');
  t.head = out.substr(0, at);
  while (at != std::string::npos) {
    const std::size_t next = out.find('\r', at + 1);
    std::string chunk = out.substr(at, next == std::string::npos ? std::string::npos : next - at);
    if (chunk.rfind("\rDone in ", 0) == 0)
      t.done += chunk;
    else
      t.reports.push_back(chunk);
    at = next;
  }
  return t;
}

/// Reports look like "\rMerging... 12.34%", never go back, and the last one is 100.00%.
void expect_progress(const std::vector<std::string>& reports) {
  ASSERT_FALSE(reports.empty());
  const std::regex format(R"(\rMerging\.\.\. (\d{1,3}\.\d{2})%)");
  double previous = 0;
  for (const std::string& report : reports) {
    std::smatch match;
    ASSERT_TRUE(std::regex_match(report, match, format)) << report;
    const double percent = std::stod(match[1]);
    EXPECT_GE(percent, previous) << report;
    previous = percent;
  }
  EXPECT_EQ(reports.back(), "\rMerging... 100.00%");
}

void expect_done_line(const std::string& done) {
  EXPECT_TRUE(std::regex_match(done, std::regex(R"(\rDone in \d+\.\d{3}s {16}\n)"))) << done;
}

/// a.mp4 and b.mp4 differ in every sample; clips/c.mp4 lies one directory down;
/// each has its own modification time, so the output shows whose it took.
class ProgramTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directory(dir.path() / "clips");
    movies = {{"a.mp4", small_movie(1, 6)}, {"b.mp4", small_movie(60, 9)}, {"clips/c.mp4", small_movie(120, 4)}};
    const std::map<std::string, Stamp> stamps = {
        {"a.mp4", {1700000000, 500000000}}, {"b.mp4", {1600000000, 250000000}}, {"clips/c.mp4", {1500000000, 7}}};
    for (const auto& [name, bytes] : movies) {
      write_file(dir.file(name), bytes);
      set_modified(dir.file(name), stamps.at(name));
      modified[name] = stamps.at(name);
    }
    ASSERT_EQ(::symlink("b.mp4", dir.file("link.mp4").c_str()), 0);
    ASSERT_EQ(::symlink("gone.mp4", dir.file("dangling.mp4").c_str()), 0);
    modified["link.mp4"] = modified["b.mp4"];
    movies["link.mp4"] = movies["b.mp4"];
    write_file(dir.file("bad.mp4"), text("not a movie"));
  }

  RunResult run(const std::vector<std::string>& arguments, const std::string& subdirectory = "") {
    std::vector<std::string> argv = {BINARY};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    return run_program(argv, (dir.path() / subdirectory).string());
  }

  TempDir dir;
  std::map<std::string, Bytes> movies;
  std::map<std::string, Stamp> modified;
};

struct JoinCase {
  const char* name;
  std::vector<std::string> arguments;
  std::string head;  ///< standard output before the progress reports
  std::string err;
  std::string output;
  std::vector<std::string> joined;  ///< the inputs the output is made of, in order
  std::vector<std::string> absent;  ///< files that must not have been created
};
void PrintTo(const JoinCase& c, std::ostream* out) { *out << c.name; }

class ProgramJoins : public ProgramTest, public ::testing::WithParamInterface<JoinCase> {};

TEST_P(ProgramJoins, SaysWhatItJoinsAndWritesTheOutput) {
  const JoinCase& c = GetParam();
  const std::time_t started = std::time(nullptr);

  const RunResult result = run(c.arguments);

  EXPECT_EQ(result.exit_status, 0);
  EXPECT_EQ(result.err, c.err);
  const Transcript out = split_output(result.out);
  EXPECT_EQ(out.head, c.head);
  expect_progress(out.reports);
  expect_done_line(out.done);

  std::vector<Movie> inputs;
  for (const std::string& name : c.joined) inputs.push_back(inspect_movie(movies.at(name)));
  const Movie output = inspect_movie(read_file(dir.file(c.output)));
  expect_joined(inputs, output);
  for (const std::string& name : c.absent) EXPECT_FALSE(fs::exists(dir.path() / name)) << name;

  // The first input's modification time to the nanosecond; the access time is the output's own.
  const auto [accessed, output_modified] = accessed_and_modified(dir.file(c.output));
  EXPECT_EQ(output_modified, modified.at(c.joined.front()));
  EXPECT_GE(accessed.seconds, started - 1);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ProgramJoins,
    ::testing::Values(
        JoinCase{"TwoInputsDefaultName",
                 {"a.mp4", "b.mp4"},
                 "Merging file a.mp4\nMerging file b.mp4\nOutput file a.mp4_joined.mp4\n",
                 "",
                 "a.mp4_joined.mp4",
                 {"a.mp4", "b.mp4"},
                 {}},
        JoinCase{"OutBeforeInputs",
                 {"--out", "joined.mp4", "a.mp4", "b.mp4"},
                 "Merging file a.mp4\nMerging file b.mp4\nOutput file joined.mp4\n",
                 "",
                 "joined.mp4",
                 {"a.mp4", "b.mp4"},
                 {"a.mp4_joined.mp4"}},
        JoinCase{"OutAfterInputs",
                 {"a.mp4", "b.mp4", "--out", "joined.mp4"},
                 "Merging file a.mp4\nMerging file b.mp4\nOutput file joined.mp4\n",
                 "",
                 "joined.mp4",
                 {"a.mp4", "b.mp4"},
                 {"a.mp4_joined.mp4"}},
        JoinCase{"LastOfTwoOuts",
                 {"b.mp4", "--out", "x.mp4", "--out", "y.mp4", "a.mp4"},
                 "Merging file b.mp4\nMerging file a.mp4\nOutput file y.mp4\n",
                 "",
                 "y.mp4",
                 {"b.mp4", "a.mp4"},
                 {"x.mp4", "b.mp4_joined.mp4"}},
        JoinCase{"TrailingOutIgnored",
                 {"a.mp4", "b.mp4", "--out"},
                 "Merging file a.mp4\nMerging file b.mp4\nOutput file a.mp4_joined.mp4\n",
                 "",
                 "a.mp4_joined.mp4",
                 {"a.mp4", "b.mp4"},
                 {}},
        JoinCase{"MissingInputSkipped",
                 {"missing.mp4", "b.mp4", "dangling.mp4", "a.mp4"},
                 "Merging file b.mp4\nMerging file a.mp4\nOutput file b.mp4_joined.mp4\n",
                 "File doesn't exist missing.mp4\nFile doesn't exist dangling.mp4\n",
                 "b.mp4_joined.mp4",
                 {"b.mp4", "a.mp4"},
                 {"missing.mp4_joined.mp4"}},
        JoinCase{"LookalikeOfOutIsAnInput",
                 {"--out=x.mp4", "a.mp4"},
                 "Merging file a.mp4\nOutput file a.mp4_joined.mp4\n",
                 "File doesn't exist --out=x.mp4\n",
                 "a.mp4_joined.mp4",
                 {"a.mp4"},
                 {"x.mp4"}},
        JoinCase{"DefaultNextToInputInDirectory",
                 {"clips/c.mp4", "a.mp4"},
                 "Merging file clips/c.mp4\nMerging file a.mp4\nOutput file clips/c.mp4_joined.mp4\n",
                 "",
                 "clips/c.mp4_joined.mp4",
                 {"clips/c.mp4", "a.mp4"},
                 {"c.mp4_joined.mp4"}},
        JoinCase{"LinkedInputFollowed",
                 {"link.mp4", "a.mp4"},
                 "Merging file link.mp4\nMerging file a.mp4\nOutput file link.mp4_joined.mp4\n",
                 "",
                 "link.mp4_joined.mp4",
                 {"link.mp4", "a.mp4"},
                 {}},
        // Only an option where an option may stand: after --out, --help names the output.
        JoinCase{"HelpAfterOutNamesTheOutput",
                 {"a.mp4", "b.mp4", "--out", "--help"},
                 "Merging file a.mp4\nMerging file b.mp4\nOutput file --help\n",
                 "",
                 "--help",
                 {"a.mp4", "b.mp4"},
                 {"a.mp4_joined.mp4"}},
        JoinCase{"SameInputJoinedTwice",
                 {"a.mp4", "a.mp4"},
                 "Merging file a.mp4\nMerging file a.mp4\nOutput file a.mp4_joined.mp4\n",
                 "",
                 "a.mp4_joined.mp4",
                 {"a.mp4", "a.mp4"},
                 {}}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

struct QuietCase {
  const char* name;
  std::vector<std::string> arguments;
  std::string subdirectory;
  int status;
  std::string out;
  std::string err;
};
void PrintTo(const QuietCase& c, std::ostream* out) { *out << c.name; }

class ProgramJoinsNothing : public ProgramTest, public ::testing::WithParamInterface<QuietCase> {};

TEST_P(ProgramJoinsNothing, SaysWhyAndCreatesNothing) {
  const QuietCase& c = GetParam();
  const auto before = listing(dir.path());

  const RunResult result = run(c.arguments, c.subdirectory);

  EXPECT_EQ(result.exit_status, c.status);
  EXPECT_EQ(result.out, c.out);
  EXPECT_EQ(result.err, c.err);
  EXPECT_EQ(listing(dir.path()), before);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ProgramJoinsNothing,
    ::testing::Values(
        QuietCase{"NoArguments", {}, "", 0, "", "No input files!\n"},
        QuietCase{"OnlyMissingInputs",
                  {"missing.mp4", "dangling.mp4"},
                  "",
                  0,
                  "",
                  "File doesn't exist missing.mp4\nFile doesn't exist dangling.mp4\nNo input files!\n"},
        QuietCase{"OutAlone", {"--out", "x.mp4"}, "", 0, "", "No input files!\n"},
        QuietCase{"Help", {"--help"}, "", 0, cli::help_text(), ""},
        QuietCase{"ShortHelp", {"-h"}, "", 0, cli::help_text(), ""},
        QuietCase{"Version", {"--version"}, "", 0, "reelknit " REELKNIT_VERSION "\n", ""},
        // Asking for help joins nothing and checks no input, wherever it is asked.
        QuietCase{"HelpAfterInputs", {"a.mp4", "missing.mp4", "b.mp4", "--help"}, "", 0, cli::help_text(), ""},
        QuietCase{"HelpAmongOut", {"--out", "x.mp4", "a.mp4", "-h", "b.mp4"}, "", 0, cli::help_text(), ""},
        QuietCase{"VersionAfterInputs", {"a.mp4", "b.mp4", "--version"}, "", 0, "reelknit " REELKNIT_VERSION "\n", ""},
        QuietCase{"FirstOfVersionAndHelp", {"--version", "--help"}, "", 0, "reelknit " REELKNIT_VERSION "\n", ""},
        QuietCase{"OutNamingAnInputAlone", {"--out", "a.mp4"}, "", 0, "", "No input files!\n"},
        QuietCase{"RootHasNoName",
                  {"/"},
                  "",
                  1,
                  "Merging file /\n",
                  "Cannot form an output file name from /; name the output file with --out\n"},
        QuietCase{"ParentHasNoName",
                  {"..", "c.mp4"},
                  "clips",
                  1,
                  "Merging file ..\nMerging file c.mp4\n",
                  "Cannot form an output file name from ..; name the output file with --out\n"},
        QuietCase{"DotHasNoName",
                  {".", "a.mp4"},
                  "",
                  1,
                  "Merging file .\nMerging file a.mp4\n",
                  "Cannot form an output file name from .; name the output file with --out\n"},
        QuietCase{"PathEndingInParentHasNoName",
                  {"clips/..", "b.mp4"},
                  "",
                  1,
                  "Merging file clips/..\nMerging file b.mp4\n",
                  "Cannot form an output file name from clips/..; name the output file with --out\n"}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

struct FailureCase {
  const char* name;
  std::vector<std::string> arguments;
  std::string head;
  bool progress_shown;
  std::string err;  ///< the last line of standard error, exactly
  std::string output;
  std::string context;  ///< what the lines above the error must name: the input or the step at fault
};

/// Standard error of a failed run: the library's last steps, then the error's own line.
struct FailureReport {
  std::string context;
  std::string error_line;
};

FailureReport split_report(const std::string& err) {
  const auto line_start = err.rfind('\n', err.size() >= 2 ? err.size() - 2 : 0);
  if (line_start == std::string::npos || err.empty()) return {"", err};
  return {err.substr(0, line_start + 1), err.substr(line_start + 1)};
}
void PrintTo(const FailureCase& c, std::ostream* out) { *out << c.name; }

class ProgramFails : public ProgramTest, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(ProgramFails, ReportsTheErrorAndExits101) {
  const FailureCase& c = GetParam();
  const Bytes a_before = read_file(dir.file("a.mp4"));

  const RunResult result = run(c.arguments);

  EXPECT_EQ(result.exit_status, 101);
  const Transcript out = split_output(result.out);
  EXPECT_EQ(out.head, c.head);
  EXPECT_EQ(out.done, "");
  EXPECT_EQ(!out.reports.empty(), c.progress_shown);
  for (const std::string& report : out.reports) EXPECT_NE(report, "\rMerging... 100.00%");
  const FailureReport report = split_report(result.err);
  // One line a person can act on, the last: the message, then the kind (and OS error number) in parentheses.
  EXPECT_EQ(report.error_line, c.err);
  // Above it, what the library was doing, naming the input or the step at fault.
  EXPECT_TRUE(report.context.rfind("What reelknit was doing:\n", 0) == 0) << result.err;
  EXPECT_NE(report.context.find(c.context), std::string::npos) << result.err;
  EXPECT_EQ(read_file(dir.file("a.mp4")), a_before);
  // No file time copy after a failure.
  if (!c.output.empty() && fs::exists(dir.path() / c.output)) {
    EXPECT_NE(accessed_and_modified(dir.file(c.output)).second, modified.at("a.mp4"));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ProgramFails,
    ::testing::Values(
        FailureCase{"OutputDirectoryMissing",
                    {"a.mp4", "--out", "nowhere/x.mp4"},
                    "Merging file a.mp4\nOutput file nowhere/x.mp4\n",
                    true,  // the input is read before the output is created
                    "Error: nowhere/x.mp4: No such file or directory (entity not found, os error 2)\n",
                    "",
                    "Creating the output nowhere/x.mp4"},
        FailureCase{"FirstInputNotAMovie",
                    {"bad.mp4", "a.mp4"},
                    "Merging file bad.mp4\nMerging file a.mp4\nOutput file bad.mp4_joined.mp4\n",
                    false,
                    // "not a movie" read as a box header: size "not ", type "a mo".
                    "Error: bad.mp4: the a mo box at offset 0 declares 1852797984 bytes, 1852797973 more than the file holds; "
                    "the file is truncated or damaged (unexpected end of file)\n",
                    "",
                    "Reading input 1 of 2: bad.mp4"},
        FailureCase{"LaterInputNotAMovie",
                    {"a.mp4", "bad.mp4", "--out", "joined.mp4"},
                    "Merging file a.mp4\nMerging file bad.mp4\nOutput file joined.mp4\n",
                    true,
                    "Error: bad.mp4: the a mo box at offset 0 declares 1852797984 bytes, 1852797973 more than the file holds; "
                    "the file is truncated or damaged (unexpected end of file)\n",
                    "joined.mp4",
                    "Reading input 2 of 2: bad.mp4"},
        FailureCase{"OutputIsAnInput",
                    {"b.mp4", "a.mp4", "--out", "a.mp4"},
                    "Merging file b.mp4\nMerging file a.mp4\nOutput file a.mp4\n",
                    false,
                    "Error: the output file a.mp4 is one of the inputs; refusing to overwrite it (invalid input parameter)\n",
                    "",
                    "Opening input 2: a.mp4"},
        // A directory is refused when it is opened, before the output is created.
        FailureCase{"DirectoryInput",
                    {"a.mp4", "clips", "--out", "joined.mp4"},
                    "Merging file a.mp4\nMerging file clips\nOutput file joined.mp4\n",
                    false,
                    "Error: clips: Is a directory (is a directory, os error 21)\n",
                    "",
                    "Opening input 2: clips"}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

TEST_F(ProgramTest, StandardOutputThatCannotBeWrittenEndsTheRun) {
  if (!fs::exists("/dev/full")) GTEST_SKIP() << record_skip("no /dev/full");
  std::string command = "cd '" + dir.path().string() + "' && exec";
  for (const std::string& word : program_command({BINARY, "a.mp4", "b.mp4"})) command += " '" + word + "'";
  const RunResult result = run_shell(command + " >/dev/full");
  EXPECT_EQ(result.exit_status, 101);
  EXPECT_EQ(split_report(result.err).error_line, "Error: No space left on device (no storage space, os error 28)\n");
}

/// Runs the program with standard output on a pipe nobody reads any more.
RunResult run_into_closed_pipe(const std::vector<std::string>& program) {
  std::vector<std::string> argv = program_command(program);
  int ends[2];
  if (::pipe(ends) != 0) throw std::runtime_error("pipe failed");
  ::close(ends[0]);
  TempDir capture;
  const std::string err_path = capture.file("err");
  const pid_t pid = spawn_into_pipe(argv, -1, ends[1], err_path);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
  }
  RunResult result;
  result.exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  const Bytes err = read_file(err_path);
  result.err.assign(err.begin(), err.end());
  return result;
}

TEST_F(ProgramTest, ReaderGoneIsAFailedWriteNotASignal) {
  const RunResult result = run_into_closed_pipe({BINARY, dir.file("a.mp4"), dir.file("b.mp4")});
  EXPECT_EQ(result.exit_status, 101);
  EXPECT_EQ(split_report(result.err).error_line, "Error: Broken pipe (other error, os error 32)\n");
}

}  // namespace
}  // namespace reelknit::testing
