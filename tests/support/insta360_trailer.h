// Insta360 trailers built byte by byte for tests, and an independent reader
// that walks a finished trailer back from its tail. Shares no code with the
// library it judges.
#pragma once

#include <cstdint>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/mp4_builder.h"

namespace reelknit::testing {

inline constexpr char INSTA360_MAGIC[] = "8db42d694ccc418790edff439fe026bf";

/// One record as it sits in a file: its data, then a footer of tag, id and size.
struct RecordData {
  std::uint8_t tag = 0;
  std::uint8_t id = 0;
  Bytes data;
  bool operator==(const RecordData&) const = default;
};
using RecordList = std::vector<RecordData>;

inline Bytes trailer_footer(std::uint8_t tag, std::uint8_t id, std::uint32_t size) {
  return cat({Bytes{tag, id}, le32(size)});
}

/// An index entry: id first, then tag (the footer has them the other way round).
inline Bytes index_entry(std::uint8_t id, std::uint8_t tag, std::uint32_t size, std::uint32_t offset) {
  return cat({Bytes{id, tag}, le32(size), le32(offset)});
}

/// The offset of each record's data from the first byte of the trailer.
inline std::vector<std::uint32_t> record_offsets(const RecordList& records) {
  std::vector<std::uint32_t> offsets;
  std::uint32_t at = 0;
  for (const RecordData& r : records) {
    offsets.push_back(at);
    at += static_cast<std::uint32_t>(r.data.size() + 6);
  }
  return offsets;
}

/// An index listing every record, in order.
inline Bytes index_for(const RecordList& records) {
  const auto offsets = record_offsets(records);
  Bytes index;
  for (std::size_t i = 0; i < records.size(); ++i)
    append(index, index_entry(records[i].id, records[i].tag, static_cast<std::uint32_t>(records[i].data.size()),
                              offsets[i]));
  return index;
}

/// A whole trailer: the records with their footers, then an index record
/// (id 0) holding `index` when one is given, then the 72-byte tail whose
/// reserved bytes are all `reserved`.
inline Bytes build_trailer(const RecordList& records, std::uint32_t version,
                           const std::optional<Bytes>& index = std::nullopt, std::uint8_t reserved = 0) {
  Bytes out;
  for (const RecordData& r : records) {
    append(out, r.data);
    append(out, trailer_footer(r.tag, r.id, static_cast<std::uint32_t>(r.data.size())));
  }
  if (index) {
    append(out, *index);
    append(out, trailer_footer(0, 0, static_cast<std::uint32_t>(index->size())));
  }
  append(out, Bytes(32, reserved));
  append(out, le32(static_cast<std::uint32_t>(out.size() - 32 + 72)));
  append(out, le32(version));
  append(out, text(INSTA360_MAGIC));
  return out;
}

inline std::uint32_t read_le32_at(const Bytes& bytes, std::size_t at) {
  return std::uint32_t{bytes[at]} | std::uint32_t{bytes[at + 1]} << 8 | std::uint32_t{bytes[at + 2]} << 16 |
         std::uint32_t{bytes[at + 3]} << 24;
}

/// A trailer read back from the end of a file.
struct ParsedTrailer {
  RecordList records;  ///< in file order, index records included
  std::uint32_t version = 0;
  std::uint32_t trailer_size = 0;
  Bytes reserved;
  std::uint64_t start = 0;  ///< where the trailer begins in the file
};

/// Walks the footers back from the tail; throws std::runtime_error when the
/// file has no trailer or the footers do not tile the trailer exactly.
inline ParsedTrailer parse_trailer(const Bytes& file) {
  if (file.size() < 72 || std::memcmp(file.data() + file.size() - 32, INSTA360_MAGIC, 32) != 0)
    throw std::runtime_error("no Insta360 trailer at the end of the file");
  ParsedTrailer parsed;
  const std::size_t tail = file.size() - 72;
  const auto at = [&](std::size_t position) { return file.begin() + static_cast<std::ptrdiff_t>(position); };
  parsed.reserved.assign(at(tail), at(tail + 32));
  parsed.trailer_size = read_le32_at(file, tail + 32);
  parsed.version = read_le32_at(file, tail + 36);
  if (parsed.trailer_size < 72 || parsed.trailer_size > file.size())
    throw std::runtime_error("trailer size " + std::to_string(parsed.trailer_size) + " does not fit the file");
  parsed.start = file.size() - parsed.trailer_size;
  std::size_t end = tail;  // the end of the next record's footer, walking towards the front
  while (end > parsed.start) {
    if (end - parsed.start < 6) throw std::runtime_error("a footer straddles the trailer's start");
    const std::size_t footer = end - 6;
    const std::uint32_t size = read_le32_at(file, footer + 2);
    if (footer - parsed.start < size) throw std::runtime_error("a record reaches before the trailer's start");
    const std::size_t data = footer - size;
    parsed.records.insert(parsed.records.begin(), RecordData{file[footer], file[footer + 1], Bytes(at(data), at(footer))});
    end = data;
  }
  return parsed;
}

}  // namespace reelknit::testing
