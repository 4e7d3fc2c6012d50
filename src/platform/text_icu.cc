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

// ICU's two-pass idiom: measure, then fill.
template <typename Out, typename Convert>
Out Convert2(Convert convert) {
  UErrorCode status = U_ZERO_ERROR;
  int32_t needed = convert(nullptr, 0, &status);
  if (status != U_BUFFER_OVERFLOW_ERROR && U_FAILURE(status)) {
    throw std::runtime_error(u_errorName(status));
  }
  Out out(static_cast<size_t>(needed), typename Out::value_type{});
  status = U_ZERO_ERROR;
  convert(out.data(), needed, &status);
  if (U_FAILURE(status)) throw std::runtime_error(u_errorName(status));
  return out;
}

}  // namespace

std::string ToUtf8(std::u16string_view text) {
  return Convert2<std::string>([&](char* dest, int32_t capacity, UErrorCode* status) {
    int32_t length = 0;
    u_strToUTF8WithSub(dest, capacity, &length, text.data(), Length(text.size()), kReplacement,
                       nullptr, status);
    return length;
  });
}

std::u16string FromUtf8(std::string_view text) {
  return Convert2<std::u16string>([&](char16_t* dest, int32_t capacity, UErrorCode* status) {
    int32_t length = 0;
    u_strFromUTF8WithSub(dest, capacity, &length, text.data(), Length(text.size()), kReplacement,
                         nullptr, status);
    return length;
  });
}

std::u16string ToUpper(std::u16string_view text) {
  std::u16string out;
  out.reserve(text.size());
  const int32_t length = Length(text.size());
  int32_t i = 0;
  while (i < length) {
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
