#include "velmo/utf8.h"

#include "platform/text.h"

namespace velmo {

std::u16string FromUtf8(std::string_view text) { return platform::FromUtf8(text); }
std::string ToUtf8(std::u16string_view text) { return platform::ToUtf8(text); }

}  // namespace velmo
