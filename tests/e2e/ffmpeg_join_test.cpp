// Joins of real encoder output and real camera files, judged by readers that
// share no code with the library: ffprobe must find every packet of the
// inputs in the output, in order, with time running on across each seam, and
// the test's own MP4 reader must find every sample's bytes where the tables say.
#include <gtest/gtest.h>


#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "reelknit/join.h"
#include "support/ffprobe.h"
#include "support/join_check.h"
#include "support/mp4_inspect.h"
#include "support/recordings.h"
#include "support/temp_dir.h"

namespace reelknit::testing {
namespace {

namespace fs = std::filesystem;

const std::string DATA_DIR = REELKNIT_TEST_DATA_DIR;

bool ffmpeg_available() {
  static const bool available = have_ffmpeg_tools();
  return available;
}

std::uint64_t load_be(const Bytes& file, std::uint64_t at, int bytes) {
  if (at + static_cast<std::uint64_t>(bytes) > file.size()) throw std::runtime_error("read past the end of the file");
  std::uint64_t value = 0;
  for (int k = 0; k < bytes; ++k) value = (value << 8) | file[at + static_cast<std::uint64_t>(k)];
  return value;
}

struct EditEntry {
  std::uint64_t segment_duration = 0;  ///< movie timescale
  std::int64_t media_time = 0;         ///< media timescale; −1 is an empty edit
  std::uint64_t position = 0;          ///< of the entry's first byte in the file
  std::uint64_t size = 12;             ///< 20 in a version 1 list
};

/// The edit list of a track, read from the raw bytes; empty when the track has none.
std::vector<EditEntry> edit_list(const Bytes& file, const Movie& movie, std::size_t track) {
  std::vector<EditEntry> entries;
  const BoxInfo* elst = find_box(movie.boxes, "moov/trak/edts/elst", track);
  if (!elst) return entries;
  const std::uint64_t payload = elst->position + elst->header_size;
  const bool wide = file.at(payload) == 1;
  const std::uint64_t count = load_be(file, payload + 4, 4);
  for (std::uint64_t k = 0; k < count; ++k) {
    EditEntry e;
    e.size = wide ? 20 : 12;
    e.position = payload + 8 + k * e.size;
    e.segment_duration = load_be(file, e.position, wide ? 8 : 4);
    const std::uint64_t raw_time = load_be(file, e.position + (wide ? 8 : 4), wide ? 8 : 4);
    e.media_time = wide ? static_cast<std::int64_t>(raw_time)
                        : static_cast<std::int64_t>(static_cast<std::int32_t>(static_cast<std::uint32_t>(raw_time)));
    entries.push_back(e);
  }
  return entries;
}

/// Where in its media the track starts playing: the first edit that plays media.
std::int64_t first_media_time(const std::vector<EditEntry>& edits) {
  for (const EditEntry& e : edits)
    if (e.media_time != -1) return e.media_time;
  return 0;
}

/// Everything both judges say about a set of inputs and their join.
struct Judged {
  std::vector<Bytes> input_bytes;
  std::vector<Movie> inputs;
  std::vector<Probe> input_probes;
  Bytes output_bytes;
  Movie output;
  Probe output_probe;
};

Judged judge(const std::vector<std::string>& input_paths, const std::string& output_path) {
  Judged j;
  for (const std::string& path : input_paths) {
    j.input_bytes.push_back(read_file(path));
    j.inputs.push_back(inspect_movie(j.input_bytes.back()));
    j.input_probes.push_back(probe(path));
  }
  j.output_bytes = read_file(output_path);
  j.output = inspect_movie(j.output_bytes);
  j.output_probe = probe(output_path);
  return j;
}

bool is_timecode(const TrackSamples& track) { return track.format == "tmcd"; }

/// Per video and audio stream, ffprobe sees the inputs' packets one after
/// another: same count, bytes, key flags and composition offsets, and decode
/// times that continue, at each seam, where the previous input's track ended.
void expect_packets_concatenated(const Judged& j) {
  const Probe& out = j.output_probe;
  ASSERT_EQ(out.streams.size(), j.input_probes.front().streams.size());
  for (const ProbeStream& stream : out.streams) {
    if (stream.codec_type != "video" && stream.codec_type != "audio") continue;
    SCOPED_TRACE("stream " + std::to_string(stream.index) + " (" + stream.codec_tag + ")");
    const auto joined = out.packets_of(stream.index);
    ASSERT_FALSE(joined.empty());
    ASSERT_TRUE(joined.front().dts.has_value());
    // The first decode time may be negative (encoder delay); everything after it is relative.
    std::int64_t input_start = *joined.front().dts;
    std::size_t at = 0;
    for (std::size_t i = 0; i < j.input_probes.size(); ++i) {
      SCOPED_TRACE("input " + std::to_string(i + 1));
      const auto packets = j.input_probes[i].packets_of(stream.index);
      ASSERT_FALSE(packets.empty());
      ASSERT_LE(at + packets.size(), joined.size()) << "the output has fewer packets than the inputs";
      const std::int64_t first_dts = packets.front().dts.value();
      for (std::size_t k = 0; k < packets.size(); ++k, ++at) {
        const ProbePacket& expected = packets[k];
        const ProbePacket& actual = joined[at];
        SCOPED_TRACE("packet " + std::to_string(k) + " of the input, " + std::to_string(at) + " of the output");
        ASSERT_EQ(actual.size, expected.size);
        ASSERT_EQ(actual.hash, expected.hash);
        ASSERT_EQ(actual.key, expected.key);
        // Only what the first input's edit skips stays unplayed; a later input's start plays.
        ASSERT_EQ(actual.discard, i == 0 && expected.discard);
        ASSERT_TRUE(actual.dts && actual.pts && expected.pts);
        ASSERT_EQ(*actual.dts - input_start, *expected.dts - first_dts);
        ASSERT_EQ(*actual.pts - *actual.dts, *expected.pts - *expected.dts);
        // The last packet of an input is timed by the next input's start, the very last one by the edit list.
        if (k + 1 < packets.size()) {
          ASSERT_EQ(actual.duration, expected.duration);
        }
      }
      // The next input starts where this input's track ends: its decode times summed.
      const TrackSamples& track = j.inputs[i].tracks.at(static_cast<std::size_t>(stream.index));
      ASSERT_EQ(stream.time_base_num, 1);
      ASSERT_EQ(stream.time_base_den, track.mdhd_timescale);
      input_start += static_cast<std::int64_t>(track.stts_duration);
    }
    EXPECT_EQ(at, joined.size()) << "the output has more packets than the inputs";
  }
}

/// The movie plays as long as the inputs together. A stream plays no less
/// than the inputs' streams together, and no further than its media reaches
/// from where the first input starts playing it: a lossless join must play a
/// later input's encoder priming, which that input's own edit skipped. Only
/// the rounding of each input's edit to the movie timescale may add a tick.
void expect_durations_add_up(const Judged& j) {
  const std::size_t n = j.inputs.size();
  double format_duration = 0;
  for (const Probe& p : j.input_probes) format_duration += p.format_duration;
  EXPECT_NEAR(j.output_probe.format_duration, format_duration, 1e-6 * static_cast<double>(n + 1));

  for (const ProbeStream& stream : j.output_probe.streams) {
    if (stream.codec_type != "video" && stream.codec_type != "audio") continue;
    SCOPED_TRACE("stream " + std::to_string(stream.index) + " (" + stream.codec_tag + ")");
    const auto t = static_cast<std::size_t>(stream.index);
    std::int64_t played = 0;
    std::int64_t media = 0;
    for (std::size_t i = 0; i < n; ++i) {
      played += j.input_probes[i].streams.at(t).duration_ts.value();
      media += static_cast<std::int64_t>(j.inputs[i].tracks.at(t).stts_duration);
    }
    const std::int64_t start = first_media_time(edit_list(j.input_bytes.front(), j.inputs.front(), t));
    const auto movie_tick = static_cast<std::int64_t>(
        std::ceil(static_cast<double>(stream.time_base_den) / static_cast<double>(j.inputs.front().timescale)));
    const std::int64_t slack = movie_tick * static_cast<std::int64_t>(n);
    const std::int64_t actual = stream.duration_ts.value();
    EXPECT_GE(actual, played) << "the joined stream plays less than the inputs";
    EXPECT_LE(actual, std::max(played, media - start) + slack)
        << "the joined stream plays beyond its media (inputs play " << played << ", the media from its start holds "
        << media - start << ")";
  }
}

/// Every sample of every track, found through the output's own tables, is
/// the inputs' samples in order; a timecode track keeps the first input's
/// samples (one timecode covers the whole recording).
void expect_samples_concatenated(const Judged& j) {
  ASSERT_EQ(j.output.tracks.size(), j.inputs.front().tracks.size());
  for (std::size_t t = 0; t < j.output.tracks.size(); ++t) {
    const TrackSamples& track = j.output.tracks[t];
    SCOPED_TRACE("track " + std::to_string(t + 1) + " (" + track.format + ")");
    const std::vector<Sample> expected =
        is_timecode(track) ? j.inputs.front().tracks[t].samples : concatenated_samples(j.inputs, t);
    ASSERT_EQ(track.samples.size(), expected.size());
    for (std::size_t s = 0; s < expected.size(); ++s) {
      ASSERT_EQ(track.samples[s].data, expected[s].data) << "sample " << s;
      ASSERT_EQ(track.samples[s].decode_time, expected[s].decode_time) << "sample " << s;
      ASSERT_EQ(track.samples[s].composition_offset, expected[s].composition_offset) << "sample " << s;
      ASSERT_EQ(track.samples[s].sync, expected[s].sync) << "sample " << s;
    }
  }
}

/// The movie, track and media headers hold the sums over the inputs, the
/// timecode track's included.
void expect_header_durations_summed(const Judged& j) {
  std::uint64_t movie = 0;
  for (const Movie& m : j.inputs) movie += m.duration;
  EXPECT_EQ(j.output.duration, movie);
  for (std::size_t t = 0; t < j.output.tracks.size(); ++t) {
    SCOPED_TRACE("track " + std::to_string(t + 1) + " (" + j.output.tracks[t].format + ")");
    std::uint64_t tkhd = 0, mdhd = 0;
    for (const Movie& m : j.inputs) {
      tkhd += m.tracks[t].tkhd_duration;
      mdhd += m.tracks[t].mdhd_duration;
    }
    EXPECT_EQ(j.output.tracks[t].tkhd_duration, tkhd);
    EXPECT_EQ(j.output.tracks[t].mdhd_duration, mdhd);
  }
}

/// The first input's tree in the same order, co64 in place of stco, and one
/// media-data box with the 16-byte header.
void expect_template_tree(const Judged& j) {
  std::string expected = tree_text(j.inputs.front().boxes);
  for (std::size_t at; (at = expected.find("stco")) != std::string::npos;) expected.replace(at, 4, "co64");
  EXPECT_EQ(tree_text(j.output.boxes), expected);
  std::size_t mdat_boxes = 0;
  for (const BoxInfo& box : j.output.boxes) {
    if (box.type != "mdat") continue;
    ++mdat_boxes;
    EXPECT_EQ(box.header_size, 16u);
    EXPECT_EQ(load_be(j.output_bytes, box.position, 4), 1u);
  }
  EXPECT_EQ(mdat_boxes, 1u);
}

void expect_faithful_join(const Judged& j) {
  {
    SCOPED_TRACE("ffprobe's packets");
    expect_packets_concatenated(j);
  }
  {
    SCOPED_TRACE("ffprobe's durations");
    expect_durations_add_up(j);
  }
  {
    SCOPED_TRACE("samples through the output's tables");
    expect_samples_concatenated(j);
  }
  expect_header_durations_summed(j);
  expect_template_tree(j);
}

/// How one set of chapters is recorded; every chapter of a set has the same settings.
struct ChapterRecipe {
  const char* name;
  std::size_t chapters;
  bool video = true;
  bool faststart = false;            ///< the movie box before the media data
  bool timecode = false;             ///< a tmcd track, counting on from chapter to chapter
  const char* audio_delay = nullptr;  ///< seconds before the audio starts: an empty edit
};

void PrintTo(const ChapterRecipe& recipe, std::ostream* os) { *os << recipe.name; }

constexpr double CHAPTER_SECONDS[] = {1.5, 1.0, 2.0};
constexpr int FRAME_RATE = 30;  // ffmpeg then picks the media timescale 15360

std::string timecode_at(double seconds) {
  const auto frames = static_cast<int>(std::lround(seconds * FRAME_RATE));
  char text[32];
  std::snprintf(text, sizeof text, "01:%02d:%02d:%02d", frames / FRAME_RATE / 60, frames / FRAME_RATE % 60,
                frames % FRAME_RATE);
  return text;
}

/// Records the chapters with ffmpeg from test sources: H.264 with B-frames
/// (so composition offsets) and AAC, each chapter a little different. Recipes
/// that share a chapter's settings share its recording.
std::vector<std::string> record_chapters(const TempDir& dir, const ChapterRecipe& recipe) {
  std::vector<std::string> paths;
  double start = 0;
  for (std::size_t k = 0; k < recipe.chapters; ++k) {
    const double seconds = CHAPTER_SECONDS[k % std::size(CHAPTER_SECONDS)];
    std::vector<std::string> args;
    if (recipe.video) {
      args.insert(args.end(), {"-f", "lavfi", "-i", "testsrc2=size=160x120:rate=" + std::to_string(FRAME_RATE)});
    }
    if (recipe.audio_delay) args.insert(args.end(), {"-itsoffset", recipe.audio_delay});
    args.insert(args.end(), {"-f", "lavfi", "-i", "sine=frequency=" + std::to_string(440 + 110 * k) + ":sample_rate=48000"});
    args.insert(args.end(), {"-t", std::to_string(seconds)});
    if (recipe.video) {
      args.insert(args.end(), {"-vf", "hue=h=" + std::to_string(40 * k), "-c:v", "libx264", "-preset", "ultrafast",
                               "-bf", "2", "-g", "12", "-pix_fmt", "yuv420p"});
    }
    args.insert(args.end(), {"-c:a", "aac", "-b:a", "64k"});
    if (recipe.faststart) args.insert(args.end(), {"-movflags", "+faststart"});
    if (recipe.timecode) args.insert(args.end(), {"-timecode", timecode_at(start), "-write_tmcd", "1"});
    paths.push_back(dir.file("chapter" + std::to_string(k + 1) + ".mp4"));
    record_once(args, paths.back());
    start += seconds;
  }
  return paths;
}

// The suites of these cases are listed in tests/CMakeLists.txt (ffmpeg_cases),
// which labels them ffmpeg: the emulated cross build leaves them out.
class NeedsFfmpeg : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!ffmpeg_available()) GTEST_SKIP() << "ffmpeg and ffprobe are not installed";
  }
};

