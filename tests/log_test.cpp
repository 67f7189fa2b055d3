// The logging facade: nothing is built for a disabled line; an installed sink
// receives enabled lines with their level and target.
#include <gtest/gtest.h>

#include <vector>

#include "base/log_line.h"

namespace reelknit::testing {
namespace {

struct Captured {
  LogLevel level;
  std::string target;
  std::string message;
};

class LogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    set_sink([this](const LogRecord& record) {
      lines.push_back({record.level, std::string(record.target), std::string(record.message)});
    });
  }
  void TearDown() override {
    set_max_level(LevelFilter::Off);
    set_sink(nullptr);
  }
  std::vector<Captured> lines;
};

int evaluations = 0;
int counted() { return ++evaluations; }

TEST_F(LogTest, ADisabledLineEvaluatesNoArgument) {
  evaluations = 0;
  set_max_level(LevelFilter::Off);
  REELKNIT_DEBUG(LOG_TARGET_WRITER, "value {}", counted());
  set_max_level(LevelFilter::Warn);
  REELKNIT_DEBUG(LOG_TARGET_WRITER, "value {}", counted());
  EXPECT_EQ(evaluations, 0);
  EXPECT_TRUE(lines.empty());
  REELKNIT_WARN(LOG_TARGET_DRIVER, "value {}", counted());
  EXPECT_EQ(evaluations, 1);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].level, LogLevel::Warn);
  EXPECT_EQ(lines[0].target, "reelknit");
  EXPECT_EQ(lines[0].message, "value 1");
}

TEST_F(LogTest, EnabledLinesReachTheSinkFormatted) {
  set_max_level(LevelFilter::Trace);
  REELKNIT_DEBUG(LOG_TARGET_DESC_READER, "Reading {}, offset: {}, size: {}, header_size: {}", "mdat", 40, 1024, 8);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].target, "reelknit::desc_reader");
  EXPECT_EQ(lines[0].message, "Reading mdat, offset: 40, size: 1024, header_size: 8");
  set_sink(nullptr);  // back to discarding
  REELKNIT_DEBUG(LOG_TARGET_DESC_READER, "dropped");
  EXPECT_EQ(lines.size(), 1u);
}

}  // namespace
}  // namespace reelknit::testing
