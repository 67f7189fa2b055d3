// Reading Insta360 trailers and writing the merged one, on trailers built
// byte by byte in memory; and the driver's trailer step on generated movies.
#include <gtest/gtest.h>

#include <cerrno>
#include <map>

#include "insta360/trailer.h"
#include "join/join_seams.h"
#include "io/output_stream.h"
#include "reelknit/join.h"
#include "support/insta360_trailer.h"
#include "support/join_check.h"
#include "support/memory_file.h"
#include "support/memory_folder.h"
#include "support/mp4_builder.h"
#include "support/mp4_inspect.h"
#include "support/temp_dir.h"

namespace reelknit::testing {
namespace {

using insta360::read_trailers;
using insta360::TrailerRecord;
using insta360::TrailerRecords;
using insta360::write_merged_trailer;

/// Stands in for the MP4 part in front of a trailer.
constexpr std::size_t BODY_SIZE = 100;
Bytes body() { return Bytes(BODY_SIZE, 0x5B); }

RecordData record(std::uint8_t id, const std::string& data, std::uint8_t tag = 0) { return {tag, id, text(data)}; }

enum class Index { None, Full, Empty };
constexpr Index INDEXED = Index::Full;
constexpr Index EMPTY_INDEX = Index::Empty;

/// One input's trailer: `records`, with an index of them, an empty index, or none.
struct InputPlan {
  RecordList records;
  std::uint32_t version = 3;
  Index index = Index::None;
};

Bytes trailer_bytes(const InputPlan& plan) {
  std::optional<Bytes> index;
  if (plan.index == Index::Full) index = index_for(plan.records);
  if (plan.index == Index::Empty) index = Bytes{};
  // Reserved bytes that are not zero: a reader must ignore them.
  return build_trailer(plan.records, plan.version, index, 0xA5);
}

/// A body, then the trailer.
Bytes input_bytes(const InputPlan& plan) { return cat({body(), trailer_bytes(plan)}); }

Faults write_error_at(std::uint64_t position) {
  Faults faults;
  faults.write_error_at = position;
  faults.write_errno = ENOSPC;
  return faults;
}

std::vector<InputFile> memory_inputs(const std::vector<Bytes>& files, Faults faults = {}) {
  std::vector<InputFile> inputs;
  for (const Bytes& f : files)
    inputs.push_back(InputFile{std::make_unique<MemoryFile>(std::make_shared<Bytes>(f), faults), f.size()});
  return inputs;
}

/// The output writer over an in-memory file, as the driver hands it over.
class Output {
 public:
  explicit Output(Faults faults = {}) {
    auto file = std::make_unique<MemoryFile>(bytes_, faults);
    file_ = file.get();
    stream_.emplace(ProgressStream(std::move(file), total_, nullptr));
  }
  OutputStream& stream() { return *stream_; }
  const Bytes& bytes() const { return *bytes_; }
  bool closed() const { return file_->closed(); }

