// A small "{}" formatter for log lines and error messages.
#pragma once

#include <sstream>
#include <string>
#include <string_view>

namespace reelknit {

namespace detail {
inline void format_rest(std::ostringstream& out, std::string_view format) { out << format; }

template <class First, class... Rest>
void format_rest(std::ostringstream& out, std::string_view format, const First& first, const Rest&... rest) {
  const auto hole = format.find("{}");
  if (hole == std::string_view::npos) {
    out << format;
    return;
  }
  out << format.substr(0, hole);
  if constexpr (std::is_same_v<First, unsigned char> || std::is_same_v<First, signed char>) {
    out << static_cast<int>(first);
  } else {
    out << first;
  }
  format_rest(out, format.substr(hole + 2), rest...);
}
}  // namespace detail

/// Replaces each "{}" of `format`, left to right, by the next argument.
template <class... Args>
std::string format_text(std::string_view format, const Args&... args) {
  std::ostringstream out;
  detail::format_rest(out, format, args...);
  return out.str();
}

}  // namespace reelknit
