// The promise every joined file must keep, checked without trusting anything
// in it: box sizes tile the file and every chunk's samples lie inside a
// media-data box. Used by the tests and by the fuzz targets, so it never
// throws and never reads outside the bytes it is given.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace reelknit::testing {

/// What is wrong with the layout of `file` (the box part, up to `end`, which
/// defaults to the whole file), or nothing when its boxes tile it exactly,
/// containers included, and every chunk offset of every sample table, with
/// its samples, lies inside the payload of a top-level `mdat`.
std::optional<std::string> find_layout_problem(const std::vector<std::uint8_t>& file,
                                               std::optional<std::uint64_t> end = std::nullopt);

/// True when `file`'s last 32 bytes are the Insta360 trailer magic.
bool ends_with_trailer_magic(const std::vector<std::uint8_t>& file);

/// Where the box part ends when `file` ends with an Insta360 trailer (the
/// trailer's start), else the file size. A trailer size larger than the file gives the file size.
std::uint64_t box_part_end(const std::vector<std::uint8_t>& file);

}  // namespace reelknit::testing
