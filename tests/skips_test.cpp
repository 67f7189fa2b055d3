// The record of skips that the end of the test run reports: a missing tool is
// written once per tool with its package and the test's name, a found one not
// at all, and a reason that holds the report's separators still takes exactly
// one line of four fields. These tests write to a file of their own
// (REELKNIT_SKIPS_FILE), so that their made-up tools stay out of the report.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "support/skips.h"
#include "support/temp_dir.h"

namespace reelknit::testing {
namespace {

class SkipRecords : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(::setenv("REELKNIT_SKIPS_FILE", skips.c_str(), 1), 0); }
  void TearDown() override { ::unsetenv("REELKNIT_SKIPS_FILE"); }

  /// Each recorded line, split at its tabs.
  std::vector<std::vector<std::string>> records() const {
    std::vector<std::vector<std::string>> lines;
    std::ifstream in(skips);
    for (std::string line; std::getline(in, line);) {
      std::vector<std::string> fields;
      std::stringstream split(line);
      for (std::string field; std::getline(split, field, '\t');) fields.push_back(field);
      lines.push_back(fields);
    }
    return lines;
  }

  TempDir dir;
  const std::string skips = dir.file("skips/skips.tsv");  // the folder does not exist yet
  const std::string test = "SkipRecords." + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name());
};

TEST_F(SkipRecords, OnlyTheMissingToolsAreRecordedAndNamed) {
  const auto missing = missing_tools({{"reelknit-no-such-program", "reelknit-first"},
                                      {"sh", "dash"},
                                      {"reelknit-no-such-judge", "reelknit-second"},
                                      {"reelknit-no-such-helper", "reelknit-second"}});
  ASSERT_TRUE(missing);
  EXPECT_EQ(*missing,
            "reelknit-no-such-program, reelknit-no-such-judge and reelknit-no-such-helper are not installed "
            "(packages reelknit-first and reelknit-second)");
  const std::vector<std::vector<std::string>> expected = {
      {"tool", "reelknit-no-such-program", "reelknit-first", test},
      {"tool", "reelknit-no-such-judge", "reelknit-second", test},
      {"tool", "reelknit-no-such-helper", "reelknit-second", test}};
  EXPECT_EQ(records(), expected);
}

TEST_F(SkipRecords, ToolsThatAreFoundRecordNothing) {
  EXPECT_EQ(missing_tools({{"sh", "dash"}}), std::nullopt);
  EXPECT_TRUE(records().empty());
  EXPECT_EQ(missing_tools({{"reelknit-no-such-program", "reelknit-first"}}),
            "reelknit-no-such-program is not installed (package reelknit-first)");
}

TEST_F(SkipRecords, EachSkipIsOneLineOfFourFields) {
  EXPECT_EQ(record_skip("mount said:\tno loop\ndevice; try later"), "mount said:\tno loop\ndevice; try later");
  EXPECT_EQ(record_missing_tool("ffmpeg's\nlibx264", "ffmpeg"), "ffmpeg's\nlibx264 is not installed (package ffmpeg)");
  const std::vector<std::vector<std::string>> expected = {
      {"limit", "mount said: no loop device, try later", "", test},
      {"tool", "ffmpeg's libx264", "ffmpeg", test}};
  EXPECT_EQ(records(), expected);
}

TEST(FindProgram, LooksInTheSystemDirectoriesOffPath) {
  const char* saved = std::getenv("PATH");
  const std::string path = saved ? saved : "";
  ASSERT_EQ(::setenv("PATH", "/nonexistent", 1), 0);
  const std::string found = find_program("sh");
  ::setenv("PATH", path.c_str(), 1);
  EXPECT_TRUE(found == "/bin/sh" || found == "/usr/bin/sh") << found;
  EXPECT_EQ(find_program("reelknit-no-such-program"), "");
  EXPECT_EQ(find_program("."), "") << "a directory is not a program";
}

}  // namespace
}  // namespace reelknit::testing
