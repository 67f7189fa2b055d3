// Sample descriptions across a join: one output entry per distinct setting,
// each input's chunks pointed at the entry of its setting.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/byte_order.h"
#include "support/join_check.h"
#include "support/memory_join.h"
#include "support/mp4_builder.h"
#include "support/mp4_inspect.h"

namespace reelknit::testing {
namespace {

constexpr std::uint32_t SAMPLES = 6;  // in 3 chunks of 2

/// One track of six samples whose chunks name `chunk_descriptions` of `entries`.
Bytes movie_with(const std::string& handler, std::vector<Bytes> entries, std::vector<std::uint32_t> chunk_descriptions,
                 std::uint8_t fill) {
  TrackPlan track;
  track.sample_sizes = std::vector<std::uint32_t>(SAMPLES, 10);
  track.handler = handler;
  track.sample_entries = std::move(entries);
  track.chunk_descriptions = std::move(chunk_descriptions);
  track.fill = fill;
  MoviePlan plan;
  plan.tracks = {track};
  return make_movie(plan);
}

std::vector<Movie> inspect_all(const std::vector<Bytes>& files) {
  std::vector<Movie> movies;
  for (const Bytes& file : files) movies.push_back(inspect_movie(file));
  return movies;
}

Bytes with_btrt(Bytes entry, std::uint32_t average) {
  append(entry, btrt(0, average * 2, average));
  store_size(entry);
  return entry;
}

const Bytes SMALL = visual_entry("avc1", 320, 240, {avcC(0x4D, 0x0D)}, "Lavc libx264");
const Bytes LARGE = visual_entry("avc1", 640, 480, {avcC(0x4D, 0x1E)});
const Bytes HIGH = visual_entry("avc1", 320, 240, {avcC(0x64, 0x0D)});

EsdsPlan audio_config(const Bytes& codec_config, std::uint32_t bitrate) {
  EsdsPlan plan;
  plan.codec_config = codec_config;
  plan.max_bitrate = plan.avg_bitrate = bitrate;
  return plan;
}
const Bytes STEREO_48K = audio_entry("mp4a", 2, 16, 48000, {esds(audio_config({0x11, 0x90}, 128000))});
const Bytes STEREO_48K_OTHER_RATE = audio_entry("mp4a", 2, 16, 48000, {esds(audio_config({0x11, 0x90}, 96000))});
const Bytes STEREO_44K = audio_entry("mp4a", 2, 16, 44100, {esds(audio_config({0x12, 0x10}, 128000))});
const Bytes MONO_48K = audio_entry("mp4a", 1, 16, 48000, {esds(audio_config({0x11, 0x88}, 64000))});

struct InputTrack {
  std::vector<Bytes> entries;
  std::vector<std::uint32_t> chunk_descriptions;  ///< none: every chunk names the first
};

/// An input whose every chunk names its one entry.
InputTrack one(const Bytes& entry) { return InputTrack{{entry}, {}}; }

struct DescriptionCase {
  const char* name;
  std::string handler;
  std::vector<InputTrack> inputs;
  std::vector<Bytes> output_entries;
  std::vector<std::uint32_t> output_chunk_descriptions;  ///< every input's chunks, in order
};

TEST(JoinSampleDescriptions, OneEntryPerSettingAndEachInputsChunksNameTheirs) {
  Bytes runs_to_list_end = SMALL;
  store_be32(runs_to_list_end.data(), 0);
  const DescriptionCase cases[] = {
      {"bitrates and compressor name differ", "vide",
       {one(SMALL), one(with_btrt(SMALL, 800000)), one(visual_entry("avc1", 320, 240, {avcC(0x4D, 0x0D)}, "GoPro AVC"))},
       {SMALL},
       {1, 1, 1, 1, 1, 1, 1, 1, 1}},
      {"dimensions differ", "vide", {one(SMALL), one(LARGE)}, {SMALL, LARGE}, {1, 1, 1, 2, 2, 2}},
      {"profile differs", "vide", {one(SMALL), one(HIGH)}, {SMALL, HIGH}, {1, 1, 1, 2, 2, 2}},
      {"esds bitrates differ", "soun", {one(STEREO_48K), one(STEREO_48K_OTHER_RATE)}, {STEREO_48K}, {1, 1, 1, 1, 1, 1}},
      {"sample rate differs", "soun", {one(STEREO_44K), one(STEREO_48K)}, {STEREO_44K, STEREO_48K}, {1, 1, 1, 2, 2, 2}},
      {"channel count differs", "soun", {one(MONO_48K), one(STEREO_48K)}, {MONO_48K, STEREO_48K}, {1, 1, 1, 2, 2, 2}},
      {"back to the first setting", "vide",
       {one(SMALL), one(LARGE), one(with_btrt(SMALL, 1))},
       {SMALL, LARGE},
       {1, 1, 1, 2, 2, 2, 1, 1, 1}},
      // Renumbered per input: this input's entry 1 is the output's 2, its entry 2 the output's 1.
      {"a later input with two entries", "vide",
       {one(SMALL), {{LARGE, with_btrt(SMALL, 5)}, {1, 2, 1}}},
       {SMALL, LARGE},
       {1, 1, 1, 2, 1, 2}},
      {"the first input with two entries", "vide",
       {{{SMALL, LARGE}, {1, 2, 2}}, one(with_btrt(LARGE, 7))},
       {SMALL, LARGE},
       {1, 2, 2, 2, 2, 2}},
      // Appended after it, it cannot keep running to the end of the list: it is given its size.
      {"the first entry runs to the end of its list", "vide", {one(runs_to_list_end), one(LARGE)}, {SMALL, LARGE},
       {1, 1, 1, 2, 2, 2}},
      {"timed metadata", "meta", {one(box("gpmd", zeros(8))), one(box("gpmd", be64(1)))},
       {box("gpmd", zeros(8)), box("gpmd", be64(1))},
       {1, 1, 1, 2, 2, 2}},
  };
  for (const DescriptionCase& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<Bytes> files;
    for (const InputTrack& input : c.inputs) {
      files.push_back(movie_with(c.handler, input.entries, input.chunk_descriptions,
                                 static_cast<std::uint8_t>(files.size() * 50)));
    }
    const MemoryJoin joined = join_in_memory(files);
    ASSERT_TRUE(joined.status) << joined.status.error().describe();
    const Movie output = inspect_movie(joined.output);
    expect_joined(inspect_all(files), output);
    const TrackSamples& track = output.tracks.at(0);
    EXPECT_EQ(track.sample_entries, c.output_entries);
    std::vector<std::uint32_t> chunk_descriptions;
    for (std::size_t s = 0; s < track.samples.size(); s += 2) chunk_descriptions.push_back(track.samples[s].description_index);
    EXPECT_EQ(chunk_descriptions, c.output_chunk_descriptions);
  }
}

TEST(JoinSampleDescriptions, TimecodeTracksKeepTheFirstInputsDescription) {
  const Bytes first = movie_with("tmcd", {box("tmcd", be64(1))}, {}, 0);
  const Bytes second = movie_with("tmcd", {box("tmcd", be64(2))}, {}, 9);
  const MemoryJoin joined = join_in_memory({first, second});
  ASSERT_TRUE(joined.status) << joined.status.error().describe();
  const Movie output = inspect_movie(joined.output);
  const TrackSamples& track = output.tracks.at(0);
  EXPECT_EQ(track.sample_entries, std::vector<Bytes>{box("tmcd", be64(1))});
  EXPECT_EQ(track.samples.size(), SAMPLES);
}

struct Refusal {
  const char* name;
  Bytes first, second;
  ErrorKind kind;
  std::string message;
};

TEST(JoinSampleDescriptions, RefusesWhatTheOutputTrackCannotCarry) {
  const Bytes mp4v_small = visual_entry("mp4v", 320, 240, {esds()});
  const Bytes mp4v_large = visual_entry("mp4v", 640, 480, {esds()});
  const Bytes pcm_mono = audio_entry("sowt", 1, 16, 48000);
  const Bytes pcm_stereo = audio_entry("sowt", 2, 16, 48000);
  Bytes huge = visual_entry("avc1", 320, 240, {box("uuid", zeros(1 << 20))});
  Bytes spilling = LARGE;
  store_be32(spilling.data(), static_cast<std::uint32_t>(LARGE.size() + 1));
  const Refusal cases[] = {
      {"MPEG-4 Visual dimensions", movie_with("vide", {mp4v_small}, {}, 0), movie_with("vide", {mp4v_large}, {}, 1),
       ErrorKind::Unsupported,
       "input2: track 1 (mp4v) cannot take this input's sample description 1: it changes the dimensions (320x240 and "
       "640x480), and players keep decoding mp4v with the setting a track starts with"},
      {"PCM channels", movie_with("soun", {pcm_mono}, {}, 0), movie_with("soun", {pcm_stereo}, {}, 1),
       ErrorKind::Unsupported, "input2: track 1 (sowt) cannot take this input's sample description 1: it changes the channel count (1 and 2)"},
      {"format", movie_with("vide", {SMALL}, {}, 0), movie_with("vide", {visual_entry("hvc1", 320, 240)}, {}, 1),
       ErrorKind::Unsupported, "it changes the format (avc1 and hvc1), and players decode a track in the format it starts with"},
      {"a run names an entry the input lacks", movie_with("vide", {SMALL}, {}, 0),
       movie_with("vide", {LARGE}, {1, 2}, 1), ErrorKind::InvalidData,
       "input2: the sample-to-chunk table (stsc) of track 1 names sample description 2, but the track's sample "
       "description box (stsd) holds 1"},
      {"an entry over 1 MiB", movie_with("vide", {SMALL}, {}, 0), movie_with("vide", {huge}, {}, 1),
       ErrorKind::Unsupported, "entries over 1048576 bytes are not supported"},
      {"an entry spilling out of its box", movie_with("vide", {SMALL}, {}, 0), movie_with("vide", {spilling}, {}, 1),
       ErrorKind::InvalidData, "1 bytes past the end of its sample description box (stsd)"},
  };
  for (const Refusal& c : cases) {
    SCOPED_TRACE(c.name);
    const MemoryJoin joined = join_in_memory({c.first, c.second});
    ASSERT_FALSE(joined.status) << "joined";
    EXPECT_EQ(joined.status.error().kind(), c.kind);
    EXPECT_NE(joined.status.error().message().find(c.message), std::string::npos) << joined.status.error().message();
    EXPECT_TRUE(joined.output.empty());
  }
}

}  // namespace
}  // namespace reelknit::testing
