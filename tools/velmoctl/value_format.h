// Registry value types by name, and a value's data as a person reads and types it.
#ifndef VELMO_TOOLS_VELMOCTL_VALUE_FORMAT_H_
#define VELMO_TOOLS_VELMOCTL_VALUE_FORMAT_H_

#include <cstdint>
#include <map>
#include <string>
#include <string_view>

namespace velmo::tools {

// "REG_SZ", "REG_DWORD", ... or "REG_TYPE_N" for a type without a name.
std::string TypeName(std::uint32_t type);

// Every name a type is accepted by on the command line, as printed and in short form ("REG_SZ",
// "sz"), upper case; callers compare without regard to case.
const std::map<std::string, std::uint32_t>& TypesByName();

// How data is shown: kList one value a line, numbers in decimal, a multi-string's strings on
// lines of their own, other data as lower-case hex digits; kQuery as Windows' `reg query` shows
// it, numbers as 0x-prefixed hex, strings joined by "\0", other data as upper-case hex digits.
enum class Style { kList, kQuery };
std::string ShownData(std::uint32_t type, std::string_view data, Style style);

// Data of `type` from the text typed on the command line: strings as UTF-8 (a multi-string's
// strings separated by newlines), numbers in decimal or with 0x, binary types as hex digits.
// Strings are stored with their terminating NUL, as Windows tools store them. Throws
// std::invalid_argument with a message for text that does not fit the type.
std::string EncodeData(std::uint32_t type, const std::string& text);

// UTF-16LE bytes of `text`, and back (an odd last byte is dropped).
std::string Utf16Bytes(std::u16string_view text);
std::u16string FromUtf16Bytes(std::string_view bytes);

bool IsStringType(std::uint32_t type);

}  // namespace velmo::tools

#endif  // VELMO_TOOLS_VELMOCTL_VALUE_FORMAT_H_
