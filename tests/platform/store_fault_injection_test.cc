// The store under I/O faults: a VFS over the default one fails the Nth read, write, sync or lock,
// for every N over a small workload. Each call then fails or succeeds, what was acknowledged
// stays, what was refused never appears, the hive stays sound, and the next call works. Made as
// one set of changes, the workload stands whole when its commit succeeds, and not at all when
// it fails.
#include <sqlite3.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "platform/sqlite_registry.h"

namespace velmo::platform {
namespace {

namespace fs = std::filesystem;

// ---- The shim: counts one kind of operation, and fails the one whose count is `fail_at`.

enum class Op { kRead, kWrite, kSync, kLock };
Op g_op = Op::kRead;
int g_fail_at = 0;  // 0: never
int g_count = 0;
sqlite3_vfs* g_base = nullptr;

bool Inject(Op op) { return op == g_op && ++g_count == g_fail_at; }

struct FaultyFile {
  sqlite3_file base;
  sqlite3_file* real;  // follows this struct in the same allocation
};

sqlite3_file* Real(sqlite3_file* file) { return reinterpret_cast<FaultyFile*>(file)->real; }

int Read(sqlite3_file* f, void* data, int amount, sqlite3_int64 offset) {
  if (Inject(Op::kRead)) return SQLITE_IOERR_READ;
  return Real(f)->pMethods->xRead(Real(f), data, amount, offset);
}
int Write(sqlite3_file* f, const void* data, int amount, sqlite3_int64 offset) {
  if (Inject(Op::kWrite)) return g_fail_at % 2 ? SQLITE_FULL : SQLITE_IOERR_WRITE;
  return Real(f)->pMethods->xWrite(Real(f), data, amount, offset);
}
int Sync(sqlite3_file* f, int flags) {
  if (Inject(Op::kSync)) return SQLITE_IOERR_FSYNC;
  return Real(f)->pMethods->xSync(Real(f), flags);
}
int Lock(sqlite3_file* f, int level) {
  if (Inject(Op::kLock)) return SQLITE_IOERR_LOCK;
  return Real(f)->pMethods->xLock(Real(f), level);
}
// Only taking a lock fails; letting one go cannot.
int ShmLock(sqlite3_file* f, int offset, int n, int flags) {
  if ((flags & SQLITE_SHM_LOCK) && Inject(Op::kLock)) return SQLITE_IOERR_LOCK;
  return Real(f)->pMethods->xShmLock(Real(f), offset, n, flags);
}
int Close(sqlite3_file* f) { return Real(f)->pMethods->xClose(Real(f)); }
int Truncate(sqlite3_file* f, sqlite3_int64 size) {
  return Real(f)->pMethods->xTruncate(Real(f), size);
}
int FileSize(sqlite3_file* f, sqlite3_int64* size) {
  return Real(f)->pMethods->xFileSize(Real(f), size);
}
int Unlock(sqlite3_file* f, int level) { return Real(f)->pMethods->xUnlock(Real(f), level); }
int CheckReserved(sqlite3_file* f, int* out) {
  return Real(f)->pMethods->xCheckReservedLock(Real(f), out);
}
int FileControl(sqlite3_file* f, int op, void* arg) {
  return Real(f)->pMethods->xFileControl(Real(f), op, arg);
}
int SectorSize(sqlite3_file* f) { return Real(f)->pMethods->xSectorSize(Real(f)); }
int Characteristics(sqlite3_file* f) { return Real(f)->pMethods->xDeviceCharacteristics(Real(f)); }
int ShmMap(sqlite3_file* f, int page, int size, int extend, void volatile** out) {
  return Real(f)->pMethods->xShmMap(Real(f), page, size, extend, out);
}
void ShmBarrier(sqlite3_file* f) { Real(f)->pMethods->xShmBarrier(Real(f)); }
int ShmUnmap(sqlite3_file* f, int remove) { return Real(f)->pMethods->xShmUnmap(Real(f), remove); }

// No memory mapping, so that every read goes through xRead.
const sqlite3_io_methods kMethods = {
    2,        Close,         Read,        Write,      Truncate,        Sync,   FileSize, Lock,
    Unlock,   CheckReserved, FileControl, SectorSize, Characteristics, ShmMap, ShmLock,  ShmBarrier,
    ShmUnmap, nullptr,       nullptr};

int Open(sqlite3_vfs*, sqlite3_filename name, sqlite3_file* file, int flags, int* out_flags) {
  auto* faulty = reinterpret_cast<FaultyFile*>(file);
  faulty->real = reinterpret_cast<sqlite3_file*>(faulty + 1);
  const int rc = g_base->xOpen(g_base, name, faulty->real, flags, out_flags);
  faulty->base.pMethods = faulty->real->pMethods != nullptr ? &kMethods : nullptr;
  return rc;
}

sqlite3_vfs g_faulty;

void InstallShim() {
  if (g_base != nullptr) return;
  g_base = sqlite3_vfs_find(nullptr);
  g_faulty = *g_base;
  g_faulty.zName = "faulty";
  g_faulty.szOsFile = static_cast<int>(sizeof(FaultyFile)) + g_base->szOsFile;
  g_faulty.xOpen = Open;
  g_faulty.pAppData = nullptr;
  ASSERT_EQ(sqlite3_vfs_register(&g_faulty, /*makeDflt=*/1), SQLITE_OK);
}

// ---- The workload, against a model of what was acknowledged.

using Model = std::map<std::u16string, std::u16string>;  // "key|name" -> text

struct Calls {
  RegistryApi& api;
  Model& model;
  std::string& problems;
  int failed = 0;  // calls that answered an error where nothing was in their way

