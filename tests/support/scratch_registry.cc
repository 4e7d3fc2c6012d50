#include "scratch_registry.h"

#include <filesystem>
#include <stdexcept>

#ifdef _WIN32
#include "platform/win32_registry.h"
#else
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include "platform/sqlite_registry.h"
#endif

namespace velmo::testing {

ScratchRegistry::ScratchRegistry() {
#ifdef _WIN32
  api_ = platform::NewWin32Registry();
  Clean();
#else
  std::string pattern = (std::filesystem::temp_directory_path() / "velmo-scratch-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  dir_ = pattern;
  paths_ = {dir_ + "/machine.db", dir_ + "/user.db"};
  api_ = platform::NewSqliteRegistry(paths_);
#endif
}

ScratchRegistry::~ScratchRegistry() { Clean(); }

void ScratchRegistry::Clean() {
#ifdef _WIN32
  api_->DeleteKeyTree(platform::kHkeyCurrentUser, u"SOFTWARE\\MOLTRA", 0);
  api_->DeleteKeyTree(platform::kHkeyLocalMachine, u"SOFTWARE\\MOLTRA", platform::kKeyWow64_32Key);
  api_->DeleteKeyTree(platform::kHkeyLocalMachine, u"SOFTWARE\\MOLTRA", platform::kKeyWow64_64Key);
#else
  if (dir_.empty()) return;
  std::error_code ignored;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(dir_, ignored)) {
    chmod(entry.path().c_str(), entry.is_directory() ? 0755 : 0644);
  }
  std::filesystem::remove_all(dir_, ignored);
#endif
}

bool DefaultViewIsNative() {
#ifdef _WIN32
  return sizeof(void*) == 8;
#else
  return true;
#endif
}

}  // namespace velmo::testing
