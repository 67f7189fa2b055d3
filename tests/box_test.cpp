// Box primitives: type numbers, containers, printable types, header reading.
#include <gtest/gtest.h>

#include <memory>

#include "mp4/box.h"
#include "io/buffered_reader.h"
#include "support/memory_file.h"
#include "support/mp4_builder.h"

namespace reelknit::testing {
namespace {

TEST(Fourcc, MatchesTheTypeBytesReadFromAFile) {
  EXPECT_EQ(fourcc("moov"), 0x6D6F6F76u);
  auto data = std::make_shared<Bytes>(box("moov", Bytes{}));
  MemoryFile file(data);
  BufferedReader reader(file);
  auto header = read_box_header(reader);
  ASSERT_TRUE(header);
  EXPECT_EQ(header->type, fourcc("moov"));
}

TEST(IsContainer, DescendsIntoStsdOnlyWhileReading) {
  for (const char* type : {"moov", "trak", "edts", "mdia", "minf", "stbl"}) {
    const std::uint32_t number = load_be32(reinterpret_cast<const std::uint8_t*>(type));
    EXPECT_TRUE(is_container(number, true)) << type;
    EXPECT_TRUE(is_container(number, false)) << type;
  }
  EXPECT_TRUE(is_container(BOX_STSD, true));
  EXPECT_FALSE(is_container(BOX_STSD, false));
  for (bool reading : {true, false}) {
    EXPECT_FALSE(is_container(BOX_MDAT, reading));
    EXPECT_FALSE(is_container(fourcc("udta"), reading));
  }
}

// Box types reach messages and log lines: printable text stays as it is, and
// every other byte is escaped, so no message is cut short or garbles a terminal.
TEST(BoxTypeText, ShowsPrintableTextAndEscapesEveryOtherByte) {
  struct Case {
    std::uint32_t type;
    std::string text;
  };
  const Case cases[] = {
      {BOX_MDAT, "mdat"},
      {0x00000000, "\\x00\\x00\\x00\\x00"},  // NUL would end a C string
      {0xA9746F6F, "\\xA9too"},             // a lone continuation byte (QuickTime's Mac Roman copyright sign)
      {0xC2A9746F, "\xC2\xA9to"},           // a two-byte sequence
      {0xC0AF7878, "\\xC0\\xAFxx"},         // an overlong form
      {0xE28274FF, "\\xE2\\x82t\\xFF"},     // a sequence cut short
      {0x0A0D0960, "\\x0A\\x0D\\x09`"},     // control characters
      {0xF09F8E9E, "\xF0\x9F\x8E\x9E"},     // one four-byte character
      {0xEDA080FF, "\\xED\\xA0\\x80\\xFF"},  // a surrogate
      {0xFFD8FFE0, "\\xFF\\xD8\\xFF\\xE0"},  // the first bytes of a JPEG file
  };
  for (const Case& c : cases) EXPECT_EQ(box_type_text(c.type), c.text) << std::hex << c.type;
}

struct HeaderCase {
  const char* name;
  Bytes bytes;
  bool readable;
  std::uint64_t size;
  std::uint32_t header_size;
};

TEST(ReadBoxHeader, ReadsShortAndLargeFormsAndFailsOnShortInput) {
  const HeaderCase cases[] = {
      {"short form", cat({be32(24), text("free"), zeros(16)}), true, 24, 8},
      {"64-bit size of 2^33", cat({be32(1), text("mdat"), be64(1ull << 33)}), true, 1ull << 33, 16},
      {"size 0 is passed on as it is", cat({be32(0), text("mdat")}), true, 0, 8},
      {"a 6-byte file", Bytes{0, 0, 0, 8, 'f', 'r'}, false, 0, 0},
      {"size 1 with a short 64-bit size", cat({be32(1), text("mdat"), Bytes{0, 0, 1}}), false, 0, 0},
  };
  for (const HeaderCase& c : cases) {
    SCOPED_TRACE(c.name);
    MemoryFile file(std::make_shared<Bytes>(c.bytes));
    BufferedReader reader(file);
    auto header = read_box_header(reader);
    ASSERT_EQ(header.ok(), c.readable);
    if (!c.readable) {
      EXPECT_EQ(header.error().kind(), ErrorKind::UnexpectedEof);
      EXPECT_EQ(header.error().message(), "failed to fill whole buffer");
      continue;
    }
    EXPECT_EQ(header->size, c.size);
    EXPECT_EQ(header->header_size, c.header_size);
    EXPECT_EQ(header->position, 0u);
  }
}

TEST(CheckBoxExtent, RefusesSizesThatWouldStallOrWrapAWalk) {
  struct Case {
    const char* name;
    BoxHeader header;
    bool ok;
  };
  const Case cases[] = {
      {"size 0, which next_box resolves before checking", {100, 0, BOX_MDAT, 8}, false},
      {"exactly its header", {100, 8, BOX_MOOV, 8}, true},
      {"size 7 under an 8-byte header", {100, 7, BOX_MOOV, 8}, false},
      {"size 15 under a 16-byte header", {100, 15, BOX_MDAT, 16}, false},
      {"size 2", {100, 2, BOX_STCO, 8}, false},
      {"end exactly at 2^64 - 1", {100, ~std::uint64_t{0} - 100, BOX_MDAT, 16}, true},
      {"end past 2^64", {100, ~std::uint64_t{0} - 99, BOX_MDAT, 16}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Status status = check_box_extent(c.header);
    ASSERT_EQ(status.ok(), c.ok);
    if (!c.ok) {
      EXPECT_EQ(status.error().kind(), ErrorKind::InvalidData);
      EXPECT_NE(status.error().message().find(box_type_text(c.header.type)), std::string::npos);
      EXPECT_NE(status.error().message().find("offset 100"), std::string::npos);
    }
  }
}

}  // namespace
}  // namespace reelknit::testing
