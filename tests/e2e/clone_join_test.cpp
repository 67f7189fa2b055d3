// Joins on file systems that share blocks (XFS with reflinks, Btrfs), each
// made in an image file and mounted for the test: the output must be a
// correct join, as ffprobe and the test's own reader see it, the very file
// the buffered copy writes, and its media data must share the chapters'
// blocks instead of taking new ones. Skipped, with the reason, where the test
// cannot mount a file system (not root, no loop device, no mkfs program).
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "io/range_copy.h"
#include "join/join_seams.h"
#include "reelknit/join.h"
#include "reelknit/log.h"
#include "support/extents.h"
#include "support/ffprobe.h"
#include "support/join_check.h"
#include "support/loop_mount.h"
#include "support/mp4_inspect.h"
#include "support/skips.h"
#include "support/temp_dir.h"

namespace reelknit::testing {
namespace {

constexpr std::size_t CHAPTERS = 3;

/// Records `CHAPTERS` chapters of about 2 MB each into `dir`: lossless 720p
/// H.264 and AAC, each chapter another hue and tone, so that a chapter out of
/// place shows.
std::vector<std::string> record_chapters(const std::filesystem::path& dir) {
  std::vector<std::string> paths;
  for (std::size_t k = 0; k < CHAPTERS; ++k) {
    paths.push_back((dir / ("chapter" + std::to_string(k + 1) + ".mp4")).string());
    run_ffmpeg({"-f", "lavfi", "-i", "testsrc2=size=1280x720:rate=30", "-f", "lavfi", "-i",
                "sine=frequency=" + std::to_string(440 + 110 * k) + ":sample_rate=48000", "-t", "1", "-vf",
                "hue=h=" + std::to_string(40 * k), "-c:v", "libx264", "-preset", "ultrafast", "-qp", "0", "-g", "12",
                "-pix_fmt", "yuv420p", "-c:a", "aac", "-b:a", "64k", paths.back()});
  }
  return paths;
}

/// Where the media data of an MP4 file lies: the payload of its `mdat`.
struct ByteRange {
  std::uint64_t from = 0;
  std::uint64_t to = 0;
  std::uint64_t size() const { return to - from; }
};

ByteRange media_data(const std::string& path) {
  const std::vector<BoxInfo> boxes = parse_boxes(read_file(path));
  const BoxInfo* mdat = find_box(boxes, "mdat");
  if (!mdat) throw std::runtime_error(path + " has no mdat box");
  return {mdat->position + mdat->header_size, mdat->position + mdat->size};
}

std::uint64_t granularity_of(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  const std::uint64_t granularity = clone_granularity(fd);
  if (fd >= 0) ::close(fd);
  return granularity;
}

/// The join by the buffered road alone (no clone, no kernel copy), into `path`.
Bytes buffered_join(const std::vector<std::string>& inputs, const std::string& path) {
  JoinSeams seams;
  seams.range_copy = {};
  seams.range_clone = {};
  const Status joined = join_files_with(inputs, path, nullptr, seams);
  if (!joined) throw std::runtime_error(joined.error().describe());
  return read_file(path);
}

/// Both judges: through the output's own tables, every track holds the
/// chapters' samples in order with time running on; and per video and audio
/// stream ffprobe finds the packets each chapter presents, in chapter order,
/// with the same bytes (MD5), sizes and key flags.
void expect_correct_join(const std::vector<std::string>& chapters, const std::string& output) {
  std::vector<Movie> movies;
  for (const std::string& chapter : chapters) movies.push_back(inspect_movie(read_file(chapter)));
  expect_joined(movies, inspect_movie(read_file(output)));

  std::vector<Probe> chapter_probes;
  for (const std::string& chapter : chapters) chapter_probes.push_back(probe(chapter));
  const Probe joined = probe(output);
  ASSERT_EQ(joined.streams.size(), chapter_probes.front().streams.size());
  for (const ProbeStream& stream : joined.streams) {
    if (stream.codec_type != "video" && stream.codec_type != "audio") continue;
    SCOPED_TRACE("stream " + std::to_string(stream.index) + " (" + stream.codec_tag + ")");
    const auto actual = presented_packets(joined, stream.index);
    std::size_t at = 0;
    for (std::size_t c = 0; c < chapter_probes.size(); ++c) {
      const auto packets = presented_packets(chapter_probes[c], stream.index);
      ASSERT_FALSE(packets.empty());
      if (c > 0) at += hidden_start_presented(actual, at, chapter_probes[c], stream.index);
      ASSERT_LE(at + packets.size(), actual.size());
      for (std::size_t k = 0; k < packets.size(); ++k, ++at) {
        ASSERT_EQ(actual[at].size, packets[k].size) << "packet " << at;
        ASSERT_EQ(actual[at].hash, packets[k].hash) << "packet " << at;
        ASSERT_EQ(actual[at].key, packets[k].key) << "packet " << at;
      }
    }
    EXPECT_EQ(at, actual.size());
  }
}

/// What reaches the log while it lives, at every level down to Debug.
class CapturedLog {
 public:
  struct Line {
    LogLevel level;
    std::string message;
  };