 private:
  std::shared_ptr<Bytes> bytes_ = std::make_shared<Bytes>();
  std::uint64_t total_ = 1;
  MemoryFile* file_ = nullptr;
  std::optional<OutputStream> stream_;
};

/// write_merged_trailer, then the release of the output, as the driver ends a join.
Status merge_and_release(std::vector<InputFile>& inputs, const std::vector<TrailerRecords>& records, Output& output) {
  const Status merged = write_merged_trailer(inputs, records, output.stream());
  const Status released = output.stream().release();
  return merged ? released : merged;
}

/// read_trailers then write_merged_trailer, as the driver runs them.
Status merge(std::vector<InputFile>& inputs, Output& output) {
  auto records = read_trailers(inputs);
  if (!records) return std::move(records).error();
  return merge_and_release(inputs, *records, output);
}

// ---------------------------------------------------------------------------
// read_trailers

struct ReadCase {
  const char* name;
  Bytes file;
  TrailerRecords expected;
};

TrailerRecord rec(std::uint32_t version, std::uint8_t id, std::uint8_t tag, std::uint64_t size) {
  return TrailerRecord{version, id, tag, size};
}

std::vector<ReadCase> read_cases() {
  std::vector<ReadCase> cases;
  const RecordList two = {record(3, "three", 4), record(6, "six-six", 2)};
  const std::uint64_t second = BODY_SIZE + 5 + 6;  // where the second record's data starts

  cases.push_back({"NoMagic", Bytes(200, 0x11), {}});
  cases.push_back({"WalkWithoutIndex",
                   input_bytes({two, 7}),
                   {{BODY_SIZE, rec(7, 3, 4, 5)}, {second, rec(7, 6, 2, 7)}}});
  // The entries alone decide; the footers are compared only when merging.
  cases.push_back({"FromIndex",
                   cat({body(), build_trailer(two, 8,
                                              cat({index_entry(3, 4, 5, 0), index_entry(9, 1, 2, 11)}), 0xA5)}),
                   {{BODY_SIZE, rec(8, 3, 4, 5)}, {second, rec(8, 9, 1, 2)}}});
  cases.push_back({"IndexSkipsIdZeroAndLaterDuplicateWins",
                   cat({body(), build_trailer(two, 8,
                                              cat({index_entry(0, 4, 5, 0), index_entry(6, 2, 7, 11),
                                                   index_entry(5, 1, 3, 11)}),
                                              0xA5)}),
                   {{second, rec(8, 5, 1, 3)}}});
  cases.push_back({"IndexOfSizeZero", input_bytes(InputPlan{two, 8, EMPTY_INDEX}), {}});
  // A record of id 0 met on the walk is passed over.
  cases.push_back({"WalkPassesOverIdZero",
                   input_bytes({{record(3, "abc"), record(0, "zz"), record(6, "de")}, 2}),
                   {{BODY_SIZE, rec(2, 3, 0, 3)}, {BODY_SIZE + 3 + 6 + 2 + 6, rec(2, 6, 0, 2)}}});
  // 78 bytes: one footer and the tail; nothing is read whatever the bytes say.
  cases.push_back({"TrailerOf78BytesWithoutIndex", input_bytes({{record(3, "")}, 2}), {}});
  Bytes short_trailer = input_bytes({{record(3, "abcdef")}, 2});
  short_trailer[short_trailer.size() - 40] = 50;  // trailer_size 50
  cases.push_back({"TrailerSizeBelow78WithoutIndex", short_trailer, {}});
  return cases;
}

void PrintTo(const ReadCase& c, std::ostream* os) { *os << c.name; }

class ReadTrailers : public ::testing::TestWithParam<ReadCase> {};

TEST_P(ReadTrailers, FindsTheRecords) {
  const ReadCase& c = GetParam();
  // Reads of one byte at a time, interrupted now and then, must change nothing.
  Faults byte_reads;
  byte_reads.max_read = 1;
  byte_reads.interrupt_every = 3;
  for (const Faults& faults : {Faults{}, byte_reads}) {
    auto inputs = memory_inputs({c.file}, faults);
    auto records = read_trailers(inputs);
    ASSERT_TRUE(records) << records.error().describe();
    ASSERT_EQ(records->size(), 1u);
    EXPECT_EQ(records->front(), c.expected);
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, ReadTrailers, ::testing::ValuesIn(read_cases()),
                         [](const auto& param_info) { return std::string(param_info.param.name); });

TEST(ReadTrailersErrors, IndexEndingInsideAnEntry) {
  const Bytes file = cat({body(), build_trailer({record(3, "abc")}, 1,
                                                cat({index_entry(3, 0, 3, 0), Bytes{1, 2, 3, 4, 5}}))});
  auto inputs = memory_inputs({input_bytes({{record(3, "ok")}}), file});
  auto records = read_trailers(inputs);
  ASSERT_FALSE(records);
  EXPECT_EQ(records.error().kind(), ErrorKind::UnexpectedEof);
  EXPECT_EQ(records.error().message(), "failed to fill whole buffer");
}

TEST(ReadTrailersErrors, PositionsBeforeTheStartOfTheFile) {
  Bytes walk_too_far = input_bytes({{record(3, "abc")}});
  walk_too_far[walk_too_far.size() - 72 - 4] = 0xF0;  // the footer's size now reaches before the file
  Bytes index_too_large = cat({body(), build_trailer({}, 1, Bytes{})});
  index_too_large[index_too_large.size() - 72 - 1] = 0x10;  // index size 2^28
  const std::vector<std::pair<const char*, Bytes>> files = {
      {"shorter than the tail", Bytes(71, 0)},
      {"record before the start", walk_too_far},
      {"index before the start", index_too_large},
  };
  for (const auto& [name, file] : files) {
    SCOPED_TRACE(name);
    auto inputs = memory_inputs({file});
    auto records = read_trailers(inputs);
    ASSERT_FALSE(records);
    EXPECT_EQ(records.error().kind(), ErrorKind::InvalidInput);
    EXPECT_EQ(records.error().os_error(), EINVAL);
    EXPECT_EQ(records.error().message(), "Invalid argument");
  }
}

// ---------------------------------------------------------------------------
// The merge, read back byte for byte

struct MergeCase {
  const char* name;
  std::vector<std::optional<InputPlan>> inputs;
  RecordList expected;
  std::uint32_t expected_version;
};

std::vector<MergeCase> merge_cases() {
  using S = InputPlan;
  std::vector<MergeCase> cases;
  for (const Index indexed : {Index::None, INDEXED}) {
    cases.push_back({indexed == INDEXED ? "ThreeThenOneIndexed" : "ThreeThenOne",
                     {S{{record(3, "A3-data", 5), record(1, "A1", 7)}, 4, indexed},
                      S{{record(3, "B3-more", 5), record(1, "B1", 7)}, 5, indexed}},
                     {record(3, "A3-dataB3-more", 5), record(1, "A1", 7)},
                     4});
  }
  cases.push_back({"IdsOneToSixOverThreeInputs",
                   {S{{record(1, "a1"), record(2, "a2"), record(3, "a3"), record(5, "a5"), record(6, "a6")},
                      6,
                      INDEXED},
                    S{{record(6, "b6"), record(3, "b3"), record(5, "b5"), record(2, "b2"), record(1, "b1")}, 7},
                    S{{record(3, "c3x"), record(6, "c6"), record(1, "c1"), record(3, "c3y")}, 8, INDEXED}},
                   {record(1, "a1"), record(2, "a2"), record(3, "a3b3c3xc3y"), record(5, "a5"),
                    record(6, "a6b6c6")},
                   6});
  cases.push_back({"IdOnlyInLaterInputsIsDropped",
                   {S{{record(3, "a3")}, 2}, S{{record(9, "b9"), record(3, "b3")}, 2}, S{{record(4, "c4")}, 2}},
                   {record(3, "a3b3")},
                   2});
  cases.push_back({"EachRecordOfARepeatedIdGetsAllLaterRecords",
                   {S{{record(3, "x"), record(6, "y"), record(3, "z")}, 2},
                    S{{record(3, "p"), record(3, "q")}, 2, INDEXED}, S{{record(3, "r")}, 2}},
                   {record(3, "xpqr"), record(6, "y"), record(3, "zpqr")},
                   2});
  cases.push_back({"LaterTagsAreNotCompared",
                   {S{{record(4, "a", 1)}, 2}, S{{record(4, "b", 9)}, 2}},
                   {record(4, "ab", 1)},
                   2});
  // With no record in the first input the output trailer is empty, version 3.
  cases.push_back({"FirstInputWithoutTrailer", {std::nullopt, S{{record(3, "b3")}, 9}}, {}, 3});
  cases.push_back(
      {"FirstInputIndexOfSizeZero", {S{{record(3, "a3")}, 9, EMPTY_INDEX}, S{{record(3, "b3")}, 9}}, {}, 3});
  cases.push_back({"FirstInputTrailerOf78Bytes", {S{{record(3, "")}, 9}, S{{record(3, "b3")}, 9}}, {}, 3});
  cases.push_back({"LaterInputWithoutTrailer",
                   {S{{record(6, "a6")}, 5}, std::nullopt, S{{record(6, "c6")}, 2}},
                   {record(6, "a6c6")},
                   5});
  return cases;
}

void PrintTo(const MergeCase& c, std::ostream* os) { *os << c.name; }

class MergeTrailers : public ::testing::TestWithParam<MergeCase> {};

TEST_P(MergeTrailers, WritesOneMergedTrailer) {
  const MergeCase& c = GetParam();
  std::vector<Bytes> files;
  for (const auto& plan : c.inputs) files.push_back(plan ? input_bytes(*plan) : body());
  auto inputs = memory_inputs(files);
  Output output;
  const Status merged = merge(inputs, output);
  ASSERT_TRUE(merged) << merged.error().describe();
  EXPECT_TRUE(output.closed());
  EXPECT_EQ(output.bytes(), build_trailer(c.expected, c.expected_version));
  // The same, read back by walking the footers: no index record reaches the output.
  const ParsedTrailer parsed = parse_trailer(output.bytes());
  EXPECT_EQ(parsed.records, c.expected);
  EXPECT_EQ(parsed.start, 0u);
}

INSTANTIATE_TEST_SUITE_P(Cases, MergeTrailers, ::testing::ValuesIn(merge_cases()),
                         [](const auto& param_info) { return std::string(param_info.param.name); });

TEST(MergeTrailers, WritesAtTheOutputPosition) {
  auto inputs = memory_inputs({input_bytes({{record(3, "a")}, 4}), input_bytes({{record(3, "b")}})});
  Output output;
  ASSERT_TRUE(output.stream().write(text("movie")));
  ASSERT_TRUE(merge(inputs, output));
  EXPECT_EQ(output.bytes(), cat({text("movie"), build_trailer({record(3, "ab")}, 4)}));
}

// ---------------------------------------------------------------------------
// Failures: each ends the merge with a clear error and releases the output.

struct MergeErrorCase {
  const char* name;
  std::vector<Bytes> files;
  ErrorKind kind;
  std::vector<std::string> message_parts;
};

std::vector<MergeErrorCase> merge_error_cases() {
  const RecordList one = {record(3, "abcd", 2)};
  auto indexed_first = [&](Bytes index) {
    return std::vector<Bytes>{cat({body(), build_trailer(one, 1, index)}), input_bytes({{record(3, "b")}})};
  };
  const std::vector<std::string> invalid = {"Invalid metadata"};
  std::vector<MergeErrorCase> cases = {
      {"IndexTagDisagrees", indexed_first(index_entry(3, 9, 4, 0)), ErrorKind::InvalidData, invalid},
      {"IndexIdDisagrees", indexed_first(index_entry(4, 2, 4, 0)), ErrorKind::InvalidData, invalid},
      {"IndexSizeTooLarge", indexed_first(index_entry(3, 2, 5, 0)), ErrorKind::InvalidData, invalid},
      {"IndexSizeTooSmall", indexed_first(index_entry(3, 2, 3, 0)), ErrorKind::InvalidData, invalid},
      // Its footer would lie beyond the end of the file.
      {"FirstInputRecordPastTheEnd", indexed_first(index_entry(3, 2, 500, 4)), ErrorKind::UnexpectedEof,
       {"failed to fill whole buffer"}},
      // Copying what is there and counting the full size would make a footer that lies.
      {"LaterInputRecordPastTheEnd",
       {input_bytes({one}), input_bytes({{record(6, "x")}}),
        cat({body(), build_trailer({record(3, "b")}, 1, index_entry(3, 0, 300, 0))})},
       ErrorKind::UnexpectedEof,
       {"input 3", "id 3", "offset 100", "300 bytes"}},
  };
  return cases;
}

void PrintTo(const MergeErrorCase& c, std::ostream* os) { *os << c.name; }

class MergeErrors : public ::testing::TestWithParam<MergeErrorCase> {};

TEST_P(MergeErrors, FailAndReleaseTheOutput) {
  const MergeErrorCase& c = GetParam();
  auto inputs = memory_inputs(c.files);
  Output output;
  const Status merged = merge(inputs, output);
  ASSERT_FALSE(merged);
  EXPECT_EQ(merged.error().kind(), c.kind);
  for (const std::string& part : c.message_parts) EXPECT_NE(merged.error().message().find(part), std::string::npos)
      << merged.error().message();
  EXPECT_TRUE(output.closed());
}

INSTANTIATE_TEST_SUITE_P(Cases, MergeErrors, ::testing::ValuesIn(merge_error_cases()),
                         [](const auto& param_info) { return std::string(param_info.param.name); });

// Maps with sizes no test file holds: the merge must refuse before copying anything.
TEST(MergeTrailers, RefusesSizesBeyondThirtyTwoBits) {
  constexpr std::uint64_t HALF = std::uint64_t{1} << 31;
  struct Case {
    const char* name;
    std::vector<TrailerRecords> maps;
    const char* says;
  };
  const std::vector<Case> cases = {
      {"merged record of 4 GiB",
       {{{100, rec(1, 3, 0, 10)}}, {{0, rec(1, 3, 0, HALF)}}, {{0, rec(1, 3, 0, HALF - 10)}}},
       "record of id 3 would hold 4294967296 bytes"},
      {"trailer of 4 GiB",
       {{{100, rec(1, 1, 0, HALF)}, {200, rec(1, 2, 0, HALF - 84)}}, {}},
       "trailer would hold 4294967296 bytes"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto inputs = memory_inputs(std::vector<Bytes>(c.maps.size(), Bytes(300, 1)));
    Output output;
    const Status merged = merge_and_release(inputs, c.maps, output);
    ASSERT_FALSE(merged);
    EXPECT_EQ(merged.error().kind(), ErrorKind::Unsupported);
    EXPECT_NE(merged.error().message().find(c.says), std::string::npos) << merged.error().message();
    EXPECT_TRUE(output.bytes().empty());
    EXPECT_TRUE(output.closed());
  }
}

TEST(MergeTrailers, ReportsAFailedLastWriteOut) {
  // The whole trailer waits in the output buffer until the release writes it out.
  auto inputs = memory_inputs({input_bytes({{record(3, "a")}}), input_bytes({{record(3, "b")}})});
  Output output(write_error_at(10));
  const Status merged = merge(inputs, output);
  ASSERT_FALSE(merged);
  EXPECT_EQ(merged.error().kind(), ErrorKind::StorageFull);
  EXPECT_EQ(merged.error().os_error(), ENOSPC);
  EXPECT_EQ(merged.error().message(), "No space left on device");
  EXPECT_TRUE(output.closed());
}

// Every byte of a small trailer set to 0 and to 0xFF: reading and merging
// must succeed or fail with an error, never crash, hang or run wild, and
// never write a trailer whose framing is broken.
TEST(MergeTrailers, SurvivesAnyCorruptedByte) {
  const Bytes later = input_bytes({{record(3, "later"), record(6, "x")}, 2});
  for (const Index index : {Index::None, INDEXED}) {
    const Bytes good = input_bytes(InputPlan{{record(3, "abc", 1), record(6, "defg", 2), record(1, "h")}, 4, index});
    for (std::size_t at = BODY_SIZE; at < good.size(); ++at) {
      for (const std::uint8_t value : {std::uint8_t{0}, std::uint8_t{0xFF}}) {
        Bytes bad = good;
        bad[at] = value;
        for (const bool corrupt_first : {true, false}) {
          auto inputs = corrupt_first ? memory_inputs({bad, later}) : memory_inputs({later, bad});
          auto records = read_trailers(inputs);
          if (!records) continue;
          Output output;
          const Status merged = merge_and_release(inputs, *records, output);
          ASSERT_TRUE(output.closed()) << "byte " << at;
          // Whatever it read, a trailer it writes is whole: its footers tile it exactly.
          if (merged) {
            EXPECT_NO_THROW(parse_trailer(output.bytes())) << "byte " << at;
          }
        }
      }
    }
  }
}

// ---------------------------------------------------------------------------
// The driver's trailer step, on generated movies

TrackPlan small_track(std::uint8_t fill, std::size_t samples) {
  TrackPlan t;
  for (std::size_t i = 0; i < samples; ++i) t.sample_sizes.push_back(static_cast<std::uint32_t>(30 + i * 3));
  t.samples_per_chunk = 2;
  t.sync_samples = {1};
  t.fill = fill;
  return t;
}

Bytes movie_with_trailer(std::size_t index, bool moov_first, const std::optional<InputPlan>& trailer) {
  MoviePlan plan;
  plan.moov_first = moov_first;
  plan.tracks = {small_track(static_cast<std::uint8_t>(index * 40), 5 + index)};
  if (trailer) plan.trailing = trailer_bytes(*trailer);
  return make_movie(plan);
}

struct JoinCase {
  const char* name;
  bool moov_first;
  std::vector<std::optional<InputPlan>> trailers;  ///< one per input
  RecordList expected;
  std::uint32_t expected_version;
};

void PrintTo(const JoinCase& c, std::ostream* os) { *os << c.name; }

class JoinWithTrailers : public ::testing::TestWithParam<JoinCase> {};

TEST_P(JoinWithTrailers, AppendsTheMergedTrailerAfterTheMovie) {
  const JoinCase& c = GetParam();
  TempDir dir;
  std::vector<std::string> paths;
  std::vector<Movie> movies;
  for (std::size_t i = 0; i < c.trailers.size(); ++i) {
    const Bytes file = movie_with_trailer(i, c.moov_first, c.trailers[i]);
    const std::uint64_t trailer_size = c.trailers[i] ? parse_trailer(file).trailer_size : 0;
    movies.push_back(inspect_movie(file, file.size() - trailer_size));
    paths.push_back(dir.file("in" + std::to_string(i) + ".mp4"));
    write_file(paths.back(), file);
  }
  std::vector<double> reports;
  const std::string out = dir.file("out.mp4");
  const Status joined = join_files(paths, out, [&](double p) { reports.push_back(p); });
  ASSERT_TRUE(joined) << joined.error().describe();
  ASSERT_FALSE(reports.empty());
  EXPECT_EQ(reports.back(), 1.0);

  const Bytes output = read_file(out);
  const ParsedTrailer trailer = parse_trailer(output);
  EXPECT_EQ(trailer.records, c.expected);
  EXPECT_EQ(trailer.version, c.expected_version);
  EXPECT_EQ(trailer.reserved, Bytes(32, 0));
  expect_joined(movies, inspect_movie(output, trailer.start));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, JoinWithTrailers,
    ::testing::Values(
        JoinCase{"MdatThenMoov",
                 false,
                 {InputPlan{{record(1, "first"), record(3, "a3")}, 4, INDEXED},
                  InputPlan{{record(3, "b3"), record(1, "second")}, 4}},
                 {record(1, "first"), record(3, "a3b3")},
                 4},
        JoinCase{"MoovFirstThreeInputs",
                 true,
                 {InputPlan{{record(6, "a6"), record(3, "a3")}, 2},
                  InputPlan{{record(3, "b3"), record(6, "b6")}, 2, INDEXED}, InputPlan{{record(6, "c6")}, 2}},
                 {record(6, "a6b6c6"), record(3, "a3b3")},
                 2},
        // Record data that reads like a box with an impossible size: the box walks stop where the trailer starts.
        JoinCase{"RecordsThatLookLikeBoxes",
                 false,
                 {InputPlan{{record(3, std::string("\0\0\0\x03stco\0\0\0\0", 12))}, 4},
                  InputPlan{{record(3, std::string("\0\0\0\x05moov", 8))}, 4}},
                 {record(3, std::string("\0\0\0\x03stco\0\0\0\0\0\0\0\x05moov", 20))},
                 4},
        JoinCase{"OnlyTheFirstHasOne", false, {InputPlan{{record(3, "a3")}, 5}, std::nullopt}, {record(3, "a3")}, 5},
        // The first input's records decide what the output holds: here none.
        JoinCase{"OnlyALaterOneHasOne", true, {std::nullopt, InputPlan{{record(3, "b3")}, 5}}, {}, 3}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

// A failure to write out the trailer's last bytes is the join's failure, and
// the join does not report itself complete.
TEST(JoinWithTrailers, FailsWhenTheLastWriteOutFails) {
  std::vector<Bytes> files = {movie_with_trailer(0, false, InputPlan{{record(3, "a3")}}),
                              movie_with_trailer(1, false, InputPlan{{record(3, "b3")}})};
  auto seams_for = [&](MemoryFolder& folder) {
    JoinSeams seams;
    seams.open_input = [files](const std::string& path) -> Result<std::unique_ptr<File>> {
      const Bytes& file = path == "a" ? files[0] : files[1];
      return std::unique_ptr<File>(std::make_unique<MemoryFile>(std::make_shared<Bytes>(file)));
    };
    seams.output = folder.calls();
    return seams;
  };
  MemoryFolder clean;
  ASSERT_TRUE(join_files_with({"a", "b"}, "out", nullptr, seams_for(clean)));
  const Bytes& whole = *clean.files.at("out");
  ASSERT_EQ(parse_trailer(whole).records, RecordList({record(3, "a3b3")}));

  std::vector<double> reports;
  MemoryFolder failing;
  failing.created_faults = write_error_at(whole.size() - 1);
  const Status joined = join_files_with({"a", "b"}, "out", [&](double p) { reports.push_back(p); },
                                        seams_for(failing));
  ASSERT_FALSE(joined);
  EXPECT_EQ(joined.error().kind(), ErrorKind::StorageFull);
  EXPECT_EQ(joined.error().os_error(), ENOSPC);
  EXPECT_EQ(joined.error().message(), "No space left on device");
  for (const double p : reports) EXPECT_LT(p, 1.0);
}

}  // namespace
}  // namespace reelknit::testing