class FfmpegChapters : public NeedsFfmpeg, public ::testing::WithParamInterface<ChapterRecipe> {};

TEST_P(FfmpegChapters, JoinIsWhatTheInputsHold) {
  const ChapterRecipe& recipe = GetParam();
  TempDir dir;
  const auto paths = record_chapters(dir, recipe);
  const std::string out = dir.file("joined.mp4");
  ASSERT_TRUE(join_files(paths, out, nullptr));
  const Judged j = judge(paths, out);

  // The recordings are what the case is about.
  const Movie& first = j.inputs.front();
  const BoxInfo* moov = find_box(first.boxes, "moov");
  const BoxInfo* mdat = find_box(first.boxes, "mdat");
  ASSERT_TRUE(moov && mdat);
  EXPECT_EQ(moov->position < mdat->position, recipe.faststart);
  if (recipe.video) {
    const TrackSamples& video = first.tracks.at(0);
    ASSERT_EQ(video.format, "avc1");
    ASSERT_TRUE(video.has_ctts);
    ASSERT_TRUE(std::any_of(video.samples.begin(), video.samples.end(),
                            [](const Sample& s) { return s.composition_offset != 0; }))
        << "no B-frames: the composition offsets would go untested";
  }
  const std::size_t timecode_tracks = static_cast<std::size_t>(
      std::count_if(first.tracks.begin(), first.tracks.end(), [](const TrackSamples& t) { return is_timecode(t); }));
  ASSERT_EQ(timecode_tracks, recipe.timecode ? 1u : 0u);

  expect_faithful_join(j);

  if (recipe.timecode) {
    // The joined recording starts at the first chapter's timecode.
    const auto& streams = j.output_probe.streams;
    const auto tmcd = std::find_if(streams.begin(), streams.end(), [](const ProbeStream& s) { return s.codec_tag == "tmcd"; });
    ASSERT_NE(tmcd, streams.end()) << "ffprobe finds no timecode track";
    EXPECT_EQ(tmcd->tags.count("timecode") ? tmcd->tags.at("timecode") : "", timecode_at(0));
  }
}

