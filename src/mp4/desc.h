// The merge description: everything learned from the inputs that the writer
// needs to turn the first input's movie into the joined movie.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "mp4/descriptions.h"

namespace reelknit {

/// Tracks are matched across inputs by position, into this many slots.
inline constexpr std::size_t TRACK_SLOTS = 10;

/// One input's media data: the payload of its first top-level `mdat`.
struct MdatSpan {
  std::optional<std::size_t> input_index;  ///< set once the input has been read
  std::uint64_t offset = 0;                ///< first payload byte, in that input
  std::uint64_t size = 0;                  ///< payload bytes
};

struct SttsEntry {
  std::uint32_t sample_count = 0;
  std::uint32_t sample_delta = 0;
  bool operator==(const SttsEntry&) const = default;
};

/// A composition-offset run; the offset is kept as stored (signed in version 1).
struct CttsEntry {
  std::uint32_t sample_count = 0;
  std::uint32_t sample_offset = 0;
  bool operator==(const CttsEntry&) const = default;
};

struct StscEntry {
  std::uint32_t first_chunk = 0;
  std::uint32_t samples_per_chunk = 0;
  std::uint32_t sample_description_index = 0;
  bool operator==(const StscEntry&) const = default;
};

/// Which inputs a per-sample table was met in. Where the first input's track
/// has the table, an input whose track lacks it still needs entries for its
/// samples, or they would take another sample's flags and offsets.
struct TablePresence {
  bool in_first_input = false;
  std::optional<std::size_t> last_input;

  void note(std::size_t input_index) {
    if (input_index == 0) in_first_input = true;
    last_input = input_index;
  }
  bool missing_from(std::size_t input_index) const { return in_first_input && last_input != input_index; }
};

/// The k-th track of every input: its sample tables concatenated in input
/// order and renumbered to describe one continuous track.
struct TrackDesc {
  std::vector<SttsEntry> stts;
  std::vector<std::uint32_t> stsz;
  std::vector<std::uint64_t> stco;  ///< relative to the start of the merged media data
  std::vector<std::uint32_t> stss;
  std::vector<std::uint8_t> sdtp;
  std::vector<StscEntry> stsc;
  std::vector<CttsEntry> ctts;
  SampleDescriptions descriptions;
  SampleGroups groups;
  std::uint64_t tkhd_duration = 0;
  std::uint64_t elst_segment_duration = 0;  ///< plain sum, in each input's movie timescale
  std::uint64_t mdhd_duration = 0;
  std::uint32_t mdhd_timescale = 0;
  std::uint32_t sample_base = 0;
  std::uint32_t chunk_base = 0;
  std::uint32_t stsz_sample_size = 0;
  std::uint32_t stsz_count = 0;
  bool is_tmcd = false;
  std::uint8_t ctts_version = 0;
  TablePresence ctts_presence;
  TablePresence stss_presence;
  TablePresence sdtp_presence;
  TablePresence stco_presence;
};

struct Desc {
  std::vector<MdatSpan> mdat_spans;
  std::vector<std::uint32_t> input_timescales;
  std::vector<TrackDesc> tracks = std::vector<TrackDesc>(TRACK_SLOTS);
  std::uint64_t mvhd_duration = 0;
  std::uint64_t mdat_base = 0;
  std::uint32_t movie_timescale = 0;
};

/// ceil(to × duration ÷ from), exact, saturated into 64 bits. From timescale 0
/// a nonzero duration gives the largest value (0 when `to` is 0).
std::uint64_t convert_duration(std::uint64_t duration, std::uint32_t from, std::uint32_t to);

}  // namespace reelknit

namespace reelknit {

/// The driver's bookkeeping once input `input_index` has been read: the last
/// span becomes that input's, the media-data base moves past it, and every
/// slot's sample and chunk bases move to the totals so far. Where the first
/// input's track has composition offsets, sync samples or dependency flags and
/// this input's track brought none, its samples get offset 0, are all sync
/// samples, and have unknown dependencies. Nothing happens while no span exists.
void finish_input(Desc& desc, std::size_t input_index);

/// Per slot, how long its lists were before an input was read.
struct TableMarks {
  std::size_t stsc = 0;
};
std::vector<TableMarks> mark_tables(const Desc& desc);

/// A track to which the input just read (before `finish_input`) brought chunk
/// offsets that no table of the first input's tree would carry: its samples
/// would lose their places in the output.
std::optional<std::size_t> find_offsets_without_table(const Desc& desc);

/// A chunk of the input just read whose data does not lie inside `span`.
struct ChunkOutsideSpan {
  std::size_t track_slot = 0;
  std::uint64_t chunk_number = 0;  ///< 1-based within the input
  std::uint64_t offset = 0;        ///< the chunk's offset in the input
  std::uint64_t bytes = 0;         ///< what its samples occupy
};

/// Checks every chunk the input just read added (before `finish_input`):
/// each must start inside its media data, and its samples must end there.
std::optional<ChunkOutsideSpan> find_chunk_outside_span(const Desc& desc, const std::vector<TableMarks>& marks,
                                                        const MdatSpan& span);

/// A track of the input just read whose sample-to-chunk runs do not account
/// for its chunks and samples.
struct SampleTableMismatch {
  std::size_t track_slot = 0;
  std::uint64_t chunks = 0;             ///< chunk offsets the input lists for the track
  std::uint64_t samples_in_chunks = 0;  ///< what its sample-to-chunk runs put in them
  std::uint64_t samples_listed = 0;     ///< what its sample-size table lists
  /// The runs do not start at the first chunk, go backwards, or name chunks the track does not have.
  bool runs_misplaced = false;
};

/// Checks what the input just read added (before `finish_input`). Once tables
/// are concatenated, the next input's samples are numbered from where this
/// input's chunks end, so while `more_inputs_follow` its chunks must hold
/// exactly the samples its sample-size table lists; the runs must always
/// cover the chunks from the first one, or the previous input's last run
/// would claim them.
std::optional<SampleTableMismatch> find_sample_table_mismatch(const Desc& desc, const std::vector<TableMarks>& marks,
                                                              bool more_inputs_follow);

}  // namespace reelknit
