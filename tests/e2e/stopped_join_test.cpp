// The built program stopped part-way as a user stops it (Ctrl-C, kill, a
// closed terminal), and on a disk that fills up part-way: it leaves what was
// at the output's path before, or nothing, never a partial file, and exits
// with the status a shell expects. Paths that cannot be joined are refused
// at once, by name.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <regex>
#include <set>
#include <stdexcept>

#include "bin/cli.h"
#include "support/loop_mount.h"
#include "support/mp4_builder.h"
#include "support/mp4_inspect.h"
#include "support/run.h"
#include "support/temp_dir.h"

extern char** environ;

namespace reelknit::testing {
namespace {

namespace fs = std::filesystem;

const std::string BINARY = REELKNIT_BINARY;
const Bytes EARLIER = text("an earlier join, which must survive the one that failed");

/// A small movie whose media-data box ends in `padding` bytes of zeros that no
/// sample points into, written as a hole: a join must copy every byte of it,
/// yet the file takes next to no disk space.
void write_padded_movie(const std::string& path, std::uint64_t padding) {
  const Bytes movie = make_movie(two_track_plan({40000, 1200, 30000}, {300, 310}, 7));
  const std::vector<BoxInfo> boxes = parse_boxes(movie);
  const BoxInfo* mdat = find_box(boxes, "mdat");
  const BoxInfo* moov = find_box(boxes, "moov");
  if (!mdat || !moov || moov->position < mdat->position || mdat->header_size != 8)
    throw std::runtime_error("the builder's movie has no 8-byte mdat before its moov");
  const std::uint64_t padded_size = mdat->size + padding;
  if (padded_size > 0xFFFFFFFFu) throw std::runtime_error("padding too large for a 32-bit box size");
  Bytes head(movie.begin(), movie.begin() + static_cast<std::ptrdiff_t>(mdat->position + mdat->size));
  const Bytes size = be32(static_cast<std::uint32_t>(padded_size));
  std::copy(size.begin(), size.end(), head.begin() + static_cast<std::ptrdiff_t>(mdat->position));
  const Bytes tail(movie.begin() + static_cast<std::ptrdiff_t>(mdat->position + mdat->size), movie.end());
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) throw std::runtime_error("cannot create " + path);
  const bool written = ::pwrite(fd, head.data(), head.size(), 0) == static_cast<ssize_t>(head.size()) &&
                       ::pwrite(fd, tail.data(), tail.size(), static_cast<off_t>(head.size() + padding)) ==
                           static_cast<ssize_t>(tail.size());
  ::close(fd);
  if (!written) throw std::runtime_error("cannot write " + path);
}

/// Every name in `folder`, hidden ones included.
std::set<std::string> listing(const fs::path& folder) {
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) names.insert(entry.path().filename().string());
  return names;
}

bool has_partial_file(const fs::path& folder) {
  for (const std::string& name : listing(folder))
    if (name.find(".reelknit-partial") != std::string::npos) return true;
  return false;
}

/// The last line of a text, its line break included.
std::string last_line(const std::string& text) {
  const auto start = text.rfind('\n', text.size() >= 2 ? text.size() - 2 : 0);
  return start == std::string::npos ? text : text.substr(start + 1);
}

struct StoppedRun {
  int exit_status = -1;       ///< -1 when it did not exit normally
  bool partial_seen = false;  ///< a partial file was there when the signal was sent
  std::string out;
  std::string err;
};

/// Runs the program with standard output on a pipe; once a report of the
/// writing (past the 10 % that reading the inputs takes) has come, sends
/// `signal_number`, then reads on to the end.
StoppedRun run_and_stop(const std::vector<std::string>& arguments, int signal_number, const fs::path& output_folder) {
  std::vector<std::string> argv = program_command(arguments);
  int ends[2];
  if (::pipe(ends) != 0) throw std::runtime_error("pipe failed");
  TempDir capture;
  const std::string err_path = capture.file("err");
  const pid_t pid = spawn_into_pipe(argv, ends[0], ends[1], err_path);

  StoppedRun run;
  const std::regex writing(R"(Merging\.\.\. (\d+\.\d{2})%)");
  bool sent = false;
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::read(ends[0], buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    run.out.append(buffer, static_cast<std::size_t>(n));
    if (sent) continue;
    for (auto match = std::sregex_iterator(run.out.begin(), run.out.end(), writing); match != std::sregex_iterator();
         ++match) {
      if (std::stod((*match)[1]) <= 10.5) continue;
      run.partial_seen = has_partial_file(output_folder);
      ::kill(pid, signal_number);
      sent = true;
      break;
    }
  }
  ::close(ends[0]);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
  }
  run.exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  const Bytes err = read_file(err_path);
  run.err.assign(err.begin(), err.end());
  return run;
}

struct SignalCase {
  const char* name;
  int signal_number;
  bool earlier_file;
};
void PrintTo(const SignalCase& c, std::ostream* out) { *out << c.name; }

class StoppedBySignal : public ::testing::TestWithParam<SignalCase> {};

