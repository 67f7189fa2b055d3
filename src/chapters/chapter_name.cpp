// What a GoPro chapter file name says. Every name is eight characters, a dot
// and a three-character extension; the last four before the dot are the
// recording number. Some card readers show the names in lower case, so
// letters are compared in either case and the on-disk spelling is kept.
#include <array>
#include <cstddef>

#include "reelknit/chapters.h"

namespace reelknit {
namespace {

constexpr std::size_t NAME_LENGTH = 12;     // "GX010042.MP4"
constexpr std::size_t RECORDING_AT = 4;     // the four digits of the recording number
constexpr std::size_t EXTENSION_AT = 9;     // after the dot
constexpr int LAST_TWO_DIGIT_NUMBER = 99;

char upper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }
bool is_digit(char c) { return c >= '0' && c <= '9'; }

bool same_letters(std::string_view text, std::string_view upper_case) {
  if (text.size() != upper_case.size()) return false;
  for (std::size_t i = 0; i < text.size(); ++i)
    if (upper(text[i]) != upper_case[i]) return false;
  return true;
}

/// The number written by `digits`, or -1 when one of them is not a digit.
int number(std::string_view digits) {
  int value = 0;
  for (char c : digits) {
    if (!is_digit(c)) return -1;
    value = value * 10 + (c - '0');
  }
  return value;
}

/// HERO6 and later: the letter after the G says the encoding, and the
/// extension must be the one the camera gives that encoding.
std::optional<ChapterName> parse_hero6(std::string_view name, std::string_view extension) {
  struct Letter {
    char letter;
    ChapterEncoding encoding;
    std::string_view extension;
  };
  static constexpr std::array<Letter, 4> LETTERS = {{{'H', ChapterEncoding::Avc, "MP4"},
                                                     {'X', ChapterEncoding::Hevc, "MP4"},
                                                     {'S', ChapterEncoding::Spherical, "360"},
                                                     {'L', ChapterEncoding::LowResolution, "LRV"}}};
  const int chapter = number(name.substr(2, 2));
  if (chapter < 1) return std::nullopt;
  for (const Letter& l : LETTERS) {
    if (upper(name[1]) != l.letter || !same_letters(extension, l.extension)) continue;
    return ChapterName{ChapterScheme::Hero6, l.encoding, chapter, number(name.substr(RECORDING_AT, 4))};
  }
  return std::nullopt;
}

/// HERO5 and earlier: GOPR is the first chapter, GP01 the second.
std::optional<ChapterName> parse_hero5(std::string_view name, std::string_view extension) {
  ChapterEncoding encoding = ChapterEncoding::Avc;
  if (same_letters(extension, "LRV"))
    encoding = ChapterEncoding::LowResolution;
  else if (!same_letters(extension, "MP4"))
    return std::nullopt;
  int chapter = 1;
  if (!same_letters(name.substr(0, 4), "GOPR")) {
    const int continuation = number(name.substr(2, 2));
    if (!same_letters(name.substr(0, 2), "GP") || continuation < 1) return std::nullopt;
    chapter = continuation + 1;
  }
  return ChapterName{ChapterScheme::Hero5, encoding, chapter, number(name.substr(RECORDING_AT, 4))};
}

}  // namespace

std::optional<ChapterName> parse_chapter_name(std::string_view file_name) {
  if (file_name.size() != NAME_LENGTH || file_name[EXTENSION_AT - 1] != '.') return std::nullopt;
  if (upper(file_name[0]) != 'G' || number(file_name.substr(RECORDING_AT, 4)) < 0) return std::nullopt;
  const std::string_view extension = file_name.substr(EXTENSION_AT);
  // HERO5 names begin GO or GP, which no HERO6 encoding letter is.
  const char second = upper(file_name[1]);
  if (second == 'O' || second == 'P') return parse_hero5(file_name, extension);
  return parse_hero6(file_name, extension);
}

std::optional<std::string> sibling_chapter_name(std::string_view sibling, int chapter) {
  const auto parsed = parse_chapter_name(sibling);
  if (!parsed || chapter < 1) return std::nullopt;
  std::string name(sibling);
  // The new letters follow the case of the sibling's G.
  const bool lower_case = sibling[0] != 'G';
  const auto spelled = [lower_case](std::string letters) {
    if (lower_case)
      for (char& c : letters) c = static_cast<char>(c - 'A' + 'a');
    return letters;
  };
  const auto two_digits = [](int value) {
    return std::string{static_cast<char>('0' + value / 10), static_cast<char>('0' + value % 10)};
  };
  if (parsed->scheme == ChapterScheme::Hero6) {
    if (chapter > LAST_TWO_DIGIT_NUMBER) return std::nullopt;
    name.replace(2, 2, two_digits(chapter));
  } else if (chapter == 1) {
    name.replace(0, 4, spelled("GOPR"));
  } else {
    if (chapter - 1 > LAST_TWO_DIGIT_NUMBER) return std::nullopt;
    name.replace(0, 4, spelled("GP") + two_digits(chapter - 1));
  }
  return name;
}

std::strong_ordering RecordingId::operator<=>(const RecordingId& other) const {
  if (const auto by_number = recording <=> other.recording; by_number != 0) return by_number;
  if (const auto by_scheme = scheme <=> other.scheme; by_scheme != 0) return by_scheme;
  return encoding <=> other.encoding;
}

RecordingId recording_id(const ChapterName& name) { return {name.scheme, name.encoding, name.recording}; }

}  // namespace reelknit