  CapturedLog() {
    set_sink([this](const LogRecord& record) { lines.push_back({record.level, std::string(record.message)}); });
    set_max_level(LevelFilter::Debug);
  }
  ~CapturedLog() {
    set_max_level(LevelFilter::Off);
    set_sink(nullptr);
  }
  CapturedLog(const CapturedLog&) = delete;
  CapturedLog& operator=(const CapturedLog&) = delete;

  std::vector<Line> lines;
};

struct FileSystemCase {
  const char* name;
  const FileSystemRecipe& (*recipe)();
};

void PrintTo(const FileSystemCase& c, std::ostream* os) { *os << c.name; }

class ClonedJoins : public ::testing::TestWithParam<FileSystemCase> {
 protected:
  void SetUp() override {
    if (const auto missing = missing_tools({FFMPEG, FFPROBE})) GTEST_SKIP() << *missing;
    mount = std::make_unique<LoopMount>(GetParam().recipe());
    if (!mount->mounted()) GTEST_SKIP() << mount->refusal();
  }

  std::unique_ptr<LoopMount> mount;
  TempDir disk;  ///< on the test's own file system
};

TEST_P(ClonedJoins, ChaptersJoinedWithoutCopyingTheirMediaData) {
  const auto chapters = record_chapters(mount->path());
  const std::string out = mount->file("joined.mp4");
  const std::uint64_t free_before = free_bytes(mount->path());
  const Status joined = join_files(chapters, out, nullptr);
  ASSERT_TRUE(joined) << joined.error().describe();
  const std::uint64_t free_after = free_bytes(mount->path());

  expect_correct_join(chapters, out);
  EXPECT_TRUE(read_file(out) == buffered_join(chapters, disk.file("buffered.mp4")))
      << "the join on " << GetParam().name << " differs from the buffered road's";

  // All of each chapter's media data shares its blocks but the partial ones at
  // either end, and so does the output's; in the output also the zeros before
  // the first chapter's media data (less than a block) are its own.
  const std::uint64_t block = granularity_of(out);
  const ByteRange merged = media_data(out);
  std::uint64_t chapters_media = 0;
  for (const std::string& chapter : chapters) {
    SCOPED_TRACE(chapter);
    const ByteRange media = media_data(chapter);
    chapters_media += media.size();
    const auto use = extent_use(chapter, media.from, media.to);
    ASSERT_TRUE(use) << "no extent map on " << GetParam().name;
    EXPECT_LE(use->own, 2 * block);
  }
  ASSERT_GT(chapters_media, CHAPTERS * 1'000'000) << "the chapters are too small to say much";
  const auto use = extent_use(out, merged.from, merged.to);
  ASSERT_TRUE(use);
  EXPECT_GE(use->shared, chapters_media - 2 * CHAPTERS * block);
  EXPECT_LE(use->own, (2 * CHAPTERS + 1) * block);
  // The file system lost about the movie box and the partial blocks, not the media data.
  const std::uint64_t taken = free_before > free_after ? free_before - free_after : 0;
  EXPECT_LT(taken, chapters_media / 20) << taken << " bytes taken for " << chapters_media << " bytes of media data";
  std::cout << "[ on " << GetParam().name << " ] " << use->shared << " of " << merged.size()
            << " bytes of media data shared; the join took " << taken << " bytes of the file system\n";
}

// The file system refuses a clone half-way through the join (or at the first
// call): the copy takes over from there and writes the same file; the
// chapters before the refusal still share their blocks, the others do not.
TEST_P(ClonedJoins, ACloneRefusedHalfWayLeavesTheSameFile) {
  const auto chapters = record_chapters(mount->path());
  const Bytes buffered = buffered_join(chapters, disk.file("buffered.mp4"));
  const std::uint64_t block = granularity_of(chapters.front());
  for (const int refused_from : {1, 2, 3}) {
    SCOPED_TRACE("refused from call " + std::to_string(refused_from));
    int calls = 0;
    JoinSeams seams;
    seams.range_clone = [&calls, refused_from, system = system_range_clone()](
                            int from, std::uint64_t from_offset, int to, std::uint64_t to_offset,
                            std::uint64_t length) -> Status {
      if (++calls >= refused_from) return Error::from_errno(refused_from == 1 ? EOPNOTSUPP : EINVAL);
      return system(from, from_offset, to, to_offset, length);
    };
    const std::string out = mount->file("joined-" + std::to_string(refused_from) + ".mp4");
    const Status joined = join_files_with(chapters, out, nullptr, seams);
    ASSERT_TRUE(joined) << joined.error().describe();
    EXPECT_EQ(calls, static_cast<int>(CHAPTERS));
    EXPECT_TRUE(read_file(out) == buffered);

    std::uint64_t cloned_media = 0;
    for (int k = 1; k < refused_from; ++k) cloned_media += media_data(chapters[static_cast<std::size_t>(k - 1)]).size();
    const ByteRange merged = media_data(out);
    const auto use = extent_use(out, merged.from, merged.to);
    ASSERT_TRUE(use);
    EXPECT_LE(use->shared, cloned_media);
    EXPECT_GE(use->shared + 2 * static_cast<std::uint64_t>(refused_from - 1) * block, cloned_media);
  }
}

struct Crossing {
  const char* name;
  bool inputs_on_the_mount;  ///< and the output on the test's disk; or the other way round
};

// Chapters on one file system, the output on another: every clone is refused
// (EXDEV), the copy writes the same file, and nothing says so but one debug line.
TEST_P(ClonedJoins, AcrossFileSystemsTheCopyTakesOverSilently) {
  const auto chapters_on_the_mount = record_chapters(mount->path());
  for (const Crossing crossing : {Crossing{"from the mount to the disk", true}, Crossing{"from the disk to the mount", false}}) {
    SCOPED_TRACE(crossing.name);
    std::vector<std::string> chapters = chapters_on_the_mount;
    std::string out = disk.file("joined.mp4");
    if (!crossing.inputs_on_the_mount) {
      for (std::string& chapter : chapters) {
        const std::string copy = disk.file(std::filesystem::path(chapter).filename().string());
        std::filesystem::copy_file(chapter, copy, std::filesystem::copy_options::overwrite_existing);
        chapter = copy;
      }
      out = mount->file("joined.mp4");
    }
    std::vector<CapturedLog::Line> lines;
    {
      CapturedLog log;
      const Status joined = join_files(chapters, out, nullptr);
      ASSERT_TRUE(joined) << joined.error().describe();
      lines = log.lines;
    }
    EXPECT_TRUE(read_file(out) == buffered_join(chapters, disk.file("buffered.mp4")));
    int fallbacks = 0;
    for (const CapturedLog::Line& line : lines) {
      EXPECT_EQ(line.level, LogLevel::Debug) << line.message;
      if (line.message.find("sharing blocks") != std::string::npos) ++fallbacks;
    }
    EXPECT_EQ(fallbacks, 1) << "the copy that takes over from the clone is told once";
    const ByteRange merged = media_data(out);
    if (const auto use = extent_use(out, merged.from, merged.to)) {
      EXPECT_EQ(use->shared, 0u);
    }
    std::filesystem::remove(out);
  }
}

INSTANTIATE_TEST_SUITE_P(FileSystems, ClonedJoins,
                         ::testing::Values(FileSystemCase{"Xfs", xfs_with_reflinks}, FileSystemCase{"Btrfs", btrfs}),
                         [](const auto& param_info) { return std::string(param_info.param.name); });

}  // namespace
}  // namespace reelknit::testing
