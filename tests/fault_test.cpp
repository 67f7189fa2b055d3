// Faults of the file system, injected through the in-memory file and met on
// real files: a join that cannot finish ends with the error that says why,
// and never changes an input.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

#include "join/join_seams.h"
#include "reelknit/join.h"
#include "support/layout_check.h"
#include "support/memory_join.h"
#include "support/mp4_builder.h"
#include "support/mp4_inspect.h"
#include "support/run.h"
#include "support/skips.h"
#include "support/temp_dir.h"

namespace reelknit::testing {
namespace {

/// Large enough that the media data passes the 64 KiB output buffer in whole blocks.
Bytes recording(std::uint8_t fill) {
  MoviePlan plan = two_track_plan({90000, 1200, 70000, 800, 500}, {300, 310, 290, 305}, fill);
  plan.tracks[0].sync_samples = {1, 3};
  return make_movie(plan);
}

struct Fault {
  const char* name;
  std::vector<Faults> input_faults;
  Faults output_faults;
  ErrorKind kind;
  int os_error;
  const char* message;  ///< the whole message
};

class InjectedFaults : public ::testing::TestWithParam<Fault> {};

TEST_P(InjectedFaults, EndTheJoinWithTheirError) {
  const Fault& f = GetParam();
  const Bytes first = recording(10), second = recording(60);
  MemoryJoinFiles files;
  files.inputs = {std::make_shared<Bytes>(first), std::make_shared<Bytes>(second)};
  files.input_faults = f.input_faults;
  files.output_faults = f.output_faults;
  const Status status = join_memory_files(files);
  ASSERT_FALSE(status);
  EXPECT_EQ(status.error().kind(), f.kind) << status.error().describe();
  EXPECT_EQ(status.error().os_error(), f.os_error) << status.error().describe();
  EXPECT_EQ(status.error().message(), f.message);
  EXPECT_EQ(*files.inputs[0], first);
  EXPECT_EQ(*files.inputs[1], second);
  EXPECT_EQ(files.folder.paths(), std::vector<std::string>{}) << "a failed join leaves no file";
}

Faults output_zero_at(std::uint64_t position) {
  Faults faults;
  faults.write_zero_at = position;
  return faults;
}
Faults output_error_at(std::uint64_t position, int code) {
  Faults faults;
  faults.write_error_at = position;
  faults.write_errno = code;
  return faults;
}
Faults read_error_at(std::uint64_t position, int code) {
  Faults faults;
  faults.read_error_at = position;
  faults.read_errno = code;
  return faults;
}

INSTANTIATE_TEST_SUITE_P(
    Join, InjectedFaults,
    ::testing::Values(
        // Box headers go through the 64 KiB buffer; the media data in whole blocks.
        Fault{"WriteZeroInBufferedBytes", {}, output_zero_at(20), ErrorKind::WriteZero, 0,
              "failed to write the buffered data"},
        Fault{"WriteZeroInMediaBlock", {}, output_zero_at(100000), ErrorKind::WriteZero, 0,
              "failed to write whole buffer"},
        Fault{"DiskFullInMediaData", {}, output_error_at(150000, ENOSPC), ErrorKind::StorageFull, ENOSPC,
              "No space left on device"},
        Fault{"DiskFullAtFirstWrite", {}, output_error_at(0, ENOSPC), ErrorKind::StorageFull, ENOSPC,
              "No space left on device"},
        Fault{"ReadErrorInFirstMoov", {read_error_at(162000, EIO)}, {}, ErrorKind::Other, EIO, "Input/output error"},
        Fault{"ReadErrorInSecondMediaData", {{}, read_error_at(100000, EIO)}, {}, ErrorKind::Other, EIO,
              "Input/output error"}),
    [](const auto& param_info) { return param_info.param.name; });

// An error at any position of the output, whatever is being written there (a header,
// media data, a patched size or a chunk offset), ends the join with that error.
TEST(InjectedFaults, WriteErrorAnywhereInTheOutput) {
  const std::vector<Bytes> inputs = {recording(10), recording(60)};
  const MemoryJoin clean = join_in_memory(inputs);
  ASSERT_TRUE(clean.status) << clean.status.error().describe();
  const Bytes earlier = text("an earlier file at the output's path");
  for (std::uint64_t at = 0; at < clean.output.size(); at += at + 4096 < clean.output.size() ? 997 : 13) {
    MemoryJoinFiles files;
    for (const Bytes& input : inputs) files.inputs.push_back(std::make_shared<Bytes>(input));
    files.output_faults = output_error_at(at, EIO);
    files.folder.files["output"] = std::make_shared<Bytes>(earlier);
    const Status status = join_memory_files(files);
    ASSERT_FALSE(status) << "an error at " << at << " went unnoticed";
    EXPECT_EQ(status.error().kind(), ErrorKind::Other) << status.error().describe();
    EXPECT_EQ(status.error().os_error(), EIO) << status.error().describe();
    EXPECT_EQ(status.error().message(), "Input/output error");
    EXPECT_EQ(*files.inputs[0], inputs[0]);
    // The earlier file stays byte for byte, and the partial file is gone.
    ASSERT_EQ(files.folder.paths(), std::vector<std::string>{"output"}) << "an error at " << at;
    ASSERT_EQ(*files.output, earlier) << "an error at " << at;
  }
}

TEST(InjectedFaults, ShortCountsAndInterruptionsChangeNothing) {
  const std::vector<Bytes> inputs = {recording(10), recording(60)};
  const MemoryJoin clean = join_in_memory(inputs);
  ASSERT_TRUE(clean.status) << clean.status.error().describe();
  for (const auto& [max_read, max_write, interrupt_every] :
       std::vector<std::tuple<std::size_t, std::size_t, int>>{{1, 1000, 0}, {7, 65535, 2}, {16383, 1, 3}, {65537, 4097, 4}}) {
    SCOPED_TRACE(::testing::Message() << "reads of " << max_read << ", writes of " << max_write << ", EINTR every "
                                      << interrupt_every);
    MemoryJoinFiles files;
    for (const Bytes& input : inputs) files.inputs.push_back(std::make_shared<Bytes>(input));
    Faults faults;
    faults.max_read = max_read;
    faults.interrupt_every = interrupt_every;
    files.input_faults = {faults, faults};
    files.output_faults.max_write = max_write;
    files.output_faults.interrupt_every = interrupt_every;
    const Status status = join_memory_files(files);
    ASSERT_TRUE(status) << status.error().describe();
    EXPECT_EQ(*files.output, clean.output);
    EXPECT_EQ(files.folder.paths(), std::vector<std::string>{"output"});
  }
}

// An input that shrinks once it has been read (another program truncates it) must
// not leave a box shorter than its size in the output.
TEST(InjectedFaults, InputThatShrinksDuringTheJoin) {
  const Bytes first = recording(10), second = recording(60);
  MemoryJoinFiles files;
  files.inputs = {std::make_shared<Bytes>(first), std::make_shared<Bytes>(second)};
  const Status status = join_memory_files(files, [&](double progress) {
    if (progress >= 0.1 && files.inputs[1]->size() == second.size()) files.inputs[1]->resize(second.size() / 2);
  });
  ASSERT_FALSE(status);
  EXPECT_EQ(status.error().kind(), ErrorKind::UnexpectedEof);
  EXPECT_EQ(status.error().message(), "failed to fill whole buffer");
  EXPECT_EQ(files.folder.paths(), std::vector<std::string>{}) << "no partial file is left";
}

class RealFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    paths = {dir.file("a.mp4"), dir.file("b.mp4")};
    write_file(paths[0], recording(10));
    write_file(paths[1], recording(60));
  }
  void expect_inputs_untouched() {
    EXPECT_EQ(read_file(paths[0]), recording(10));
    EXPECT_EQ(read_file(paths[1]), recording(60));
  }
  TempDir dir;
  std::vector<std::string> paths;
};

