#include "mp4/sample_entry.h"

#include <algorithm>

#include "base/byte_order.h"
#include "base/format.h"
#include "mp4/box.h"

namespace reelknit {
namespace {

using Bytes = std::vector<std::uint8_t>;
using ByteSpan = std::span<const std::uint8_t>;

constexpr std::uint32_t BOX_BTRT = fourcc("btrt");
constexpr std::uint32_t BOX_ESDS = fourcc("esds");
constexpr std::uint32_t BOX_WAVE = fourcc("wave");

/// A visual entry's fields before its boxes, counted from the end of its header.
constexpr std::size_t VISUAL_FIELDS = 78;
/// A sound entry's fields before its boxes; QuickTime's version 1 and 2 sound descriptions extend them.
constexpr std::size_t AUDIO_FIELDS = 28;
constexpr std::size_t AUDIO_V1_EXTENSION = 16;
constexpr std::size_t AUDIO_V2_EXTENSION = 36;

/// `wave` holds a sound entry's boxes once more (frma, esds, ...); nothing real nests it deeper.
constexpr int MAX_CHILD_DEPTH = 2;

/// Box walks over bytes already in memory, for `next_box`.
class SpanReader {
 public:
  explicit SpanReader(ByteSpan bytes) : bytes_(bytes) {}
  Result<std::uint64_t> position() { return at_; }
  Status read_exact(std::span<std::uint8_t> out) {
    if (out.size() > bytes_.size() - at_) {
      at_ = bytes_.size();
      return unexpected_eof();
    }
    std::copy_n(bytes_.begin() + static_cast<std::ptrdiff_t>(at_), out.size(), out.begin());
    at_ += out.size();
    return success();
  }
  void seek(std::size_t at) { at_ = at; }

