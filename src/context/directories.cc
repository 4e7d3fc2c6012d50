#include "context/directories.h"

namespace velmo {

std::u16string WithTrailingSeparator(std::u16string_view path) {
  std::u16string terminated(path);
  if (terminated.empty() || terminated.back() != u'\\') terminated += u'\\';
  return terminated;
}

void Directories::Set(std::u16string& held, std::u16string_view dir) {
  if (dir.empty()) {
    held.clear();
  } else if (dir.back() == u'\\' || dir.back() == u'/') {
    held.assign(dir);
  } else {
    held = WithTrailingSeparator(dir);
  }
}

}  // namespace velmo
