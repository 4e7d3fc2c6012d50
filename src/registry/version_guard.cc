#include "registry/version_guard.h"

#include <string>

namespace velmo::registry {

bool VersionUndefined(ApplicationContext& context, std::u16string_view operation) {
  if (context.version_info().defined()) return false;
  if (context.platform.message_box) {
    const std::u16string text = std::u16string(operation) + u": Version non definie";
    context.platform.message_box->Show(text, kLibraryTitle, platform::MessageIcon::kNone);
  }
  return true;
}

}  // namespace velmo::registry
