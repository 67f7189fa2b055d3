// A join is all or nothing: the output's path holds a finished join or what
// it held before, never a file cut short, and no partial file stays behind.
// In memory for every call that puts the output in place, and on real files
// for what only the system shows (modes, links, named pipes, devices).
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <future>
#include <iterator>
#include <set>
#include <thread>

#include "io/output_file.h"
#include "join/join_seams.h"
#include "reelknit/join.h"
#include "support/join_check.h"
#include "support/memory_join.h"
#include "support/mp4_builder.h"
#include "support/mp4_inspect.h"
#include "support/temp_dir.h"

namespace reelknit::testing {
namespace {

namespace fs = std::filesystem;

/// Large enough that the media data passes the 64 KiB output buffer in whole blocks.
Bytes recording(std::uint8_t fill) {
  MoviePlan plan = two_track_plan({90000, 1200, 70000, 800, 500}, {300, 310, 290, 305}, fill);
  plan.tracks[0].sync_samples = {1, 3};
  return make_movie(plan);
}

const Bytes EARLIER = text("an earlier file at the output's path");

MemoryJoinFiles two_recordings() {
  MemoryJoinFiles files;
  files.inputs = {std::make_shared<Bytes>(recording(10)), std::make_shared<Bytes>(recording(60))};
  return files;
}

/// Writes that reach the middle of the first input's media data fail.
Faults output_error_at_half() {
  Faults faults;
  faults.write_error_at = 100000;
  faults.write_errno = EIO;
  return faults;
}

/// A clock that moves on a second at every look, so that every write reports progress.
Clock racing_clock() {
  return [now = Instant{}]() mutable { return now += std::chrono::seconds(1); };
}

TEST(PartialFile, NamedAfterTheOutputInItsFolder) {
  const std::pair<std::string, std::string> cases[] = {
      {"out.mp4", ".out.mp4.reelknit-partial"},
      {"clips/out.mp4", "clips/.out.mp4.reelknit-partial"},
      {"/card/DCIM/GX010001.MP4_joined.mp4", "/card/DCIM/.GX010001.MP4_joined.mp4.reelknit-partial"},
  };
  for (const auto& [output, partial] : cases) EXPECT_EQ(partial_path_of(output), partial);
  EXPECT_EQ(partial_path_of("clips/out.mp4", 3), "clips/.out.mp4.reelknit-partial-3");
  EXPECT_EQ(folder_of("out.mp4"), ".");
  EXPECT_EQ(folder_of("/out.mp4"), "/");
  EXPECT_EQ(folder_of("a/b/out.mp4"), "a/b");
}

// The file is on the disk before it takes the output's name, and the name is
// on the disk before the join says it is done; without sync, neither waits.
TEST(PartialFile, SyncedThenRenamedThenTheFolderSynced) {
  for (const bool sync : {true, false}) {
    SCOPED_TRACE(sync ? "synced" : "not synced");
    MemoryJoinFiles files = two_recordings();
    files.folder.files["output"] = std::make_shared<Bytes>(EARLIER);
    std::vector<std::size_t> events_at_reports;
    JoinOptions options;
    options.sync = sync;
    options.progress = [&](double) { events_at_reports.push_back(files.folder.events.size()); };
    const Status status = join_memory_files(files, options);
    ASSERT_TRUE(status) << status.error().describe();
    std::vector<std::string> expected = {"create new .output.reelknit-partial"};
    if (sync) expected.push_back("sync .output.reelknit-partial");
    expected.push_back("rename .output.reelknit-partial to output");
    if (sync) expected.push_back("sync folder .");
    EXPECT_EQ(files.folder.events, expected);
    EXPECT_EQ(files.folder.paths(), std::vector<std::string>{"output"});
    EXPECT_EQ(*files.output, join_in_memory({recording(10), recording(60)}).output);
    // The final report, which the command follows with "Done", comes after everything.
    ASSERT_FALSE(events_at_reports.empty());
    EXPECT_EQ(events_at_reports.back(), expected.size());
  }
}

struct FailingCall {
  const char* name;
  const char* call;  ///< as MemoryFolder names it
  int code;
  bool joined;       ///< the join still succeeds
  const char* message;
};

// Whatever call fails before the rename, the earlier file stays and the
// partial file goes; a folder that cannot be synced after the rename leaves
// the finished join in place.
TEST(PartialFile, AFailingCallLeavesTheEarlierFileOrTheWholeJoin) {
  const FailingCall cases[] = {
      {"the file's sync", "sync", EIO, false, "Input/output error"},
      {"the rename", "rename", EIO, false, "output: Input/output error"},
      {"the folder's sync", "sync folder", EIO, true, ""},
      {"creating the partial file", "create new", ENOSPC, false, "output: No space left on device"},
  };
  const Bytes joined = join_in_memory({recording(10), recording(60)}).output;
  for (const FailingCall& c : cases) {
    SCOPED_TRACE(c.name);
    MemoryJoinFiles files = two_recordings();
    files.folder.files["output"] = std::make_shared<Bytes>(EARLIER);
    files.folder.failing[c.call] = c.code;
    const Status status = join_memory_files(files);
    EXPECT_EQ(files.folder.paths(), std::vector<std::string>{"output"});
    if (c.joined) {
      ASSERT_TRUE(status) << status.error().describe();
      EXPECT_EQ(*files.output, joined);
      continue;
    }
    ASSERT_FALSE(status);
    EXPECT_EQ(status.error().os_error(), c.code);
    EXPECT_EQ(status.error().message(), c.message);
    EXPECT_EQ(*files.output, EARLIER);
  }
}

// A partial file a killed join left behind is neither used nor removed.
TEST(PartialFile, ANameTakenByAnotherPartialFileIsPassedOver) {
  MemoryJoinFiles files = two_recordings();
  files.folder.files[".output.reelknit-partial"] = std::make_shared<Bytes>(text("left by a killed join"));
  files.folder.files[".output.reelknit-partial-2"] = std::make_shared<Bytes>(text("and another"));
  const Status status = join_memory_files(files);
  ASSERT_TRUE(status) << status.error().describe();
  EXPECT_EQ(files.folder.paths(),
            (std::vector<std::string>{".output.reelknit-partial", ".output.reelknit-partial-2", "output"}));
  EXPECT_EQ(*files.folder.files.at(".output.reelknit-partial"), text("left by a killed join"));
  EXPECT_EQ(*files.output, join_in_memory({recording(10), recording(60)}).output);
}

// A stop asked for at any progress report, the reading's or the writing's,
// ends the join as stopped, with the earlier file as it was and no partial
// file. A stop asked for before the join reads nothing at all.
TEST(StoppedJoin, AfterAnyNumberOfReportsLeavesNothing) {
  int reports_of_a_whole_join = 0;
  {
    MemoryJoinFiles files = two_recordings();
    ASSERT_TRUE(join_memory_files(files, JoinOptions{[&](double) { ++reports_of_a_whole_join; }}, racing_clock()));
  }
  ASSERT_GT(reports_of_a_whole_join, 4) << "too few reports to stop between";
  // The last report comes once the output is in place: a stop after it changes nothing.
  for (int stop_after = 0; stop_after < reports_of_a_whole_join; ++stop_after) {
    SCOPED_TRACE("stopped after " + std::to_string(stop_after) + " of " + std::to_string(reports_of_a_whole_join) +
                 " reports");
    MemoryJoinFiles files = two_recordings();
    files.folder.files["output"] = std::make_shared<Bytes>(EARLIER);
    std::atomic<bool> stop{stop_after == 0};
    int reports = 0;
    JoinOptions options;
    options.stop = &stop;
    options.progress = [&](double) {
      if (++reports == stop_after) stop = true;
    };
    const Status status = join_memory_files(files, options, racing_clock());
    ASSERT_FALSE(status) << "the join went on to the end";
    EXPECT_EQ(status.error().kind(), ErrorKind::Cancelled) << status.error().describe();
    EXPECT_EQ(status.error().describe(), "the join was stopped before it was finished (operation cancelled)");
    EXPECT_EQ(reports, stop_after) << "a report after the stop";
    EXPECT_EQ(files.folder.paths(), std::vector<std::string>{"output"});
    EXPECT_EQ(*files.output, EARLIER);
  }
}

TEST(StoppedJoin, StopAskedForFromAnotherThread) {
  MemoryJoinFiles files = two_recordings();
  std::atomic<bool> stop{false};
  std::promise<void> first_report;
  std::atomic<bool> reported{false};
  JoinOptions options;
  options.stop = &stop;
  // The join waits at its first report until the other thread has asked it to stop.
  options.progress = [&](double) {
    if (reported.exchange(true)) return;
    first_report.set_value();
    while (!stop) std::this_thread::yield();
  };
  std::thread stopper([&] {
    first_report.get_future().wait();
    stop = true;
  });
  const Status status = join_memory_files(files, options, racing_clock());
  stopper.join();
  ASSERT_FALSE(status);
  EXPECT_EQ(status.error().kind(), ErrorKind::Cancelled);
  EXPECT_EQ(files.folder.paths(), std::vector<std::string>{});
}

// A device or named pipe takes the bytes where it is; a folder where no new
// file can be made has the output written in place, emptied if the join fails.
TEST(OutputInPlace, DevicesAndFoldersThatTakeNoNewFile) {
  {
    SCOPED_TRACE("a device");
    MemoryJoinFiles files = two_recordings();
    files.folder.others["output"] = FileType::CharacterDevice;
    ASSERT_TRUE(join_memory_files(files));
    EXPECT_EQ(files.folder.events, std::vector<std::string>{"create in place output"}) << "no sync, no rename";
  }
  for (const int code : {EACCES, EPERM, ENAMETOOLONG}) {
    SCOPED_TRACE("no new file: " + std::string(std::strerror(code)));
    MemoryJoinFiles files = two_recordings();
    files.folder.files["output"] = std::make_shared<Bytes>(EARLIER);
    files.folder.failing["create new"] = code;
    ASSERT_TRUE(join_memory_files(files));
    EXPECT_EQ(files.folder.events,
              (std::vector<std::string>{"create new .output.reelknit-partial", "create in place output", "sync output"}));
    EXPECT_EQ(*files.output, join_in_memory({recording(10), recording(60)}).output);

    MemoryJoinFiles failing = two_recordings();
    failing.folder.files["output"] = std::make_shared<Bytes>(EARLIER);
    failing.folder.failing["create new"] = code;
    failing.output_faults = output_error_at_half();
    ASSERT_FALSE(join_memory_files(failing));
    EXPECT_EQ(failing.folder.paths(), std::vector<std::string>{"output"});
    EXPECT_EQ(*failing.output, Bytes{}) << "a file cut short in place is emptied";
  }
}

TEST(OutputInPlace, AFolderIsRefusedByNameBeforeAnythingIsRead) {
  MemoryJoinFiles files = two_recordings();
  files.folder.others["output"] = FileType::Directory;
  int reports = 0;
  const Status status = join_memory_files(files, JoinOptions{[&](double) { ++reports; }});
  ASSERT_FALSE(status);
  EXPECT_EQ(status.error().describe(), "output: Is a directory (is a directory, os error 21)");
  EXPECT_EQ(reports, 0);
  EXPECT_EQ(files.folder.events, std::vector<std::string>{});
}

class RealOutput : public ::testing::Test {
 protected:
  void SetUp() override {
    inputs = {dir.file("a.mp4"), dir.file("b.mp4")};
    write_file(inputs[0], recording(10));
    write_file(inputs[1], recording(60));
  }
  std::set<std::string> listing() const {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir.path())) names.insert(entry.path().filename().string());
    return names;
  }
  TempDir dir;
  std::vector<std::string> inputs;
};