void expect_error(const Status& status, ErrorKind kind, int os_error, const std::string& in_message) {
  ASSERT_FALSE(status) << "the join reported success";
  EXPECT_EQ(status.error().kind(), kind) << status.error().describe();
  EXPECT_EQ(status.error().os_error(), os_error) << status.error().describe();
  EXPECT_NE(status.error().message().find(in_message), std::string::npos) << status.error().describe();
}

// The device takes no byte: the first write that reaches it fails, from the
// output buffer or from the large copies of a camera's media data alike.
TEST_F(RealFiles, OutputOnAFullDevice) {
  if (::access("/dev/full", W_OK) != 0) GTEST_SKIP() << record_skip("no writable /dev/full");
  const std::string camera = std::string(REELKNIT_TEST_DATA_DIR) + "/karma.mp4";
  const std::pair<const char*, std::vector<std::string>> cases[] = {
      {"generated recordings", paths},
      {"a camera recording twice", {camera, camera}},
  };
  for (const auto& [name, inputs] : cases) {
    SCOPED_TRACE(name);
    expect_error(join_files(inputs, "/dev/full", nullptr), ErrorKind::StorageFull, ENOSPC, "No space left on device");
  }
  expect_inputs_untouched();
}

TEST_F(RealFiles, OutputDirectoryThatDoesNotExist) {
  expect_error(join_files(paths, dir.file("missing/out.mp4"), nullptr), ErrorKind::NotFound, ENOENT,
               "No such file or directory");
  expect_inputs_untouched();
}

