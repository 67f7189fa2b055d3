#include "mp4/read_desc.h"

#include <array>
#include <limits>

#include "mp4/box.h"
#include "mp4/sample_entry.h"
#include "base/format.h"
#include "base/log_line.h"

namespace reelknit {

namespace {

/// What every level of one input's walk shares.
struct Walk {
  BufferedReader& reader;
  Desc& desc;
  std::size_t input_index;
  /// Per track slot, the sample tables met so far in this input, one bit each.
  std::array<std::uint32_t, TRACK_SLOTS> tables_seen{};
};

Error invalid_data(std::string message) { return Error(ErrorKind::InvalidData, std::move(message)); }

Status require_payload(const BoxHeader& header, std::uint64_t needed) {
  if (header.payload_size() >= needed) return success();
  return invalid_data(format_text("box {} at offset {} holds {} bytes, too few for its {}-byte fields",
                                  box_type_text(header.type), header.position, header.payload_size(), needed));
}

/// An entry count must be backed by the bytes of the box: never read on into the next box.
Status require_entries(const BoxHeader& header, std::uint64_t fields_before, std::uint64_t count,
                       std::uint64_t entry_size) {
  const std::uint64_t room = header.payload_size() - fields_before;
  if (count <= room / entry_size) return success();
  return invalid_data(format_text("box {} at offset {} claims {} entries of {} bytes but holds only {} bytes",
                                  box_type_text(header.type), header.position, count, entry_size, room));
}

Status skip_bytes(BufferedReader& reader, std::size_t count) {
  std::uint8_t scratch[32];
  while (count > 0) {
    const std::size_t take = std::min(count, sizeof scratch);
    REELKNIT_TRY(reader.read_exact(std::span(scratch, take)));
    count -= take;
  }
  return success();
}

/// Reads the version byte and skips the 3 flag bytes.
Result<std::uint8_t> read_version(BufferedReader& reader) {
  REELKNIT_ASSIGN_OR_RETURN(const std::uint8_t version, reader.read_u8());
  REELKNIT_TRY(skip_bytes(reader, 3));
  return version;
}

/// The output track that the input's track at `position` continues.
Result<std::size_t> slot_of(const Walk& walk, std::uint64_t position, const BoxHeader& header) {
  const std::vector<std::size_t>& slots = walk.desc.input.track_slots;
  const std::uint64_t slot = position < slots.size() ? slots[position] : position;
  if (slot < walk.desc.tracks.size()) return static_cast<std::size_t>(slot);
  return Error(ErrorKind::Unsupported,
               format_text("more than {} tracks ({} at offset {} is in track {}); a join carries {}", TRACK_SLOTS,
                           box_type_text(header.type), header.position, position + 1, TRACK_SLOTS));
}

Result<TrackDesc*> existing_slot(Walk& walk, std::uint64_t position, const BoxHeader& header) {
  REELKNIT_ASSIGN_OR_RETURN(const std::size_t slot, slot_of(walk, position, header));
  return &walk.desc.tracks[slot];
}

Result<const MdatSpan*> current_span(Walk& walk, const BoxHeader& header) {
  if (!walk.desc.mdat_spans.empty()) return &walk.desc.mdat_spans.back();
  return invalid_data(format_text("a {} table at offset {} but no media data (mdat) to refer to",
                                  box_type_text(header.type), header.position));
}

/// The timescale and duration of a movie or media header, which share their layout.
struct TimescaleAndDuration {
  std::uint32_t timescale = 0;
  std::uint64_t duration = 0;
};

Result<TimescaleAndDuration> read_timescale_and_duration(Walk& walk, const BoxHeader& header, std::uint8_t version) {
  REELKNIT_TRY(require_payload(header, version == 1 ? 32 : 20));
  TimescaleAndDuration read;
  if (version == 1) {
    REELKNIT_TRY(skip_bytes(walk.reader, 16));
    REELKNIT_ASSIGN_OR_RETURN(read.timescale, walk.reader.read_be32());
    REELKNIT_ASSIGN_OR_RETURN(read.duration, walk.reader.read_be64());
  } else {
    REELKNIT_TRY(skip_bytes(walk.reader, 8));
    REELKNIT_ASSIGN_OR_RETURN(read.timescale, walk.reader.read_be32());
    REELKNIT_ASSIGN_OR_RETURN(read.duration, walk.reader.read_be32());
  }
  return read;
}

Status read_mvhd(Walk& walk, const BoxHeader& header) {
  REELKNIT_ASSIGN_OR_RETURN(const std::uint8_t version, read_version(walk.reader));
  REELKNIT_ASSIGN_OR_RETURN(const TimescaleAndDuration movie, read_timescale_and_duration(walk, header, version));
  Desc& desc = walk.desc;
  desc.input.timescale = movie.timescale;
  desc.input.duration = movie.duration;
  if (walk.input_index == 0) desc.first_movie_timescale = movie.timescale;
  // Chapters in other movie timescales are converted exactly: into one that all of them divide.
  const auto common = common_timescale(desc.movie_timescale, movie.timescale);
  if (!common) {
    return Error(ErrorKind::Unsupported,
                 format_text("its movie timescale {} and the first input's {} have no common timescale of 32 bits",
                             movie.timescale, desc.movie_timescale));
  }
  rescale_movie(desc, *common);
  desc.mvhd_duration = add_saturated(desc.mvhd_duration, convert_duration(movie.duration, movie.timescale, desc.movie_timescale));
  return success();
}

Status read_tkhd(Walk& walk, const BoxHeader& header, std::uint64_t track_index) {
  REELKNIT_ASSIGN_OR_RETURN(const std::uint8_t version, read_version(walk.reader));
  REELKNIT_ASSIGN_OR_RETURN(const std::size_t slot, slot_of(walk, track_index, header));
  REELKNIT_TRY(require_payload(header, version == 1 ? 36 : 24));
  std::uint64_t duration;
  if (version == 1) {
    REELKNIT_TRY(skip_bytes(walk.reader, 24));
    REELKNIT_ASSIGN_OR_RETURN(duration, walk.reader.read_be64());
  } else {
    REELKNIT_TRY(skip_bytes(walk.reader, 16));
    REELKNIT_ASSIGN_OR_RETURN(duration, walk.reader.read_be32());
  }
  walk.desc.input.tracks[slot].tkhd_duration = duration;
  return success();
}

Status read_mdhd(Walk& walk, const BoxHeader& header, std::uint64_t track_index) {
  REELKNIT_ASSIGN_OR_RETURN(const std::uint8_t version, read_version(walk.reader));
  REELKNIT_ASSIGN_OR_RETURN(const std::size_t slot, slot_of(walk, track_index, header));
  REELKNIT_ASSIGN_OR_RETURN(const TimescaleAndDuration media, read_timescale_and_duration(walk, header, version));
  TrackDesc& track = walk.desc.tracks[slot];
  InputTrack& input_track = walk.desc.input.tracks[slot];
  if (media.timescale == 0) {
    return invalid_data(format_text("track {} has media timescale 0; its samples have no duration", track_index + 1));
  }
  input_track.media_timescale = media.timescale;
  if (walk.input_index == 0) track.first_mdhd_timescale = media.timescale;
  // Timecode tracks keep the first input's samples, and so its timescale.
  if (walk.input_index != 0 && track.is_tmcd) {
    track.mdhd_duration = add_saturated(track.mdhd_duration,
                                        convert_duration(media.duration, media.timescale, track.mdhd_timescale));
    return success();
  }
  // Players take a sound track's timescale for its sample rate: a chapter
  // recorded at another rate is converted into the first chapter's, rounded.
  const std::vector<TrackKind>& kinds = walk.desc.first_input_kinds;
  const bool is_sound = slot < kinds.size() && kinds[slot].handler == HANDLER_SOUN;
  if (walk.input_index != 0 && is_sound && media.timescale != track.mdhd_timescale) {
    input_track.media_scale = MediaTimeScale::rounded(media.timescale, track.mdhd_timescale);
    track.mdhd_duration = add_saturated(track.mdhd_duration, input_track.media_scale.time(media.duration));
    return success();
  }
  // Chapters in other media timescales are converted exactly: into one that all of them divide.
  const auto common = common_timescale(track.mdhd_timescale, media.timescale);
  if (!common || !rescale_track(track, *common)) {
    return Error(ErrorKind::Unsupported,
                 format_text("track {} has media timescale {} and the first input's track {}; no common timescale "
                             "holds both with every sample duration in 32 bits",
                             track_index + 1, media.timescale, track.mdhd_timescale, slot + 1));
  }
  input_track.media_scale = MediaTimeScale::exact(track.mdhd_timescale / media.timescale);
  track.mdhd_duration = add_saturated(track.mdhd_duration, input_track.media_scale.time(media.duration));
  return success();
}

/// Reads the version, flags and entry count of a table and checks the count against the box.
Result<std::uint32_t> read_entry_count(Walk& walk, const BoxHeader& header, std::uint64_t entry_size) {
  REELKNIT_TRY(require_payload(header, 8));
  REELKNIT_TRY(skip_bytes(walk.reader, 4));
  REELKNIT_ASSIGN_OR_RETURN(const std::uint32_t count, walk.reader.read_be32());
  REELKNIT_TRY(require_entries(header, 8, count, entry_size));
  return count;
}

Status read_elst(Walk& walk, const BoxHeader& header, TrackDesc& track, InputTrack& input_track) {
  REELKNIT_TRY(require_payload(header, 8));
  REELKNIT_ASSIGN_OR_RETURN(const std::uint8_t version, read_version(walk.reader));
  REELKNIT_ASSIGN_OR_RETURN(const std::uint32_t count, walk.reader.read_be32());
  const std::uint64_t entry_size = version == 1 ? 20 : 12;
  REELKNIT_TRY(require_entries(header, 8, count, entry_size));
  input_track.has_edit_list = true;
  if (walk.input_index == 0) track.first_input_has_edit_list = true;
  for (std::uint32_t i = 0; i < count; ++i) {
    EditEntry edit;
    if (version == 1) {
      REELKNIT_ASSIGN_OR_RETURN(edit.duration, walk.reader.read_be64());
      REELKNIT_ASSIGN_OR_RETURN(const std::uint64_t media_time, walk.reader.read_be64());
      edit.media_time = static_cast<std::int64_t>(media_time);
    } else {
      REELKNIT_ASSIGN_OR_RETURN(edit.duration, walk.reader.read_be32());
      REELKNIT_ASSIGN_OR_RETURN(const std::uint32_t media_time, walk.reader.read_be32());
      edit.media_time = static_cast<std::int32_t>(media_time);
    }
    REELKNIT_ASSIGN_OR_RETURN(edit.rate, walk.reader.read_be32());
    input_track.edits.push_back(edit);
  }
  return success();
}

/// Samples of one size all lie in the input's media data; a count beyond that is
/// damage, and listing or flagging that many samples would only exhaust memory.
Status check_constant_samples_fit(Walk& walk, const BoxHeader& header, std::uint32_t sample_size,
                                  std::uint32_t count) {
  if (sample_size == 0 || walk.desc.mdat_spans.empty()) return success();
  const std::uint64_t media_bytes = walk.desc.mdat_spans.back().size;
  if (std::uint64_t{count} * sample_size <= media_bytes) return success();
  return invalid_data(format_text("box stsz at offset {} claims {} samples of {} bytes, more than its {} bytes of media data",
                                  header.position, count, sample_size, media_bytes));
}

Status read_stsz(Walk& walk, const BoxHeader& header, TrackDesc& track) {
  REELKNIT_TRY(require_payload(header, 12));
  REELKNIT_TRY(skip_bytes(walk.reader, 4));
  REELKNIT_ASSIGN_OR_RETURN(const std::uint32_t sample_size, walk.reader.read_be32());
  REELKNIT_ASSIGN_OR_RETURN(const std::uint32_t sample_count, walk.reader.read_be32());
  REELKNIT_TRY(check_constant_samples_fit(walk, header, sample_size, sample_count));
  // Once the inputs disagree on one constant size, every size is listed, so the
  // merged table describes every sample.
  const bool earlier_constant = track.stsz_sample_size != 0 && track.stsz.empty();
  const bool mixed = track.stsz_count != 0 && (earlier_constant ? sample_size != track.stsz_sample_size : sample_size != 0);
  if (mixed && earlier_constant) {
    track.stsz.insert(track.stsz.end(), track.stsz_count, track.stsz_sample_size);
  }
  if (sample_size == 0) {
    REELKNIT_TRY(require_entries(header, 12, sample_count, 4));
    for (std::uint32_t i = 0; i < sample_count; ++i) {
      REELKNIT_ASSIGN_OR_RETURN(const std::uint32_t entry, walk.reader.read_be32());
      track.stsz.push_back(entry);
    }
  } else if (mixed) {
    track.stsz.insert(track.stsz.end(), sample_count, sample_size);
  }
  track.stsz_sample_size = mixed ? 0 : sample_size;
  track.stsz_count += sample_count;
  return success();
}

/// Compact sample sizes: 4-, 8- or 16-bit fields, listed like any other sizes.
Status read_stz2(Walk& walk, const BoxHeader& header, TrackDesc& track) {
  REELKNIT_TRY(require_payload(header, 12));
  REELKNIT_TRY(skip_bytes(walk.reader, 7));  // version, flags, 24 reserved bits
  REELKNIT_ASSIGN_OR_RETURN(const std::uint8_t field_size, walk.reader.read_u8());
  REELKNIT_ASSIGN_OR_RETURN(const std::uint32_t sample_count, walk.reader.read_be32());
  if (field_size != 4 && field_size != 8 && field_size != 16) {
    return invalid_data(format_text("box stz2 at offset {} has sample sizes of {} bits; they are 4, 8 or 16",
                                    header.position, field_size));
  }
  const std::uint64_t bytes = (std::uint64_t{sample_count} * field_size + 7) / 8;
  if (bytes > header.payload_size() - 12) {
    return invalid_data(format_text("box stz2 at offset {} claims {} samples but holds only {} bytes of sizes",
                                    header.position, sample_count, header.payload_size() - 12));
  }
  if (track.stsz_sample_size != 0 && track.stsz.empty()) {
    track.stsz.insert(track.stsz.end(), track.stsz_count, track.stsz_sample_size);
  }
  std::uint8_t byte = 0;
  for (std::uint32_t i = 0; i < sample_count; ++i) {
    std::uint32_t size;
    if (field_size == 16) {
      std::uint8_t pair[2];
      REELKNIT_TRY(walk.reader.read_exact(pair));
      size = load_be16(pair);
    } else if (field_size == 8) {
      REELKNIT_ASSIGN_OR_RETURN(byte, walk.reader.read_u8());
      size = byte;
    } else {
      // Two sizes to a byte, the first in the high nibble.
      if (i % 2 == 0) {
        REELKNIT_ASSIGN_OR_RETURN(byte, walk.reader.read_u8());
      }
      size = i % 2 == 0 ? byte >> 4 : byte & 0x0F;
    }
    track.stsz.push_back(size);
  }
  track.stsz_sample_size = 0;
  track.stsz_count += sample_count;
  return success();
}

Status read_sdtp(Walk& walk, const BoxHeader& header, TrackDesc& track) {
  REELKNIT_TRY(require_payload(header, 4));
  track.sdtp_presence.note(walk.input_index);
  REELKNIT_TRY(skip_bytes(walk.reader, 4));
  std::uint64_t remaining = header.payload_size() - 4;
  std::uint8_t chunk[4096];
  while (remaining > 0) {
    const auto take = static_cast<std::size_t>(std::min<std::uint64_t>(remaining, sizeof chunk));
    REELKNIT_TRY(walk.reader.read_exact(std::span(chunk, take)));
    track.sdtp.insert(track.sdtp.end(), chunk, chunk + take);
    remaining -= take;
  }
  return success();
}

Status read_stss(Walk& walk, const BoxHeader& header, TrackDesc& track) {
  REELKNIT_ASSIGN_OR_RETURN(const std::uint32_t count, read_entry_count(walk, header, 4));
  // The first sync-sample table met: every sample before it was a sync sample.
  if (!track.stss_presence.seen()) {
    for (std::uint32_t k = 1; k <= track.sample_base; ++k) track.stss.push_back(k);
  }
  track.stss_presence.note(walk.input_index);
  if (count == 0) return success();
  REELKNIT_TRY(current_span(walk, header));
  for (std::uint32_t i = 0; i < count; ++i) {
    REELKNIT_ASSIGN_OR_RETURN(const std::uint32_t sample, walk.reader.read_be32());
    track.stss.push_back(sample + track.sample_base);
  }
  return success();
}

Status read_chunk_offsets(Walk& walk, const BoxHeader& header, TrackDesc& track, bool wide) {
  REELKNIT_ASSIGN_OR_RETURN(const std::uint32_t count, read_entry_count(walk, header, wide ? 8 : 4));
  track.stco_presence.note(walk.input_index);
  if (count == 0) return success();
  REELKNIT_ASSIGN_OR_RETURN(const MdatSpan* span, current_span(walk, header));
  // Offsets become relative to the merged media data, where this input's part starts at mdat_base.
  const std::uint64_t rebase = walk.desc.mdat_base - span->offset;
  for (std::uint32_t i = 0; i < count; ++i) {
    std::uint64_t offset;
    if (wide) {
      REELKNIT_ASSIGN_OR_RETURN(offset, walk.reader.read_be64());
    } else {
      REELKNIT_ASSIGN_OR_RETURN(offset, walk.reader.read_be32());
    }
    track.stco.push_back(offset + rebase);
  }
  return success();
}

Error too_fine(std::uint64_t track_index, std::uint32_t timescale) {
  return Error(ErrorKind::Unsupported,
               format_text("track {}'s sample times do not fit 32 bits in the joined track's timescale {}",
                           track_index + 1, timescale));
}

/// One more sample of the input being read; a run of the input's goes on where the duration is the same.
void append_sample_delta(TrackDesc& track, std::uint32_t delta) {
  if (track.stts.size() > track.stts_base && track.stts.back().sample_delta == delta) {
    ++track.stts.back().sample_count;
    return;
  }
  track.stts.push_back(SttsEntry{1, delta});
}

Status read_stts(Walk& walk, const BoxHeader& header, TrackDesc& track, InputTrack& input_track,
                 std::uint64_t track_index) {
  REELKNIT_ASSIGN_OR_RETURN(const std::uint32_t count, read_entry_count(walk, header, 8));
  if (count == 0) return success();
  REELKNIT_ASSIGN_OR_RETURN(const MdatSpan* span, current_span(walk, header));
  MediaTimeScale& scale = input_track.media_scale;
  std::uint64_t rounded_samples = 0;
  for (std::uint32_t i = 0; i < count; ++i) {
    SttsEntry entry;
    REELKNIT_ASSIGN_OR_RETURN(entry.sample_count, walk.reader.read_be32());
    REELKNIT_ASSIGN_OR_RETURN(const std::uint32_t delta, walk.reader.read_be32());
    if (scale.is_exact()) {
      const std::uint64_t scaled = scale.next_delta(delta);
      if (scaled > std::numeric_limits<std::uint32_t>::max()) return too_fine(track_index, track.mdhd_timescale);
      entry.sample_delta = static_cast<std::uint32_t>(scaled);
      input_track.sample_duration += std::uint64_t{entry.sample_count} * entry.sample_delta;
      if (entry.sample_count != 0) input_track.largest_delta = std::max(input_track.largest_delta, entry.sample_delta);
      track.stts.push_back(entry);
      continue;
    }
    // Rounded sample by sample: a run may become one entry per sample. Every
    // sound sample holds a byte of media data, which bounds what is listed.
    rounded_samples += entry.sample_count;
    if (rounded_samples > span->size) {
      return invalid_data(format_text("box stts at offset {} claims {} samples, more than its {} bytes of media data hold",
                                      header.position, rounded_samples, span->size));
    }
    for (std::uint32_t k = 0; k < entry.sample_count; ++k) {
      const std::uint64_t scaled = scale.next_delta(delta);
      if (scaled > std::numeric_limits<std::uint32_t>::max()) return too_fine(track_index, track.mdhd_timescale);
      append_sample_delta(track, static_cast<std::uint32_t>(scaled));
      input_track.sample_duration += scaled;
      input_track.largest_delta = std::max(input_track.largest_delta, static_cast<std::uint32_t>(scaled));
    }
  }
  return success();
}

Status read_ctts(Walk& walk, const BoxHeader& header, TrackDesc& track, InputTrack& input_track,
                 std::uint64_t track_index) {
  REELKNIT_TRY(require_payload(header, 8));
  REELKNIT_ASSIGN_OR_RETURN(const std::uint8_t version, read_version(walk.reader));
  REELKNIT_ASSIGN_OR_RETURN(const std::uint32_t count, walk.reader.read_be32());
  REELKNIT_TRY(require_entries(header, 8, count, 8));
  // Signed offsets (version 1) where any input has them.
  track.ctts_version = std::max(track.ctts_version, version);
  // The first input with composition offsets: the samples before it had offset 0.
  if (track.ctts_samples < track.sample_base) {
    track.ctts.push_back(CttsEntry{static_cast<std::uint32_t>(track.sample_base - track.ctts_samples), 0});
    track.ctts_samples = track.sample_base;
  }
  const MediaTimeScale& scale = input_track.media_scale;
  for (std::uint32_t i = 0; i < count; ++i) {
    CttsEntry entry;
    REELKNIT_ASSIGN_OR_RETURN(entry.sample_count, walk.reader.read_be32());
    REELKNIT_ASSIGN_OR_RETURN(entry.sample_offset, walk.reader.read_be32());
    const std::int64_t offset = version == 1 ? std::int64_t{static_cast<std::int32_t>(entry.sample_offset)}
                                             : std::int64_t{entry.sample_offset};
    const std::int64_t scaled = scale.offset(offset);
    if (scaled > std::numeric_limits<std::uint32_t>::max() || scaled < std::numeric_limits<std::int32_t>::min()) {
      return too_fine(track_index, track.mdhd_timescale);
    }
    entry.sample_offset = static_cast<std::uint32_t>(scaled);
    track.ctts.push_back(entry);
    track.ctts_samples += entry.sample_count;
  }
  input_track.brought_ctts = true;
  track.ctts_presence.note(walk.input_index);
  return success();
}

Status read_stsc(Walk& walk, const BoxHeader& header, TrackDesc& track) {
  REELKNIT_ASSIGN_OR_RETURN(const std::uint32_t count, read_entry_count(walk, header, 12));
  if (count == 0) return success();
  REELKNIT_TRY(current_span(walk, header));
  for (std::uint32_t i = 0; i < count; ++i) {
    StscEntry entry;
    REELKNIT_ASSIGN_OR_RETURN(entry.first_chunk, walk.reader.read_be32());
    REELKNIT_ASSIGN_OR_RETURN(entry.samples_per_chunk, walk.reader.read_be32());
    REELKNIT_ASSIGN_OR_RETURN(entry.sample_description_index, walk.reader.read_be32());
    entry.first_chunk += track.chunk_base;
    track.stsc.push_back(entry);
  }
  return success();
}

/// The bit of a sample table in `Walk::tables_seen`; both chunk-offset forms share one.
std::uint32_t table_bit(std::uint32_t type) {
  switch (type) {
    case BOX_STTS: return 1u << 0;
    case BOX_CTTS: return 1u << 1;
    case BOX_STSZ:
    case BOX_STZ2: return 1u << 2;
    case BOX_STSS: return 1u << 3;
    case BOX_STCO:
    case BOX_CO64: return 1u << 4;
    case BOX_SDTP: return 1u << 5;
    case BOX_STSC: return 1u << 6;
    case BOX_STSD: return 1u << 7;
    default: return 0;
  }
}

/// The writer puts the track's whole merged table in place of every such box, and the
/// chunk offsets are fixed up in one of them only: a second table is damage.
Status note_table(Walk& walk, const BoxHeader& header, std::uint64_t track_index, std::size_t slot) {
  const std::uint32_t bit = table_bit(header.type);
  if (walk.tables_seen[slot] & bit) {
    return invalid_data(format_text("a second {} table in track {} (at offset {}); a track has one",
                                    box_type_text(header.type), track_index + 1, header.position));
  }
  walk.tables_seen[slot] |= bit;
  return success();
}

Status read_table(Walk& walk, const BoxHeader& header, std::uint64_t track_index) {
  REELKNIT_ASSIGN_OR_RETURN(const std::size_t slot, slot_of(walk, track_index, header));
  TrackDesc* track = &walk.desc.tracks[slot];
  InputTrack& input_track = walk.desc.input.tracks[slot];
  REELKNIT_TRY(note_table(walk, header, track_index, slot));
  // Timecode tracks keep the first input's tables: one timecode sample covers the whole recording.
  if (walk.input_index != 0 && track->is_tmcd) return success();
  switch (header.type) {
    case BOX_ELST: return read_elst(walk, header, *track, input_track);
    case BOX_STTS: return read_stts(walk, header, *track, input_track, track_index);
    case BOX_CTTS: return read_ctts(walk, header, *track, input_track, track_index);
    case BOX_STSZ: return read_stsz(walk, header, *track);
    case BOX_STZ2: return read_stz2(walk, header, *track);
    case BOX_STSS: return read_stss(walk, header, *track);
    case BOX_STCO: return read_chunk_offsets(walk, header, *track, false);
    case BOX_CO64: return read_chunk_offsets(walk, header, *track, true);
    case BOX_SDTP: return read_sdtp(walk, header, *track);
    case BOX_STSC: return read_stsc(walk, header, *track);
    default: return success();
  }
}

/// Keeps the track's sample entries, each whole, for the merge after the
/// walk; a timecode entry marks the track. The entry count is trusted only
/// as far as the box holds entries.
Status read_stsd(Walk& walk, const BoxHeader& header, std::uint64_t track_index) {
  REELKNIT_ASSIGN_OR_RETURN(const std::size_t slot, slot_of(walk, track_index, header));
  TrackDesc* track = &walk.desc.tracks[slot];
  REELKNIT_TRY(note_table(walk, header, track_index, slot));
  // Version, flags and entry count come before the sample entries.
  if (header.payload_size() < 8) return success();
  REELKNIT_TRY(skip_bytes(walk.reader, 4));
  REELKNIT_ASSIGN_OR_RETURN(const std::uint32_t count, walk.reader.read_be32());
  std::vector<SampleEntryBytes> entries;
  for (std::uint32_t k = 0; k < count; ++k) {
    REELKNIT_ASSIGN_OR_RETURN(const auto next, next_box(walk.reader, header.end()));
    if (!next) break;
    const BoxHeader& entry = *next;
    if (entry.end() > header.end()) {
      return invalid_data(format_text("sample entry {} at offset {} declares size {}, {} bytes past the end of its "
                                      "sample description box (stsd)",
                                      box_type_text(entry.type), entry.position, entry.size, entry.end() - header.end()));
    }
    if (entry.size > MAX_SAMPLE_ENTRY_SIZE) {
      return Error(ErrorKind::Unsupported,
                   format_text("sample entry {} at offset {} is {} bytes; entries over {} bytes are not supported",
                               box_type_text(entry.type), entry.position, entry.size, MAX_SAMPLE_ENTRY_SIZE));
    }
    if (entry.type == BOX_TMCD) track->is_tmcd = true;
    // Kept with an 8-byte header that states the size: an entry of size 0
    // ran to the end of its list, which is elsewhere once entries are appended.
    const auto size = static_cast<std::size_t>(entry.size - entry.header_size + SHORT_HEADER_SIZE);
    SampleEntryBytes bytes(size);
    store_be32(bytes.data(), static_cast<std::uint32_t>(size));
    store_be32(bytes.data() + 4, entry.type);
    REELKNIT_TRY(walk.reader.read_exact(std::span(bytes).subspan(SHORT_HEADER_SIZE)));
    entries.push_back(std::move(bytes));
  }
  track->descriptions.input_entries = std::move(entries);
  return success();
}

/// The media handler ('vide', 'soun', ...) says how the track's sample entries
/// are laid out. A QuickTime data handler follows it in minf: the first one counts.
Status read_hdlr(Walk& walk, const BoxHeader& header, std::uint64_t track_index) {
  if (header.payload_size() < 12) return success();
  REELKNIT_ASSIGN_OR_RETURN(const std::size_t slot, slot_of(walk, track_index, header));
  SampleDescriptions& descriptions = walk.desc.tracks[slot].descriptions;
  REELKNIT_TRY(skip_bytes(walk.reader, 8));
  REELKNIT_ASSIGN_OR_RETURN(const std::uint32_t handler, walk.reader.read_be32());
  if (descriptions.input_handler == 0) descriptions.input_handler = handler;
  return success();
}

/// This input's boxes of one grouping type in the track, met or not.
InputSampleGroup& input_group(TrackDesc& track, std::uint32_t grouping_type) {
  std::vector<InputSampleGroup>& groups = track.groups.input;
  for (InputSampleGroup& group : groups) {
    if (group.grouping_type == grouping_type) return group;
  }
  groups.push_back(InputSampleGroup{});
  groups.back().grouping_type = grouping_type;
  return groups.back();
}

Status read_sbgp(Walk& walk, const BoxHeader& header, TrackDesc& track) {
  REELKNIT_TRY(require_payload(header, 12));
  REELKNIT_ASSIGN_OR_RETURN(const std::uint8_t version, read_version(walk.reader));
  REELKNIT_ASSIGN_OR_RETURN(const std::uint32_t grouping_type, walk.reader.read_be32());
  std::uint32_t parameter = 0;
  if (version == 1) {
    REELKNIT_TRY(require_payload(header, 16));
    REELKNIT_ASSIGN_OR_RETURN(parameter, walk.reader.read_be32());
  }
  REELKNIT_ASSIGN_OR_RETURN(const std::uint32_t count, walk.reader.read_be32());
  REELKNIT_TRY(require_entries(header, version == 1 ? 16 : 12, count, 8));
  InputSampleGroup& group = input_group(track, grouping_type);
  if (group.has_sbgp) {
    group.unusable = true;
    return success();
  }
  group.has_sbgp = true;
  group.sbgp_version = version;
  group.grouping_type_parameter = parameter;
  for (std::uint32_t i = 0; i < count; ++i) {
    SbgpEntry run;
    REELKNIT_ASSIGN_OR_RETURN(run.sample_count, walk.reader.read_be32());
    REELKNIT_ASSIGN_OR_RETURN(run.group_description_index, walk.reader.read_be32());
    group.runs.push_back(run);
  }
  return success();
}

/// Keeps a group description box whole, to be compared with the other inputs'.
Status read_sgpd(Walk& walk, const BoxHeader& header, TrackDesc& track) {
  REELKNIT_TRY(require_payload(header, 8));
  std::uint8_t head[8];
  REELKNIT_TRY(walk.reader.read_exact(head));
  InputSampleGroup& group = input_group(track, load_be32(head + 4));
  if (group.description || header.payload_size() > MAX_SAMPLE_ENTRY_SIZE) {
    group.unusable = true;
    return success();
  }
  std::vector<std::uint8_t> payload(static_cast<std::size_t>(header.payload_size()));
  std::copy(std::begin(head), std::end(head), payload.begin());
  REELKNIT_TRY(walk.reader.read_exact(std::span(payload).subspan(sizeof head)));
  group.description = std::move(payload);
  return success();
}

Status read_sample_group(Walk& walk, const BoxHeader& header, std::uint64_t track_index) {
  REELKNIT_ASSIGN_OR_RETURN(TrackDesc * track, existing_slot(walk, track_index, header));
  // Timecode tracks keep the first input's tables, sample groups included.
  if (walk.input_index != 0 && track->is_tmcd) return success();
  if (header.type == BOX_SBGP) return read_sbgp(walk, header, *track);
  return read_sgpd(walk, header, *track);
}

Status read_leaf(Walk& walk, const BoxHeader& header, std::uint64_t track_index) {
  if (header.type == BOX_ELST || is_sample_table(header.type)) return read_table(walk, header, track_index);
  switch (header.type) {
    case BOX_MVHD: return read_mvhd(walk, header);
    case BOX_TKHD: return read_tkhd(walk, header, track_index);
    case BOX_MDHD: return read_mdhd(walk, header, track_index);
    case BOX_HDLR: return read_hdlr(walk, header, track_index);
    case BOX_SBGP:
    case BOX_SGPD: return read_sample_group(walk, header, track_index);
    default: return success();
  }
}

Status read_list(Walk& walk, std::uint64_t track_index, std::uint64_t limit, int depth);

Status read_container(Walk& walk, const BoxHeader& header, std::uint64_t track_index, int depth) {
  // The sample entries are kept whole; what they hold is compared after the walk.
  if (header.type == BOX_STSD) return read_stsd(walk, header, track_index);
  return read_list(walk, track_index, header.payload_size(), depth + 1);
}

Status read_list(Walk& walk, std::uint64_t track_index, std::uint64_t limit, int depth) {
  if (depth > MAX_BOX_DEPTH) {
    return invalid_data(format_text("boxes nested deeper than {} levels", MAX_BOX_DEPTH));
  }
  REELKNIT_ASSIGN_OR_RETURN(const std::uint64_t start, walk.reader.position());
  if (limit == 0) return success();
  // The end of the parent box; the top level has none.
  const std::uint64_t end = limit > std::numeric_limits<std::uint64_t>::max() - start
                                ? std::numeric_limits<std::uint64_t>::max()
                                : start + limit;
  for (;;) {
    REELKNIT_ASSIGN_OR_RETURN(const auto next, next_box(walk.reader, end));
    if (!next) return success();
    const BoxHeader header = *next;
    if (header.end() > end) {
      // The writer copies the first input's boxes whole: one that spills out of its parent
      // would be written in part, or swallow what follows the parent.
      return invalid_data(format_text("box {} at offset {} declares size {}, {} bytes past the end of its parent box",
                                      box_type_text(header.type), header.position, header.size, header.end() - end));
    }
    if (header.type == BOX_TRAK) {
      REELKNIT_ASSIGN_OR_RETURN(const std::size_t slot, slot_of(walk, track_index, header));
      walk.desc.input.tracks[slot].present = true;
      if (walk.input_index == 0) walk.desc.track_count = std::max(walk.desc.track_count, slot + 1);
    }
    if (is_container(header.type, true)) {
      REELKNIT_TRY(read_container(walk, header, track_index, depth));
      if (header.type == BOX_TRAK) ++track_index;
    } else {
      REELKNIT_DEBUG(LOG_TARGET_DESC_READER, "Reading {}, offset: {}, size: {}, header_size: {}",
                     box_type_text(header.type), header.position, header.size, header.header_size);
      REELKNIT_TRY(read_leaf(walk, header, track_index));
    }
    // Whatever a box's walk left unread, the list goes on after the box.
    REELKNIT_TRY(walk.reader.seek(SeekFrom::start(header.end())));
  }
}

}  // namespace

Status read_desc(BufferedReader& reader, Desc& desc, std::uint64_t track_index, std::uint64_t limit,
                 std::size_t input_index) {
  Walk walk{reader, desc, input_index};
  return read_list(walk, track_index, limit, 0);
}

}  // namespace reelknit
