#include "insta360/trailer.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>

#include "insta360/trailer_format.h"
#include "io/buffered_reader.h"
#include "base/byte_order.h"
#include "base/format.h"

namespace reelknit::insta360 {
namespace {

constexpr std::uint64_t FIELD_MAX = std::numeric_limits<std::uint32_t>::max();

/// Seeks to `distance` bytes before the end of the file. A distance beyond the
/// start of the file is refused by the file itself, as lseek(2) refuses it.
Result<std::uint64_t> seek_from_end(BufferedReader& reader, std::uint64_t distance) {
  // Distances come from 32-bit fields plus small constants and stay far below 2^63.
  return reader.seek(SeekFrom::end(-static_cast<std::int64_t>(distance)));
}

Result<std::uint32_t> read_le32(BufferedReader& reader) {
  std::uint8_t bytes[4];
  REELKNIT_TRY(reader.read_exact(bytes));
  return load_le32(bytes);
}

/// The records an index record lists. Its entries are read as they come
/// through the reader, so no buffer is sized from the index's own size field.
Status read_index(BufferedReader& reader, std::uint64_t input_size, std::uint32_t trailer_size,
                  std::uint32_t version, TrailerRecords& records) {
  REELKNIT_ASSIGN_OR_RETURN(const std::uint32_t index_size, read_le32(reader));
  REELKNIT_TRY(seek_from_end(reader, TAIL_SIZE + FOOTER_SIZE + std::uint64_t{index_size}));
  const std::uint64_t base = input_size - trailer_size;
  for (std::uint64_t consumed = 0; consumed < index_size; consumed += INDEX_ENTRY_SIZE) {
    // The index data ends inside an entry.
    if (index_size - consumed < INDEX_ENTRY_SIZE) return unexpected_eof();
    std::uint8_t entry[INDEX_ENTRY_SIZE];
    REELKNIT_TRY(reader.read_exact(entry));
    const std::uint8_t id = entry[0];
    if (id == INDEX_RECORD_ID) continue;
    records.insert_or_assign(base + load_le32(entry + 6), TrailerRecord{version, id, entry[1], load_le32(entry + 2)});
  }
  return success();
}

/// The records found by walking the footers from the tail towards the front.
Status walk_records(BufferedReader& reader, std::uint32_t trailer_size, std::uint32_t version,
                    TrailerRecords& records) {
  std::uint64_t distance = TAIL_SIZE + FOOTER_SIZE;
  if (trailer_size <= distance) return success();
  while (distance < trailer_size) {
    REELKNIT_TRY(seek_from_end(reader, distance));
    std::uint8_t footer[FOOTER_SIZE];
    REELKNIT_TRY(reader.read_exact(footer));
    const std::uint8_t tag = footer[0];
    const std::uint8_t id = footer[1];
    const std::uint32_t size = load_le32(footer + 2);
    REELKNIT_ASSIGN_OR_RETURN(const std::uint64_t position, seek_from_end(reader, distance + size));
    if (id != INDEX_RECORD_ID) records.insert_or_assign(position, TrailerRecord{version, id, tag, size});
    distance += std::uint64_t{size} + FOOTER_SIZE;
  }
  return success();
}

bool is_tail(const std::uint8_t (&tail)[TAIL_SIZE]) {
  return std::memcmp(tail + TAIL_MAGIC_OFFSET, TRAILER_MAGIC.data(), MAGIC_SIZE) == 0;
}

Result<TrailerRecords> read_trailer(InputFile& input) {
  BufferedReader reader(*input.file);
  TrailerRecords records;
  REELKNIT_TRY(seek_from_end(reader, TAIL_SIZE));
  std::uint8_t tail[TAIL_SIZE];
  REELKNIT_TRY(reader.read_exact(tail));
  if (!is_tail(tail)) return records;
  const std::uint32_t trailer_size = load_le32(tail + TAIL_TRAILER_SIZE_OFFSET);
  const std::uint32_t version = load_le32(tail + TAIL_VERSION_OFFSET);

  // The id of the last record, the one whose footer lies right before the tail.
  REELKNIT_TRY(seek_from_end(reader, TAIL_SIZE + FOOTER_SIZE - 1));
  REELKNIT_ASSIGN_OR_RETURN(const std::uint8_t last_id, reader.read_u8());
  if (last_id == INDEX_RECORD_ID) {
    REELKNIT_TRY(read_index(reader, input.size, trailer_size, version, records));
  } else {
    REELKNIT_TRY(walk_records(reader, trailer_size, version, records));
  }
  return records;
}

Status write_le32(OutputStream& output, std::uint32_t value) {
  std::uint8_t bytes[4];
  store_le32(bytes, value);
  return output.write(bytes);
}

/// The data size of the merged record made from the first input's record `record`.
std::uint64_t merged_size(const TrailerRecord& record, const std::vector<TrailerRecords>& records) {
  std::uint64_t total = record.size;
  if (is_first_input_only(record.id)) return total;
  for (std::size_t input = 1; input < records.size(); ++input) {
    for (const auto& [position, later] : records[input]) {
      if (later.id == record.id) total += later.size;
    }
  }
  return total;
}

/// The trailer's size fields are 32 bits wide: a merged record or trailer of
/// 4 GiB or more cannot be described, so it is refused before a byte is written.
Status check_sizes(const std::vector<TrailerRecords>& records) {
  std::uint64_t trailer_size = TAIL_SIZE;
  for (const auto& [position, record] : records.front()) {
    const std::uint64_t total = merged_size(record, records);
    if (total > FIELD_MAX) {
      return Error(ErrorKind::Unsupported,
                   format_text("the merged Insta360 record of id {} would hold {} bytes; its 32-bit size field "
                               "cannot describe 4 GiB or more",
                               record.id, total));
    }
    trailer_size += total + FOOTER_SIZE;
  }
  if (trailer_size > FIELD_MAX) {
    return Error(ErrorKind::Unsupported,
                 format_text("the merged Insta360 trailer would hold {} bytes; its 32-bit size field cannot describe "
                             "4 GiB or more",
                             trailer_size));
  }
  return success();
}

/// Copies the data of a record of a later input, which the first input's footer check does not cover.
Status copy_later_record(InputFile& input, std::size_t input_index, std::uint64_t position,
                         const TrailerRecord& record, OutputStream& output) {
  REELKNIT_TRY(input.file->seek(SeekFrom::start(position)));
  REELKNIT_ASSIGN_OR_RETURN(const std::uint64_t copied, copy_to_output(*input.file, record.size, output));
  if (copied < record.size) {
    return Error(ErrorKind::UnexpectedEof,
                 format_text("input {}: the Insta360 record of id {} at offset {} declares {} bytes, but the file "
                             "ends after {}",
                             input_index + 1, record.id, position, record.size, copied));
  }
  return success();
}

}  // namespace

Result<std::optional<std::uint64_t>> find_trailer_start(BufferedReader& reader, std::uint64_t file_size) {
  if (file_size < TAIL_SIZE) return std::optional<std::uint64_t>();
  REELKNIT_TRY(seek_from_end(reader, TAIL_SIZE));
  std::uint8_t tail[TAIL_SIZE];
  REELKNIT_TRY(reader.read_exact(tail));
  if (!is_tail(tail)) return std::optional<std::uint64_t>();
  return std::optional<std::uint64_t>(file_size - load_le32(tail + TAIL_TRAILER_SIZE_OFFSET));
}

Result<std::vector<TrailerRecords>> read_trailers(std::span<InputFile> inputs) {
  std::vector<TrailerRecords> all;
  all.reserve(inputs.size());
  for (InputFile& input : inputs) {
    REELKNIT_ASSIGN_OR_RETURN(TrailerRecords records, read_trailer(input));
    all.push_back(std::move(records));
  }
  return all;
}

Status write_merged_trailer(std::span<InputFile> inputs, const std::vector<TrailerRecords>& records,
                            OutputStream& output) {
  if (inputs.empty() || records.size() != inputs.size()) {
    return Error(ErrorKind::InvalidInput, "the Insta360 trailer merge needs one record map per input");
  }
  REELKNIT_TRY(check_sizes(records));
  std::uint32_t version = DEFAULT_VERSION;
  std::uint64_t trailer_length = 0;
  File& first = *inputs.front().file;
  for (const auto& [position, record] : records.front()) {
    version = record.version;
    REELKNIT_TRY(first.seek(SeekFrom::start(position)));
    REELKNIT_TRY(copy_to_output(first, record.size, output));

    // The record's own footer must say what the map says (the map may come from an index).
    std::uint8_t tag = 0;
    std::uint8_t id = 0;
    std::uint8_t size_bytes[4];
    REELKNIT_TRY(read_exact(first, {&tag, 1}));
    REELKNIT_TRY(read_exact(first, {&id, 1}));
    REELKNIT_TRY(read_exact(first, size_bytes));
    const std::uint32_t size = load_le32(size_bytes);
    if (tag != record.tag || id != record.id || size != record.size) {
      return Error(ErrorKind::InvalidData, "Invalid metadata");
    }

    std::uint64_t total = size;
    if (!is_first_input_only(id)) {
      for (std::size_t input = 1; input < inputs.size(); ++input) {
        for (const auto& [later_position, later] : records[input]) {
          if (later.id != id) continue;
          REELKNIT_TRY(copy_later_record(inputs[input], input, later_position, later, output));
          total += later.size;
        }
      }
    }

    // check_sizes has made sure the total fits.
    const std::uint8_t footer_ids[] = {tag, id};
    REELKNIT_TRY(output.write(footer_ids));
    REELKNIT_TRY(write_le32(output, static_cast<std::uint32_t>(total)));
    trailer_length += total + FOOTER_SIZE;
  }

  const std::array<std::uint8_t, TAIL_RESERVED_SIZE> reserved{};
  REELKNIT_TRY(output.write(reserved));
  REELKNIT_TRY(write_le32(output, static_cast<std::uint32_t>(trailer_length + TAIL_SIZE)));
  REELKNIT_TRY(write_le32(output, version));
  return write_trailer_magic(output);
}

Status write_trailer_magic(OutputStream& output) {
  std::array<std::uint8_t, MAGIC_SIZE> magic{};
  std::copy(TRAILER_MAGIC.begin(), TRAILER_MAGIC.end(), magic.begin());
  return output.write(magic);
}

}  // namespace reelknit::insta360
