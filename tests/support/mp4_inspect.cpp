#include "support/mp4_inspect.h"

#include <fstream>
#include <iterator>
#include <stdexcept>

namespace reelknit::testing {
namespace {

std::uint32_t get32(const Bytes& b, std::uint64_t at) {
  if (at + 4 > b.size()) throw std::runtime_error("read past the end at " + std::to_string(at));
  return (std::uint32_t{b[at]} << 24) | (std::uint32_t{b[at + 1]} << 16) | (std::uint32_t{b[at + 2]} << 8) | b[at + 3];
}
std::uint64_t get64(const Bytes& b, std::uint64_t at) { return (std::uint64_t{get32(b, at)} << 32) | get32(b, at + 4); }

bool descends(const std::string& type) {
  return type == "moov" || type == "trak" || type == "edts" || type == "mdia" || type == "minf" || type == "stbl";
}

std::vector<BoxInfo> parse_list(const Bytes& file, std::uint64_t begin, std::uint64_t end) {
  std::vector<BoxInfo> boxes;
  std::uint64_t at = begin;
  while (at < end) {
    BoxInfo info;
    info.position = at;
    info.size = get32(file, at);
    info.type.assign(file.begin() + static_cast<std::ptrdiff_t>(at + 4), file.begin() + static_cast<std::ptrdiff_t>(at + 8));
    if (info.size == 1) {
      info.size = get64(file, at + 8);
      info.header_size = 16;
    }
    // Size 0: the box runs to the end of its parent (of the file, at the top level).
    if (info.size == 0) info.size = end - at;
    if (info.size < info.header_size || at + info.size > end) {
      throw std::runtime_error("box " + info.type + " at " + std::to_string(at) + " of size " +
                               std::to_string(info.size) + " does not fit in its parent ending at " + std::to_string(end));
    }
    if (descends(info.type)) info.children = parse_list(file, at + info.header_size, at + info.size);
    boxes.push_back(info);
    at += info.size;
  }
  return boxes;
}

const BoxInfo* child(const BoxInfo& parent, const std::string& type) {
  for (const BoxInfo& c : parent.children)
    if (c.type == type) return &c;
  return nullptr;
}

TrackSamples read_track(const Bytes& file, const BoxInfo& trak, std::uint64_t data_end) {
  TrackSamples track;
  const BoxInfo* tkhd = child(trak, "tkhd");
  const BoxInfo* mdia = child(trak, "mdia");
  if (!tkhd || !mdia) throw std::runtime_error("trak without tkhd or mdia");
  const std::uint64_t tk = tkhd->position + tkhd->header_size;
  track.tkhd_duration = file[tk] == 1 ? get64(file, tk + 28) : get32(file, tk + 20);
  if (const BoxInfo* edts = child(trak, "edts")) {
    if (const BoxInfo* elst = child(*edts, "elst")) {
      const std::uint64_t at = elst->position + elst->header_size;
      const bool wide = file[at] == 1;
      const std::uint64_t count = get32(file, at + 4);
      for (std::uint64_t k = 0; k < count; ++k) {
        const std::uint64_t entry = at + 8 + k * (wide ? 20 : 12);
        TrackSamples::Edit e;
        e.duration = wide ? get64(file, entry) : get32(file, entry);
        e.media_time = wide ? static_cast<std::int64_t>(get64(file, entry + 8))
                            : std::int64_t{static_cast<std::int32_t>(get32(file, entry + 4))};
        track.edits.push_back(e);
      }
    }
  }
  const BoxInfo* mdhd = child(*mdia, "mdhd");
  const std::uint64_t md = mdhd->position + mdhd->header_size;
  track.mdhd_timescale = file[md] == 1 ? get32(file, md + 20) : get32(file, md + 12);
  track.mdhd_duration = file[md] == 1 ? get64(file, md + 24) : get32(file, md + 16);
  const BoxInfo* stbl = child(*child(*mdia, "minf"), "stbl");
  if (!stbl) throw std::runtime_error("track without stbl");
  auto payload = [](const BoxInfo* b) { return b->position + b->header_size; };

  const BoxInfo* stsd = child(*stbl, "stsd");
  track.format.assign(file.begin() + static_cast<std::ptrdiff_t>(payload(stsd) + 12),
                      file.begin() + static_cast<std::ptrdiff_t>(payload(stsd) + 16));
  const std::uint64_t stsd_end = stsd->position + stsd->size;
  std::uint64_t entry_at = payload(stsd) + 8;
  for (std::uint32_t k = 0, n = get32(file, payload(stsd) + 4); k < n; ++k) {
    std::uint64_t size = get32(file, entry_at);
    if (size == 0) size = stsd_end - entry_at;
    if (size < 8 || entry_at + size > stsd_end) throw std::runtime_error("a sample entry does not fit in its stsd");
    track.sample_entries.emplace_back(file.begin() + static_cast<std::ptrdiff_t>(entry_at),
                                      file.begin() + static_cast<std::ptrdiff_t>(entry_at + size));
    entry_at += size;
  }

  const BoxInfo* stsz = child(*stbl, "stsz");
  const std::uint32_t constant = get32(file, payload(stsz) + 4);
  const std::uint32_t count = get32(file, payload(stsz) + 8);
  std::vector<std::uint64_t> sizes;
  for (std::uint32_t i = 0; i < count; ++i) sizes.push_back(constant ? constant : get32(file, payload(stsz) + 12 + 4 * i));

  std::vector<std::uint64_t> chunks;
  if (const BoxInfo* stco = child(*stbl, "stco")) {
    for (std::uint32_t i = 0, n = get32(file, payload(stco) + 4); i < n; ++i)
      chunks.push_back(get32(file, payload(stco) + 8 + 4 * i));
  } else if (const BoxInfo* co64 = child(*stbl, "co64")) {
    for (std::uint32_t i = 0, n = get32(file, payload(co64) + 4); i < n; ++i)
      chunks.push_back(get64(file, payload(co64) + 8 + 8 * i));
  }

  const BoxInfo* stsc = child(*stbl, "stsc");
  std::vector<std::uint64_t> samples_in_chunk(chunks.size(), 0);
  std::vector<std::uint32_t> description_of_chunk(chunks.size(), 0);
  const std::uint32_t runs = get32(file, payload(stsc) + 4);
  for (std::uint32_t r = 0; r < runs; ++r) {
    const std::uint32_t first = get32(file, payload(stsc) + 8 + 12 * r);
    const std::uint32_t per = get32(file, payload(stsc) + 12 + 12 * r);
    const std::uint32_t description = get32(file, payload(stsc) + 16 + 12 * r);
    const std::uint64_t next = r + 1 < runs ? get32(file, payload(stsc) + 8 + 12 * (r + 1)) : chunks.size() + 1;
    for (std::uint64_t c = first; c < next && c <= chunks.size(); ++c) {
      samples_in_chunk[c - 1] = per;
      description_of_chunk[c - 1] = description;
    }
  }

  std::size_t sample = 0;
  for (std::size_t c = 0; c < chunks.size(); ++c) {
    std::uint64_t at = chunks[c];
    for (std::uint64_t k = 0; k < samples_in_chunk[c] && sample < sizes.size(); ++k, ++sample) {
      if (at + sizes[sample] > data_end)
        throw std::runtime_error("sample " + std::to_string(sample) + " lies outside the file");
      Sample s;
      s.description_index = description_of_chunk[c];
      s.data.assign(file.begin() + static_cast<std::ptrdiff_t>(at), file.begin() + static_cast<std::ptrdiff_t>(at + sizes[sample]));
      track.samples.push_back(std::move(s));
      at += sizes[sample];
    }
  }
  if (track.samples.size() != sizes.size())
    throw std::runtime_error("chunks hold " + std::to_string(track.samples.size()) + " samples, stsz lists " +
                             std::to_string(sizes.size()));

  if (const BoxInfo* stts = child(*stbl, "stts")) {
    std::uint64_t time = 0;
    std::size_t s = 0;
    for (std::uint32_t r = 0, n = get32(file, payload(stts) + 4); r < n; ++r) {
      const std::uint32_t runs_count = get32(file, payload(stts) + 8 + 8 * r);
      const std::uint32_t delta = get32(file, payload(stts) + 12 + 8 * r);
      for (std::uint32_t k = 0; k < runs_count && s < track.samples.size(); ++k, ++s) {
        track.samples[s].decode_time = time;
        time += delta;
      }
    }
    track.stts_duration = time;
  }
  if (const BoxInfo* ctts = child(*stbl, "ctts")) {
    track.has_ctts = true;
    std::size_t s = 0;
    for (std::uint32_t r = 0, n = get32(file, payload(ctts) + 4); r < n; ++r) {
      const std::uint32_t runs_count = get32(file, payload(ctts) + 8 + 8 * r);
      const auto offset = static_cast<std::int32_t>(get32(file, payload(ctts) + 12 + 8 * r));
      for (std::uint32_t k = 0; k < runs_count && s < track.samples.size(); ++k, ++s)
        track.samples[s].composition_offset = offset;
    }
  }
  if (const BoxInfo* stss = child(*stbl, "stss")) {
    track.has_stss = true;
    for (Sample& s : track.samples) s.sync = false;
    for (std::uint32_t r = 0, n = get32(file, payload(stss) + 4); r < n; ++r) {
      const std::uint32_t number = get32(file, payload(stss) + 8 + 4 * r);
      if (number >= 1 && number <= track.samples.size()) track.samples[number - 1].sync = true;
    }
  }
  return track;
}

}  // namespace

std::vector<BoxInfo> parse_boxes(const Bytes& file, std::optional<std::uint64_t> limit) {
  return parse_list(file, 0, limit.value_or(file.size()));
}

Movie inspect_movie(const Bytes& file, std::optional<std::uint64_t> limit) {
  Movie movie;
  const std::uint64_t end = limit.value_or(file.size());
  movie.boxes = parse_list(file, 0, end);
  for (const BoxInfo& top : movie.boxes) {
    if (top.type != "moov") continue;
    for (const BoxInfo& c : top.children) {
      if (c.type == "mvhd") {
        const std::uint64_t p = c.position + c.header_size;
        movie.timescale = file[p] == 1 ? get32(file, p + 20) : get32(file, p + 12);
        movie.duration = file[p] == 1 ? get64(file, p + 24) : get32(file, p + 16);
      }
      if (c.type == "trak") movie.tracks.push_back(read_track(file, c, end));
    }
  }
  return movie;
}

const BoxInfo* find_box(const std::vector<BoxInfo>& boxes, const std::string& path, std::size_t trak_index) {
  const auto slash = path.find('/');
  const std::string head = path.substr(0, slash);
  std::size_t seen = 0;
  for (const BoxInfo& b : boxes) {
    if (b.type != head) continue;
    if (head == "trak" && seen++ != trak_index) continue;
    if (slash == std::string::npos) return &b;
    return find_box(b.children, path.substr(slash + 1), trak_index);
  }
  return nullptr;
}

std::string tree_text(const std::vector<BoxInfo>& boxes) {
  std::string out;
  for (std::size_t i = 0; i < boxes.size(); ++i) {
    if (i) out += ",";
    out += boxes[i].type;
    if (!boxes[i].children.empty()) {
      // Appended piece by piece: g++ 12 -O2 misreads "(" + std::string&& as an overlapping copy (-Wrestrict).
      out += '(';
      out += tree_text(boxes[i].children);
      out += ')';
    }
  }
  return out;
}

Bytes read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  if (!in) throw std::runtime_error("cannot open " + path);
  // One read of the whole file: camera recordings are megabytes, too many for a byte-wise copy.
  Bytes bytes(static_cast<std::size_t>(in.tellg()));
  in.seekg(0);
  if (!in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size())))
    throw std::runtime_error("cannot read " + path);
  return bytes;
}

void write_file(const std::string& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path);
}

}  // namespace reelknit::testing