 private:
  ByteSpan bytes_;
  std::size_t at_ = 0;
};

// Byte by byte: an insert of a span is one that GCC 12's optimiser takes for
// an overflow of the empty vector (-Wstringop-overflow) at -O2.
void append(Bytes& to, ByteSpan bytes) {
  for (const std::uint8_t byte : bytes) to.push_back(byte);
}

void append_be32(Bytes& to, std::uint32_t value) {
  std::uint8_t bytes[4];
  store_be32(bytes, value);
  append(to, bytes);
}

/// A descriptor of an `esds`: its tag and body.
struct Descriptor {
  std::uint8_t tag = 0;
  ByteSpan body;
};

/// The descriptor at `at`, whose size takes up to four bytes of seven bits
/// each; `at` moves past it. None when it does not fit in `bytes`.
std::optional<Descriptor> read_descriptor(ByteSpan bytes, std::size_t& at) {
  if (at >= bytes.size()) return std::nullopt;
  Descriptor found;
  found.tag = bytes[at++];
  std::size_t size = 0;
  for (int k = 0;; ++k) {
    if (k == 4 || at >= bytes.size()) return std::nullopt;
    const std::uint8_t byte = bytes[at++];
    size = (size << 7) | (byte & 0x7F);
    if ((byte & 0x80) == 0) break;
  }
  if (size > bytes.size() - at) return std::nullopt;
  found.body = bytes.subspan(at, size);
  at += size;
  return found;
}

constexpr std::uint8_t ES_DESCRIPTOR = 0x03;
constexpr std::uint8_t DECODER_CONFIG_DESCRIPTOR = 0x04;
/// Object type, stream type, buffer size (3 bytes), maximum and average bitrate.
constexpr std::size_t DECODER_CONFIG_FIELDS = 13;

/// What a decoder reads of an `esds` payload, marked 1: the object type, the
/// stream type and every descriptor inside the decoder configuration (the
/// codec configuration bytes), their sizes written plainly. The buffer
/// size and the bitrates are left out: an encoder fills them from the
/// chapter's own frames. Marked 0, the payload as it is when it cannot be read.
Bytes esds_decoder_view(ByteSpan payload) {
  Bytes raw = {0};
  append(raw, payload);
  std::size_t at = 4;  // version and flags
  const auto es = read_descriptor(payload, at);
  if (!es || es->tag != ES_DESCRIPTOR || es->body.size() < 3) return raw;
  const std::uint8_t flags = es->body[2];
  std::size_t inner = 3;
  if (flags & 0x80) inner += 2;  // depends on another stream
  if (flags & 0x40) inner += 1 + (inner < es->body.size() ? es->body[inner] : 0);  // a URL
  if (flags & 0x20) inner += 2;  // an OCR stream
  for (;;) {
    const auto descriptor = read_descriptor(es->body, inner);
    if (!descriptor) return raw;
    if (descriptor->tag != DECODER_CONFIG_DESCRIPTOR) continue;
    const ByteSpan config = descriptor->body;
    if (config.size() < DECODER_CONFIG_FIELDS) return raw;
    Bytes view = {1, config[0], config[1]};
    for (std::size_t at_config = DECODER_CONFIG_FIELDS; at_config < config.size();) {
      const auto sub = read_descriptor(config, at_config);
      if (!sub) return raw;
      view.push_back(sub->tag);
      append_be32(view, static_cast<std::uint32_t>(sub->body.size()));
      append(view, sub->body);
    }
    return view;
  }
}

void read_children(ByteSpan list, std::vector<EntryChild>& children, Bytes& unread, int depth);

/// A `wave` box's children, read like an entry's, written one after another as bytes.
Bytes wave_view(ByteSpan payload, int depth) {
  std::vector<EntryChild> children;
  Bytes unread;
  read_children(payload, children, unread, depth + 1);
  Bytes view;
  for (const EntryChild& child : children) {
    append_be32(view, child.type);
    append_be32(view, static_cast<std::uint32_t>(child.bytes.size()));
    append(view, child.bytes);
  }
  append(view, unread);
  return view;
}

/// Reads the boxes of `list` with the one rule for where a list ends. What
/// does not read as a box list (a child that spills out, damage, padding) is
/// kept in `unread`, to be compared byte for byte.
void read_children(ByteSpan list, std::vector<EntryChild>& children, Bytes& unread, int depth) {
  SpanReader reader(list);
  std::size_t at = 0;
  for (;;) {
    const auto next = next_box(reader, list.size());
    if (!next || !*next || (*next)->end() > list.size() || depth > MAX_CHILD_DEPTH) break;
    const BoxHeader& child = **next;
    const ByteSpan payload = list.subspan(static_cast<std::size_t>(child.payload_position()),
                                          static_cast<std::size_t>(child.payload_size()));
    switch (child.type) {
      case BOX_BTRT: break;  // bitrates: informative, and different in every chapter
      case BOX_ESDS: children.push_back(EntryChild{child.type, esds_decoder_view(payload)}); break;
      case BOX_WAVE: children.push_back(EntryChild{child.type, wave_view(payload, depth)}); break;
      default: children.push_back(EntryChild{child.type, Bytes(payload.begin(), payload.end())}); break;
    }
    at = static_cast<std::size_t>(child.end());
    reader.seek(at);
  }
  append(unread, list.subspan(at));
}

/// The sound entry's fields before its boxes, by its QuickTime version; none for an unknown version.
std::optional<std::size_t> audio_fields(ByteSpan payload) {
  switch (load_be16(payload.data() + 8)) {
    case 0: return AUDIO_FIELDS;
    case 1: return AUDIO_FIELDS + AUDIO_V1_EXTENSION;
    case 2: return AUDIO_FIELDS + AUDIO_V2_EXTENSION;
    default: return std::nullopt;
  }
}

/// Children that say how to show the pictures or lay out the channels, not how to decode them.
bool is_presentation_box(std::uint32_t type) {
  return type == fourcc("colr") || type == fourcc("pasp") || type == fourcc("clap") || type == fourcc("fiel") ||
         type == fourcc("chan");
}

/// What a decoder is handed of a setting: the setting without its presentation boxes.
SampleSetting decoding_part(SampleSetting setting) {
  std::erase_if(setting.children, [](const EntryChild& child) { return is_presentation_box(child.type); });
  return setting;
}

const EntryChild* find_child(const SampleSetting& setting, std::uint32_t type) {
  const auto found = std::find_if(setting.children.begin(), setting.children.end(),
                                  [type](const EntryChild& child) { return child.type == type; });
  return found == setting.children.end() ? nullptr : &*found;
}

/// The object type of a read `esds` (marked 1), or none.
std::optional<std::uint8_t> object_type(const SampleSetting& setting) {
  const EntryChild* esds = find_child(setting, BOX_ESDS);
  if (!esds || esds->bytes.size() < 2 || esds->bytes[0] != 1) return std::nullopt;
  return esds->bytes[1];
}

/// MPEG-4 audio, and the three MPEG-2 AAC profiles.
bool is_aac_object_type(std::uint8_t type) { return type == 0x40 || (type >= 0x66 && type <= 0x68); }

/// Formats whose decoders take a new configuration in the middle of a track:
/// players hand an H.264 or HEVC decoder the new parameter sets, an AAC
/// decoder the new audio configuration. Others keep decoding with the
/// configuration a track starts with (MPEG-4 Visual video does), or have none
/// and take their setting from the entry's fields once (PCM).
bool takes_new_configuration(const SampleSetting& setting) {
  switch (setting.format) {
    case fourcc("avc1"):
    case fourcc("avc3"):
    case fourcc("hvc1"):
    case fourcc("hev1"): return true;
    case fourcc("mp4a"): return object_type(setting) && is_aac_object_type(*object_type(setting));
    default: return false;
  }
}

std::string children_text(const std::vector<EntryChild>& children) {
  std::string text;
  for (const EntryChild& child : children) {
    if (!text.empty()) text += ", ";
    text += box_type_text(child.type);
  }
  return text.empty() ? "none" : text;
}

std::string layout_text(EntryLayout layout) {
  switch (layout) {
    case EntryLayout::Visual: return "video";
    case EntryLayout::Audio: return "sound";
    case EntryLayout::Other: return "other";
  }
  return "other";
}

}  // namespace

EntryLayout entry_layout(std::uint32_t handler) {
  if (handler == HANDLER_VIDE) return EntryLayout::Visual;
  if (handler == HANDLER_SOUN) return EntryLayout::Audio;
  return EntryLayout::Other;
}

SampleSetting read_sample_setting(EntryLayout layout, std::span<const std::uint8_t> entry) {
  SampleSetting setting;
  setting.layout = layout;
  if (entry.size() < SHORT_HEADER_SIZE) {
    append(setting.unread, entry);
    return setting;
  }
  setting.format = load_be32(entry.data() + 4);
  const ByteSpan payload = entry.subspan(SHORT_HEADER_SIZE);
  std::size_t fields = 0;
  // The reserved bytes, the QuickTime vendor and qualities, the resolution in
  // dots per inch and the compressor name are not read: they are informative.
  if (layout == EntryLayout::Visual && payload.size() >= VISUAL_FIELDS) {
    setting.width = load_be16(payload.data() + 24);
    setting.height = load_be16(payload.data() + 26);
    append(setting.other_fields, payload.subspan(6, 2));   // data reference index
    append(setting.other_fields, payload.subspan(40, 2));  // frames per sample
    append(setting.other_fields, payload.subspan(74, 4));  // depth, colour table
    fields = VISUAL_FIELDS;
  } else if (layout == EntryLayout::Audio && payload.size() >= AUDIO_FIELDS && audio_fields(payload) &&
             payload.size() >= *audio_fields(payload)) {
    fields = *audio_fields(payload);
    setting.channels = load_be16(payload.data() + 16);
    setting.sample_size = load_be16(payload.data() + 18);
    setting.sample_rate = load_be32(payload.data() + 24);
    append(setting.other_fields, payload.subspan(6, 4));  // data reference index, sound description version
    append(setting.other_fields, payload.subspan(AUDIO_FIELDS, fields - AUDIO_FIELDS));
    // The compression id and packet size (20–23) are left out: writers fill them
    // differently for the same stream (0, or −2 for "compressed").
  } else {
    append(setting.unread, payload);
    return setting;
  }
  read_children(payload.subspan(fields), setting.children, setting.unread, 0);
  return setting;
}

std::string setting_difference(const SampleSetting& a, const SampleSetting& b) {
  if (a.layout != b.layout) return format_text("kind of track ({} and {})", layout_text(a.layout), layout_text(b.layout));
  if (a.format != b.format) return format_text("format ({} and {})", box_type_text(a.format), box_type_text(b.format));
  if (a.width != b.width || a.height != b.height) {
    return format_text("dimensions ({}x{} and {}x{})", a.width, a.height, b.width, b.height);
  }
  if (a.sample_rate != b.sample_rate) {
    return format_text("sample rate ({} and {} Hz)", a.sample_rate >> 16, b.sample_rate >> 16);
  }
  if (a.channels != b.channels) return format_text("channel count ({} and {})", a.channels, b.channels);
  if (a.sample_size != b.sample_size) return format_text("sample size ({} and {} bits)", a.sample_size, b.sample_size);
  if (a.other_fields != b.other_fields) return "sample entry fields";
  const std::size_t common = std::min(a.children.size(), b.children.size());
  for (std::size_t k = 0; k < common; ++k) {
    if (a.children[k].type != b.children[k].type) break;
    if (a.children[k] != b.children[k]) {
      const char* what = a.children[k].type == BOX_ESDS ? "decoder configuration" : "contents";
      return format_text("{} of the {} box", what, box_type_text(a.children[k].type));
    }
  }
  if (a.children != b.children) {
    return format_text("boxes in the entry ({} and {})", children_text(a.children), children_text(b.children));
  }
  if (a.unread != b.unread) return "bytes of the entry";
  return {};
}

std::optional<std::string> switch_not_played(const SampleSetting& earlier, const SampleSetting& later) {
  if (earlier.format != later.format || earlier.layout != later.layout) {
    return format_text("it changes the {}, and players decode a track in the format it starts with",
                       setting_difference(earlier, later));
  }
  // Tracks that are neither video nor sound (timed metadata, text) are not decoded
  // that way: their later entries are carried for the readers that look them up.
  if (later.layout == EntryLayout::Other) return std::nullopt;
  const auto earlier_type = object_type(earlier);
  const auto later_type = object_type(later);
  if (earlier_type && later_type && *earlier_type != *later_type) {
    return format_text("it changes the codec (object type {} and {}), and players decode a track with the codec it "
                       "starts with",
                       static_cast<int>(*earlier_type), static_cast<int>(*later_type));
  }
  const SampleSetting earlier_decoding = decoding_part(earlier);
  const SampleSetting later_decoding = decoding_part(later);
  if (earlier_decoding != later_decoding && !takes_new_configuration(later)) {
    return format_text("it changes the {}, and players keep decoding {} with the setting a track starts with",
                       setting_difference(earlier_decoding, later_decoding), box_type_text(later.format));
  }
  return std::nullopt;
}

}  // namespace reelknit
