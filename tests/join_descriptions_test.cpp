// Sample descriptions and sample groups across a join: one output entry per
// distinct setting, each input's chunks pointed at the entry of its setting;
// sample groups joined where every input describes them alike.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "base/byte_order.h"
#include "base/log_line.h"
#include "support/join_check.h"
#include "support/memory_join.h"
#include "support/mp4_builder.h"
#include "support/mp4_inspect.h"

namespace reelknit::testing {
namespace {

constexpr std::uint32_t SAMPLES = 6;  // in 3 chunks of 2

/// One track of six samples whose chunks name `chunk_descriptions` of `entries`.
Bytes movie_with(const std::string& handler, std::vector<Bytes> entries, std::vector<std::uint32_t> chunk_descriptions,
                 std::vector<Bytes> sample_groups, std::uint8_t fill) {
  TrackPlan track;
  track.sample_sizes = std::vector<std::uint32_t>(SAMPLES, 10);
  track.handler = handler;
  track.sample_entries = std::move(entries);
  track.chunk_descriptions = std::move(chunk_descriptions);
  track.sample_groups = std::move(sample_groups);
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
      files.push_back(movie_with(c.handler, input.entries, input.chunk_descriptions, {},
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
  const Bytes first = movie_with("tmcd", {box("tmcd", be64(1))}, {}, {}, 0);
  const Bytes second = movie_with("tmcd", {box("tmcd", be64(2))}, {}, {}, 9);
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
      {"MPEG-4 Visual dimensions", movie_with("vide", {mp4v_small}, {}, {}, 0), movie_with("vide", {mp4v_large}, {}, {}, 1),
       ErrorKind::Unsupported,
       "input2: track 1 (mp4v) cannot take this input's sample description 1: it changes the dimensions (320x240 and "
       "640x480), and players keep decoding mp4v with the setting a track starts with"},
      {"PCM channels", movie_with("soun", {pcm_mono}, {}, {}, 0), movie_with("soun", {pcm_stereo}, {}, {}, 1),
       ErrorKind::Unsupported, "input2: track 1 (sowt) cannot take this input's sample description 1: it changes the channel count (1 and 2)"},
      {"format", movie_with("vide", {SMALL}, {}, {}, 0), movie_with("vide", {visual_entry("hvc1", 320, 240)}, {}, {}, 1),
       // Another sample format is another kind of track: nothing in the first input to continue.
       ErrorKind::Unsupported, "input2: track 1 (vide hvc1) has no track to continue"},
      {"a run names an entry the input lacks", movie_with("vide", {SMALL}, {}, {}, 0),
       movie_with("vide", {LARGE}, {1, 2}, {}, 1), ErrorKind::InvalidData,
       "input2: the sample-to-chunk table (stsc) of track 1 names sample description 2, but the track's sample "
       "description box (stsd) holds 1"},
      {"an entry over 1 MiB", movie_with("vide", {SMALL}, {}, {}, 0), movie_with("vide", {huge}, {}, {}, 1),
       ErrorKind::Unsupported, "entries over 1048576 bytes are not supported"},
      {"an entry spilling out of its box", movie_with("vide", {SMALL}, {}, {}, 0), movie_with("vide", {spilling}, {}, {}, 1),
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

/// The sample-group boxes of the output's track: its sgpd payloads and its sbgp, by grouping type.
struct OutputGroup {
  std::string grouping_type;
  std::uint8_t version = 0;
  std::uint32_t parameter = 0;
  std::vector<std::pair<std::uint32_t, std::uint32_t>> runs;
  bool operator==(const OutputGroup&) const = default;
};

void PrintTo(const OutputGroup& group, std::ostream* out) {
  *out << group.grouping_type << " v" << int{group.version} << " parameter " << group.parameter << ":";
  for (auto [count, index] : group.runs) *out << " (" << count << ", " << index << ")";
}

struct OutputGroups {
  std::vector<OutputGroup> sbgp;
  std::vector<Bytes> sgpd;
};

OutputGroups output_groups(const Bytes& file) {
  const auto boxes = parse_boxes(file);
  const BoxInfo* stbl = find_box(boxes, "moov/trak/mdia/minf/stbl");
  OutputGroups found;
  for (const BoxInfo& child : stbl->children) {
    const auto payload = file.begin() + static_cast<std::ptrdiff_t>(child.position + child.header_size);
    const auto end = file.begin() + static_cast<std::ptrdiff_t>(child.position + child.size);
    if (child.type == "sgpd") found.sgpd.emplace_back(payload, end);
    if (child.type != "sbgp") continue;
    OutputGroup group;
    const std::uint8_t* at = &*payload;
    group.version = at[0];
    group.grouping_type.assign(at + 4, at + 8);
    at += 8;
    if (group.version == 1) {
      group.parameter = load_be32(at);
      at += 4;
    }
    const std::uint32_t count = load_be32(at);
    for (std::uint32_t k = 0; k < count; ++k) group.runs.emplace_back(load_be32(at + 4 + 8 * k), load_be32(at + 8 + 8 * k));
    found.sbgp.push_back(group);
  }
  return found;
}

Bytes payload_of(const Bytes& box_bytes) { return Bytes(box_bytes.begin() + 8, box_bytes.end()); }

struct GroupCase {
  const char* name;
  std::vector<std::vector<Bytes>> inputs;  ///< each input's sbgp and sgpd boxes
  std::vector<OutputGroup> sbgp;           ///< what the output's sbgp boxes hold
  std::vector<Bytes> sgpd;                 ///< the output's sgpd boxes
  std::string log;                         ///< text a debug line of the join must contain; empty: none looked for
};

TEST(JoinSampleGroups, RunsFollowEachInputWhereDescriptionsAgreeAndAreLeftOutWhereNot) {
  const Bytes roll = sgpd("roll", {be16(0xFFFF)});
  const Bytes other_roll = sgpd("roll", {be16(0xFFFE)});
  const Bytes two_rolls = sgpd("roll", {be16(0xFFFF), be16(0xFFFE)});
  const Bytes sync = sgpd("sync", {Bytes{5}}, 1);
  const Bytes defaulted = sgpd("roll", {be16(0xFFFF)}, 2, 2, 1);
  const GroupCase cases[] = {
      {"same descriptions", {{roll, sbgp("roll", {{6, 1}})}, {roll, sbgp("roll", {{6, 1}})}},
       {{"roll", 0, 0, {{12, 1}}}}, {roll}, ""},
      // The first input's runs cover 3 of its 6 samples: the others are in no group.
      {"runs short of an input's samples", {{roll, sbgp("roll", {{2, 1}, {1, 0}})}, {roll, sbgp("roll", {{6, 1}})}},
       {{"roll", 0, 0, {{2, 1}, {4, 0}, {6, 1}}}}, {roll}, ""},
      {"runs past an input's samples", {{two_rolls, sbgp("roll", {{10, 1}})}, {two_rolls, sbgp("roll", {{6, 2}})}},
       {{"roll", 0, 0, {{6, 1}, {6, 2}}}}, {two_rolls}, ""},
      {"an input without the grouping", {{roll, sbgp("roll", {{6, 1}})}, {}, {roll, sbgp("roll", {{6, 1}})}},
       {{"roll", 0, 0, {{6, 1}, {6, 0}, {6, 1}}}}, {roll}, ""},
      // Samples no run maps take the default group of a version 2 description.
      {"a default group", {{defaulted, sbgp("roll", {{2, 0}})}, {}},
       {{"roll", 0, 0, {{2, 0}, {4, 1}, {6, 0}}}}, {defaulted}, ""},
      // Without an sbgp to map them to no group, its samples would take the default.
      {"a default group only the first input has", {{defaulted}, {}}, {}, {},
       "no grouping, where the first input's puts every sample in a group in input 2"},
      {"version 1 with one parameter", {{roll, sbgp("roll", {{6, 1}}, 1, 7)}, {roll, sbgp("roll", {{6, 1}}, 1, 7)}},
       {{"roll", 1, 7, {{12, 1}}}}, {roll}, ""},
      {"descriptions differ; the other grouping stays",
       {{roll, sbgp("roll", {{6, 1}}), sync, sbgp("sync", {{1, 1}})}, {other_roll, sbgp("roll", {{6, 1}}), sync, sbgp("sync", {{1, 1}})}},
       {{"sync", 0, 0, {{1, 1}, {5, 0}, {1, 1}, {5, 0}}}}, {sync},
       "Track 1: leaving the sample groups of type roll out of the output: the group descriptions (sgpd) differ in input 2"},
      {"parameters differ", {{roll, sbgp("roll", {{6, 1}}, 1, 7)}, {roll, sbgp("roll", {{6, 1}}, 1, 8)}}, {}, {},
       "the sample-to-group boxes (sbgp) differ in kind in input 2"},
      {"a second sbgp of one type", {{roll, sbgp("roll", {{6, 1}}), sbgp("roll", {{6, 1}})}, {roll, sbgp("roll", {{6, 1}})}},
       {}, {}, "a second box of one kind"},
      {"a grouping only a later input has", {{}, {roll, sbgp("roll", {{6, 1}})}}, {}, {},
       "Track 1 of input 2: the first input's track has no sample groups of type roll; they are left out"},
  };
  std::vector<std::string> lines;
  set_sink([&lines](const LogRecord& record) { lines.emplace_back(record.message); });
  set_max_level(LevelFilter::Debug);
  for (const GroupCase& c : cases) {
    SCOPED_TRACE(c.name);
    lines.clear();
    std::vector<Bytes> files;
    for (const std::vector<Bytes>& groups : c.inputs) {
      files.push_back(movie_with("soun", {STEREO_48K}, {}, groups, static_cast<std::uint8_t>(files.size())));
    }
    const MemoryJoin joined = join_in_memory(files);
    ASSERT_TRUE(joined.status) << joined.status.error().describe();
    expect_joined(inspect_all(files), inspect_movie(joined.output));
    const OutputGroups found = output_groups(joined.output);
    EXPECT_EQ(found.sbgp, c.sbgp);
    std::vector<Bytes> expected_sgpd;
    for (const Bytes& b : c.sgpd) expected_sgpd.push_back(payload_of(b));
    EXPECT_EQ(found.sgpd, expected_sgpd);
    if (!c.log.empty()) {
      EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [&](const std::string& line) {
        return line.find(c.log) != std::string::npos;
      })) << "no debug line says: " << c.log;
    }
  }
  set_max_level(LevelFilter::Off);
  set_sink(nullptr);
}

}  // namespace
}  // namespace reelknit::testing