INSTANTIATE_TEST_SUITE_P(Recordings, FfmpegChapters,
                         ::testing::Values(ChapterRecipe{"MediaDataFirstTwo", 2},
                                           ChapterRecipe{"MediaDataFirstThree", 3},
                                           ChapterRecipe{"MovieFirstTwo", 2, true, true},
                                           ChapterRecipe{"MovieFirstThree", 3, true, true},
                                           ChapterRecipe{"TimecodeTrack", 3, true, false, true},
                                           ChapterRecipe{"AudioOnlyTwo", 2, false},
                                           ChapterRecipe{"AudioOnlyThree", 3, false},
                                           ChapterRecipe{"AudioStartsLate", 2, true, false, false, "0.25"}),
                         [](const auto& param_info) { return std::string(param_info.param.name); });

class FfmpegEditLists : public NeedsFfmpeg {};

// ffmpeg writes the movie in milliseconds and 30 fps video in 1/15360 s: the
// video's edit must cover the joined media in movie units, not media units.
TEST_F(FfmpegEditLists, VideoEditCoversTheJoinedMediaInMovieUnits) {
  TempDir dir;
  const auto paths = record_chapters(dir, ChapterRecipe{"", 2});
  const std::string out = dir.file("joined.mp4");
  ASSERT_TRUE(join_files(paths, out, nullptr));
  const Judged j = judge(paths, out);

  ASSERT_EQ(j.inputs.front().timescale, 1000u);
  ASSERT_EQ(j.inputs.front().tracks.at(0).mdhd_timescale, 15360u);
  for (std::size_t i = 0; i < j.inputs.size(); ++i) ASSERT_FALSE(edit_list(j.input_bytes[i], j.inputs[i], 0).empty());

  const auto edits = edit_list(j.output_bytes, j.output, 0);
  ASSERT_EQ(edits.size(), 1u);
  const std::uint64_t media = j.output.tracks[0].mdhd_duration;
  EXPECT_EQ(edits[0].segment_duration, (media * 1000 + 15359) / 15360);
  EXPECT_EQ(edits[0].media_time, first_media_time(edit_list(j.input_bytes[0], j.inputs[0], 0)));

  std::int64_t played = 0;
  for (const Probe& p : j.input_probes) played += p.streams.at(0).duration_ts.value();
  EXPECT_EQ(j.output_probe.streams.at(0).duration_ts.value(), played);
}

