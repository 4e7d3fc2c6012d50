#include "value_format.h"

#include <charconv>
#include <stdexcept>

#include "platform/registry_api.h"
#include "platform/text.h"

namespace velmo::tools {

using namespace velmo::platform;

namespace {

struct Named {
  std::uint32_t type;
  const char* name;
  const char* short_name;
};

constexpr Named kNamed[] = {
    {kRegNone, "REG_NONE", "NONE"},
    {kRegSz, "REG_SZ", "SZ"},
    {kRegExpandSz, "REG_EXPAND_SZ", "EXPAND_SZ"},
    {kRegBinary, "REG_BINARY", "BINARY"},
    {kRegDword, "REG_DWORD", "DWORD"},
    {kRegMultiSz, "REG_MULTI_SZ", "MULTI_SZ"},
    {kRegQword, "REG_QWORD", "QWORD"},
};

std::uint64_t LittleEndian(std::string_view data) {
  std::uint64_t v = 0;
  for (size_t i = data.size(); i-- > 0;) v = v << 8 | static_cast<unsigned char>(data[i]);
  return v;
}

std::uint64_t Number(const std::string& text, std::uint64_t max) {
  std::uint64_t v = 0;
  const bool hex = text.starts_with("0x") || text.starts_with("0X");
  const char* begin = text.data() + (hex ? 2 : 0);
  const char* end = text.data() + text.size();
  const auto [stop, ec] = std::from_chars(begin, end, v, hex ? 16 : 10);
  if (ec != std::errc() || stop != end || begin == end || v > max) {
    throw std::invalid_argument("not a number in range: " + text);
  }
  return v;
}

const char kHexDigits[] = "0123456789abcdef";

}  // namespace

bool IsStringType(std::uint32_t type) {
  return type == kRegSz || type == kRegExpandSz || type == kRegMultiSz;
}

std::string TypeName(std::uint32_t type) {
  for (const Named& n : kNamed) {
    if (n.type == type) return n.name;
  }
  return "REG_TYPE_" + std::to_string(type);
}

const std::map<std::string, std::uint32_t>& TypesByName() {
  static const std::map<std::string, std::uint32_t> names = [] {
    std::map<std::string, std::uint32_t> m;
    for (const Named& n : kNamed) {
      m[n.name] = n.type;
      m[n.short_name] = n.type;
    }
    return m;
  }();
  return names;
}

std::string Utf16Bytes(std::u16string_view text) {
  std::string bytes;
  bytes.reserve(text.size() * 2);
  for (char16_t c : text) {
    bytes.push_back(static_cast<char>(c & 0xFF));
    bytes.push_back(static_cast<char>(c >> 8));
  }
  return bytes;
}

std::u16string FromUtf16Bytes(std::string_view bytes) {
  std::u16string text(bytes.size() / 2, u'\0');
  for (size_t i = 0; i < text.size(); ++i) {
    text[i] = static_cast<char16_t>(static_cast<unsigned char>(bytes[2 * i]) |
                                    static_cast<unsigned char>(bytes[2 * i + 1]) << 8);
  }
  return text;
}

std::string ShownData(std::uint32_t type, std::string_view data, Style style) {
  if (IsStringType(type) && data.size() % 2 == 0) {
    std::u16string text = FromUtf16Bytes(data);
    if (!text.empty() && text.back() == u'\0') text.pop_back();
    if (type != kRegMultiSz) return ToUtf8(text);
    if (!text.empty() && text.back() == u'\0') text.pop_back();
    std::string shown;
    size_t start = 0;
    while (true) {
      const size_t end = text.find(u'\0', start);
      shown += ToUtf8(std::u16string_view(text).substr(start, end - start));
      if (end == std::u16string::npos) break;
      shown += style == Style::kQuery ? "\\0" : "\n";
      start = end + 1;
    }
    return shown;
  }
  if ((type == kRegDword && data.size() == 4) || (type == kRegQword && data.size() == 8)) {
    std::uint64_t v = LittleEndian(data);
    if (style == Style::kList) return std::to_string(v);
    std::string digits;
    do {
      digits.insert(digits.begin(), kHexDigits[v & 0xF]);
      v >>= 4;
    } while (v != 0);
    return "0x" + digits;
  }
  const char* digits = style == Style::kQuery ? "0123456789ABCDEF" : kHexDigits;
  std::string hex;
  for (unsigned char c : data) {
    hex.push_back(digits[c >> 4]);
    hex.push_back(digits[c & 0xF]);
  }
  return hex;
}

std::string EncodeData(std::uint32_t type, const std::string& text) {
  std::string bytes;
  if (type == kRegDword || type == kRegQword) {
    const int size = type == kRegDword ? 4 : 8;
    std::uint64_t v = Number(text, type == kRegDword ? 0xFFFFFFFFu : UINT64_MAX);
    for (int i = 0; i < size; ++i, v >>= 8) bytes.push_back(static_cast<char>(v & 0xFF));
    return bytes;
  }
  if (!IsStringType(type)) {
    if (text.size() % 2 != 0) {
      throw std::invalid_argument("binary data needs an even number of hex digits");
    }
    for (size_t i = 0; i < text.size(); i += 2) {
      bytes.push_back(static_cast<char>(Number("0x" + text.substr(i, 2), 0xFF)));
    }
    return bytes;
  }
  std::u16string value = FromUtf8(text);
  if (type == kRegMultiSz) {
    for (char16_t& c : value) {
      if (c == u'\n') c = u'\0';
    }
    value.push_back(u'\0');
  }
  value.push_back(u'\0');
  return Utf16Bytes(value);
}

}  // namespace velmo::tools
