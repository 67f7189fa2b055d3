// The Insta360 metadata trailer at the end of a file: records, each followed
// by a 6-byte footer, then a 72-byte tail that ends in the magic. Numbers are
// little-endian.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace reelknit::insta360 {

inline constexpr std::string_view TRAILER_MAGIC = "8db42d694ccc418790edff439fe026bf";
inline constexpr std::size_t MAGIC_SIZE = 32;

/// The tail: 32 reserved bytes, trailer_size (u32), version (u32), the magic.
inline constexpr std::size_t TAIL_SIZE = 72;
inline constexpr std::size_t TAIL_RESERVED_SIZE = 32;
inline constexpr std::size_t TAIL_TRAILER_SIZE_OFFSET = 32;
inline constexpr std::size_t TAIL_VERSION_OFFSET = 36;
inline constexpr std::size_t TAIL_MAGIC_OFFSET = 40;

/// A record footer: tag (u8), id (u8), size (u32).
inline constexpr std::size_t FOOTER_SIZE = 6;
/// An index entry: id (u8), tag (u8), size (u32), offset (u32).
inline constexpr std::size_t INDEX_ENTRY_SIZE = 10;

inline constexpr std::uint8_t INDEX_RECORD_ID = 0;
/// The version written when the first input brings no record.
inline constexpr std::uint32_t DEFAULT_VERSION = 3;

/// Records of these ids describe the whole recording once and come from the first input alone.
constexpr bool is_first_input_only(std::uint8_t id) { return id == 1 || id == 2 || id == 5; }

}  // namespace reelknit::insta360