// Audio that starts after the video: an empty edit, then the edit that plays
// the media. Only the media edit grows; the empty edit stays as recorded.
TEST_F(FfmpegEditLists, EmptyEditStaysAndTheMediaEditGrows) {
  TempDir dir;
  const auto paths = record_chapters(dir, ChapterRecipe{"", 2, true, false, false, "0.25"});
  const std::string out = dir.file("joined.mp4");
  ASSERT_TRUE(join_files(paths, out, nullptr));
  const Judged j = judge(paths, out);

  const std::size_t audio = 1;
  ASSERT_EQ(j.inputs.front().tracks.at(audio).format, "mp4a");
  std::uint64_t played = 0;
  std::uint64_t media = 0;
  for (std::size_t i = 0; i < j.inputs.size(); ++i) {
    const auto edits = edit_list(j.input_bytes[i], j.inputs[i], audio);
    ASSERT_EQ(edits.size(), 2u);
    ASSERT_EQ(edits[0].media_time, -1);
    ASSERT_NE(edits[1].media_time, -1);
    played += edits[1].segment_duration;
    media += j.inputs[i].tracks[audio].mdhd_duration;
  }

  const auto before = edit_list(j.input_bytes[0], j.inputs[0], audio);
  const auto after = edit_list(j.output_bytes, j.output, audio);
  ASSERT_EQ(after.size(), 2u);
  const auto entry_bytes = [](const Bytes& file, const EditEntry& e) {
    return Bytes(file.begin() + static_cast<std::ptrdiff_t>(e.position),
                 file.begin() + static_cast<std::ptrdiff_t>(e.position + e.size));
  };
  EXPECT_EQ(entry_bytes(j.output_bytes, after[0]), entry_bytes(j.input_bytes[0], before[0])) << "the empty edit changed";
  EXPECT_EQ(after[1].media_time, before[1].media_time);
  // Plays every input's media edit, and no further than the joined media reaches (give or take a tick per input).
  const std::uint32_t media_timescale = j.output.tracks[audio].mdhd_timescale;
  const std::uint32_t movie_timescale = j.output.timescale;
  EXPECT_GE(after[1].segment_duration, played);
  const std::uint64_t media_left = media - static_cast<std::uint64_t>(after[1].media_time);
  EXPECT_LE(after[1].segment_duration, (media_left * movie_timescale + media_timescale - 1) / media_timescale +
                                           j.inputs.size());
}

