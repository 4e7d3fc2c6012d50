// A modal message with one OK button: the only way the library speaks to a person.
#ifndef VELMO_PLATFORM_MESSAGE_BOX_H_
#define VELMO_PLATFORM_MESSAGE_BOX_H_

#include <memory>
#include <string_view>

namespace velmo::platform {

enum class MessageIcon { kNone, kStop };

class MessageBoxApi {
 public:
  virtual ~MessageBoxApi() = default;
  // Returns once the person has dismissed the box.
  virtual void Show(std::u16string_view text, std::u16string_view title, MessageIcon icon) = 0;
};

// Win32: MessageBoxW. Elsewhere: one line "title: text" on standard error, returning at once.
std::unique_ptr<MessageBoxApi> NewSystemMessageBox();

}  // namespace velmo::platform

#endif  // VELMO_PLATFORM_MESSAGE_BOX_H_
