// The GoPro chapter search: what a file name says, and the recordings a card
// folder holds, made of empty files named like a real card's.
#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <fstream>

#include "reelknit/chapters.h"
#include "support/skips.h"
#include "support/temp_dir.h"

namespace reelknit {

// What a failed expectation shows.
void PrintTo(const RecordingId& r, std::ostream* out) {
  *out << (r.scheme == ChapterScheme::Hero5 ? "HERO5" : "HERO6") << " encoding " << static_cast<int>(r.encoding)
       << " recording " << r.recording;
}
void PrintTo(const ChapterName& n, std::ostream* out) {
  PrintTo(recording_id(n), out);
  *out << " chapter " << n.chapter;
}

namespace testing {
namespace {

namespace fs = std::filesystem;

using Encoding = ChapterEncoding;
using Scheme = ChapterScheme;

struct NameCase {
  const char* file_name;
  std::optional<ChapterName> parsed;
};

TEST(ChapterNames, ReadsEveryCameraNameAndNothingElse) {
  const NameCase cases[] = {
      {"GH010042.MP4", ChapterName{Scheme::Hero6, Encoding::Avc, 1, 42}},
      {"GX020042.MP4", ChapterName{Scheme::Hero6, Encoding::Hevc, 2, 42}},
      {"GX990001.MP4", ChapterName{Scheme::Hero6, Encoding::Hevc, 99, 1}},
      {"GS030042.360", ChapterName{Scheme::Hero6, Encoding::Spherical, 3, 42}},
      {"GL010042.LRV", ChapterName{Scheme::Hero6, Encoding::LowResolution, 1, 42}},
      {"GX019999.MP4", ChapterName{Scheme::Hero6, Encoding::Hevc, 1, 9999}},
      {"GH010000.MP4", ChapterName{Scheme::Hero6, Encoding::Avc, 1, 0}},
      // HERO5 and earlier: GOPR is the first chapter, GP01 the second.
      {"GOPR0042.MP4", ChapterName{Scheme::Hero5, Encoding::Avc, 1, 42}},
      {"GP010042.MP4", ChapterName{Scheme::Hero5, Encoding::Avc, 2, 42}},
      {"GP020042.MP4", ChapterName{Scheme::Hero5, Encoding::Avc, 3, 42}},
      {"GP990042.MP4", ChapterName{Scheme::Hero5, Encoding::Avc, 100, 42}},
      {"GOPR0042.LRV", ChapterName{Scheme::Hero5, Encoding::LowResolution, 1, 42}},
      {"GP010042.LRV", ChapterName{Scheme::Hero5, Encoding::LowResolution, 2, 42}},
      // Letters in any case.
      {"gx020042.mp4", ChapterName{Scheme::Hero6, Encoding::Hevc, 2, 42}},
      {"Gl010042.lRv", ChapterName{Scheme::Hero6, Encoding::LowResolution, 1, 42}},
      {"gopr0042.mp4", ChapterName{Scheme::Hero5, Encoding::Avc, 1, 42}},
      {"gP010042.Mp4", ChapterName{Scheme::Hero5, Encoding::Avc, 2, 42}},
      // Thumbnails, sound, earlier outputs and near misses.
      {"GOPR0042.THM", std::nullopt},
      {"GX010042.THM", std::nullopt},
      {"GX010042.WAV", std::nullopt},
      {"GX010042.MP4_joined.mp4", std::nullopt},
      {"GX000042.MP4", std::nullopt},  // chapters count from 01
      {"GP000042.MP4", std::nullopt},  // the first chapter is GOPR
      {"GA010042.MP4", std::nullopt},  // no such encoding letter
      {"GX0A0042.MP4", std::nullopt},
      {"GX01004A.MP4", std::nullopt},
      {"GX01042.MP4", std::nullopt},
      {"GX0100042.MP4", std::nullopt},
      {"GX010042MP4", std::nullopt},
      {"GX010042_MP4", std::nullopt},
      {"GX010042.MP", std::nullopt},
      {"HX010042.MP4", std::nullopt},
      {"GOPX0042.MP4", std::nullopt},
      {"GOPR0042.360", std::nullopt},
      // Each encoding has its own extension.
      {"GS010042.MP4", std::nullopt},
      {"GX010042.LRV", std::nullopt},
      {"GL010042.MP4", std::nullopt},
      {"GX010042.360", std::nullopt},
      {"", std::nullopt},
  };
  for (const NameCase& c : cases) EXPECT_EQ(parse_chapter_name(c.file_name), c.parsed) << c.file_name;
}

TEST(ChapterNames, ProxiesAreTheLowResolutionFiles) {
  EXPECT_TRUE(parse_chapter_name("GL010042.LRV")->proxy());
  EXPECT_TRUE(parse_chapter_name("GP010042.LRV")->proxy());
  EXPECT_FALSE(parse_chapter_name("GH010042.MP4")->proxy());
  EXPECT_FALSE(parse_chapter_name("GS010042.360")->proxy());
}

TEST(ChapterNames, SiblingNameFollowsTheSchemeAndTheLetterCase) {
  struct SiblingCase {
    const char* sibling;
    int chapter;
    std::optional<std::string> name;
  };
  const SiblingCase cases[] = {
      {"GX030042.MP4", 1, "GX010042.MP4"},
      {"GX010042.MP4", 12, "GX120042.MP4"},
      {"GL020042.LRV", 1, "GL010042.LRV"},
      {"gx010042.mp4", 2, "gx020042.mp4"},
      {"GP020042.MP4", 1, "GOPR0042.MP4"},
      {"GOPR0042.MP4", 2, "GP010042.MP4"},
      {"GOPR0042.MP4", 11, "GP100042.MP4"},
      {"gp010042.lrv", 1, "gopr0042.lrv"},
      {"gopr0042.mp4", 3, "gp020042.mp4"},
      {"GX010042.MP4", 99, "GX990042.MP4"},
      {"GX010042.MP4", 100, std::nullopt},
      {"GOPR0042.MP4", 100, "GP990042.MP4"},
      {"GOPR0042.MP4", 101, std::nullopt},
      {"GX010042.MP4", 0, std::nullopt},
      {"GX010042.THM", 2, std::nullopt},
  };
  for (const SiblingCase& c : cases)
    EXPECT_EQ(sibling_chapter_name(c.sibling, c.chapter), c.name) << c.sibling << " chapter " << c.chapter;
}

/// Lays out a card folder: a plain name is an empty file; "dir:NAME" a folder,
/// "dangling:NAME" a symbolic link to nothing, "link:NAME" a link to a file
/// elsewhere, "sub/NAME" a file in a subfolder.
void lay_out(const fs::path& folder, const std::vector<std::string>& entries) {
  fs::create_directories(folder);
  for (const std::string& entry : entries) {
    const auto colon = entry.find(':');
    const std::string kind = colon == std::string::npos ? "" : entry.substr(0, colon);
    const fs::path path = folder / entry.substr(colon == std::string::npos ? 0 : colon + 1);
    fs::create_directories(path.parent_path());
    if (kind == "dir") {
      fs::create_directory(path);
    } else if (kind == "dangling") {
      fs::create_symlink(folder / "gone", path);
    } else if (kind == "link") {
      std::ofstream(folder / ".." / "elsewhere.mp4") << "x";
      fs::create_symlink(folder / ".." / "elsewhere.mp4", path);
    } else {
      std::ofstream(path) << "x";
    }
  }
}

struct ExpectedSequence {
  RecordingId recording;
  std::vector<std::string> chapters;  ///< file names, in chapter order
  SequenceProblem problem = SequenceProblem::None;
  std::string problem_file{};
};

void expect_sequences(const std::vector<ChapterSequence>& found, const fs::path& folder,
                      const std::vector<ExpectedSequence>& expected) {
  ASSERT_EQ(found.size(), expected.size());
  for (std::size_t i = 0; i < found.size(); ++i) {
    SCOPED_TRACE("sequence " + std::to_string(i + 1));
    EXPECT_EQ(found[i].recording, expected[i].recording);
    std::vector<std::string> paths;
    for (const std::string& name : expected[i].chapters) paths.push_back((folder / name).string());
    EXPECT_EQ(found[i].chapter_paths, paths);
    EXPECT_EQ(found[i].problem, expected[i].problem);
    EXPECT_EQ(found[i].problem_file, expected[i].problem_file);
  }
}

struct FolderCase {
  const char* name;
  std::vector<std::string> entries;
  std::vector<ExpectedSequence> sequences;
};
void PrintTo(const FolderCase& c, std::ostream* out) { *out << c.name; }

class CardFolder : public ::testing::TestWithParam<FolderCase> {};

TEST_P(CardFolder, FindsEveryRecordingInChapterOrder) {
  const FolderCase& c = GetParam();
  TempDir dir;
  const fs::path card = dir.path() / "DCIM" / "100GOPRO";
  lay_out(card, c.entries);

  const auto found = find_chapter_sequences(card.string());

  ASSERT_TRUE(found) << found.error().describe();
  expect_sequences(*found, card, c.sequences);
}

constexpr auto Missing = SequenceProblem::MissingChapter;

INSTANTIATE_TEST_SUITE_P(
    Cases, CardFolder,
    ::testing::Values(
        FolderCase{"Empty", {}, {}},
        FolderCase{"SeveralRecordingsInRecordingOrder",
                   {"GX010043.MP4", "GX020042.MP4", "GH020044.MP4", "GX010042.MP4", "GX030042.MP4", "GH010044.MP4"},
                   {{{Scheme::Hero6, Encoding::Hevc, 42}, {"GX010042.MP4", "GX020042.MP4", "GX030042.MP4"}},
                    {{Scheme::Hero6, Encoding::Hevc, 43}, {"GX010043.MP4"}},
                    {{Scheme::Hero6, Encoding::Avc, 44}, {"GH010044.MP4", "GH020044.MP4"}}}},
        // GOPR is the first chapter and GP01 the second; GP10 is the eleventh.
        FolderCase{"Hero5FirstChapterIsGopr",
                   {"GP100007.MP4", "GP020007.MP4", "GP090007.MP4", "GOPR0007.MP4", "GP010007.MP4", "GP030007.MP4",
                    "GP040007.MP4", "GP050007.MP4", "GP060007.MP4", "GP070007.MP4", "GP080007.MP4", "GOPR0008.MP4"},
                   {{{Scheme::Hero5, Encoding::Avc, 7},
                     {"GOPR0007.MP4", "GP010007.MP4", "GP020007.MP4", "GP030007.MP4", "GP040007.MP4", "GP050007.MP4",
                      "GP060007.MP4", "GP070007.MP4", "GP080007.MP4", "GP090007.MP4", "GP100007.MP4"}},
                    {{Scheme::Hero5, Encoding::Avc, 8}, {"GOPR0008.MP4"}}}},
        FolderCase{"GapNamesTheFirstMissingChapter",
                   {"GX010050.MP4", "GX040050.MP4", "GX050050.MP4"},
                   {{{Scheme::Hero6, Encoding::Hevc, 50},
                     {"GX010050.MP4", "GX040050.MP4", "GX050050.MP4"},
                     Missing,
                     "GX020050.MP4"}}},
        FolderCase{"MissingFirstChapter",
                   {"GX020051.MP4", "GX030051.MP4", "GP010052.MP4", "GP020052.MP4"},
                   {{{Scheme::Hero6, Encoding::Hevc, 51}, {"GX020051.MP4", "GX030051.MP4"}, Missing, "GX010051.MP4"},
                    {{Scheme::Hero5, Encoding::Avc, 52}, {"GP010052.MP4", "GP020052.MP4"}, Missing, "GOPR0052.MP4"}}},
        FolderCase{"ProxiesAreSequencesOfTheirOwn",
                   {"GX010042.MP4", "GL020042.LRV", "GX020042.MP4", "GL010042.LRV", "GOPR0043.MP4", "GP010043.MP4",
                    "GOPR0043.LRV", "GP010043.LRV"},
                   {{{Scheme::Hero6, Encoding::Hevc, 42}, {"GX010042.MP4", "GX020042.MP4"}},
                    {{Scheme::Hero6, Encoding::LowResolution, 42}, {"GL010042.LRV", "GL020042.LRV"}},
                    {{Scheme::Hero5, Encoding::Avc, 43}, {"GOPR0043.MP4", "GP010043.MP4"}},
                    {{Scheme::Hero5, Encoding::LowResolution, 43}, {"GOPR0043.LRV", "GP010043.LRV"}}}},
        // A proxy's gap is its own: the full files of the recording are complete.
        FolderCase{"ProxyGapLeavesTheFullFilesAlone",
                   {"GH010045.MP4", "GH020045.MP4", "GL020045.LRV"},
                   {{{Scheme::Hero6, Encoding::Avc, 45}, {"GH010045.MP4", "GH020045.MP4"}},
                    {{Scheme::Hero6, Encoding::LowResolution, 45}, {"GL020045.LRV"}, Missing, "GL010045.LRV"}}},
        FolderCase{"NamesInAnyCaseKeptAsOnDisk",
                   {"gx010042.mp4", "GX020042.MP4", "Gx030042.Mp4", "gp010043.mp4", "gopr0043.mp4", "gx010060.mp4",
                    "gx030060.mp4"},
                   {{{Scheme::Hero6, Encoding::Hevc, 42}, {"gx010042.mp4", "GX020042.MP4", "Gx030042.Mp4"}},
                    {{Scheme::Hero5, Encoding::Avc, 43}, {"gopr0043.mp4", "gp010043.mp4"}},
                    {{Scheme::Hero6, Encoding::Hevc, 60}, {"gx010060.mp4", "gx030060.mp4"}, Missing, "gx020060.mp4"}}},
        FolderCase{"SphericalRecordings",
                   {"GS020042.360", "GS010042.360", "GS010042.THM", "GS010043.360"},
                   {{{Scheme::Hero6, Encoding::Spherical, 42}, {"GS010042.360", "GS020042.360"}},
                    {{Scheme::Hero6, Encoding::Spherical, 43}, {"GS010043.360"}}}},
        // Were the folder or the dangling link counted, chapters 3 and 4 would join a recording of two.
        FolderCase{"EverythingElseIgnored",
                   {"GX010042.MP4", "link:GX020042.MP4", "dir:GX030042.MP4", "dangling:GX040042.MP4",
                    "GOPR0042.THM", "GX010042.THM", "GX010042.WAV", "GX010042.MP4_joined.mp4", "notes.txt",
                    "GXA10042.MP4", "sub/GX010099.MP4", "sub/GX020099.MP4"},
                   {{{Scheme::Hero6, Encoding::Hevc, 42}, {"GX010042.MP4", "GX020042.MP4"}}}}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

// Two names that differ in letter case only can both exist where the file
// system tells them apart; neither may be dropped in silence.
TEST(CardFolderErrors, ChapterNamedTwiceInDifferentCaseIsRefused) {
  TempDir dir;
  lay_out(dir.path(), {"GX010042.MP4", "GX020042.MP4", "gx020042.mp4", "GX030042.MP4"});
  if (std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()) != 4)
    GTEST_SKIP() << record_skip("this file system does not tell letter cases apart");

  const auto found = find_chapter_sequences(dir.path().string());

  ASSERT_TRUE(found) << found.error().describe();
  expect_sequences(*found, dir.path(),
                   {{{Scheme::Hero6, Encoding::Hevc, 42},
                     {"GX010042.MP4", "GX020042.MP4", "gx020042.mp4", "GX030042.MP4"},
                     SequenceProblem::RepeatedChapter,
                     "gx020042.mp4"}});
}

TEST(CardFolderErrors, FolderThatCannotBeReadIsTheSystemsError) {
  TempDir dir;
  lay_out(dir.path(), {"GX010042.MP4"});
  const std::pair<std::string, int> cases[] = {
      {dir.file("nowhere"), ENOENT},
      {dir.file("GX010042.MP4"), ENOTDIR},
  };
  for (const auto& [folder, code] : cases) {
    const auto found = find_chapter_sequences(folder);
    ASSERT_FALSE(found) << folder;
    EXPECT_EQ(found.error().os_error(), code) << folder;
  }
}

struct RecordingCase {
  const char* chapter;  ///< the file given
  ExpectedSequence sequence;
};

TEST(RecordingOfAChapter, AnyChapterFindsItsSiblings) {
  TempDir dir;
  const fs::path card = dir.path() / "100GOPRO";
  lay_out(card, {"GOPR0007.MP4", "GP010007.MP4", "GP020007.MP4", "GOPR0007.LRV", "GP010007.LRV", "GX010042.MP4",
                 "GX030042.MP4", "GH010044.MP4", "GOPR0007.THM"});
  const RecordingCase cases[] = {
      {"GP020007.MP4", {{Scheme::Hero5, Encoding::Avc, 7}, {"GOPR0007.MP4", "GP010007.MP4", "GP020007.MP4"}}},
      {"GOPR0007.MP4", {{Scheme::Hero5, Encoding::Avc, 7}, {"GOPR0007.MP4", "GP010007.MP4", "GP020007.MP4"}}},
      {"GP010007.LRV", {{Scheme::Hero5, Encoding::LowResolution, 7}, {"GOPR0007.LRV", "GP010007.LRV"}}},
      {"GX030042.MP4",
       {{Scheme::Hero6, Encoding::Hevc, 42}, {"GX010042.MP4", "GX030042.MP4"}, Missing, "GX020042.MP4"}},
      {"GH010044.MP4", {{Scheme::Hero6, Encoding::Avc, 44}, {"GH010044.MP4"}}},
  };
  for (const RecordingCase& c : cases) {
    SCOPED_TRACE(c.chapter);
    const auto found = find_recording_of((card / c.chapter).string());
    ASSERT_TRUE(found) << found.error().describe();
    expect_sequences({*found}, card, {c.sequence});
  }
}

TEST(RecordingOfAChapter, FileThatNamesNoRecordingIsAnError) {
  TempDir dir;
  lay_out(dir.path(), {"GX010042.MP4", "GX010042.THM", "dir:GX010043.MP4"});
  struct ErrorCase {
    std::string path;
    ErrorKind kind;
    int os_error;
  };
  const ErrorCase cases[] = {
      {dir.file("GX020042.MP4"), ErrorKind::NotFound, ENOENT},
      {dir.file("GX010042.THM"), ErrorKind::InvalidInput, 0},
      {dir.file("GX010043.MP4"), ErrorKind::IsADirectory, EISDIR},
      {dir.file("GX010042.MP4/GX010042.MP4"), ErrorKind::Other, ENOTDIR},
  };
  for (const ErrorCase& c : cases) {
    const auto found = find_recording_of(c.path);
    ASSERT_FALSE(found) << c.path;
    EXPECT_EQ(found.error().kind(), c.kind) << c.path << ": " << found.error().describe();
    EXPECT_EQ(found.error().os_error(), c.os_error) << c.path;
  }
}

}  // namespace
}  // namespace testing
}  // namespace reelknit