// Every input is opened before the output is created: one that cannot be
// opened ends the join with nothing written, wherever it stands.
TEST_F(RealFiles, InputThatCannotBeOpened) {
  std::filesystem::create_directory(dir.file("chapter.mp4"));
  ASSERT_EQ(::symlink("gone.mp4", dir.file("dangling.mp4").c_str()), 0);
  struct Case {
    const char* name;
    std::vector<std::string> inputs;
    ErrorKind kind;
    int os_error;
    const char* message;
  };
  const Case cases[] = {
      {"missing, first", {"missing.mp4", "a.mp4"}, ErrorKind::NotFound, ENOENT, "No such file or directory"},
      {"missing, second", {"a.mp4", "missing.mp4"}, ErrorKind::NotFound, ENOENT, "No such file or directory"},
      {"a link to nothing", {"a.mp4", "dangling.mp4"}, ErrorKind::NotFound, ENOENT, "No such file or directory"},
      {"a directory, first", {"chapter.mp4", "b.mp4"}, ErrorKind::IsADirectory, EISDIR, "Is a directory"},
      {"a directory, second", {"a.mp4", "chapter.mp4"}, ErrorKind::IsADirectory, EISDIR, "Is a directory"},
  };
  const std::string output = dir.file("out.mp4");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> inputs;
    for (const std::string& name : c.inputs) inputs.push_back(dir.file(name));
    expect_error(join_files(inputs, output, nullptr), c.kind, c.os_error, c.message);
    EXPECT_FALSE(std::filesystem::exists(output)) << "the output is created only once every input is open";
  }
  expect_inputs_untouched();
}

// Creating the output truncates it, so a path that leads to an input, however
// it is spelt, is refused before anything is written, as the first input or a later one.
TEST_F(RealFiles, OutputThatIsAnInput) {
  std::filesystem::create_directory(dir.file("sub"));
  std::filesystem::create_hard_link(paths[1], dir.file("hard.mp4"));
  std::filesystem::create_symlink(paths[0], dir.file("soft.mp4"));
  const std::pair<const char*, std::string> outputs[] = {
      {"the first input's path", paths[0]},
      {"the second input's path", paths[1]},
      {"through a dot", (dir.path() / "." / "a.mp4").string()},
      {"through a doubled slash", dir.path().string() + "//b.mp4"},
      {"through a parent", dir.file("sub/../b.mp4")},
      {"a hard link", dir.file("hard.mp4")},
      {"a symbolic link", dir.file("soft.mp4")},
  };
  for (const auto& [name, output] : outputs) {
    for (const bool swapped : {false, true}) {
      SCOPED_TRACE(std::string(name) + (swapped ? ", inputs swapped" : ""));
      const std::vector<std::string> inputs = swapped ? std::vector<std::string>{paths[1], paths[0]} : paths;
      expect_error(join_files(inputs, output, nullptr), ErrorKind::InvalidInput, 0,
                   "the output file " + output + " is one of the inputs");
      expect_inputs_untouched();
    }
  }
}

// Removing a path does not take the data from a file that is already open: the join goes on.
TEST_F(RealFiles, InputUnlinkedOnceOpen) {
  JoinSeams seams;
  seams.open_input = [](const std::string& path) {
    auto file = open_for_reading(path);
    std::filesystem::remove(path);
    return file;
  };
  const std::string output = dir.file("out.mp4");
  const Status status = join_files_with(paths, output, nullptr, seams);
  ASSERT_TRUE(status) << status.error().describe();
  const Bytes joined = read_file(output);
  EXPECT_EQ(find_layout_problem(joined), std::nullopt);
  EXPECT_EQ(inspect_movie(joined).tracks.at(0).samples.size(), 10u);
}

TEST_F(RealFiles, CommandEndsWithStatus101) {
  const RunResult run = run_program({REELKNIT_BINARY, paths[0], paths[1], "--out", dir.file("missing/out.mp4")});
  EXPECT_EQ(run.exit_status, 101);
  // The error's own line comes last, naming the output, under what the join was doing: creating the output.
  const std::string last_line =
      "Error: " + dir.file("missing/out.mp4") + ": No such file or directory (entity not found, os error 2)\n";
  ASSERT_GE(run.err.size(), last_line.size());
  EXPECT_EQ(run.err.substr(run.err.size() - last_line.size()), last_line);
  EXPECT_NE(run.err.find("Creating the output " + dir.file("missing/out.mp4")), std::string::npos) << run.err;
  expect_inputs_untouched();
}

}  // namespace
}  // namespace reelknit::testing
