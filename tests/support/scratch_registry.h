// A registry a test may fill as it likes: a fresh portable store on Linux; under Windows and
// Wine the real registry, with the library's keys taken away before and after.
#ifndef VELMO_TESTS_SUPPORT_SCRATCH_REGISTRY_H_
#define VELMO_TESTS_SUPPORT_SCRATCH_REGISTRY_H_

#include <memory>
#include <string>

#include "platform/hive_paths.h"
#include "platform/registry_api.h"

namespace velmo::testing {

class ScratchRegistry {
 public:
  ScratchRegistry();
  ~ScratchRegistry();
  ScratchRegistry(const ScratchRegistry&) = delete;
  ScratchRegistry& operator=(const ScratchRegistry&) = delete;

  const std::shared_ptr<platform::RegistryApi>& api() const { return api_; }
#ifndef _WIN32
  const platform::HivePaths& paths() const { return paths_; }
  const std::string& dir() const { return dir_; }
#endif

 private:
  void Clean();

  std::shared_ptr<platform::RegistryApi> api_;
#ifndef _WIN32
  std::string dir_;
  platform::HivePaths paths_;
#endif
};

// Whether a key opened with neither view flag sees the machine hive's 64-bit view, as it does for
// a 64-bit process and for the portable store; a 32-bit Windows process sees the 32-bit one.
bool DefaultViewIsNative();

}  // namespace velmo::testing

#endif  // VELMO_TESTS_SUPPORT_SCRATCH_REGISTRY_H_
