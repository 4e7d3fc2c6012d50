#include <unicode/uchar.h>
#include <unicode/ustring.h>
#include <unicode/utf16.h>

#include <climits>
#include <stdexcept>

#include "platform/text.h"

namespace velmo::platform {
namespace {

constexpr UChar32 kReplacement = 0xFFFD;

int32_t Length(size_t size) {
  if (size > static_cast<size_t>(INT32_MAX)) throw std::length_error("text too long");
  return static_cast<int32_t>(size);
}

}  // namespace

// One pass into a buffer of the largest size the result can have: a UTF-16 code unit never
// takes more than 3 UTF-8 bytes, nor a UTF-8 byte more than one UTF-16 unit.
std::string ToUtf8(std::u16string_view text) {
  // ASCII, as most paths and names are, is its own UTF-8.
  std::string out(text.size(), '\0');
  size_t ascii = 0;
  while (ascii < text.size() && text[ascii] < 0x80) {
    out[ascii] = static_cast<char>(text[ascii]);
    ++ascii;
  }
  if (ascii == text.size()) return out;
  out.assign(text.size() * 3, '\0');
  UErrorCode status = U_ZERO_ERROR;
  int32_t length = 0;
  u_strToUTF8WithSub(out.data(), Length(out.size()), &length, text.data(), Length(text.size()),
                     kReplacement, nullptr, &status);
  if (U_FAILURE(status)) throw std::runtime_error(u_errorName(status));
  out.resize(static_cast<size_t>(length));
  return out;
}

std::u16string FromUtf8(std::string_view text) {
  std::u16string out(text.size(), u'\0');
  UErrorCode status = U_ZERO_ERROR;
  int32_t length = 0;
  u_strFromUTF8WithSub(out.data(), Length(out.size()), &length, text.data(), Length(text.size()),
                       kReplacement, nullptr, &status);
  if (U_FAILURE(status)) throw std::runtime_error(u_errorName(status));
  out.resize(static_cast<size_t>(length));
  return out;
}

bool IsUtf8(std::string_view text) {
  UErrorCode status = U_ZERO_ERROR;
  int32_t length = 0;
  // Preflighting converts nothing, but still meets every malformed sequence.
  u_strFromUTF8(nullptr, 0, &length, text.data(), Length(text.size()), &status);
  return status == U_BUFFER_OVERFLOW_ERROR || U_SUCCESS(status);
}

std::u16string ToUpper(std::u16string_view text) {
  std::u16string out;
  out.reserve(text.size());
  const int32_t length = Length(text.size());
  int32_t i = 0;
  while (i < length) {
    if (text[static_cast<size_t>(i)] < 0x80) {  // most names are ASCII
      const char16_t c = text[static_cast<size_t>(i++)];
      out.push_back(c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - u'a' + u'A') : c);
      continue;
    }
    const int32_t start = i;
    UChar32 c = 0;
    U16_NEXT(text.data(), i, length, c);
    const UChar32 upper = u_toupper(c);
    // An unpaired surrogate, or a mapping that would change the length, stays as it was.
    if (U16_IS_SURROGATE(c) || U16_LENGTH(upper) != i - start) {
      out.append(text.substr(static_cast<size_t>(start), static_cast<size_t>(i - start)));
    } else if (U16_LENGTH(upper) == 1) {
      out.push_back(static_cast<char16_t>(upper));
    } else {
      out.push_back(static_cast<char16_t>(U16_LEAD(upper)));
      out.push_back(static_cast<char16_t>(U16_TRAIL(upper)));
    }
  }
  return out;
}

}  // namespace velmo::platform
