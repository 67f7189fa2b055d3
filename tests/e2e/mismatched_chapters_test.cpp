// Chapters that do not match the first one: tracks in another order, a track
// missing, other timescales, a trimmed chapter, compact sample sizes. Each is
// joined so that a player presents what every chapter presents, or refused
// naming the input and the track. Judged by ffprobe (what the demuxer
// presents, stream by stream of one kind) and FFmpeg's decoder.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <string>
#include <vector>

#include "reelknit/join.h"
#include "support/ffprobe.h"
#include "support/mp4_builder.h"
#include "support/mp4_inspect.h"
#include "support/run.h"
#include "support/skips.h"
#include "support/temp_dir.h"

namespace reelknit::testing {
namespace {

/// ffmpeg arguments for a chapter of `seconds` with 30 fps H.264 video and 48 kHz AAC audio.
std::vector<std::string> chapter_args(double seconds, std::vector<std::string> extra = {}) {
  std::vector<std::string> args = {"-f", "lavfi", "-i", "testsrc2=size=160x120:rate=30", "-f", "lavfi",
                                   "-i", "sine=frequency=440:sample_rate=48000", "-t", std::to_string(seconds),
                                   "-c:v", "libx264", "-preset", "ultrafast", "-bf", "2", "-g", "12",
                                   "-pix_fmt", "yuv420p", "-c:a", "aac", "-b:a", "64k"};
  args.insert(args.end(), extra.begin(), extra.end());
  return args;
}

std::string record(const TempDir& dir, const std::string& name, std::vector<std::string> args) {
  args.push_back(dir.file(name));
  run_ffmpeg(args);
  return dir.file(name);
}

/// The stream of a kind: the first video or audio stream of a probe.
const ProbeStream* stream_of(const Probe& probe, const std::string& kind) {
  for (const ProbeStream& s : probe.streams)
    if (s.codec_type == kind) return &s;
  return nullptr;
}

/// Per kind of stream, the output presents every chapter's presented packets
/// in order, each chapter starting within a frame of where its movie starts
/// in the joined movie; FFmpeg decodes the whole output without an error.
void expect_presented_in_order(const std::vector<std::string>& chapters, const std::string& out) {
  const Probe joined = probe(out);
  std::vector<Probe> probes;
  for (const std::string& chapter : chapters) probes.push_back(probe(chapter));
  for (const std::string kind : {"video", "audio"}) {
    SCOPED_TRACE(kind);
    const ProbeStream* stream = stream_of(joined, kind);
    ASSERT_NE(stream, nullptr);
    const auto packets = presented_packets(joined, stream->index);
    const double tick = static_cast<double>(stream->time_base_num) / static_cast<double>(stream->time_base_den);
    std::size_t at = 0;
    double chapter_start = 0;
    for (std::size_t c = 0; c < chapters.size(); ++c) {
      SCOPED_TRACE("chapter " + std::to_string(c + 1));
      const ProbeStream* own = stream_of(probes[c], kind);
      if (own) {
        auto expected = presented_packets(probes[c], own->index);
        if (c > 0) at += hidden_start_presented(packets, at, probes[c], own->index);
        // FFmpeg decides edit by edit whether a packet that straddles an edit's
        // start or end is presented: in a joined file's later edit it may decide
        // otherwise for that one packet at either end of a trimmed chapter.
        if (at < packets.size() && expected.size() > 1 && packets[at].hash != expected[0].hash &&
            packets[at].hash == expected[1].hash) {
          expected.erase(expected.begin());
        }
        const bool last = c + 1 == chapters.size();
        if (!last && at + expected.size() <= packets.size() && expected.size() > 1 &&
            packets[at + expected.size() - 1].hash != expected.back().hash) {
          expected.pop_back();
        } else if (last && at + expected.size() == packets.size() + 1) {
          expected.pop_back();
        }
        ASSERT_LE(at + expected.size(), packets.size());
        std::int64_t expected_first = *expected.front().pts, actual_first = *packets[at].pts;
        for (std::size_t k = 0; k < expected.size(); ++k) {
          ASSERT_EQ(packets[at + k].hash, expected[k].hash) << "packet " << k;
          expected_first = std::min(expected_first, *expected[k].pts);
          actual_first = std::min(actual_first, *packets[at + k].pts);
        }
        const double own_tick = static_cast<double>(own->time_base_num) / static_cast<double>(own->time_base_den);
        // Within one frame; FFmpeg's demuxer places a later edit over B-frames
        // by decode time, up to the two-frame reorder delay late.
        const double frames = kind == "video" ? 2 : 1;
        EXPECT_NEAR(static_cast<double>(actual_first) * tick,
                    chapter_start + static_cast<double>(expected_first) * own_tick,
                    frames * static_cast<double>(expected.front().duration) * own_tick + 1e-3);
        at += expected.size();
      }
      chapter_start += probes[c].format_duration;
    }
    EXPECT_EQ(at, packets.size());
  }
  const RunResult decoded = run_shell("ffmpeg -v error -i '" + out + "' -f null - 2>&1");
  EXPECT_EQ(decoded.exit_status, 0);
  EXPECT_EQ(decoded.out, "") << "FFmpeg's decoder complained";
}

struct MismatchCase {
  const char* name;
  /// Records the chapters, in playing order.
  std::function<std::vector<std::string>(const TempDir&)> chapters;
};
void PrintTo(const MismatchCase& c, std::ostream* os) { *os << c.name; }

class MismatchedChapters : public ::testing::TestWithParam<MismatchCase> {
 protected:
  void SetUp() override {
    if (const auto missing = missing_tools({FFMPEG, FFPROBE})) GTEST_SKIP() << *missing;
  }
  TempDir dir;
};

TEST_P(MismatchedChapters, EveryChapterPresentsWhatItPresentedAlone) {
  const auto chapters = GetParam().chapters(dir);
  const std::string out = dir.file("joined.mp4");
  const Status joined = join_files(chapters, out, nullptr);
  ASSERT_TRUE(joined) << joined.error().describe();
  expect_presented_in_order(chapters, out);
}

INSTANTIATE_TEST_SUITE_P(
    Ffmpeg, MismatchedChapters,
    ::testing::Values(
        // The audio track first in the second chapter: matched by kind, not by position.
        MismatchCase{"TracksInTheOtherOrder",
                     [](const TempDir& dir) {
                       return std::vector<std::string>{
                           record(dir, "a.mp4", chapter_args(1.5)),
                           record(dir, "b.mp4", chapter_args(1.0, {"-map", "1:a", "-map", "0:v"}))};
                     }},
        // 15360 then 90000 ticks a second: the second chapter's times are converted exactly.
        MismatchCase{"OtherVideoTimescale",
                     [](const TempDir& dir) {
                       return std::vector<std::string>{
                           record(dir, "a.mp4", chapter_args(1.5)),
                           record(dir, "b.mp4", chapter_args(1.0, {"-video_track_timescale", "90000"}))};
                     }},
        // A later chapter cut with -ss -c copy: its edit list hides the frames before the cut.
        MismatchCase{"LaterChapterTrimmed",
                     [](const TempDir& dir) {
                       const std::string whole = record(dir, "whole.mp4", chapter_args(2.0));
                       return std::vector<std::string>{
                           record(dir, "a.mp4", chapter_args(1.5)),
                           record(dir, "b.mp4", {"-ss", "0.5", "-i", whole, "-c", "copy"})};
                     }},
        // Three chapters with AAC priming each: no chapter plays its priming at the seam.
        MismatchCase{"PrimingOfEveryChapterSkipped",
                     [](const TempDir& dir) {
                       return std::vector<std::string>{record(dir, "a.mp4", chapter_args(1.0)),
                                                       record(dir, "b.mp4", chapter_args(1.5)),
                                                       record(dir, "c.mp4", chapter_args(1.0))};
                     }}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

/// The MD5 of every video frame FFmpeg decodes from `path`, in order.
std::vector<std::string> decoded_frames(const std::string& path) {
  const RunResult run = run_shell("ffmpeg -v quiet -i '" + path + "' -map 0:v -f framemd5 - | grep -v '^#'");
  std::vector<std::string> frames;
  std::size_t start = 0;
  for (std::size_t end; (end = run.out.find('\n', start)) != std::string::npos; start = end + 1) {
    const std::string line = run.out.substr(start, end - start);
    frames.push_back(line.substr(line.rfind(',') + 1));
  }
  return frames;
}

// No B-frames in the first chapter, B-frames in the second: the output gets
// composition offsets, and the second chapter its own sample description.
// FFmpeg's parser reads the second chapter with the first one's parameter
// sets and says so while probing, but its decoder switches: every frame
// decodes as it does from the chapter alone.
TEST(CompositionOffsetsOnlyInALaterChapter, EveryFrameDecodesAsAlone) {
  if (const auto missing = missing_tools({FFMPEG, FFPROBE})) GTEST_SKIP() << *missing;
  TempDir dir;
  const std::vector<std::string> chapters = {record(dir, "a.mp4", chapter_args(1.5, {"-bf", "0"})),
                                             record(dir, "b.mp4", chapter_args(1.0))};
  const std::string out = dir.file("joined.mp4");
  ASSERT_TRUE(join_files(chapters, out, nullptr));
  std::vector<std::string> expected = decoded_frames(chapters[0]);
  const std::vector<std::string> second = decoded_frames(chapters[1]);
  expected.insert(expected.end(), second.begin(), second.end());
  ASSERT_FALSE(second.empty());
  EXPECT_EQ(decoded_frames(out), expected);
  const Movie joined = inspect_movie(read_file(out));
  EXPECT_TRUE(joined.tracks.at(0).has_ctts);
}

// A chapter without the audio track: the track waits that chapter out, so the
// next chapter's audio starts with its video. (FFmpeg's demuxer ignores an
// empty edit after the first media edit, so the wait is judged on the edit list.)
TEST(MissingTrack, WaitsAsLongAsTheChapterLasts) {
  if (const auto missing = missing_tools({FFMPEG, FFPROBE})) GTEST_SKIP() << *missing;
  TempDir dir;
  const std::vector<std::string> chapters = {record(dir, "a.mp4", chapter_args(1.5)),
                                             record(dir, "b.mp4", chapter_args(2.0, {"-an"})),
                                             record(dir, "c.mp4", chapter_args(1.0))};
  const std::string out = dir.file("joined.mp4");
  ASSERT_TRUE(join_files(chapters, out, nullptr));
  const Movie joined = inspect_movie(read_file(out));
  const Movie first = inspect_movie(read_file(chapters[0]));
  const Movie second = inspect_movie(read_file(chapters[1]));
  ASSERT_EQ(joined.tracks.size(), 2u);
  const TrackSamples& audio = joined.tracks[1];
  ASSERT_EQ(audio.format, "mp4a");
  // One edit: the wait lives in the sample table, where the first chapter's
  // last sample lasts through the second chapter, so that no player fills an
  // empty edit in the middle of the list with other sound.
  ASSERT_EQ(audio.edits.size(), 1u);
  const std::size_t last_of_first = first.tracks[1].samples.size() - 1;
  const double waited = static_cast<double>(audio.samples[last_of_first + 1].decode_time -
                                            audio.samples[last_of_first].decode_time) /
                        audio.mdhd_timescale;
  // (less the third chapter's hidden first sample, which the wait holds)
  EXPECT_GE(waited + 2 * 1024.0 / 48000, static_cast<double>(second.duration) / second.timescale);
  // The third chapter's sound starts where its movie starts, as in the chapter alone.
  const double shown_from = static_cast<double>(audio.samples[last_of_first + 1].decode_time - audio.edits[0].media_time) /
                            audio.mdhd_timescale;
  const double third_starts = static_cast<double>(first.duration) / first.timescale +
                              static_cast<double>(second.duration) / second.timescale;
  EXPECT_NEAR(shown_from, third_starts - 1024.0 / 48000, 1024.0 / 48000 + 1e-3)
      << "its first sample, hidden in the chapter alone, takes next to no time or precedes it";
}

/// A two-track movie plan whose tracks are given by kind.
MoviePlan plan_of(std::vector<TrackPlan> tracks) {
  MoviePlan plan;
  plan.tracks = std::move(tracks);
  return plan;
}

TrackPlan track_of(const std::string& format, std::size_t samples, std::uint8_t fill) {
  TrackPlan track;
  for (std::size_t k = 0; k < samples; ++k) track.sample_sizes.push_back(static_cast<std::uint32_t>(20 + k));
  track.format = format;
  track.fill = fill;
  return track;
}

// A later input whose tracks cannot be matched to the first input's is
// refused, naming the input, the track and what differs; nothing is created.
TEST(UnmatchedTracks, AreRefusedByName) {
  struct Case {
    const char* name;
    std::vector<TrackPlan> first, later;
    const char* says;
  };
  const Case cases[] = {
      {"an extra track", {track_of("avc1", 4, 1)}, {track_of("avc1", 4, 2), track_of("mp4a", 3, 3)},
       "track 2 (vide mp4a) has no track to continue"},
      {"a track of another kind", {track_of("avc1", 4, 1)}, {track_of("hvc1", 4, 2)},
       "track 1 (vide hvc1) has no track to continue"},
      {"one of two tracks of a kind", {track_of("avc1", 4, 1), track_of("avc1", 4, 2)}, {track_of("avc1", 4, 3)},
       "which one it continues cannot be told"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    const std::string first = dir.file("first.mp4"), later = dir.file("later.mp4");
    write_file(first, make_movie(plan_of(c.first)));
    write_file(later, make_movie(plan_of(c.later)));
    const Status status = join_files({first, later}, dir.file("out.mp4"), nullptr);
    ASSERT_FALSE(status);
    EXPECT_EQ(status.error().kind(), ErrorKind::Unsupported);
    EXPECT_NE(status.error().message().find(later), std::string::npos) << status.error().message();
    EXPECT_NE(status.error().message().find(c.says), std::string::npos) << status.error().message();
    EXPECT_FALSE(std::filesystem::exists(dir.file("out.mp4")));
  }
}

}  // namespace
}  // namespace reelknit::testing