  RegKey Create(std::u16string_view path) {
    RegKey key = 0;
    if (api.CreateKey(kHkeyCurrentUser, path, kKeyRead | kKeyWrite, &key) != kErrorSuccess)
      ++failed;
    return key;
  }
  void Set(RegKey key, std::u16string_view path, std::u16string name, std::u16string text) {
    if (api.SetValue(key, name, kRegSz, reinterpret_cast<const std::uint8_t*>(text.data()),
                     static_cast<std::uint32_t>(text.size() * 2)) == kErrorSuccess) {
      model[std::u16string(path) + u"|" + name] = text;
    } else {
      ++failed;
    }
  }
  void Delete(RegKey key, std::u16string_view path, std::u16string name) {
    if (api.DeleteValue(key, name) == kErrorSuccess) {
      model.erase(std::u16string(path) + u"|" + name);
    } else {
      ++failed;
    }
  }
  void CheckRead(RegKey key, std::u16string_view path, std::u16string name) {
    char16_t buffer[64];
    std::uint32_t size = sizeof buffer;
    const RegStatus status =
        api.QueryValue(key, name, nullptr, reinterpret_cast<std::uint8_t*>(buffer), &size);
    const auto it = model.find(std::u16string(path) + u"|" + name);
    if (status == kErrorSuccess &&
        (it == model.end() || std::u16string(buffer, size / 2) != it->second)) {
      problems += "a read gave what was not acknowledged;";
    }
    if (status == kErrorFileNotFound && it != model.end()) problems += "a read lost a value;";
  }
};

// Returns how many of its calls failed. With `paths`, the hive is also backed up, changed and
// restored: the model goes back to the copy only when the restore succeeded.
int Workload(RegistryApi& api, Model& model, std::string& problems,
             const HivePaths* paths = nullptr) {
  Calls run{api, model, problems};
  const RegKey f = run.Create(u"Software\\F");
  run.Set(f, u"Software\\F", u"a", u"1");
  run.Set(f, u"Software\\F", u"b", u"2");
  const RegKey sub = run.Create(u"Software\\F\\Sub");
  run.Set(sub, u"Software\\F\\Sub", u"c", u"3");
  api.CloseKey(sub);
  run.Delete(f, u"Software\\F", u"a");
  run.CheckRead(f, u"Software\\F", u"b");
  if (paths != nullptr) {
    const fs::path copy = paths->user.parent_path() / "copy.db";
    const Model at_copy = model;
    if (BackupHive(*paths, kHkeyCurrentUser, copy) != kErrorSuccess) {
      ++run.failed;
    } else {
      run.Set(f, u"Software\\F", u"b", u"5");
      if (RestoreHive(*paths, kHkeyCurrentUser, copy) == kErrorSuccess) {
        model = at_copy;
      } else {
        ++run.failed;
      }
    }
    run.CheckRead(f, u"Software\\F", u"b");
  }
  char16_t name[16];
  for (std::uint32_t i = 0;; ++i) {
    std::uint32_t length = 16;
    if (api.EnumValueName(f, i, name, &length) != kErrorSuccess) break;
  }
  if (api.DeleteKeyTree(kHkeyCurrentUser, u"Software\\F\\Sub", 0) == kErrorSuccess) {
    model.erase(u"Software\\F\\Sub|c");
  }
  run.Set(f, u"Software\\F", u"a", u"4");
  run.CheckRead(f, u"Software\\F", u"a");
  api.CloseKey(f);
  return run.failed;
}

std::string IntegrityOf(const fs::path& file) {
  sqlite3* db = nullptr;
  std::string result = "cannot open";
  if (sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &stmt, nullptr) == SQLITE_OK &&
        sqlite3_step(stmt) == SQLITE_ROW) {
      result = reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0));
    }
    sqlite3_finalize(stmt);
  }
  sqlite3_close(db);
  return result;
}

