// What the command shows of the library's log lines. The library logs which
// input, which box and which offset it is at; the command keeps the last of
// those steps and shows them above an error, so a failure names where it
// happened. Warnings are shown at once.
#pragma once

#include <cstddef>
#include <deque>
#include <string>

#include "reelknit/log.h"

namespace reelknit::cli {

class LogContext {
 public:
  /// The last lines kept of the driver's (which input, which phase) and of
  /// the box walks' (which box, at which offset).
  static constexpr std::size_t DRIVER_LINES_KEPT = 2;
  static constexpr std::size_t WALK_LINES_KEPT = 4;

  /// Takes one line of the library: a warning is returned as text to show now
  /// ("Warning: {}\n"); any other line is kept as context and nothing is returned.
  std::string take(const LogRecord& record);

  /// The kept lines, oldest first, as shown above an error; empty when none were kept.
  std::string context_text() const;

 private:
  std::deque<std::string> driver_lines_;
  std::deque<std::string> walk_lines_;
};

}  // namespace reelknit::cli