// A replaced output gets the mode a new file gets, like one the join creates.
TEST_F(RealOutput, ASuccessfulJoinLeavesOnlyItsOutput) {
  const mode_t umask_was = ::umask(022);
  for (const bool earlier : {false, true}) {
    SCOPED_TRACE(earlier ? "over an earlier file" : "a new file");
    const std::string out = dir.file("out.mp4");
    if (earlier) {
      write_file(out, EARLIER);
      ASSERT_EQ(::chmod(out.c_str(), 0600), 0);
    }
    const Status status = join_files(inputs, out, nullptr);
    ASSERT_TRUE(status) << status.error().describe();
    EXPECT_EQ(listing(), (std::set<std::string>{"a.mp4", "b.mp4", "out.mp4"}));
    expect_joined({inspect_movie(recording(10)), inspect_movie(recording(60))}, inspect_movie(read_file(out)));
    struct stat info {};
    ASSERT_EQ(::stat(out.c_str(), &info), 0);
    EXPECT_EQ(static_cast<unsigned>(info.st_mode & 07777), 0644u);
  }
  ::umask(umask_was);
}

// The link keeps leading to the joined file, in the link target's folder.
TEST_F(RealOutput, AnOutputThatIsALinkReplacesItsTarget) {
  fs::create_directory(dir.path() / "elsewhere");
  write_file(dir.file("elsewhere/target.mp4"), EARLIER);
  fs::create_symlink("elsewhere/target.mp4", dir.path() / "link.mp4");
  const Status status = join_files(inputs, dir.file("link.mp4"), nullptr);
  ASSERT_TRUE(status) << status.error().describe();
  EXPECT_TRUE(fs::is_symlink(dir.path() / "link.mp4"));
  expect_joined({inspect_movie(recording(10)), inspect_movie(recording(60))},
                inspect_movie(read_file(dir.file("elsewhere/target.mp4"))));
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.path() / "elsewhere"), fs::directory_iterator()), 1)
      << "a partial file is left beside the target";
}

