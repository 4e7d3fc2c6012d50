// Many processes writing one hive at once: every write is served within the busy timeout and
// none is lost. Prints what it measured. The size is PROCESSESxROUNDS from VELMO_CONTENTION
// (CI runs a small one; `VELMO_CONTENTION=32x200 store_contention_test` runs the full one).
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "child_process.h"
#include "platform/sqlite_registry.h"
#include "platform/text.h"

namespace velmo::platform {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

struct Outcome {  // what one process sends back
  int ok = 0;
  int failed = 0;
  double slowest_ms = 0;
  RegStatus last_failure = 0;
};

TEST(StoreContentionTest, EveryWriterIsServedAndNoWriteIsLost) {
  int processes = 8;
  int rounds = 40;
  if (const char* size = std::getenv("VELMO_CONTENTION")) {
    ASSERT_EQ(std::sscanf(size, "%dx%d", &processes, &rounds), 2) << "VELMO_CONTENTION=PxR";
  }
  std::string pattern = (fs::temp_directory_path() / "velmo-contention-XXXXXX").string();
  ASSERT_NE(mkdtemp(pattern.data()), nullptr);
  const fs::path dir = pattern;
  const HivePaths paths{dir / "machine.db", dir / "user.db"};

  const auto start = Clock::now();
  std::vector<std::pair<pid_t, int>> children;
  for (int p = 0; p < processes; ++p) {
    const velmo::testing::Child child = velmo::testing::StartChild([&](int to_parent) {
      auto store = NewSqliteRegistry(paths);
      Outcome outcome;
      for (int r = 0; r < rounds; ++r) {
        const std::u16string name = FromUtf8(std::to_string(p) + "-" + std::to_string(r));
        const auto begun = Clock::now();
        RegKey key = 0;
        RegStatus status =
            store->CreateKey(kHkeyCurrentUser, u"Software\\Contention", kKeyWrite, &key);
        if (status == kErrorSuccess) {
          status =
              store->SetValue(key, name, kRegSz, reinterpret_cast<const std::uint8_t*>(name.data()),
                              static_cast<std::uint32_t>(name.size() * 2));
          store->CloseKey(key);
        }
        const double ms = std::chrono::duration<double, std::milli>(Clock::now() - begun).count();
        outcome.slowest_ms = std::max(outcome.slowest_ms, ms);
        ++(status == kErrorSuccess ? outcome.ok : outcome.failed);
        if (status != kErrorSuccess) outcome.last_failure = status;
        // Only acknowledged writes are expected back; the parent learns which by the name.
        if (status == kErrorSuccess && write(to_parent, &r, sizeof r) != sizeof r) _exit(1);
      }
      const int end = -1;
      if (write(to_parent, &end, sizeof end) != sizeof end ||
          write(to_parent, &outcome, sizeof outcome) != sizeof outcome) {
        _exit(1);
      }
    });
    ASSERT_GE(child.pid, 0);
    children.emplace_back(child.pid, child.from_child);
  }

  Outcome total;
  std::vector<std::vector<int>> acknowledged(static_cast<size_t>(processes));
  for (int p = 0; p < processes; ++p) {
    const auto [pid, fd] = children[static_cast<size_t>(p)];
    for (int r; read(fd, &r, sizeof r) == sizeof r && r >= 0;) {
      acknowledged[static_cast<size_t>(p)].push_back(r);
    }
    Outcome outcome;
    EXPECT_EQ(read(fd, &outcome, sizeof outcome), static_cast<ssize_t>(sizeof outcome));
    close(fd);
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "process " << p;
    total.ok += outcome.ok;
    total.failed += outcome.failed;
    total.slowest_ms = std::max(total.slowest_ms, outcome.slowest_ms);
    if (outcome.failed > 0) total.last_failure = outcome.last_failure;
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();

  int lost = 0;
  auto store = NewSqliteRegistry(paths);
  RegKey key = 0;
  ASSERT_EQ(store->OpenKey(kHkeyCurrentUser, u"Software\\Contention", kKeyRead, &key),
            kErrorSuccess);
  for (int p = 0; p < processes; ++p) {
    for (int r : acknowledged[static_cast<size_t>(p)]) {
      const std::u16string name = FromUtf8(std::to_string(p) + "-" + std::to_string(r));
      std::u16string data(name.size(), u'\0');
      std::uint32_t size = static_cast<std::uint32_t>(data.size() * 2);
      if (store->QueryValue(key, name, nullptr, reinterpret_cast<std::uint8_t*>(data.data()),
                            &size) != kErrorSuccess ||
          data != name) {
        ++lost;
      }
    }
  }
  store->CloseKey(key);
  fs::remove_all(dir);

  std::printf(
      "contention: %d processes x %d rounds: %d writes ok, %d failed, %d lost; %.1f s, %.0f "
      "writes/s, slowest write %.0f ms%s\n",
      processes, rounds, total.ok, total.failed, lost, seconds, total.ok / seconds,
      total.slowest_ms,
      total.failed > 0 ? (", a failure: status " + std::to_string(total.last_failure)).c_str()
                       : "");
  EXPECT_EQ(total.failed, 0);
  EXPECT_EQ(lost, 0);
  EXPECT_EQ(total.ok, processes * rounds);
}

}  // namespace
}  // namespace velmo::platform
