// The merge description: everything learned from the inputs that the writer
// needs to turn the first input's movie into the joined movie.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "mp4/descriptions.h"
#include "mp4/media_time.h"
#include "mp4/track_kinds.h"

namespace reelknit {

/// The first input's tracks are the output's, up to this many; a later
/// input's tracks are matched to them by kind.
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

/// Which inputs a per-sample table was met in. Once any input's track has the
/// table, an input whose track lacks it still needs entries for its samples,
/// or they would take another sample's flags and offsets.
struct TablePresence {
  bool in_first_input = false;
  std::optional<std::size_t> last_input;

  void note(std::size_t input_index) {
    if (input_index == 0) in_first_input = true;
    last_input = input_index;
  }
  bool seen() const { return last_input.has_value(); }
  bool missing_from(std::size_t input_index) const { return seen() && last_input != input_index; }
};

/// One edit of an edit list: `duration` in a movie timescale, `media_time`
/// in a media timescale (−1 for an empty edit, which shows nothing), and the
/// media rate as 16.16 fixed point (0x10000 plays at normal speed).
struct EditEntry {
  std::uint64_t duration = 0;
  std::int64_t media_time = 0;
  std::uint32_t rate = 0x10000;
  bool operator==(const EditEntry&) const = default;
};

/// What one input's track brought, gathered while its tree is read and put
/// in place by `finish_input`.
struct InputTrack {
  bool present = false;
  bool has_edit_list = false;
  std::vector<EditEntry> edits;  ///< as the input has them, in its own timescales
  std::uint32_t media_timescale = 0;
  /// How this input's media times and sample durations become the output track's.
  MediaTimeScale media_scale;
  std::uint64_t sample_duration = 0;  ///< its samples' durations summed, in the output track's units
  std::uint32_t largest_delta = 0;    ///< its longest sample, in the output track's units
  bool brought_ctts = false;
  std::uint64_t tkhd_duration = 0;  ///< what its track header says it lasts, in the input's movie timescale
};

/// The input being read: its movie header and what each of its tracks brought.
struct InputMovie {
  std::uint32_t timescale = 0;
  std::uint64_t duration = 0;
  /// The output track of each of the input's tracks, by position; empty means the same position.
  std::vector<std::size_t> track_slots;
  std::vector<InputTrack> tracks = std::vector<InputTrack>(TRACK_SLOTS);
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
  /// The output's edit list: every input's edits in order, durations in the
  /// movie timescale, media times where that input's media lies in the joined track.
  std::vector<EditEntry> edits;
  bool first_input_has_edit_list = false;
  /// Where the next input's media starts in the joined track: the samples' durations so far.
  std::uint64_t media_duration = 0;
  SampleDescriptions descriptions;
  SampleGroups groups;
  std::uint64_t mdhd_duration = 0;
  /// The track's media timescale: one that every input's converts into exactly.
  std::uint32_t mdhd_timescale = 0;
  /// The first input's media timescale, as its media header has it.
  std::uint32_t first_mdhd_timescale = 0;
  std::uint64_t ctts_samples = 0;  ///< samples the composition offsets cover
  std::uint32_t sample_base = 0;
  std::uint32_t chunk_base = 0;
  /// Where the input being read begins in `stts`.
  std::size_t stts_base = 0;
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
  std::vector<TrackDesc> tracks = std::vector<TrackDesc>(TRACK_SLOTS);
  /// How many tracks the first input has: the output's tracks.
  std::size_t track_count = 0;
  /// The first input's tracks, which a later input's are matched to.
  std::vector<TrackKind> first_input_kinds;
  std::uint64_t mvhd_duration = 0;
  /// The movie durations of the inputs read so far, in the output's movie timescale:
  /// where the next input starts in the joined movie.
  std::uint64_t movie_elapsed = 0;
  /// How much later than the inputs before it the last input read starts in
  /// the joined movie (see `place_input_tracks`): the movie lasts that much longer.
  std::uint64_t last_input_late_by = 0;
  std::uint64_t mdat_base = 0;
  /// The output's movie timescale: one that every input's converts into exactly.
  std::uint32_t movie_timescale = 0;
  /// The first input's movie timescale, as its movie header has it.
  std::uint32_t first_movie_timescale = 0;
  InputMovie input;
};

/// ceil(to × duration ÷ from), exact, saturated into 64 bits. From timescale 0
/// a nonzero duration gives the largest value (0 when `to` is 0).
std::uint64_t convert_duration(std::uint64_t duration, std::uint32_t from, std::uint32_t to);

}  // namespace reelknit

namespace reelknit {

/// The bookkeeping once input `input_index` has been read: the last span
/// becomes that input's, the media-data base moves past it, every track's
/// edits join the output's (see `place_input_tracks`), and every slot's sample
/// and chunk bases move to the totals so far. Where an earlier input's track
/// had composition offsets or sync samples (or the first one dependency flags)
/// and this input's track brought none, its samples get offset 0, are all
/// sync samples, and have unknown dependencies. Nothing happens while no span exists.
void finish_input(Desc& desc, std::size_t input_index);

/// Appends an edit to a track's output list; an edit that continues the last
/// one (empty after empty, or media that goes on where the last edit's ended,
/// within one movie tick) lengthens it instead.
void append_edit(TrackDesc& track, std::uint32_t movie_timescale, const EditEntry& edit);

/// The time a track presents: its edits' durations summed, in the movie timescale.
std::uint64_t presented_duration(const TrackDesc& track);

/// a + b, or the largest value where the sum passes 64 bits: a duration that
/// wrapped would end a track or movie early.
constexpr std::uint64_t add_saturated(std::uint64_t a, std::uint64_t b) {
  return b > ~std::uint64_t{0} - a ? ~std::uint64_t{0} : a + b;
}

/// The least common multiple of two timescales, when it fits 32 bits.
std::optional<std::uint32_t> common_timescale(std::uint32_t a, std::uint32_t b);

/// Moves a track to the media timescale `to`, a multiple of its own: every
/// value in its media units is multiplied. False, and the track unchanged,
/// where a sample duration or composition offset would no longer fit its field.
bool rescale_track(TrackDesc& track, std::uint32_t to);

/// Moves the movie to the timescale `to`, a multiple of its own: the movie's
/// duration and every track's edit durations are multiplied.
void rescale_movie(Desc& desc, std::uint32_t to);

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