// Four times a chapter of 1 GiB, most of it a hole: a join of seconds, which
// the signal, sent once the writing has begun, stops long before its end; a
// join that finished first fails the test by its exit status.
TEST_P(StoppedBySignal, LeavesTheEarlierFileOrNothing) {
  const SignalCase& c = GetParam();
  TempDir dir;
  const std::string chapter = dir.file("chapter.mp4");
  write_padded_movie(chapter, 1ull << 30);
  const std::string out = dir.file("out.mp4");
  if (c.earlier_file) write_file(out, EARLIER);
  const auto before = listing(dir.path());

  const StoppedRun run = run_and_stop({BINARY, chapter, chapter, chapter, chapter, "--out", out}, c.signal_number,
                                      dir.path());

  EXPECT_TRUE(run.partial_seen) << "the signal came before the partial file was made";
  EXPECT_EQ(run.exit_status, cli::EXIT_SIGNAL_BASE + c.signal_number) << run.err;
  EXPECT_EQ(last_line(run.err), cli::stopped_text(c.signal_number, out));
  EXPECT_EQ(run.out.find("Done in"), std::string::npos);
  EXPECT_EQ(listing(dir.path()), before) << "a partial file is left, or the earlier file is gone";
  if (c.earlier_file) {
    EXPECT_EQ(read_file(out), EARLIER);
  }
}

INSTANTIATE_TEST_SUITE_P(Signals, StoppedBySignal,
                         ::testing::Values(SignalCase{"CtrlC", SIGINT, true}, SignalCase{"Kill", SIGTERM, false},
                                           SignalCase{"ClosedTerminal", SIGHUP, true}),
                         [](const auto& param_info) { return std::string(param_info.param.name); });

// With --chapters a signal ends the whole run: the recording under way
// leaves nothing, and the recording after it is not joined.
TEST(StoppedCardRun, LeavesNothingOfTheRecordingUnderWay) {
  TempDir card;
  for (const char* chapter : {"GX010001.MP4", "GX020001.MP4", "GX030001.MP4", "GX040001.MP4"})
    write_padded_movie(card.file(chapter), 1ull << 30);
  for (const char* chapter : {"GX010002.MP4", "GX020002.MP4"}) write_padded_movie(card.file(chapter), 4096);
  const auto before = listing(card.path());

  const StoppedRun run = run_and_stop({BINARY, "--chapters", card.path().string()}, SIGINT, card.path());

  EXPECT_TRUE(run.partial_seen) << "the signal came before the partial file was made";
  EXPECT_EQ(run.exit_status, cli::EXIT_SIGNAL_BASE + SIGINT) << run.err;
  EXPECT_EQ(last_line(run.err), cli::stopped_text(SIGINT, card.file("GX010001.MP4_joined.mp4")));
  EXPECT_EQ(run.out.find("GX010002.MP4_joined.mp4"), std::string::npos) << run.out;
  EXPECT_EQ(listing(card.path()), before);
}

// A small file system fills up part-way through the join's media data: the
// earlier file stays, and the partial file is gone.
TEST(FullDisk, PartWayLeavesTheEarlierFileOrNothing) {
  LoopMount mount(xfs_with_reflinks());
  if (!mount.mounted()) GTEST_SKIP() << "no file system to fill: " << mount.refusal();
  TempDir disk;
  const std::string chapter = disk.file("chapter.mp4");
  write_padded_movie(chapter, LoopMount::IMAGE_SIZE / 2);
  for (const bool earlier : {true, false}) {
    SCOPED_TRACE(earlier ? "over an earlier file" : "a new file");
    const std::string out = mount.file("out.mp4");
    if (earlier) write_file(out, EARLIER);
    const auto before = listing(mount.path());
    const RunResult run = run_program({BINARY, chapter, chapter, chapter, "--out", out});
    EXPECT_EQ(run.exit_status, cli::EXIT_MERGE_FAILED);
    EXPECT_EQ(last_line(run.err), "Error: No space left on device (no storage space, os error 28)\n") << run.err;
    EXPECT_EQ(listing(mount.path()), before);
    if (earlier) {
      EXPECT_EQ(read_file(out), EARLIER);
    }
  }
}

// Tried as a user would: each is refused at once, by name, and nothing is
// created. `timeout` ends a run that waits on a pipe; status 124 tells.
TEST(UnusablePaths, RefusedByNameAtOnce) {
  TempDir dir;
  const std::string chapter = dir.file("a.mp4");
  write_file(chapter, make_movie(two_track_plan({400, 500}, {30, 31}, 3)));
  ASSERT_EQ(::mkfifo(dir.file("pipe.mp4").c_str(), 0644), 0);
  fs::create_directory(dir.path() / "folder");
  struct Case {
    const char* name;
    std::vector<std::string> arguments;
    std::string error_line;
  };
  std::vector<Case> cases = {
      {"a named pipe without a writer", {"a.mp4", "pipe.mp4", "--out", "o.mp4"},
       "Error: pipe.mp4: is a named pipe (FIFO), not a regular file (invalid input parameter)\n"},
      {"a folder as a chapter", {"folder", "a.mp4", "--out", "o.mp4"},
       "Error: folder: Is a directory (is a directory, os error 21)\n"},
      {"a folder as the output", {"a.mp4", "a.mp4", "--out", "folder"},
       "Error: folder: Is a directory (is a directory, os error 21)\n"},
  };
  if (fs::exists("/dev/zero"))
    cases.push_back({"a device that never ends", {"a.mp4", "/dev/zero", "--out", "o.mp4"},
                     "Error: /dev/zero: is a character device, not a regular file (invalid input parameter)\n"});
  const auto before = listing(dir.path());
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> argv = {"timeout", "60"};
    std::vector<std::string> program = {BINARY};
    program.insert(program.end(), c.arguments.begin(), c.arguments.end());
    for (std::string& word : program_command(program)) argv.push_back(word);
    const RunResult run = run_program(argv, dir.path().string());
    EXPECT_EQ(run.exit_status, cli::EXIT_MERGE_FAILED) << "124: it waited";
    EXPECT_EQ(last_line(run.err), c.error_line) << run.err;
    EXPECT_EQ(listing(dir.path()), before);
  }
}

}  // namespace
}  // namespace reelknit::testing