// A name so long that the partial file's name would pass the file system's
// limit: the output is written in place, as before partial files.
// A path with no file name in it is refused before anything is read or written.
TEST_F(RealOutput, AnOutputPathWithoutAFileName) {
  const std::pair<std::string, std::string> cases[] = {
      {"", ": No such file or directory (entity not found, os error 2)"},
      {dir.file("new/"), dir.file("new/") + ": Is a directory (is a directory, os error 21)"},
      {dir.path().string() + "/", dir.path().string() + "/: Is a directory (is a directory, os error 21)"},
  };
  for (const auto& [out, describe] : cases) {
    SCOPED_TRACE("\"" + out + "\"");
    const Status status = join_files(inputs, out, nullptr);
    ASSERT_FALSE(status);
    EXPECT_EQ(status.error().describe(), describe);
    EXPECT_EQ(listing(), (std::set<std::string>{"a.mp4", "b.mp4"}));
  }
}

TEST_F(RealOutput, ANameTooLongForThePartialFileIsWrittenInPlace) {
  const std::string out = dir.file(std::string(240, 'x') + ".mp4");
  write_file(out, EARLIER);
  const Status status = join_files(inputs, out, nullptr);
  ASSERT_TRUE(status) << status.error().describe();
  EXPECT_EQ(listing().size(), 3u);
  expect_joined({inspect_movie(recording(10)), inspect_movie(recording(60))}, inspect_movie(read_file(out)));
}

