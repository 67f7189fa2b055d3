#include "bin/log_context.h"

namespace reelknit::cli {

std::string LogContext::take(const LogRecord& record) {
  if (record.level <= LogLevel::Warn) return "Warning: " + std::string(record.message) + "\n";
  std::string line = std::string(record.target) + ": " + std::string(record.message);
  // The driver's lines name the input and the phase; the walks' lines come many
  // to one of them and would push them out of a single window.
  const bool from_driver = record.target == "reelknit";
  // A walk's steps belong to the driver's step they follow.
  if (from_driver) walk_lines_.clear();
  auto& kept = from_driver ? driver_lines_ : walk_lines_;
  kept.push_back(std::move(line));
  if (kept.size() > (from_driver ? DRIVER_LINES_KEPT : WALK_LINES_KEPT)) kept.pop_front();
  return {};
}

std::string LogContext::context_text() const {
  if (driver_lines_.empty() && walk_lines_.empty()) return {};
  std::string text = "What reelknit was doing:\n";
  for (const std::string& line : driver_lines_) text += "  " + line + "\n";
  for (const std::string& line : walk_lines_) text += "  " + line + "\n";
  return text;
}

}  // namespace reelknit::cli
