// When two sample entries are one setting, what tells them apart, and which
// changes of setting players cannot follow in the middle of a track.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "mp4/sample_entry.h"
#include "support/mp4_builder.h"
#include "support/mp4_inspect.h"

namespace reelknit::testing {
namespace {

const std::string DATA_DIR = REELKNIT_TEST_DATA_DIR;

/// `entry` with `bytes` written over it at `at`, counted from its first byte.
Bytes poke(Bytes entry, std::size_t at, const Bytes& bytes) {
  std::copy(bytes.begin(), bytes.end(), entry.begin() + static_cast<std::ptrdiff_t>(at));
  return entry;
}

Bytes avc(std::uint16_t width, std::uint16_t height, std::initializer_list<Bytes> more = {},
          const std::string& compressor = "") {
  Bytes children = avcC(0x4D, 0x1E);
  for (const Bytes& b : more) append(children, b);
  Bytes entry = visual_entry("avc1", width, height, {}, compressor);
  append(entry, children);
  store_size(entry);
  return entry;
}

Bytes aac(std::uint16_t channels, std::uint32_t rate, const EsdsPlan& plan = {}, std::initializer_list<Bytes> more = {},
          std::uint16_t sample_size = 16) {
  Bytes entry = audio_entry("mp4a", channels, sample_size, rate, {esds(plan)});
  for (const Bytes& b : more) append(entry, b);
  store_size(entry);
  return entry;
}

EsdsPlan with_bitrates(std::uint32_t buffer, std::uint32_t max, std::uint32_t avg, bool long_sizes = false) {
  EsdsPlan plan;
  plan.buffer_size = buffer;
  plan.max_bitrate = max;
  plan.avg_bitrate = avg;
  plan.long_sizes = long_sizes;
  return plan;
}

EsdsPlan with_config(std::uint8_t object_type, const Bytes& codec_config) {
  EsdsPlan plan;
  plan.object_type = object_type;
  plan.codec_config = codec_config;
  return plan;
}

const Bytes COLR = box("colr", cat({text("nclx"), be16(1), be16(1), be16(1), Bytes{0}}));

struct Case {
  const char* name;
  EntryLayout layout;
  Bytes earlier, later;
  std::string difference;  ///< text the difference must contain; empty: one setting
  std::string refusal;     ///< text the refusal must contain; empty: it plays
};

TEST(SampleSetting, InformativeFieldsAreOneSettingAndTheRestTellSettingsApart) {
  const Bytes mp4v = visual_entry("mp4v", 320, 240, {esds(with_config(0x20, {0x00, 0x00, 0x01, 0xB0}))});
  const Bytes sowt = audio_entry("sowt", 1, 16, 48000);
  const Case cases[] = {
      // Every chapter a camera writes has its own bitrate figures; the one setting must be shared.
      {"btrt figures", EntryLayout::Visual, avc(320, 240, {btrt(0, 900000, 800000)}), avc(320, 240, {btrt(0, 1, 2)}), "", ""},
      {"btrt left out", EntryLayout::Visual, avc(320, 240, {btrt(0, 900000, 800000)}), avc(320, 240), "", ""},
      {"compressor name", EntryLayout::Visual, avc(320, 240, {}, "GoPro AVC encoder"), avc(320, 240, {}, "Lavc libx264"), "", ""},
      {"vendor and resolution", EntryLayout::Visual, avc(320, 240), poke(poke(avc(320, 240), 20, text("appl")), 36, be32(0x10000)), "", ""},
      {"esds buffer and bitrates", EntryLayout::Audio, aac(2, 48000, with_bitrates(8192, 500, 500)),
       aac(2, 48000, with_bitrates(0, 128000, 96000)), "", ""},
      {"esds sizes in four bytes", EntryLayout::Audio, aac(2, 48000), aac(2, 48000, with_bitrates(0, 0, 0, true)), "", ""},
      {"sound compression id", EntryLayout::Audio, aac(2, 48000), poke(aac(2, 48000), 28, be16(0xFFFE)), "", ""},

      {"dimensions", EntryLayout::Visual, avc(320, 240), avc(640, 480), "dimensions (320x240 and 640x480)", ""},
      {"avcC", EntryLayout::Visual, avc(320, 240), poke(avc(320, 240), 8 + 78 + 8 + 3, {0x28}), "contents of the avcC box", ""},
      {"colr added", EntryLayout::Visual, avc(320, 240), avc(320, 240, {COLR}), "boxes in the entry (avcC and avcC, colr)", ""},
      {"depth", EntryLayout::Visual, avc(320, 240), poke(avc(320, 240), 8 + 74, be16(0x20)), "sample entry fields", ""},
      {"sample rate", EntryLayout::Audio, aac(2, 44100, with_config(0x40, {0x12, 0x10})), aac(2, 48000),
       "sample rate (44100 and 48000 Hz)", ""},
      {"channel count", EntryLayout::Audio, aac(1, 48000, with_config(0x40, {0x11, 0x88})), aac(2, 48000), "channel count (1 and 2)", ""},
      {"sample size", EntryLayout::Audio, aac(2, 48000, {}, {}, 16), aac(2, 48000, {}, {}, 24), "sample size (16 and 24 bits)", ""},
      {"audio configuration", EntryLayout::Audio, aac(2, 48000), aac(2, 48000, with_config(0x40, {0x13, 0x90})),
       "decoder configuration of the esds box", ""},

      // Players keep the decoder of the format and codec a track starts with.
      {"format", EntryLayout::Visual, avc(320, 240), poke(avc(320, 240), 4, text("avc3")), "format (avc1 and avc3)", "format"},
      {"codec", EntryLayout::Audio, aac(2, 48000), aac(2, 48000, with_config(0x6B, {})), "decoder configuration of the esds box",
       "codec (object type 64 and 107)"},
      // MPEG-4 Visual video keeps decoding with its first configuration; PCM has none.
      {"MPEG-4 Visual dimensions", EntryLayout::Visual, mp4v, poke(mp4v, 8 + 24, cat({be16(640), be16(480)})),
       "dimensions (320x240 and 640x480)", "players keep decoding mp4v"},
      {"MPEG-4 Visual colr only", EntryLayout::Visual, mp4v, cat({mp4v, COLR}), "boxes in the entry", ""},
      {"PCM channels", EntryLayout::Audio, sowt, poke(sowt, 8 + 16, be16(2)), "channel count (1 and 2)", "players keep decoding sowt"},
      {"timed metadata", EntryLayout::Other, box("gpmd", zeros(8)), box("gpmd", cat({zeros(7), Bytes{1}})), "bytes of the entry", ""},
      {"damaged child, same bytes", EntryLayout::Visual, cat({avc(320, 240), be32(99), text("junk")}),
       cat({avc(320, 240), be32(99), text("junk")}), "", ""},
      {"damaged child, other bytes", EntryLayout::Visual, cat({avc(320, 240), be32(99), text("junk")}),
       cat({avc(320, 240), be32(99), text("JUNK")}), "bytes of the entry", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes earlier = c.earlier, later = c.later;
    store_size(earlier);
    store_size(later);
    const SampleSetting a = read_sample_setting(c.layout, earlier);
    const SampleSetting b = read_sample_setting(c.layout, later);
    EXPECT_EQ(a == b, c.difference.empty());
    const std::string difference = setting_difference(a, b);
    if (c.difference.empty()) {
      EXPECT_EQ(difference, "");
    } else {
      EXPECT_NE(difference.find(c.difference), std::string::npos) << difference;
    }
    const auto refusal = switch_not_played(a, b);
    if (c.refusal.empty()) {
      EXPECT_FALSE(refusal) << *refusal;
    } else {
      ASSERT_TRUE(refusal);
      EXPECT_NE(refusal->find(c.refusal), std::string::npos) << *refusal;
    }
  }
}

// A damaged entry is compared, never read past: every cut of real camera entries.
TEST(SampleSetting, EveryCutOfARealEntryIsReadWithinItsBytes) {
  const Movie movie = inspect_movie(read_file(DATA_DIR + "/karma.mp4"));
  const std::pair<std::size_t, EntryLayout> tracks[] = {{0, EntryLayout::Visual}, {1, EntryLayout::Audio}};
  for (const auto& [track, layout] : tracks) {
    const Bytes& entry = movie.tracks.at(track).sample_entries.at(0);
    for (std::size_t length = 0; length <= entry.size(); ++length) {
      Bytes cut(entry.begin(), entry.begin() + static_cast<std::ptrdiff_t>(length));
      if (length >= 4) store_size(cut);
      const SampleSetting setting = read_sample_setting(layout, cut);
      EXPECT_EQ(setting, read_sample_setting(layout, cut));
      EXPECT_EQ(setting_difference(setting, setting), "");
    }
  }
}

}  // namespace
}  // namespace reelknit::testing