/// Makes a listening Unix socket at `path`; returns its descriptor.
int make_socket(const std::string& path) {
  const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
  if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return -1;
  return fd;
}

// Anything but a regular file is refused by name, before it is opened for
// reading: a named pipe without a writer would wait forever, /dev/zero never
// ends. The refusal must come at once, so the join runs on a thread that the
// test can free by giving the pipe a writer.
TEST_F(RealOutput, InputsThatAreNoRegularFilesAreRefusedByName) {
  ASSERT_EQ(::mkfifo(dir.file("pipe.mp4").c_str(), 0644), 0);
  fs::create_symlink("pipe.mp4", dir.path() / "link-to-pipe.mp4");
  fs::create_directory(dir.path() / "folder.mp4");
  // sun_path holds about a hundred bytes: the socket lives in a short path.
  const std::string socket_path = "/tmp/reelknit-socket-" + std::to_string(::getpid());
  const int socket_fd = make_socket(socket_path);
  struct Case {
    std::string path;
    std::string describe;
  };
  std::vector<Case> cases = {
      {dir.file("pipe.mp4"), dir.file("pipe.mp4") + ": is a named pipe (FIFO), not a regular file (invalid input parameter)"},
      {dir.file("link-to-pipe.mp4"),
       dir.file("link-to-pipe.mp4") + ": is a named pipe (FIFO), not a regular file (invalid input parameter)"},
      {dir.file("folder.mp4"), dir.file("folder.mp4") + ": Is a directory (is a directory, os error 21)"},
      {dir.file("missing.mp4"), dir.file("missing.mp4") + ": No such file or directory (entity not found, os error 2)"},
  };
  if (fs::exists("/dev/zero"))
    cases.push_back({"/dev/zero", "/dev/zero: is a character device, not a regular file (invalid input parameter)"});
  if (socket_fd >= 0)
    cases.push_back({socket_path, socket_path + ": is a socket, not a regular file (invalid input parameter)"});
  const std::string out = dir.file("out.mp4");
  for (const Case& c : cases) {
    for (const bool first : {true, false}) {
      SCOPED_TRACE(c.path + (first ? ", first" : ", second"));
      const std::vector<std::string> paths = first ? std::vector<std::string>{c.path, inputs[1]}
                                                   : std::vector<std::string>{inputs[0], c.path};
      auto joined = std::async(std::launch::async, [&] { return join_files(paths, out, nullptr); });
      if (joined.wait_for(std::chrono::seconds(20)) != std::future_status::ready) {
        // A writer ends the wait in open(2) of the pipe, so that the test can end.
        const int writer = ::open(dir.file("pipe.mp4").c_str(), O_RDWR);
        ADD_FAILURE() << "the join waited on " << c.path;
        if (writer >= 0) ::close(writer);
      }
      const Status status = joined.get();
      ASSERT_FALSE(status);
      EXPECT_EQ(status.error().describe(), c.describe);
      EXPECT_FALSE(fs::exists(out));
    }
  }
  if (socket_fd >= 0) {
    ::close(socket_fd);
    ::unlink(socket_path.c_str());
  }
}