TEST(StoreFaultInjectionTest, EveryFaultIsAnErrorAndLosesNothing) {
  InstallShim();
  std::string pattern = (fs::temp_directory_path() / "velmo-faults-XXXXXX").string();
  ASSERT_NE(mkdtemp(pattern.data()), nullptr);
  const fs::path dir = pattern;
  const char* kNames[] = {"read", "write", "sync", "lock"};
  int runs = 0;
  // Alone, each call is its own transaction; as changes, the workload is one, committed whole.
  for (const bool as_changes : {false, true}) {
    for (Op op : {Op::kRead, Op::kWrite, Op::kSync, Op::kLock}) {
      // Faults that were injected, and those a caller was told of: a shim that never fires, or a
      // store that swallows every fault, would otherwise pass.
      int injected_runs = 0;
      int refused_runs = 0;
      for (int n = 1;; ++n) {
        SCOPED_TRACE(std::string(kNames[static_cast<int>(op)]) + " " + std::to_string(n) +
                     (as_changes ? " as changes" : ""));
        const fs::path here =
            dir / (std::to_string(as_changes) + "-" + std::to_string(static_cast<int>(op)) + "-" +
                   std::to_string(n));
        const HivePaths paths{here / "machine.db", here / "user.db"};
        Model model;
        std::string problems;
        {
          // A hive that exists already, and one that does not, both faulted: half the runs each.
          if (n % 2 == 0) {
            auto seed = NewSqliteRegistry(paths);
            RegKey key = 0;
            seed->CreateKey(kHkeyCurrentUser, u"Software\\F", kKeyWrite, &key);
            seed->CloseKey(key);
          }
          auto store = NewSqliteRegistry(paths);
          g_op = op;
          g_count = 0;
          g_fail_at = n;
          int failed = 0;
          if (as_changes) {
            Model pending = model;
            store->BeginChanges();
            failed = Workload(*store, pending, problems);
            if (store->CommitChanges() == kErrorSuccess) {
              model = pending;
            } else {
              ++failed;
            }
          } else {
            failed = Workload(*store, model, problems, &paths);
          }
          const bool injected = g_count >= n;
          injected_runs += injected;
          refused_runs += injected && failed > 0;
          g_fail_at = 0;
          ++runs;
          // The next call works.
          RegKey key = 0;
          EXPECT_EQ(store->CreateKey(kHkeyCurrentUser, u"Software\\F", kKeyWrite, &key),
                    kErrorSuccess);
          Calls{*store, model, problems}.Set(key, u"Software\\F", u"after", u"ok");
          EXPECT_EQ(model.count(u"Software\\F|after"), 1u);
          store->CloseKey(key);
          if (!injected) break;
        }
        // A fresh store sees exactly what was acknowledged.
        auto fresh = NewSqliteRegistry(paths);
        for (const auto& [where, text] : model) {
          const std::u16string path = where.substr(0, where.find(u'|'));
          RegKey key = 0;
          ASSERT_EQ(fresh->OpenKey(kHkeyCurrentUser, path, kKeyRead, &key), kErrorSuccess);
          Calls{*fresh, model, problems}.CheckRead(key, path, where.substr(where.find(u'|') + 1));
          fresh->CloseKey(key);
        }
        for (const char16_t* name : {u"a", u"b"}) {
          RegKey key = 0;
          ASSERT_EQ(fresh->OpenKey(kHkeyCurrentUser, u"Software\\F", kKeyRead, &key),
                    kErrorSuccess);
          Calls{*fresh, model, problems}.CheckRead(key, u"Software\\F", name);
          fresh->CloseKey(key);
        }
        RegKey sub = 0;
        if (fresh->OpenKey(kHkeyCurrentUser, u"Software\\F\\Sub", kKeyRead, &sub) ==
            kErrorSuccess) {
          Calls{*fresh, model, problems}.CheckRead(sub, u"Software\\F\\Sub", u"c");
          fresh->CloseKey(sub);
        }
        fresh.reset();
        EXPECT_EQ(problems, "");
        EXPECT_EQ(IntegrityOf(paths.user), "ok");
        fs::remove_all(here);
      }
      EXPECT_GT(injected_runs, 0) << kNames[static_cast<int>(op)]
                                  << (as_changes ? " as changes" : "");
      EXPECT_GT(refused_runs, 0) << kNames[static_cast<int>(op)]
                                 << (as_changes ? " as changes" : "");
    }
  }
  fs::remove_all(dir);
  std::printf("fault injection: %d runs, each with one fault\n", runs);
}

}  // namespace
}  // namespace velmo::platform
