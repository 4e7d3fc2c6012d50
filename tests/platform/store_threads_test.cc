// One store shared by threads that read, write, list and bracket operations and changes at once.
// A second store on the same files stands in for another process.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "fakes.h"
#include "platform/sqlite_registry.h"
#include "platform/text.h"
#include "scratch_registry.h"

namespace velmo::platform {
namespace {

constexpr std::u16string_view kPath = u"Software\\Threads";

RegStatus Put(RegistryApi& api, std::u16string_view path, std::u16string_view name,
              std::uint32_t value) {
  RegKey key = 0;
  RegStatus status = api.CreateKey(kHkeyCurrentUser, path, kKeyWrite, &key);
  if (status != kErrorSuccess) return status;
  status = api.SetValue(key, name, kRegDword, reinterpret_cast<const std::uint8_t*>(&value),
                        sizeof value);
  api.CloseKey(key);
  return status;
}

// The value, or -1 when it cannot be read.
std::int64_t Get(RegistryApi& api, std::u16string_view path, std::u16string_view name) {
  RegKey key = 0;
  if (api.OpenKey(kHkeyCurrentUser, path, kKeyRead, &key) != kErrorSuccess) return -1;
  std::uint32_t value = 0;
  std::uint32_t size = sizeof value;
  const RegStatus status =
      api.QueryValue(key, name, nullptr, reinterpret_cast<std::uint8_t*>(&value), &size);
  api.CloseKey(key);
  return status == kErrorSuccess ? value : -1;
}

TEST(StoreThreadsTest, AnOperationOfOneThreadDoesNotHideCommitsFromAnother) {
  testing::ScratchRegistry scratch;
  RegistryApi& shared = *scratch.api();
  const auto elsewhere = NewSqliteRegistry(scratch.paths());
  ASSERT_EQ(Put(shared, kPath, u"V", 1), kErrorSuccess);
  // Read twice, so that the store keeps what it read.
  ASSERT_EQ(Get(shared, kPath, u"V"), 1);
  ASSERT_EQ(Get(shared, kPath, u"V"), 1);
  {
    OperationScope operation(shared);
    ASSERT_EQ(Get(shared, kPath, u"V"), 1);
    ASSERT_EQ(Put(*elsewhere, kPath, u"V", 2), kErrorSuccess);
    std::int64_t seen = 0;
    std::thread([&] { seen = Get(shared, kPath, u"V"); }).join();
    EXPECT_EQ(seen, 2) << "a call begun after the commit must see it";
  }
  EXPECT_EQ(Get(shared, kPath, u"V"), 2);
}

TEST(StoreThreadsTest, ThreadsSharingOneStoreKeepEveryWrite) {
  testing::ScratchRegistry scratch;
  RegistryApi& shared = *scratch.api();
  constexpr int kThreads = 4;
  constexpr std::uint32_t kRounds = 60;
  std::vector<std::thread> threads;
  std::vector<std::string> faults(kThreads);
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      const std::u16string path = std::u16string(kPath) + u"\\T" + FromUtf8(std::to_string(t));
      for (std::uint32_t round = 0; round < kRounds && faults[t].empty(); ++round) {
        OperationScope operation(shared);
        // One thread brackets its writes as changes, which the others' writes then join.
        const bool changes = t == 0 && round % 3 == 0 && shared.BeginChanges();
        if (Put(shared, path, u"N", round) != kErrorSuccess) faults[t] = "write failed";
        if (changes && shared.CommitChanges() != kErrorSuccess) faults[t] = "commit failed";
        if (Get(shared, path, u"N") != round) faults[t] = "own write not read back";
        RegKey parent = 0;
        std::vector<std::u16string> subkeys;
        if (shared.OpenKey(kHkeyCurrentUser, kPath, kKeyRead, &parent) == kErrorSuccess) {
          char16_t name[256];
          std::uint32_t length = 256;
          while (shared.EnumKeyName(parent, static_cast<std::uint32_t>(subkeys.size()), name,
                                    &length) == kErrorSuccess) {
            subkeys.emplace_back(name, length);
            length = 256;
          }
          shared.CloseKey(parent);
        }
        if (!std::is_sorted(subkeys.begin(), subkeys.end()) ||
            std::find(subkeys.begin(), subkeys.end(), path.substr(kPath.size() + 1)) ==
                subkeys.end()) {
          faults[t] = "subkeys not listed";
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(faults[t], "") << "thread " << t;

  const auto elsewhere = NewSqliteRegistry(scratch.paths());
  for (int t = 0; t < kThreads; ++t) {
    const std::u16string path = std::u16string(kPath) + u"\\T" + FromUtf8(std::to_string(t));
    EXPECT_EQ(Get(*elsewhere, path, u"N"), kRounds - 1);
  }
  // Every operation has ended: an outside commit is seen at once.
  ASSERT_EQ(Put(*elsewhere, kPath, u"After", 7), kErrorSuccess);
  EXPECT_EQ(Get(shared, kPath, u"After"), 7);
}

TEST(StoreThreadsTest, AWrappedStoreKeepsItsTransactions) {
  testing::ScratchRegistry scratch;
  testing::ObservedRegistry observed(scratch.api());
  ASSERT_TRUE(observed.BeginChanges());
  ASSERT_EQ(Put(observed, kPath, u"Abandoned", 1), kErrorSuccess);
  observed.AbandonChanges();
  EXPECT_EQ(Get(*scratch.api(), kPath, u"Abandoned"), -1);
}

}  // namespace
}  // namespace velmo::platform
