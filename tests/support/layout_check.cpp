#include "support/layout_check.h"

#include <algorithm>
#include <cstring>

namespace reelknit::testing {
namespace {

using Bytes = std::vector<std::uint8_t>;

struct Box {
  std::string type;
  std::uint64_t position = 0;
  std::uint64_t size = 0;
  std::uint64_t header_size = 8;
  std::uint64_t payload() const { return position + header_size; }
  std::uint64_t end() const { return position + size; }
};

struct Span {
  std::uint64_t begin;
  std::uint64_t end;
};

std::uint32_t be32_at(const Bytes& b, std::uint64_t at) {
  return (std::uint32_t{b[at]} << 24) | (std::uint32_t{b[at + 1]} << 16) | (std::uint32_t{b[at + 2]} << 8) | b[at + 3];
}
std::uint64_t be64_at(const Bytes& b, std::uint64_t at) {
  return (std::uint64_t{be32_at(b, at)} << 32) | be32_at(b, at + 4);
}

bool descends(const std::string& type) {
  return type == "moov" || type == "trak" || type == "edts" || type == "mdia" || type == "minf" || type == "stbl";
}

class Checker {
 public:
  explicit Checker(const Bytes& file) : file_(file) {}

  std::optional<std::string> run(std::uint64_t end) {
    if (end > file_.size()) return "the box part ends past the file";
    std::vector<Box> top;
    if (auto problem = walk(0, end, 0, &top)) return problem;
    for (const Box& box : top)
      if (box.type == "mdat") mdats_.push_back({box.payload(), box.end()});
    for (const Box& stbl : tables_)
      if (auto problem = check_chunks(stbl)) return problem;
    return std::nullopt;
  }

 private:
  /// The boxes of [begin, end) must follow one another with no gap and no overlap.
  std::optional<std::string> walk(std::uint64_t begin, std::uint64_t end, int depth, std::vector<Box>* out) {
    if (depth > 64) return "boxes nest deeper than 64 levels";
    std::uint64_t at = begin;
    while (at < end) {
      Box box;
      box.position = at;
      if (end - at < 8) return "a box header at " + std::to_string(at) + " is cut by the end of its parent";
      box.size = be32_at(file_, at);
      box.type.assign(reinterpret_cast<const char*>(file_.data() + at + 4), 4);
      if (box.size == 1) {
        if (end - at < 16) return "a 64-bit box header at " + std::to_string(at) + " is cut by the end of its parent";
        box.size = be64_at(file_, at + 8);
        box.header_size = 16;
      }
      if (box.size < box.header_size || box.size > end - at) {
        return "box " + box.type + " at " + std::to_string(at) + " declares size " + std::to_string(box.size) +
               ", which does not fit between its header and its parent's end at " + std::to_string(end);
      }
      if (box.type == "stbl") tables_.push_back(box);
      if (descends(box.type)) {
        if (auto problem = walk(box.payload(), box.end(), depth + 1, nullptr)) return problem;
      }
      if (out) out->push_back(box);
      at = box.end();
    }
    return std::nullopt;
  }

  std::vector<Box> children(const Box& parent) const {
    std::vector<Box> boxes;
    for (std::uint64_t at = parent.payload(); at + 8 <= parent.end();) {
      Box box{std::string(reinterpret_cast<const char*>(file_.data() + at + 4), 4), at, be32_at(file_, at), 8};
      if (box.size == 1) {
        box.size = be64_at(file_, at + 8);
        box.header_size = 16;
      }
      boxes.push_back(box);
      at = box.end();  // the walk above has checked that these tile the parent
    }
    return boxes;
  }

  bool inside_media(std::uint64_t offset, std::uint64_t bytes) const {
    return std::any_of(mdats_.begin(), mdats_.end(), [&](const Span& span) {
      return offset >= span.begin && offset < span.end && bytes <= span.end - offset;
    });
  }

