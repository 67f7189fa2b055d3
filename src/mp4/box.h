// Box primitives shared by the driver's scan, the description reader and the
// writer: the header, the type numbers, which boxes are descended into.
#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "base/byte_order.h"
#include "io/file.h"

namespace reelknit {

/// The type number of a four-character name, first character in the top byte.
constexpr std::uint32_t fourcc(const char (&name)[5]) {
  return (std::uint32_t{static_cast<std::uint8_t>(name[0])} << 24) |
         (std::uint32_t{static_cast<std::uint8_t>(name[1])} << 16) |
         (std::uint32_t{static_cast<std::uint8_t>(name[2])} << 8) |
         std::uint32_t{static_cast<std::uint8_t>(name[3])};
}

inline constexpr std::uint32_t BOX_MOOV = fourcc("moov");
inline constexpr std::uint32_t BOX_TRAK = fourcc("trak");
inline constexpr std::uint32_t BOX_EDTS = fourcc("edts");
inline constexpr std::uint32_t BOX_MDIA = fourcc("mdia");
inline constexpr std::uint32_t BOX_MINF = fourcc("minf");
inline constexpr std::uint32_t BOX_STBL = fourcc("stbl");
inline constexpr std::uint32_t BOX_STSD = fourcc("stsd");
inline constexpr std::uint32_t BOX_MDAT = fourcc("mdat");
inline constexpr std::uint32_t BOX_MVHD = fourcc("mvhd");
inline constexpr std::uint32_t BOX_TKHD = fourcc("tkhd");
inline constexpr std::uint32_t BOX_MDHD = fourcc("mdhd");
inline constexpr std::uint32_t BOX_ELST = fourcc("elst");
inline constexpr std::uint32_t BOX_STTS = fourcc("stts");
inline constexpr std::uint32_t BOX_CTTS = fourcc("ctts");
inline constexpr std::uint32_t BOX_STSZ = fourcc("stsz");
inline constexpr std::uint32_t BOX_STZ2 = fourcc("stz2");
inline constexpr std::uint32_t BOX_STSS = fourcc("stss");
inline constexpr std::uint32_t BOX_STCO = fourcc("stco");
inline constexpr std::uint32_t BOX_CO64 = fourcc("co64");
inline constexpr std::uint32_t BOX_SDTP = fourcc("sdtp");
inline constexpr std::uint32_t BOX_STSC = fourcc("stsc");
inline constexpr std::uint32_t BOX_TMCD = fourcc("tmcd");
inline constexpr std::uint32_t BOX_MOOF = fourcc("moof");
inline constexpr std::uint32_t BOX_MVEX = fourcc("mvex");
inline constexpr std::uint32_t BOX_HDLR = fourcc("hdlr");
inline constexpr std::uint32_t BOX_SBGP = fourcc("sbgp");
inline constexpr std::uint32_t BOX_SGPD = fourcc("sgpd");

/// Media handler types, as a `hdlr` box names them.
inline constexpr std::uint32_t HANDLER_VIDE = fourcc("vide");
inline constexpr std::uint32_t HANDLER_SOUN = fourcc("soun");

inline constexpr std::uint32_t SHORT_HEADER_SIZE = 8;
inline constexpr std::uint32_t LARGE_HEADER_SIZE = 16;

/// Containers nest a handful of levels in real files; anything deeper is damage,
/// and following it would only exhaust the stack.
inline constexpr int MAX_BOX_DEPTH = 32;

struct BoxHeader {
  std::uint64_t position = 0;  ///< offset of the box's first byte
  std::uint64_t size = 0;      ///< size, header included (for a size-0 box, up to the end of its list)
  std::uint32_t type = 0;
  std::uint32_t header_size = SHORT_HEADER_SIZE;  ///< 8, or 16 with a 64-bit size
  /// The box declares size 0: it runs to the end of its list (at the top
  /// level, the end of the file), and its header does not say how large it is.
  bool runs_to_list_end = false;

  std::uint64_t payload_position() const { return position + header_size; }
  std::uint64_t payload_size() const { return size - header_size; }
  std::uint64_t end() const { return position + size; }
};

/// True for the boxes a walk descends into; `stsd` only while reading.
bool is_container(std::uint32_t type, bool reading);

/// True for the per-sample tables that are merged across inputs and rebuilt
/// in the output: stts, ctts, stsz (and stz2), stss, stco, co64, sdtp, stsc.
bool is_sample_table(std::uint32_t type);

/// The type as text; a byte that is not part of printable UTF-8 text shows as \\xNN (NUL as \\x00).
std::string box_type_text(std::uint32_t type);

/// Reads a header at the current position of `source`, which offers
/// `position()` and `read_exact(span)`. Any failure, the end of the file
/// included, is returned for the walker to decide about.
template <class Source>
Result<BoxHeader> read_box_header(Source& source) {
  BoxHeader header;
  REELKNIT_ASSIGN_OR_RETURN(header.position, source.position());
  std::uint8_t bytes[8];
  REELKNIT_TRY(source.read_exact(bytes));
  header.size = load_be32(bytes);
  header.type = load_be32(bytes + 4);
  if (header.size == 1) {
    REELKNIT_TRY(source.read_exact(bytes));
    header.size = load_be64(bytes);
    header.header_size = LARGE_HEADER_SIZE;
  }
  return header;
}

/// A declared size that ends before the header does, or an end past the
/// largest position, would make a walk stand still or go backwards.
Status check_box_extent(const BoxHeader& header);

/// The next box of a list that ends at `list_end`, read at the position of
/// `source`; none where the list ends. This is the one rule of every walk
/// (the top-level scan, the reader, the writer) for where a list ends: at its
/// parent's end, where fewer bytes than a header remain before it (padding,
/// or the 4-byte terminator some writers end a list with), or at a header that
/// cannot be read (the end of the file). A box of size 0 runs to `list_end`.
/// A size below the header's own is damage and an error. A box that runs past
/// `list_end` is returned as it is: each walk says why that is wrong where it is.
template <class Source>
Result<std::optional<BoxHeader>> next_box(Source& source, std::uint64_t list_end) {
  REELKNIT_ASSIGN_OR_RETURN(const std::uint64_t at, source.position());
  if (at >= list_end || list_end - at < SHORT_HEADER_SIZE) return std::optional<BoxHeader>();
  auto read = read_box_header(source);
  if (!read) return std::optional<BoxHeader>();
  BoxHeader header = *read;
  if (header.size == 0) {
    header.runs_to_list_end = true;
    header.size = std::max<std::uint64_t>(list_end - header.position, header.header_size);
  }
  REELKNIT_TRY(check_box_extent(header));
  return std::optional<BoxHeader>(header);
}

/// A File read directly, without a buffer, with the reading helpers a walk needs.
class DirectReader {
 public:
  explicit DirectReader(File& file) : file_(file) {}
  Status read_exact(std::span<std::uint8_t> out) { return reelknit::read_exact(file_, out); }
  Result<std::uint64_t> position() { return file_.position(); }

 private:
  File& file_;
};

}  // namespace reelknit
