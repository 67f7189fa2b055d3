// Real chapter files made by ffmpeg, each ending with an Insta360 trailer,
// joined and judged by independent readers: our own MP4 and trailer readers,
// ffprobe, ffmpeg's decoder and, where installed, exiftool.
#include <gtest/gtest.h>

#include <map>
#include <sstream>

#include "reelknit/join.h"
#include "support/ffprobe.h"
#include "support/insta360_trailer.h"
#include "support/join_check.h"
#include "support/mp4_builder.h"
#include "support/mp4_inspect.h"
#include "support/recordings.h"
#include "support/run.h"
#include "support/skips.h"
#include "support/temp_dir.h"

namespace reelknit::testing {
namespace {

constexpr std::size_t CHAPTERS = 3;

Bytes le64(std::uint64_t v) {
  return cat({le32(static_cast<std::uint32_t>(v)), le32(static_cast<std::uint32_t>(v >> 32))});
}
Bytes le16(std::uint16_t v) { return {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8)}; }

/// Records laid out as Insta360 cameras write them, so that exiftool can read them:
/// maker notes (id 1: serial number, model, firmware), accelerometer samples of
/// 20 bytes (id 3) and video timestamps of 8 bytes (id 6).
RecordList chapter_records(std::size_t chapter) {
  const auto note = [](std::uint8_t key, const std::string& value) {
    return cat({Bytes{key, static_cast<std::uint8_t>(value.size())}, text(value)});
  };
  const std::string n = std::to_string(chapter);
  const Bytes maker_notes = cat({note(0x0a, "SERIAL" + n), note(0x12, "Insta360 Test"), note(0x1a, "v1." + n)});
  Bytes accelerometer;
  for (std::uint16_t k = 0; k < 3; ++k) {
    append(accelerometer, le64(chapter * 1000 + k * 10u));
    for (std::uint16_t axis = 0; axis < 6; ++axis)
      append(accelerometer, le16(static_cast<std::uint16_t>(0x8000 + chapter * 100 + k * 10 + axis)));
  }
  Bytes timestamps;
  for (std::uint64_t k = 0; k < 4; ++k) append(timestamps, le64(chapter * 1000 + k * 40));
  return {{1, 1, maker_notes}, {0, 3, accelerometer}, {0, 6, timestamps}};
}

double number_from(const std::string& text_value) {
  try {
    return std::stod(text_value);
  } catch (const std::exception&) {
    ADD_FAILURE() << "not a number: " << text_value;
    return 0;
  }
}

/// The Insta360 tags exiftool reads from a file, each with all its values in the
/// order exiftool lists them, and exiftool's warnings.
struct ExiftoolView {
  std::map<std::string, std::vector<std::string>> tags;
  std::vector<std::string> warnings;
};

ExiftoolView exiftool_view(const std::string& path) {
  const RunResult run = run_shell("exiftool -ee -a -G1 -s -Insta360:all -ExifTool:Warning '" + path + "'");
  EXPECT_EQ(run.exit_status, 0) << run.err;
  ExiftoolView view;
  std::istringstream lines(run.out);
  for (std::string line; std::getline(lines, line);) {
    const auto close = line.find(']');
    const auto colon = line.find(" : ");
    if (line.empty() || line[0] != '[' || close == std::string::npos || colon == std::string::npos) continue;
    const std::string group = line.substr(1, close - 1);
    std::istringstream name_field(line.substr(close + 1, colon - close - 1));
    std::string name;
    name_field >> name;
    const std::string value = line.substr(colon + 3);
    if (group == "Insta360") view.tags[name].push_back(value);
    if (group == "ExifTool" && name == "Warning") view.warnings.push_back(value);
  }
  return view;
}

struct ChapterLayout {
  const char* name;
  bool faststart;  ///< the movie box before the media data
};

void PrintTo(const ChapterLayout& layout, std::ostream* os) { *os << layout.name; }

/// Chapter files as a camera leaves them: a movie, then an Insta360 trailer.
struct Chapters {
  std::vector<std::string> paths;
  std::vector<Movie> movies;       ///< the box part of each, read by our own reader
  std::vector<RecordList> records;  ///< each one's trailer records
};

// Listed in tests/CMakeLists.txt (ffmpeg_cases), which labels it ffmpeg.
class InstaChapters : public ::testing::TestWithParam<ChapterLayout> {
 protected:
  void SetUp() override {
    if (const auto missing = missing_tools({FFMPEG, FFPROBE})) GTEST_SKIP() << *missing;
  }

  Chapters make_chapters() {
    Chapters made;
    for (std::size_t i = 0; i < CHAPTERS; ++i) {
      // The same settings for every chapter, as a camera would use; only the tone differs.
      const std::string movie_path = dir_.file("movie" + std::to_string(i) + ".mp4");
      std::vector<std::string> args = {"-f", "lavfi", "-i", "testsrc=size=160x120:rate=25",
                                       "-f", "lavfi", "-i", "sine=frequency=" + std::to_string(440 + 110 * i),
                                       "-t", "1", "-c:v", "libx264", "-preset", "ultrafast", "-c:a", "aac"};
      if (GetParam().faststart) args.insert(args.end(), {"-movflags", "+faststart"});
      try {
        record_once(args, movie_path);
      } catch (const std::exception& e) {
        ADD_FAILURE() << e.what();
        return made;
      }
      const Bytes movie = read_file(movie_path);
      made.records.push_back(chapter_records(i));
      // The middle chapter lists its records in an index, as the cameras do.
      const auto index = i == 1 ? std::optional<Bytes>(index_for(made.records.back())) : std::nullopt;
      const Bytes chapter =
          cat({movie, build_trailer(made.records.back(), 3 + static_cast<std::uint32_t>(i), index, 0x77)});
      made.paths.push_back(dir_.file("chapter" + std::to_string(i) + ".mp4"));
      write_file(made.paths.back(), chapter);
      made.movies.push_back(inspect_movie(chapter, movie.size()));
    }
    return made;
  }

