#include "reelknit/log.h"

#include <atomic>
#include <utility>

namespace reelknit {
namespace {

std::atomic<int> g_max_level{static_cast<int>(LevelFilter::Off)};

LogSink& sink_slot() {
  static LogSink sink;
  return sink;
}

}  // namespace

void set_max_level(LevelFilter filter) {
  g_max_level.store(static_cast<int>(filter), std::memory_order_relaxed);
}

LevelFilter max_level() {
  return static_cast<LevelFilter>(g_max_level.load(std::memory_order_relaxed));
}

bool log_enabled(LogLevel level) {
  return static_cast<int>(level) <= g_max_level.load(std::memory_order_relaxed);
}

void set_sink(LogSink sink) { sink_slot() = std::move(sink); }

namespace detail {

void emit(LogLevel level, std::string_view target, std::string_view message, const char* file, int line) {
  const LogSink& sink = sink_slot();
  if (sink) sink(LogRecord{level, target, message, file, line});
}

}  // namespace detail
}  // namespace reelknit
