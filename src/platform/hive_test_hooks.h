// Tests only: where the store calls back at the points another process could act between two of
// its steps. Set before the store is used, from one thread; empty hooks cost a test of a pointer.
#ifndef VELMO_PLATFORM_HIVE_TEST_HOOKS_H_
#define VELMO_PLATFORM_HIVE_TEST_HOOKS_H_

#include <filesystem>
#include <functional>

namespace velmo::platform::hive {

struct TestHooks {
  // A directory was made for a hive and is not yet given its mode and owner.
  std::function<void(const std::filesystem::path& dir)> after_mkdir;
  // A read has its stamp and has not yet taken its snapshot.
  std::function<void()> after_stamp;
};

inline TestHooks& HooksForTesting() {
  static TestHooks hooks;
  return hooks;
}

}  // namespace velmo::platform::hive

#endif  // VELMO_PLATFORM_HIVE_TEST_HOOKS_H_