  std::string probe(const std::string& args, const std::string& path) {
    const RunResult run = run_shell("ffprobe -v error " + args + " -of csv=p=0 '" + path + "'");
    EXPECT_EQ(run.exit_status, 0) << run.err;
    return run.out;
  }

  TempDir dir_;
};

TEST_P(InstaChapters, JoinKeepsTheMovieAndMergesTheTrailers) {
  const Chapters chapters = make_chapters();
  ASSERT_FALSE(HasFailure());
  const std::string out = dir_.file("joined.mp4");
  std::vector<double> reports;
  const Status joined = join_files(chapters.paths, out, [&](double p) { reports.push_back(p); });
  ASSERT_TRUE(joined) << joined.error().describe();
  ASSERT_FALSE(reports.empty());
  EXPECT_EQ(reports.back(), 1.0);

  // The output ends with the merged trailer: the first chapter's maker notes,
  // every chapter's samples and timestamps in chapter order.
  const Bytes output = read_file(out);
  const ParsedTrailer trailer = parse_trailer(output);
  RecordList expected = chapters.records[0];
  for (std::size_t i = 1; i < CHAPTERS; ++i) {
    append(expected[1].data, chapters.records[i][1].data);
    append(expected[2].data, chapters.records[i][2].data);
  }
  EXPECT_EQ(trailer.records, expected);
  EXPECT_EQ(trailer.version, 3u);
  EXPECT_EQ(trailer.reserved, Bytes(32, 0));

  // Before it, the joined movie.
  expect_joined(chapters.movies, inspect_movie(output, trailer.start));
  double duration_sum = 0;
  for (const std::string& chapter : chapters.paths)
    duration_sum += number_from(probe("-show_entries format=duration", chapter));
  EXPECT_NEAR(number_from(probe("-show_entries format=duration", out)), duration_sum, 0.05);
  // Every packet a chapter presents, the joined file presents, and at most
  // what a later chapter hides at its start besides.
  const Probe joined_probe = testing::probe(out);
  for (const int stream : {0, 1}) {
    SCOPED_TRACE(stream);
    const auto presented = presented_packets(joined_probe, stream);
    std::size_t at = 0;
    for (std::size_t c = 0; c < chapters.paths.size(); ++c) {
      const Probe chapter = testing::probe(chapters.paths[c]);
      if (c > 0) at += hidden_start_presented(presented, at, chapter, stream);
      at += presented_packets(chapter, stream).size();
    }
    EXPECT_EQ(presented.size(), at);
  }
  const RunResult decoded = run_shell("ffmpeg -v error -i '" + out + "' -f null -");
  EXPECT_EQ(decoded.exit_status, 0);
  EXPECT_EQ(decoded.err, "");
}

// exiftool reads the Insta360 trailer: from the output it must read what it
// reads from the chapters, merged: the first chapter's maker notes, and every
// chapter's timed samples in order.
TEST_P(InstaChapters, ExiftoolReadsTheMergedTrailer) {
  if (const auto missing = missing_tools({EXIFTOOL})) GTEST_SKIP() << *missing;
  const Chapters chapters = make_chapters();
  ASSERT_FALSE(HasFailure());
  const std::string out = dir_.file("joined.mp4");
  ASSERT_TRUE(join_files(chapters.paths, out, nullptr));

  std::vector<ExiftoolView> inputs;
  for (const std::string& chapter : chapters.paths) inputs.push_back(exiftool_view(chapter));
  const ExiftoolView output = exiftool_view(out);
  const auto& first = inputs.front().tags;
  for (const char* tag : {"SerialNumber", "VideoTimeStamp", "TimeCode", "Accelerometer"})
    ASSERT_TRUE(first.count(tag)) << "exiftool reads no " << tag << " from a chapter";

  std::map<std::string, std::vector<std::string>> expected;
  for (const auto& [name, values] : first) {
    // Maker notes describe the recording once; the timed samples run on.
    const bool first_only = name == "SerialNumber" || name == "Model" || name == "Firmware";
    std::vector<std::string>& merged = expected[name];
    for (const ExiftoolView& input : inputs) {
      const auto found = input.tags.find(name);
      if (found != input.tags.end()) merged.insert(merged.end(), found->second.begin(), found->second.end());
      if (first_only) break;
    }
  }
  EXPECT_EQ(output.tags, expected);
  EXPECT_EQ(output.warnings, inputs.front().warnings);
}

INSTANTIATE_TEST_SUITE_P(Layouts, InstaChapters,
                         ::testing::Values(ChapterLayout{"MdatThenMoov", false}, ChapterLayout{"MoovFirst", true}),
                         [](const auto& param_info) { return std::string(param_info.param.name); });

}  // namespace
}  // namespace reelknit::testing