struct CameraCase {
  const char* name;
  const char* first;
  const char* second;
  bool copy_second = false;  ///< the second input is a copy, not the same path again
};

void PrintTo(const CameraCase& c, std::ostream* os) { *os << c.name; }

class CameraFiles : public NeedsFfmpeg, public ::testing::WithParamInterface<CameraCase> {};

// GoPro writes the media data before the movie box and adds tracks ffmpeg
// cannot decode (timecode, telemetry, fdsc); those are judged by the test's reader alone.
TEST_P(CameraFiles, JoinIsWhatTheInputsHold) {
  const CameraCase& c = GetParam();
  TempDir dir;
  std::vector<std::string> paths = {DATA_DIR + "/" + c.first, DATA_DIR + "/" + c.second};
  if (c.copy_second) {
    fs::copy_file(paths[1], dir.file("copy.mp4"));
    paths[1] = dir.file("copy.mp4");
  }
  const std::string out = dir.file("joined.mp4");
  ASSERT_TRUE(join_files(paths, out, nullptr));
  const Judged j = judge(paths, out);
  ASSERT_EQ(j.inputs.front().tracks.size(), 5u);
  expect_faithful_join(j);
}

INSTANTIATE_TEST_SUITE_P(GoPro, CameraFiles,
                         ::testing::Values(CameraCase{"KarmaWithItself", "karma.mp4", "karma.mp4"},
                                           CameraCase{"KarmaWithACopy", "karma.mp4", "karma.mp4", true},
                                           CameraCase{"MaxHeroModeWithItself", "max-heromode.mp4", "max-heromode.mp4"}),
                         [](const auto& param_info) { return std::string(param_info.param.name); });

