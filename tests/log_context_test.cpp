// What the command keeps of the library's log lines to show above an error.
#include <gtest/gtest.h>

#include "bin/log_context.h"

namespace reelknit::testing {
namespace {

LogRecord line(LogLevel level, std::string_view target, std::string_view message) {
  return LogRecord{level, target, message, __FILE__, __LINE__};
}

TEST(LogContext, WarningsAreShownAtOnceAndKeptOutOfTheContext) {
  cli::LogContext context;
  EXPECT_EQ(context.take(line(LogLevel::Warn, "reelknit", "Failed to update file times: gone")),
            "Warning: Failed to update file times: gone\n");
  EXPECT_EQ(context.context_text(), "");
}

// The driver's last steps say which input and phase; the walks' last steps
// say which box at which offset, and only those that follow the driver's last step.
TEST(LogContext, KeepsTheLastStepsOfTheDriverAndOfTheWalkThatFollowsIt) {
  cli::LogContext context;
  EXPECT_EQ(context.take(line(LogLevel::Debug, "reelknit", "Reading input 1 of 2: a.mp4")), "");
  for (int k = 0; k < 9; ++k) (void)context.take(line(LogLevel::Debug, "reelknit::desc_reader", "box of a.mp4"));
  (void)context.take(line(LogLevel::Debug, "reelknit", "Reading input 2 of 2: b.mp4"));
  (void)context.take(line(LogLevel::Debug, "reelknit", "Reading mdat, offset: 20"));
  for (int k = 1; k <= 6; ++k) {
    (void)context.take(line(LogLevel::Debug, "reelknit::desc_reader", "box " + std::to_string(k)));
  }
  EXPECT_EQ(context.context_text(),
            "What reelknit was doing:\n"
            "  reelknit: Reading input 2 of 2: b.mp4\n"
            "  reelknit: Reading mdat, offset: 20\n"
            "  reelknit::desc_reader: box 3\n"
            "  reelknit::desc_reader: box 4\n"
            "  reelknit::desc_reader: box 5\n"
            "  reelknit::desc_reader: box 6\n");
}

}  // namespace
}  // namespace reelknit::testing
