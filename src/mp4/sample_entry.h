// When two sample entries describe one setting: the fields and boxes a
// decoder reads are compared, the informative ones (bitrates, the compressor
// name, btrt) are not, because every chapter a camera writes has its own
// bitrate figures and must still share its track's one entry.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace reelknit {

/// An entry larger than this is refused: real ones hold a few hundred bytes,
/// and the merge keeps every distinct entry in memory.
inline constexpr std::size_t MAX_SAMPLE_ENTRY_SIZE = 1 << 20;

/// How a track's sample entries are laid out, from its media handler.
enum class EntryLayout { Visual, Audio, Other };

/// 'vide' gives Visual, 'soun' Audio, anything else Other.
EntryLayout entry_layout(std::uint32_t handler);

/// One child box of an entry as a decoder reads it.
struct EntryChild {
  std::uint32_t type = 0;
  /// Its payload; for `esds` what a decoder reads of it (object type, stream
  /// type, codec configuration bytes); for `wave` its own children, read alike.
  std::vector<std::uint8_t> bytes;
  bool operator==(const EntryChild&) const = default;
};

/// What a decoder reads of one sample entry. Two entries share an output
/// entry exactly when their settings are equal.
struct SampleSetting {
  std::uint32_t format = 0;
  EntryLayout layout = EntryLayout::Other;
  std::uint16_t width = 0;  ///< visual
  std::uint16_t height = 0;
  std::uint16_t channels = 0;  ///< audio
  std::uint16_t sample_size = 0;
  std::uint32_t sample_rate = 0;  ///< audio, 16.16 fixed point as stored
  /// The other fixed fields a decoder reads: the data reference, frame count,
  /// depth and colour table; the sound description's version and its extension.
  std::vector<std::uint8_t> other_fields;
  std::vector<EntryChild> children;  ///< in order, `btrt` left out
  /// What could not be read as fields and boxes (an entry of another layout,
  /// one too short for its fields, damaged child boxes), compared byte for byte.
  std::vector<std::uint8_t> unread;
  bool operator==(const SampleSetting&) const = default;
};

/// Reads `entry`, a whole sample entry with an 8-byte header (as kept in the
/// Desc), laid out as `layout`.
SampleSetting read_sample_setting(EntryLayout layout, std::span<const std::uint8_t> entry);

/// The first thing that tells two settings apart, for messages ("dimensions
/// 320x240 and 640x480"); empty when they are equal.
std::string setting_difference(const SampleSetting& a, const SampleSetting& b);

/// Why players, switching from `earlier`'s entry to `later`'s in the middle
/// of a track, would decode `later`'s samples wrongly: they keep the decoder
/// of the format (and codec) a track starts with, and only H.264, HEVC and
/// AAC decoders take a new configuration on the way; for any other video or
/// sound format, a difference beyond the presentation boxes (colr, pasp,
/// clap, fiel, chan) is not played. None when the switch plays.
std::optional<std::string> switch_not_played(const SampleSetting& earlier, const SampleSetting& later);

}  // namespace reelknit