// A camera that loses power while writing the movie box leaves it cut short:
// the join names the cut input and says how it is cut, as the first input or a
// later one, and leaves nothing that looks like a finished movie behind.
TEST(RealFileFailures, InputCutInsideItsMovieBox) {
  TempDir dir;
  const Bytes original = read_file(DATA_DIR + "/karma.mp4");
  const std::string input = DATA_DIR + "/karma.mp4";
  const Movie movie = inspect_movie(original);
  const BoxInfo* moov = find_box(movie.boxes, "moov");
  ASSERT_NE(moov, nullptr);
  ASSERT_EQ(moov->position + moov->size, original.size()) << "karma.mp4 ends with its movie box";
  struct Cut {
    std::uint64_t kept;  ///< bytes of the movie box left
    ErrorKind kind;
    std::string message;
  };
  const auto short_by = [&](std::uint64_t kept) {
    return "the moov box at offset " + std::to_string(moov->position) + " declares " + std::to_string(moov->size) +
           " bytes, " + std::to_string(moov->size - kept) + " more than the file holds";
  };
  // Four bytes are no box header at all: the file then has no movie box.
  const Cut cuts[] = {
      {4, ErrorKind::InvalidData, "no movie box (moov); the recording may have been cut short"},
      {200, ErrorKind::UnexpectedEof, short_by(200)},
      {moov->size / 2, ErrorKind::UnexpectedEof, short_by(moov->size / 2)},
      {moov->size - 1, ErrorKind::UnexpectedEof, short_by(moov->size - 1)},
  };
  const std::string cut_path = dir.file("cut.mp4");
  const std::string out = dir.file("out.mp4");
  for (const Cut& cut : cuts) {
    SCOPED_TRACE(std::to_string(cut.kept) + " bytes of the movie box left");
    write_file(cut_path, Bytes(original.begin(), original.begin() + static_cast<std::ptrdiff_t>(moov->position + cut.kept)));
    for (const auto& inputs : {std::vector<std::string>{input, cut_path}, std::vector<std::string>{cut_path, input}}) {
      const Status status = join_files(inputs, out, nullptr);
      ASSERT_FALSE(status) << "a cut movie box was joined as if whole";
      EXPECT_EQ(status.error().kind(), cut.kind) << status.error().describe();
      EXPECT_EQ(status.error().message().rfind(cut_path + ": " + cut.message, 0), 0u) << status.error().describe();
      EXPECT_TRUE(!fs::exists(out) || fs::file_size(out) == 0) << fs::file_size(out) << " bytes left";
      fs::remove(out);
    }
  }
}

}  // namespace
}  // namespace reelknit::testing