  /// Chunk sizes follow from the sample-to-chunk runs and the sample sizes, as a player computes them.
  std::optional<std::string> check_chunks(const Box& stbl) const {
    const auto boxes = children(stbl);
    auto first = [&](const char* type) -> const Box* {
      for (const Box& b : boxes)
        if (b.type == type) return &b;
      return nullptr;
    };
    const Box* stsz = first("stsz");
    const Box* stsc = first("stsc");
    std::uint32_t constant_size = 0;
    std::uint64_t sample_count = 0;
    if (stsz && stsz->size - stsz->header_size >= 12) {
      constant_size = be32_at(file_, stsz->payload() + 4);
      sample_count = be32_at(file_, stsz->payload() + 8);
      if (constant_size == 0) sample_count = std::min<std::uint64_t>(sample_count, (stsz->size - stsz->header_size - 12) / 4);
    }
    auto sample_size = [&](std::uint64_t sample) -> std::uint64_t {
      return constant_size != 0 ? constant_size : be32_at(file_, stsz->payload() + 12 + 4 * sample);
    };
    for (const Box& table : boxes) {
      const bool wide = table.type == "co64";
      if (!wide && table.type != "stco") continue;
      if (table.size - table.header_size < 8) return "a chunk-offset table at " + std::to_string(table.position) + " has no entry count";
      const std::uint64_t entry_size = wide ? 8 : 4;
      const std::uint64_t count = be32_at(file_, table.payload() + 4);
      if (count > (table.size - table.header_size - 8) / entry_size)
        return "the chunk-offset table at " + std::to_string(table.position) + " lists more entries than it holds";
      std::vector<std::uint64_t> per_chunk(count, 0);
      if (stsc && stsc->size - stsc->header_size >= 8) {
        const std::uint64_t runs =
            std::min<std::uint64_t>(be32_at(file_, stsc->payload() + 4), (stsc->size - stsc->header_size - 8) / 12);
        for (std::uint64_t r = 0; r < runs; ++r) {
          const std::uint64_t from = be32_at(file_, stsc->payload() + 8 + 12 * r);
          const std::uint64_t per = be32_at(file_, stsc->payload() + 12 + 12 * r);
          const std::uint64_t to = r + 1 < runs ? be32_at(file_, stsc->payload() + 8 + 12 * (r + 1)) : count + 1;
          for (std::uint64_t c = std::max<std::uint64_t>(from, 1); c < to && c <= count; ++c) per_chunk[c - 1] = per;
        }
      }
      std::uint64_t sample = 0;
      for (std::uint64_t c = 0; c < count; ++c) {
        const std::uint64_t offset = wide ? be64_at(file_, table.payload() + 8 + 8 * c) : be32_at(file_, table.payload() + 8 + 4 * c);
        std::uint64_t bytes = 0;
        for (std::uint64_t k = 0; k < per_chunk[c] && sample < sample_count; ++k, ++sample) bytes += sample_size(sample);
        if (!inside_media(offset, bytes)) {
          return "chunk " + std::to_string(c + 1) + " of the table at " + std::to_string(table.position) + " (" +
                 std::to_string(bytes) + " bytes at offset " + std::to_string(offset) + ") lies outside every mdat";
        }
      }
    }
    return std::nullopt;
  }

  const Bytes& file_;
  std::vector<Box> tables_;
  std::vector<Span> mdats_;
};

}  // namespace

bool ends_with_trailer_magic(const Bytes& file) {
  static constexpr char MAGIC[] = "8db42d694ccc418790edff439fe026bf";
  return file.size() >= 32 && std::memcmp(file.data() + file.size() - 32, MAGIC, 32) == 0;
}

std::uint64_t box_part_end(const Bytes& file) {
  if (file.size() < 72 || !ends_with_trailer_magic(file)) return file.size();
  const std::uint64_t at = file.size() - 40;
  const std::uint64_t trailer_size = std::uint64_t{file[at]} | std::uint64_t{file[at + 1]} << 8 |
                                     std::uint64_t{file[at + 2]} << 16 | std::uint64_t{file[at + 3]} << 24;
  return trailer_size <= file.size() ? file.size() - trailer_size : file.size();
}

std::optional<std::string> find_layout_problem(const Bytes& file, std::optional<std::uint64_t> end) {
  return Checker(file).run(end.value_or(file.size()));
}

}  // namespace reelknit::testing
