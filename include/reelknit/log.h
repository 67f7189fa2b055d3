// The logging facade. The library never prints; it offers diagnostic lines
// here. Nothing is shown until an embedder raises the level and installs a sink.
#pragma once

#include <functional>
#include <string_view>

namespace reelknit {

/// Severity of one line, most severe first.
enum class LogLevel { Error = 1, Warn, Info, Debug, Trace };

/// The most verbose level let through; Off lets nothing through.
enum class LevelFilter { Off = 0, Error, Warn, Info, Debug, Trace };

struct LogRecord {
  LogLevel level;
  std::string_view target;   ///< "reelknit", "reelknit::desc_reader" or "reelknit::writer"
  std::string_view message;  ///< fully formatted
  const char* file;          ///< source location of the line
  int line;
};

using LogSink = std::function<void(const LogRecord&)>;

/// Process-wide maximum level; initially Off.
void set_max_level(LevelFilter filter);
LevelFilter max_level();

/// True when a line of `level` would reach the sink. One comparison.
bool log_enabled(LogLevel level);

/// Process-wide sink; initially one that discards. An empty function restores that.
void set_sink(LogSink sink);

namespace detail {
void emit(LogLevel level, std::string_view target, std::string_view message, const char* file, int line);
}  // namespace detail

}  // namespace reelknit
