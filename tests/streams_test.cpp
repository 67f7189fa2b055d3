// The buffered reader, the output stream and the progress stream, over
// files that answer with short counts, EINTR and refusals like real ones do.
#include <gtest/gtest.h>

#include "io/buffered_reader.h"
#include "io/output_stream.h"
#include "io/progress_stream.h"
#include "support/memory_file.h"

namespace reelknit::testing {
namespace {

Bytes counting_bytes(std::size_t n) {
  Bytes out(n);
  for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<std::uint8_t>(i * 31 + i / 251);
  return out;
}

TEST(BufferedReader, DeliversEveryByteWhateverTheReadSizesAndInterruptions) {
  const Bytes data = counting_bytes(3 * BufferedReader::CAPACITY + 123);
  for (std::size_t max_read : {std::size_t{1}, std::size_t{1000}, BufferedReader::CAPACITY - 1, std::size_t{1} << 30}) {
    for (int interrupt_every : {0, 3}) {
      SCOPED_TRACE("max_read " + std::to_string(max_read) + ", EINTR every " + std::to_string(interrupt_every));
      Faults faults;
      faults.max_read = max_read;
      faults.interrupt_every = interrupt_every;
      MemoryFile file(std::make_shared<Bytes>(data), faults);
      BufferedReader reader(file);
      Bytes got;
      // Requests of every size class: tiny, straddling the 16 KiB refills, and larger than the buffer.
      const std::size_t sizes[] = {1, 7, BufferedReader::CAPACITY - 3, 5, BufferedReader::CAPACITY + 9, 4096};
      std::size_t k = 0;
      while (got.size() < data.size()) {
        const std::size_t want = std::min(sizes[k++ % std::size(sizes)], data.size() - got.size());
        Bytes chunk(want);
        ASSERT_TRUE(reader.read_exact(chunk));
        got.insert(got.end(), chunk.begin(), chunk.end());
        auto position = reader.position();
        ASSERT_TRUE(position);
        ASSERT_EQ(*position, got.size());
      }
      EXPECT_EQ(got, data);
    }
  }
}

TEST(BufferedReader, EndOfFileFailsWithTheFixedMessageAndKeepsWhatWasConsumed) {
  MemoryFile file(std::make_shared<Bytes>(counting_bytes(10)));
  BufferedReader reader(file);
  Bytes eight(8);
  ASSERT_TRUE(reader.read_exact(eight));
  Bytes four(4);
  const Status status = reader.read_exact(four);
  ASSERT_FALSE(status);
  EXPECT_EQ(status.error().kind(), ErrorKind::UnexpectedEof);
  EXPECT_EQ(status.error().message(), "failed to fill whole buffer");
  EXPECT_EQ(*reader.position(), 10u);
}

TEST(BufferedReader, SeeksLandWhereAskedInsideAndOutsideTheBuffer) {
  const Bytes data = counting_bytes(3 * BufferedReader::CAPACITY);
  MemoryFile file(std::make_shared<Bytes>(data));
  BufferedReader reader(file);
  struct Step {
    SeekFrom target;
    std::uint64_t expected;
  };
  // Each step reads one byte before and one after its seek, so relative steps count from there.
  const Step steps[] = {
      {SeekFrom::start(100), 100},                                           // inside the first refill
      {SeekFrom::current(-50), 52},                                          // backwards, still buffered
      {SeekFrom::current(2 * BufferedReader::CAPACITY), 54 + 2 * BufferedReader::CAPACITY},  // beyond the buffer
      {SeekFrom::end(-10), data.size() - 10},
      {SeekFrom::start(0), 0},
  };
  for (const Step& step : steps) {
    std::uint8_t byte = 0;
    ASSERT_TRUE(reader.read_exact({&byte, 1}));
    auto moved = reader.seek(step.target);
    ASSERT_TRUE(moved);
    EXPECT_EQ(*moved, step.expected);
    EXPECT_EQ(*reader.position(), step.expected);
    ASSERT_TRUE(reader.read_exact({&byte, 1}));
    EXPECT_EQ(byte, data[step.expected]);
  }
  // Before the start of the file: refused like lseek refuses it.
  auto before = reader.seek(SeekFrom::current(-1'000'000));
  ASSERT_FALSE(before);
  EXPECT_EQ(before.error().kind(), ErrorKind::InvalidInput);
  EXPECT_EQ(before.error().os_error(), EINVAL);
}

struct StreamFixture {
  explicit StreamFixture(Faults faults = {}) {
    auto owned = std::make_unique<MemoryFile>(data, faults);
    file = owned.get();
    out = std::make_unique<OutputStream>(ProgressStream(std::move(owned), total, nullptr));
  }
  std::shared_ptr<Bytes> data = std::make_shared<Bytes>();
  std::uint64_t total = 1;
  MemoryFile* file = nullptr;
  std::unique_ptr<OutputStream> out;
};

TEST(OutputStream, WritesAroundTheBufferSizeReachTheFileInOrder) {
  constexpr std::size_t K = OutputStream::CAPACITY;
  for (std::size_t first : {K - 1, K, K + 1}) {
    for (std::size_t max_write : {std::size_t{1} << 30, std::size_t{4097}}) {
      SCOPED_TRACE("first write " + std::to_string(first) + ", max_write " + std::to_string(max_write));
      Faults faults;
      faults.max_write = max_write;
      faults.interrupt_every = 5;
      StreamFixture s(faults);
      const Bytes a = counting_bytes(first);
      const Bytes b = counting_bytes(3);
      const Bytes c = counting_bytes(K + 1);
      ASSERT_TRUE(s.out->write(a));
      ASSERT_TRUE(s.out->write(b));
      ASSERT_TRUE(s.out->write(c));
      ASSERT_TRUE(s.out->release());
      Bytes expected = a;
      expected.insert(expected.end(), b.begin(), b.end());
      expected.insert(expected.end(), c.begin(), c.end());
      EXPECT_EQ(*s.data, expected);
      EXPECT_TRUE(s.file->closed());
    }
  }
}

TEST(OutputStream, ALargeBlockBypassesTheBuffer) {
  StreamFixture s;
  const Bytes block = counting_bytes(200 * 1024);
  ASSERT_TRUE(s.out->write(block));
  ASSERT_EQ(s.file->write_calls.size(), 1u);
  EXPECT_EQ(s.file->write_calls[0], block.size());
  EXPECT_EQ(*s.data, block);
}

TEST(OutputStream, WritesThatMakeNoProgressFailWithTheirOwnMessages) {
  {
    Faults faults;
    faults.write_zero_at = 10;
    StreamFixture s(faults);
    ASSERT_TRUE(s.out->write(counting_bytes(100)));
    const Status flushed = s.out->flush();
    ASSERT_FALSE(flushed);
    EXPECT_EQ(flushed.error().kind(), ErrorKind::WriteZero);
    EXPECT_EQ(flushed.error().message(), "failed to write the buffered data");
    EXPECT_EQ(s.data->size(), 10u);
  }
  {
    Faults faults;
    faults.write_zero_at = 10;
    StreamFixture s(faults);
    const Status written = s.out->write(counting_bytes(OutputStream::CAPACITY * 2));
    ASSERT_FALSE(written);
    EXPECT_EQ(written.error().kind(), ErrorKind::WriteZero);
    EXPECT_EQ(written.error().message(), "failed to write whole buffer");
  }
}

TEST(OutputStream, ReleaseReportsAFailedLastWriteOut) {
  Faults faults;
  faults.write_error_at = 5;
  StreamFixture s(faults);
  ASSERT_TRUE(s.out->write(counting_bytes(20)));
  const Status released = s.out->release();
  ASSERT_FALSE(released);
  EXPECT_EQ(released.error().kind(), ErrorKind::StorageFull);
  EXPECT_EQ(released.error().os_error(), ENOSPC);
  EXPECT_EQ(released.error().message(), "No space left on device");
  EXPECT_TRUE(s.file->closed());
  EXPECT_TRUE(s.out->release());  // a second release does nothing
}

TEST(OutputStream, PatchesLandOnTheFieldAndWritingContinuesAfterIt) {
  StreamFixture s;
  ASSERT_TRUE(s.out->write(Bytes(16, 0xEE)));
  ASSERT_TRUE(patch_be32_at(*s.out, 2, 0x01020304));
  ASSERT_TRUE(patch_be64_at(*s.out, 8, 0x1112131415161718));
  ASSERT_TRUE(s.out->write(Bytes{0xAA}));
  ASSERT_TRUE(s.out->release());
  const Bytes expected = {0xEE, 0xEE, 1,    2,    3,    4,    0xEE, 0xEE, 0x11,
                          0x12, 0x13, 0x14, 0x15, 0x16, 0x17, 0x18, 0xAA};
  EXPECT_EQ(*s.data, expected);
}

/// A clock the test moves by hand.
struct ManualClock {
  Instant now{};
  void advance(int ms) { now += std::chrono::milliseconds(ms); }
  Clock clock() {
    return [this] { return now; };
  }
};

struct ProgressFixture {
  ProgressFixture() {
    stream = std::make_unique<ProgressStream>(std::make_unique<MemoryFile>(std::make_shared<Bytes>()), total,
                                              [this](double p) { reports.push_back(p); }, time.clock());
  }
  ManualClock time;
  std::uint64_t total = 1'000'000;
  std::vector<double> reports;
  std::unique_ptr<ProgressStream> stream;
};

TEST(ProgressStream, ReportsAtMostEvery100MillisecondsFromTheEndOfTheLastReport) {
  ProgressFixture p;
  const Bytes chunk = counting_bytes(100'000);
  p.time.advance(100);
  ASSERT_TRUE(p.stream->write_all(chunk));
  EXPECT_TRUE(p.reports.empty()) << "100 ms is not more than 100 ms";
  p.time.advance(1);
  ASSERT_TRUE(p.stream->write_all(chunk));
  ASSERT_EQ(p.reports.size(), 1u);
  EXPECT_DOUBLE_EQ(p.reports[0], 0.1 + 0.9 * 0.2);
  p.time.advance(100);
  ASSERT_TRUE(p.stream->write_all(chunk));
  EXPECT_EQ(p.reports.size(), 1u);
  p.time.advance(1);
  ASSERT_TRUE(p.stream->write_all(chunk));
  EXPECT_EQ(p.reports.size(), 2u);
}

TEST(ProgressStream, TheClockIsReadAgainAfterTheCallback) {
  ProgressFixture p;
  // A slow callback: the next 100 ms count from when it returned.
  p.stream = std::make_unique<ProgressStream>(
      std::make_unique<MemoryFile>(std::make_shared<Bytes>()), p.total,
      [&p](double value) {
        p.reports.push_back(value);
        p.time.advance(500);
      },
      p.time.clock());
  p.time.advance(101);
  ASSERT_TRUE(p.stream->write_all(counting_bytes(10)));
  ASSERT_EQ(p.reports.size(), 1u);
  p.time.advance(100);
  ASSERT_TRUE(p.stream->write_all(counting_bytes(10)));
  EXPECT_EQ(p.reports.size(), 1u);
}

TEST(WritingProgress, ScalesIntoTheWritingShareAndNeverReachesOne) {
  struct Case {
    std::uint64_t written, total;
    double expected;
  };
  const Case cases[] = {
      {500'000, 1'000'000, 0.55},
      {0, 1'000'000, 0.1},
      {1'000'000, 1'000'000, 0.9999},
      {2'000'000, 1'000'000, 0.9999},  // the trailer and fix-up count too
      {0, 0, 0.9999},                  // not a number
      {5, 0, 0.9999},
  };
  for (const Case& c : cases) EXPECT_DOUBLE_EQ(writing_progress(c.written, c.total), c.expected) << c.written << "/" << c.total;
}

TEST(ProgressStream, AClockThatReadsEarlierCountsAsNoTimePassed) {
  ProgressFixture p;
  p.time.advance(-10'000);
  ASSERT_TRUE(p.stream->write_all(counting_bytes(10)));
  EXPECT_TRUE(p.reports.empty());
}

}  // namespace
}  // namespace reelknit::testing
