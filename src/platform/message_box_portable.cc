#include <cstdio>

#include "platform/message_box.h"
#include "platform/text.h"

namespace velmo::platform {
namespace {

// No desktop to assume: the text goes where a person running the tool will see it.
class StderrMessageBox final : public MessageBoxApi {
 public:
  void Show(std::u16string_view text, std::u16string_view title, MessageIcon) override {
    const std::string line = ToUtf8(title) + ": " + ToUtf8(text) + "\n";
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
  }
};

}  // namespace

std::unique_ptr<MessageBoxApi> NewSystemMessageBox() {
  return std::make_unique<StderrMessageBox>();
}

}  // namespace velmo::platform
