#include "platform/message_box.h"

#include <windows.h>

#include <string>

namespace velmo::platform {
namespace {

class Win32MessageBox final : public MessageBoxApi {
 public:
  void Show(std::u16string_view text, std::u16string_view title, MessageIcon icon) override {
    const std::wstring wide_text(text.begin(), text.end());
    const std::wstring wide_title(title.begin(), title.end());
    MessageBoxW(nullptr, wide_text.c_str(), wide_title.c_str(),
                MB_OK | (icon == MessageIcon::kStop ? MB_ICONSTOP : 0u));
  }
};

}  // namespace

std::unique_ptr<MessageBoxApi> NewSystemMessageBox() { return std::make_unique<Win32MessageBox>(); }

}  // namespace velmo::platform
