// The Insta360 trailer reader and merger over two in-memory inputs cut from
// the fuzzed bytes (the first two bytes, little-endian, give the first one's length). A merged trailer reported
// as written must be one a reader can walk: the tail's size covers it exactly
// and the record footers lead from the tail back to its first byte.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "insta360/trailer.h"
#include "insta360/trailer_format.h"
#include "base/byte_order.h"
#include "io/output_stream.h"
#include "support/memory_file.h"

namespace {

using reelknit::testing::Bytes;

[[noreturn]] void fail(const std::string& what) {
  std::fprintf(stderr, "%s\n", what.c_str());
  std::abort();
}

void check_trailer(const Bytes& out) {
  namespace t = reelknit::insta360;
  if (out.size() < t::TAIL_SIZE) fail("the merged trailer is shorter than its tail");
  const std::uint8_t* tail = out.data() + out.size() - t::TAIL_SIZE;
  if (std::memcmp(tail + t::TAIL_MAGIC_OFFSET, t::TRAILER_MAGIC.data(), t::MAGIC_SIZE) != 0)
    fail("the merged trailer does not end in the magic");
  const std::uint64_t trailer_size = reelknit::load_le32(tail + t::TAIL_TRAILER_SIZE_OFFSET);
  if (trailer_size != out.size())
    fail("the tail says the trailer has " + std::to_string(trailer_size) + " bytes, " + std::to_string(out.size()) +
         " were written");
  std::uint64_t from_end = t::TAIL_SIZE;
  while (from_end < out.size()) {
    if (out.size() - from_end < t::FOOTER_SIZE) fail("a record footer is cut by the start of the trailer");
    const std::uint8_t* footer = out.data() + out.size() - from_end - t::FOOTER_SIZE;
    const std::uint64_t record_size = reelknit::load_le32(footer + 2);
    from_end += t::FOOTER_SIZE + record_size;
    if (from_end > out.size()) fail("a record's size reaches before the start of the trailer");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace reelknit;
  if (size < 2) return 0;
  const std::size_t cut = std::min<std::size_t>(size, 2 + (std::size_t{data[0]} | std::size_t{data[1]} << 8));
  const std::vector<Bytes> originals = {Bytes(data + 2, data + cut), Bytes(data + cut, data + size)};

  std::vector<std::shared_ptr<Bytes>> files;
  std::vector<InputFile> inputs;
  for (const Bytes& bytes : originals) {
    files.push_back(std::make_shared<Bytes>(bytes));
    inputs.push_back(InputFile{std::make_unique<testing::MemoryFile>(files.back()), bytes.size()});
  }

  auto records = insta360::read_trailers(inputs);
  if (records) {
    if (records->size() != inputs.size()) fail("read_trailers gave a map count other than the input count");
    auto output = std::make_shared<Bytes>();
    const std::uint64_t total = 0;
    OutputStream out(ProgressStream(std::make_unique<testing::MemoryFile>(output), total, nullptr));
    const Status merged = insta360::write_merged_trailer(inputs, *records, out);
    (void)out.release();
    if (merged) check_trailer(*output);
  }
  for (std::size_t i = 0; i < originals.size(); ++i) {
    if (*files[i] != originals[i]) fail("input " + std::to_string(i + 1) + " was changed");
  }
  return 0;
}
