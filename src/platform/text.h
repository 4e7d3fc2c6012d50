// Conversions at the edges of a UTF-16 core. ICU does the work on Linux, the Windows API on
// Windows; malformed input is replaced with U+FFFD rather than dropped.
#ifndef VELMO_PLATFORM_TEXT_H_
#define VELMO_PLATFORM_TEXT_H_

#include <string>
#include <string_view>

namespace velmo::platform {

std::string ToUtf8(std::u16string_view text);
std::u16string FromUtf8(std::string_view text);
// Whether `text` is well-formed UTF-8, with nothing that FromUtf8 would have to replace.
bool IsUtf8(std::string_view text);

// Locale-independent upper case, one character at a time as Windows does it: the length never
// changes ("ß" stays "ß"), and so names that Windows takes as equal are equal here too.
std::u16string ToUpper(std::u16string_view text);

// Whether `text` holds a NUL character. A path or name that does is refused where it comes in:
// the system would take it only up to the NUL, while the library would keep the whole of it.
inline bool HoldsNul(std::u16string_view text) {
  return text.find(u'\0') != std::u16string_view::npos;
}

// Whether every surrogate in `text` is half of a pair: what ToUtf8 converts without replacing.
inline bool IsWellFormedUtf16(std::u16string_view text) {
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] < 0xD800 || text[i] > 0xDFFF) continue;
    if (text[i] > 0xDBFF || i + 1 == text.size() || text[i + 1] < 0xDC00 || text[i + 1] > 0xDFFF) {
      return false;
    }
    ++i;
  }
  return true;
}

}  // namespace velmo::platform

#endif  // VELMO_PLATFORM_TEXT_H_