// A join that moves its media data by clones or in-kernel copies, which no
// write of the program's own counts, still looks at the stop before each call.
TEST_F(RealOutput, StopNoticedBetweenClonesAndKernelCopies) {
  // Two inputs of 20 MiB of media data: more than one in-kernel copy each.
  MoviePlan plan = two_track_plan({10'000'000, 10'000'000, 500}, {300, 310}, 5);
  const Bytes big = make_movie(plan);
  write_file(inputs[0], big);
  write_file(inputs[1], big);
  for (const bool clones : {true, false}) {
    SCOPED_TRACE(clones ? "clones" : "in-kernel copies");
    std::atomic<bool> stop{false};
    int calls = 0;
    JoinSeams seams;
    seams.range_clone = {};
    seams.range_copy = {};
    if (clones) {
      // Every clone "succeeds" without sharing a block: the join must stop before it matters.
      seams.range_clone = [&](int, std::uint64_t, int, std::uint64_t, std::uint64_t) -> Status {
        ++calls;
        stop = true;
        return success();
      };
    } else {
      seams.range_copy = [&, copy = system_range_copy()](int from, int to, std::size_t count) -> Result<std::size_t> {
        ++calls;
        stop = true;
        if (!copy) return Error::from_errno(EOPNOTSUPP);
        return copy(from, to, count);
      };
    }
    JoinOptions options;
    options.stop = &stop;
    const Status status = join_files_with(inputs, dir.file("out.mp4"), options, seams);
    ASSERT_FALSE(status);
    EXPECT_EQ(status.error().kind(), ErrorKind::Cancelled) << status.error().describe();
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(listing(), (std::set<std::string>{"a.mp4", "b.mp4"}));
  }
}

}  // namespace
}  // namespace reelknit::testing
