// How the library offers a line to the logging facade: the level is compared
// first, so a disabled line formats nothing and evaluates none of its arguments.
#pragma once

#include "base/format.h"
#include "reelknit/log.h"

inline constexpr std::string_view LOG_TARGET_DRIVER = "reelknit";
inline constexpr std::string_view LOG_TARGET_DESC_READER = "reelknit::desc_reader";
inline constexpr std::string_view LOG_TARGET_WRITER = "reelknit::writer";

#define REELKNIT_LOG(level, target, ...)                                                        \
  do {                                                                                          \
    if (::reelknit::log_enabled(level))                                                         \
      ::reelknit::detail::emit(level, target, ::reelknit::format_text(__VA_ARGS__), __FILE__, __LINE__); \
  } while (false)

#define REELKNIT_DEBUG(target, ...) REELKNIT_LOG(::reelknit::LogLevel::Debug, target, __VA_ARGS__)
#define REELKNIT_TRACE(target, ...) REELKNIT_LOG(::reelknit::LogLevel::Trace, target, __VA_ARGS__)
#define REELKNIT_WARN(target, ...) REELKNIT_LOG(::reelknit::LogLevel::Warn, target, __VA_ARGS__)
