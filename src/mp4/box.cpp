#include "mp4/box.h"

#include <cstdio>
#include <iterator>
#include <limits>

#include "base/format.h"

namespace reelknit {

bool is_container(std::uint32_t type, bool reading) {
  switch (type) {
    case BOX_MOOV:
    case BOX_TRAK:
    case BOX_EDTS:
    case BOX_MDIA:
    case BOX_MINF:
    case BOX_STBL: return true;
    case BOX_STSD: return reading;
    default: return false;
  }
}

bool is_sample_table(std::uint32_t type) {
  switch (type) {
    case BOX_STTS:
    case BOX_CTTS:
    case BOX_STSZ:
    case BOX_STZ2:
    case BOX_STSS:
    case BOX_STCO:
    case BOX_CO64:
    case BOX_SDTP:
    case BOX_STSC: return true;
    default: return false;
  }
}

namespace {

/// The length of the UTF-8 sequence of a printable character at `bytes`, or 0
/// when what stands there is a control character or not UTF-8 at all.
std::size_t printable_utf8_length(const std::uint8_t* bytes, std::size_t length) {
  const std::uint8_t lead = bytes[0];
  if (lead < 0x80) return lead >= 0x20 && lead != 0x7F ? 1 : 0;
  std::size_t continuation;
  std::uint32_t code_point;
  if ((lead & 0xE0) == 0xC0) {
    continuation = 1;
    code_point = lead & 0x1F;
  } else if ((lead & 0xF0) == 0xE0) {
    continuation = 2;
    code_point = lead & 0x0F;
  } else if ((lead & 0xF8) == 0xF0) {
    continuation = 3;
    code_point = lead & 0x07;
  } else {
    return 0;
  }
  if (continuation >= length) return 0;
  for (std::size_t k = 1; k <= continuation; ++k) {
    if ((bytes[k] & 0xC0) != 0x80) return 0;
    code_point = (code_point << 6) | (bytes[k] & 0x3F);
  }
  // Overlong forms, surrogates, values past U+10FFFF and the C1 controls are not printable text.
  static constexpr std::uint32_t smallest[] = {0, 0x80, 0x800, 0x10000};
  if (code_point < smallest[continuation]) return 0;
  if (code_point >= 0xD800 && code_point <= 0xDFFF) return 0;
  if (code_point > 0x10FFFF || code_point < 0xA0) return 0;
  return continuation + 1;
}

}  // namespace

std::string box_type_text(std::uint32_t type) {
  std::uint8_t bytes[4];
  store_be32(bytes, type);
  std::string text;
  for (std::size_t i = 0; i < 4;) {
    if (const std::size_t length = printable_utf8_length(bytes + i, 4 - i); length != 0) {
      // Byte by byte: g++ 12 at -O2 takes an append of the range for a read of unset bytes.
      for (const std::size_t end = i + length; i < end; ++i) text.push_back(static_cast<char>(bytes[i]));
      continue;
    }
    // A byte that is no printable text would cut a message short (NUL) or garble a terminal.
    char escaped[5];
    std::snprintf(escaped, sizeof escaped, "\\x%02X", bytes[i]);
    text += escaped;
    ++i;
  }
  return text;
}

Status check_box_extent(const BoxHeader& header) {
  if (header.size < header.header_size) {
    return Error(ErrorKind::InvalidData,
                 format_text("box {} at offset {} declares size {}, smaller than its {}-byte header",
                             box_type_text(header.type), header.position, header.size, header.header_size));
  }
  if (header.size > std::numeric_limits<std::uint64_t>::max() - header.position) {
    return Error(ErrorKind::InvalidData,
                 format_text("box {} at offset {} declares size {}, which ends past the largest file position",
                             box_type_text(header.type), header.position, header.size));
  }
  return success();
}

}  // namespace reelknit
