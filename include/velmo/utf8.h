// For callers whose strings are UTF-8: the library's strings are UTF-16.
#ifndef VELMO_UTF8_H_
#define VELMO_UTF8_H_

#include <string>
#include <string_view>

#include "velmo/export.h"

namespace velmo {

// Malformed input (invalid UTF-8, or a lone surrogate in UTF-16) becomes U+FFFD in the result
// rather than being dropped. Throw only for lack of memory or for text of 2^31 units or more.
VELMO_EXPORT std::u16string FromUtf8(std::string_view text);
VELMO_EXPORT std::string ToUtf8(std::u16string_view text);

}  // namespace velmo

#endif  // VELMO_UTF8_H_
