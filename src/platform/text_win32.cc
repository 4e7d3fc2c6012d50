#include "platform/text.h"

#include <windows.h>

#include <climits>
#include <stdexcept>
#include <system_error>

namespace velmo::platform {
namespace {

static_assert(sizeof(wchar_t) == sizeof(char16_t), "UTF-16 passes through as wchar_t");

// The conversion functions count in int; longer text is refused rather than cut short.
int CheckedLength(std::size_t length) {
  if (length > static_cast<std::size_t>(INT_MAX)) {
    throw std::length_error("text too long for the Windows conversion functions");
  }
  return static_cast<int>(length);
}

[[noreturn]] void ThrowLastError(const char* what) {
  throw std::system_error(static_cast<int>(GetLastError()), std::system_category(), what);
}

const wchar_t* Wide(std::u16string_view text) {
  return reinterpret_cast<const wchar_t*>(text.data());
}

}  // namespace

// Without WC_ERR_INVALID_CHARS an unpaired surrogate becomes U+FFFD.
std::string ToUtf8(std::u16string_view text) {
  if (text.empty()) return {};
  const int length = CheckedLength(text.size());
  const int needed =
      WideCharToMultiByte(CP_UTF8, 0, Wide(text), length, nullptr, 0, nullptr, nullptr);
  if (needed <= 0) ThrowLastError("WideCharToMultiByte");
  std::string result(static_cast<std::size_t>(needed), '\0');
  if (WideCharToMultiByte(CP_UTF8, 0, Wide(text), length, result.data(), needed, nullptr,
                          nullptr) != needed) {
    ThrowLastError("WideCharToMultiByte");
  }
  return result;
}

// Without MB_ERR_INVALID_CHARS malformed sequences become U+FFFD.
std::u16string FromUtf8(std::string_view text) {
  if (text.empty()) return {};
  const int length = CheckedLength(text.size());
  const int needed = MultiByteToWideChar(CP_UTF8, 0, text.data(), length, nullptr, 0);
  if (needed <= 0) ThrowLastError("MultiByteToWideChar");
  std::u16string result(static_cast<std::size_t>(needed), u'\0');
  if (MultiByteToWideChar(CP_UTF8, 0, text.data(), length,
                          reinterpret_cast<wchar_t*>(result.data()), needed) != needed) {
    ThrowLastError("MultiByteToWideChar");
  }
  return result;
}

bool IsUtf8(std::string_view text) {
  if (text.empty()) return true;
  return MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), CheckedLength(text.size()),
                             nullptr, 0) > 0;
}

std::u16string ToUpper(std::u16string_view text) {
  if (text.empty()) return {};
  const int length = CheckedLength(text.size());
  const int needed = LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_UPPERCASE, Wide(text), length,
                                   nullptr, 0, nullptr, nullptr, 0);
  if (needed <= 0) ThrowLastError("LCMapStringEx");
  std::u16string result(static_cast<std::size_t>(needed), u'\0');
  if (LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_UPPERCASE, Wide(text), length,
                    reinterpret_cast<wchar_t*>(result.data()), needed, nullptr, nullptr,
                    0) != needed) {
    ThrowLastError("LCMapStringEx");
  }
  return result;
}

}  // namespace velmo::platform
