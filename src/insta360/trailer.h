// Reading the Insta360 trailers of all inputs and writing one merged trailer.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <vector>

#include "io/buffered_reader.h"
#include "io/file.h"
#include "io/output_stream.h"

namespace reelknit::insta360 {

/// One record as learned from an input.
struct TrailerRecord {
  std::uint32_t version = 0;  ///< the version of the tail of the input that holds the record
  std::uint8_t id = 0;
  std::uint8_t tag = 0;
  std::uint64_t size = 0;
  bool operator==(const TrailerRecord&) const = default;
};

/// One input's records, by the absolute position of their data in that input.
using TrailerRecords = std::map<std::uint64_t, TrailerRecord>;

/// Where the trailer of a file of `file_size` bytes starts, when the file ends
/// in one; none otherwise. The start is `trailer_size` before the end, as the
/// tail declares it, and may be damage (before the file's start): the trailer
/// step reports that. Moves the reader.
Result<std::optional<std::uint64_t>> find_trailer_start(BufferedReader& reader, std::uint64_t file_size);

/// The records of every input, one map per input (empty without a trailer),
/// from the index record when the last record is one, else by walking the
/// footers back from the tail. Moves the file position of every input.
Result<std::vector<TrailerRecords>> read_trailers(std::span<InputFile> inputs);

/// Appends the merged trailer at the output's position: one record per record
/// of the first input, each followed by the records of the same id from every
/// later input (ids 1, 2 and 5 excepted). `records` holds one map per input.
/// A record or trailer
/// too large for the 32-bit size fields is refused before anything is written;
/// a later input's record that ends past its file fails the merge.
Status write_merged_trailer(std::span<InputFile> inputs, const std::vector<TrailerRecords>& records,
                            OutputStream& output);

/// Writes the 32 bytes of the magic.
Status write_trailer_magic(OutputStream& output);

}  // namespace reelknit::insta360
