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
#include "support/chapter_settings.h"
#include "support/recordings.h"
#include "support/skips.h"
#include "support/temp_dir.h"

namespace reelknit::testing {
namespace {

namespace fs = std::filesystem;

const std::string DATA_DIR = REELKNIT_TEST_DATA_DIR;

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

double seconds(std::int64_t ticks, const ProbeStream& stream) {
  return static_cast<double>(ticks) * static_cast<double>(stream.time_base_num) / static_cast<double>(stream.time_base_den);
}

/// The track waits after it has shown media: an empty edit follows a media edit.
bool waits_after_a_chapter(const TrackSamples& track) {
  for (std::size_t k = 1; k < track.edits.size(); ++k)
    if (track.edits[k].media_time == -1) return true;
  return false;
}

/// Per video and audio stream, a player presents the inputs' packets one
/// after another: the packets each input presents, with the same bytes and key
/// flags, and each chapter starts where its movie starts in the joined movie,
/// plus where it started in its own file, within one frame. (The demuxer may
/// hand over more packets before a chapter, marked as not presented: the
/// decoder's warm-up for the chapter's own edit.)
void expect_packets_concatenated(const Judged& j) {
  const Probe& out = j.output_probe;
  ASSERT_EQ(out.streams.size(), j.input_probes.front().streams.size());
  for (const ProbeStream& stream : out.streams) {
    if (stream.codec_type != "video" && stream.codec_type != "audio") continue;
    SCOPED_TRACE("stream " + std::to_string(stream.index) + " (" + stream.codec_tag + ")");
    // FFmpeg's demuxer honours an empty edit only at the start of a list; where
    // a later chapter's track waits, the samples and the edit list test judge it.
    if (waits_after_a_chapter(j.output.tracks.at(static_cast<std::size_t>(stream.index)))) continue;
    const auto joined = presented_packets(out, stream.index);
    ASSERT_FALSE(joined.empty());
    std::size_t at = 0;
    double chapter_start = 0;
    for (std::size_t i = 0; i < j.input_probes.size(); ++i) {
      SCOPED_TRACE("input " + std::to_string(i + 1));
      const auto packets = presented_packets(j.input_probes[i], stream.index);
      ASSERT_FALSE(packets.empty());
      if (i > 0) at += hidden_start_presented(joined, at, j.input_probes[i], stream.index);
      ASSERT_LE(at + packets.size(), joined.size()) << "the output presents fewer packets than the inputs";
      // Where the chapter starts, as the packet presented first.
      auto first_pts = [&](const std::vector<ProbePacket>& list, std::size_t from, std::size_t count) {
        std::int64_t lowest = *list[from].pts;
        for (std::size_t k = from; k < from + count; ++k) lowest = std::min(lowest, *list[k].pts);
        return lowest;
      };
      const double frame = seconds(packets.front().duration, stream);
      const double expected_start = chapter_start + seconds(first_pts(packets, 0, packets.size()), stream);
      EXPECT_NEAR(seconds(first_pts(joined, at, packets.size()), stream), expected_start, frame + 1e-9);
      for (std::size_t k = 0; k < packets.size(); ++k, ++at) {
        const ProbePacket& expected = packets[k];
        const ProbePacket& actual = joined[at];
        SCOPED_TRACE("packet " + std::to_string(k) + " of the input, " + std::to_string(at) + " of the output");
        ASSERT_EQ(actual.size, expected.size);
        ASSERT_EQ(actual.hash, expected.hash);
        ASSERT_EQ(actual.key, expected.key);
        ASSERT_TRUE(actual.dts && actual.pts && expected.pts && expected.dts);
        ASSERT_EQ(*actual.pts - *actual.dts, *expected.pts - *expected.dts);
      }
      // The next chapter starts where this one's movie ends, or where this
      // track ends if it runs on past that (nothing is trimmed).
      const ProbeStream& own = j.input_probes[i].streams.at(static_cast<std::size_t>(stream.index));
      chapter_start += std::max(j.input_probes[i].format_duration,
                                own.duration_ts ? seconds(*own.duration_ts, own) : 0.0);
    }
    EXPECT_EQ(at, joined.size()) << "the output presents more packets than the inputs";
  }
}

/// The movie plays as long as the inputs together, and so does each stream:
/// every chapter's stream as long as in its own file, within the rounding of
/// each input's edits to the movie timescale, or longer where it waits.
void expect_durations_add_up(const Judged& j) {
  const std::size_t n = j.inputs.size();
  double format_duration = 0;
  for (const Probe& p : j.input_probes) format_duration += p.format_duration;
  // The last chapter may start up to two of its frames late (the recipes' are
  // at most 1/30 s), where its first frame could not come sooner.
  EXPECT_GE(j.output_probe.format_duration, format_duration - 1e-6 * static_cast<double>(n + 1));
  EXPECT_LE(j.output_probe.format_duration, format_duration + 2.0 / 30 + 1e-6 * static_cast<double>(n + 1));

  for (const ProbeStream& stream : j.output_probe.streams) {
    if (stream.codec_type != "video" && stream.codec_type != "audio") continue;
    SCOPED_TRACE("stream " + std::to_string(stream.index) + " (" + stream.codec_tag + ")");
    const auto t = static_cast<std::size_t>(stream.index);
    // In the output stream's time base: a chapter recorded at another sample rate has another one.
    double played = 0;
    for (std::size_t i = 0; i < n; ++i) {
      const ProbeStream& own = j.input_probes[i].streams.at(t);
      played += seconds(own.duration_ts.value(), own) * static_cast<double>(stream.time_base_den) /
                static_cast<double>(stream.time_base_num);
    }
    const auto movie_tick = static_cast<std::int64_t>(
        std::ceil(static_cast<double>(stream.time_base_den) / static_cast<double>(j.inputs.front().timescale)));
    // A stream that ends early in a chapter waits for the next one: it may last longer, up to the movie.
    EXPECT_GE(static_cast<double>(stream.duration_ts.value()) + static_cast<double>(movie_tick) * static_cast<double>(n),
              played);
    EXPECT_LE(static_cast<double>(stream.duration_ts.value()),
              j.output_probe.format_duration * static_cast<double>(stream.time_base_den) /
                      static_cast<double>(stream.time_base_num) + static_cast<double>(movie_tick));
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
    std::vector<std::vector<Sample>> expected;
    std::vector<std::uint32_t> timescales;
    for (const Movie& input : j.inputs) {
      expected.push_back(input.tracks[t].samples);
      timescales.push_back(input.tracks[t].mdhd_timescale);
      if (is_timecode(track)) break;
    }
    expect_track_samples(expected, track.samples, timescales, track.mdhd_timescale);
  }
}

/// The first input's tree in the same order, co64 in place of stco, and one
/// media-data box with the 16-byte header.
void expect_template_tree(const Judged& j) {
  EXPECT_EQ(template_tree(j.output.boxes), template_tree(j.inputs.front().boxes));
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
  expect_durations_joined(j.inputs, j.output);
  expect_template_tree(j);
}

/// Track by track, how many sample descriptions the output has: one for
/// chapters whose settings are alike, whatever their bitrate figures say.
void expect_descriptions(const Movie& output, const std::vector<std::size_t>& expected) {
  std::vector<std::size_t> found;
  for (const TrackSamples& track : output.tracks) found.push_back(track.sample_entries.size());
  EXPECT_EQ(found, expected) << "sample descriptions per track";
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
    if (const auto missing = missing_tools({FFMPEG, FFPROBE})) GTEST_SKIP() << *missing;
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
  expect_descriptions(j.output, std::vector<std::size_t>(j.output.tracks.size(), 1));

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

// Audio that starts after the video: the first chapter's empty edit stays,
// the later chapters' waits are carried by the sample before them, so every
// chapter's audio starts as late as it did in its own file, in one media edit.
TEST_F(FfmpegEditLists, EveryChaptersEditsFollowEachOther) {
  TempDir dir;
  const auto paths = record_chapters(dir, ChapterRecipe{"", 2, true, false, false, "0.25"});
  const std::string out = dir.file("joined.mp4");
  ASSERT_TRUE(join_files(paths, out, nullptr));
  const Judged j = judge(paths, out);

  const std::size_t audio = 1;
  ASSERT_EQ(j.inputs.front().tracks.at(audio).format, "mp4a");
  const auto first = edit_list(j.input_bytes[0], j.inputs[0], audio);
  ASSERT_EQ(first.size(), 2u);
  ASSERT_EQ(first[0].media_time, -1);
  const auto after = edit_list(j.output_bytes, j.output, audio);
  ASSERT_EQ(after.size(), 2u) << "one empty edit at the start, then one media edit";
  EXPECT_EQ(after[0].media_time, -1);
  EXPECT_EQ(after[0].segment_duration, first[0].segment_duration);
  EXPECT_EQ(after[1].media_time, first[1].media_time);

  // Where each chapter's audio starts in the joined movie, in seconds: its
  // first sample the chapter shows, placed by the output's edit.
  const TrackSamples& track = j.output.tracks[audio];
  const double movie_scale = j.output.timescale, media_scale = track.mdhd_timescale;
  double chapter_start = 0;
  std::size_t sample = 0;
  for (std::size_t i = 0; i < j.inputs.size(); ++i) {
    SCOPED_TRACE("chapter " + std::to_string(i + 1));
    const auto own = edit_list(j.input_bytes[i], j.inputs[i], audio);
    ASSERT_EQ(own.size(), 2u);
    const double delay = static_cast<double>(own[0].segment_duration) / j.inputs[i].timescale;
    const double shown_from = static_cast<double>(own[1].media_time) / j.inputs[i].tracks[audio].mdhd_timescale;
    const double own_first = static_cast<double>(track.samples[sample].decode_time) / media_scale;
    const double presented = static_cast<double>(after[0].segment_duration) / movie_scale + own_first + shown_from -
                             static_cast<double>(after[1].media_time) / media_scale;
    EXPECT_NEAR(presented, chapter_start + delay, 1.0 / 1000 + 1.0 / media_scale);
    chapter_start += static_cast<double>(j.inputs[i].duration) / j.inputs[i].timescale;
    sample += j.inputs[i].tracks[audio].samples.size();
  }
  EXPECT_EQ(j.output.tracks[audio].tkhd_duration, j.output.tracks[audio].presented_duration());
}

/// Chapters whose settings change from one to the next.
struct SettingChange {
  const char* name;
  std::vector<ChapterSettings> chapters;
  std::vector<std::size_t> descriptions;  ///< the output's sample descriptions, track by track
};

void PrintTo(const SettingChange& change, std::ostream* os) { *os << change.name; }

ChapterSettings video_and_sound(const std::string& size, const std::string& profile, int sample_rate, int channels) {
  ChapterSettings chapter;
  chapter.video = VideoSettings{size, profile, ""};
  chapter.audio = AudioSettings{sample_rate, channels};
  return chapter;
}

ChapterSettings sound(int sample_rate, int channels) {
  ChapterSettings chapter;
  chapter.audio = AudioSettings{sample_rate, channels};
  return chapter;
}

/// Per video and sound stream, ffmpeg decodes each chapter of the join as it
/// decodes the chapter alone: the join presents as many frames of each chapter
/// as the chapter alone (its own edit hides the same priming), each of the
/// chapter's own size, or sample rate and channel count, and a video chapter's
/// pictures are the same pixels.
void expect_chapters_decoded_as_alone(const Judged& j, const std::vector<std::string>& paths, const std::string& out) {
  for (const ProbeStream& stream : j.output_probe.streams) {
    const bool video = stream.codec_type == "video";
    if (!video && stream.codec_type != "audio") continue;
    SCOPED_TRACE("stream " + std::to_string(stream.index) + " (" + stream.codec_tag + ")");
    const std::vector<DecodedFrame> joined = decode_frames(out, stream);
    const auto joined_packets = presented_packets(j.output_probe, stream.index);
    std::size_t frame = 0;
    for (std::size_t i = 0; i < paths.size(); ++i) {
      SCOPED_TRACE("chapter " + std::to_string(i + 1));
      const auto stream_alone = static_cast<std::size_t>(stream.index);
      const std::vector<DecodedFrame> alone = decode_frames(paths[i], j.input_probes[i].streams.at(stream_alone));
      ASSERT_FALSE(alone.empty());
      // What the chapter hides at its start and the join presents, in no time, before it.
      if (i > 0) frame += hidden_start_presented(joined_packets, frame, j.input_probes[i], stream.index);
      ASSERT_LE(frame + alone.size(), joined.size()) << "ffmpeg decodes fewer frames than the chapters alone";
      const std::vector<DecodedFrame> chapter(joined.begin() + static_cast<std::ptrdiff_t>(frame),
                                              joined.begin() + static_cast<std::ptrdiff_t>(frame + alone.size()));
      frame += alone.size();
      if (video) {
        EXPECT_EQ(chapter, alone) << "a picture differs from the chapter decoded alone";
        continue;
      }
      for (std::size_t f = 0; f < chapter.size(); ++f) {
        ASSERT_EQ(chapter[f].sample_rate, alone.front().sample_rate) << "frame " << f;
        ASSERT_EQ(chapter[f].channels, alone.front().channels) << "frame " << f;
      }
    }
    EXPECT_EQ(frame, joined.size()) << "ffmpeg decodes more frames than the join plays";
  }
}

class FfmpegSettingChanges : public NeedsFfmpeg, public ::testing::WithParamInterface<SettingChange> {};

// A camera that changes resolution, profile, sample rate or channel count
// between chapters: each chapter's samples must be decoded with its own setting.
TEST_P(FfmpegSettingChanges, EveryChapterDecodesWithItsOwnSetting) {
  const SettingChange& change = GetParam();
  const bool has_video = std::any_of(change.chapters.begin(), change.chapters.end(),
                                     [](const ChapterSettings& chapter) { return chapter.video.has_value(); });
  if (has_video && video_encoder() != "libx264") {
    GTEST_SKIP() << record_missing_tool("ffmpeg's H.264 encoder libx264", "ffmpeg") << "; MPEG-4 Visual changes are refused (see below)";
  }
  TempDir dir;
  const auto paths = record_chapters_with_settings(dir.path().string(), change.chapters);
  const std::string out = dir.file("joined.mp4");
  const Status joined = join_files(paths, out, nullptr);
  ASSERT_TRUE(joined) << joined.error().describe();
  const Judged j = judge(paths, out);
  expect_faithful_join(j);
  expect_descriptions(j.output, change.descriptions);
  EXPECT_EQ(decode_errors(out), "");
  expect_chapters_decoded_as_alone(j, paths, out);
}

INSTANTIATE_TEST_SUITE_P(
    Recordings, FfmpegSettingChanges,
    ::testing::Values(
        SettingChange{"VideoSize",
                      {video_and_sound("320x240", "main", 48000, 1), video_and_sound("640x480", "main", 48000, 1)},
                      {2, 1}},
        SettingChange{"VideoProfile",
                      {video_and_sound("320x240", "main", 48000, 1), video_and_sound("320x240", "high", 48000, 1)},
                      {2, 1}},
        SettingChange{"SampleRate", {sound(44100, 1), sound(48000, 1)}, {2}},
        SettingChange{"Channels", {sound(48000, 1), sound(48000, 2)}, {2}},
        // The third chapter shares the first one's description. (Sound that changes
        // back and forth is left out: FFmpeg's demuxer presents one packet of the
        // second chapter's tail at the second seam.)
        SettingChange{"BackAndForth",
                      {video_and_sound("320x240", "main", 48000, 1), video_and_sound("640x480", "high", 48000, 1),
                       video_and_sound("320x240", "main", 48000, 1)},
                      {2, 1}}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

class FfmpegRefusedChanges : public NeedsFfmpeg {};

// FFmpeg decodes a later MPEG-4 Visual chapter with the first one's
// configuration (at the first one's size, with errors in every picture).
TEST_F(FfmpegRefusedChanges, MpegFourVisualCannotChangeItsSize) {
  TempDir dir;
  ChapterSettings small, large;
  small.video = VideoSettings{"320x240", "main", "mpeg4"};
  large.video = VideoSettings{"640x480", "main", "mpeg4"};
  const auto paths = record_chapters_with_settings(dir.path().string(), {small, large});
  const std::string out = dir.file("joined.mp4");
  const Status joined = join_files(paths, out, nullptr);
  ASSERT_FALSE(joined) << "joined";
  EXPECT_EQ(joined.error().kind(), ErrorKind::Unsupported);
  EXPECT_EQ(joined.error().message(),
            paths[1] + ": track 1 (mp4v) cannot take this input's sample description 1: it changes the dimensions "
                       "(320x240 and 640x480), and players keep decoding mp4v with the setting a track starts with");
  EXPECT_FALSE(fs::exists(out));
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
  expect_descriptions(j.output, {1, 1, 1, 1, 1});
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
