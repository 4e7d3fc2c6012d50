#include "platform/sqlite_registry.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/sqlite_hive.h"
#include "platform/system_registry.h"

namespace velmo::platform {
namespace {

using hive::Fail;
using hive::Failure;
using hive::Fold;
using hive::Hive;
using hive::HiveReader;
using hive::kRootKeyId;
using hive::Statement;

constexpr size_t kMaxKeyNameLength = 255;
// Windows keeps a key tree at most this many levels deep.
constexpr size_t kMaxKeyDepth = 512;
constexpr size_t kMaxValueNameLength = 16383;
constexpr std::uint32_t kWriteAccess = kKeySetValue | kKeyCreateSubKey;
constexpr std::uint32_t kAllAccess = 0xF003F;

bool SameName(std::u16string_view a, std::u16string_view b) { return Fold(a) == Fold(b); }

std::vector<std::u16string> SplitPath(std::u16string_view path) {
  std::vector<std::u16string> parts;
  if (!path.empty() && path.back() == u'\\') path.remove_suffix(1);  // as RegCreateKeyEx allows
  if (path.empty()) return parts;
  size_t start = 0;
  while (true) {
    const size_t end = path.find(u'\\', start);
    const std::u16string_view part = path.substr(start, end - start);
    if (part.empty()) Fail(kErrorBadPathname);
    if (part.size() > kMaxKeyNameLength) Fail(kErrorInvalidParameter);
    parts.emplace_back(part);
    if (end == std::u16string_view::npos) break;
    start = end + 1;
  }
  return parts;
}

// The value or subkey names of a key as one listing read them, for the indexes that follow.
struct Listing {
  std::uint64_t generation;  // of the hive's cache when read
  std::vector<std::u16string> names;
};

// Code unit by code unit of the folded names, as Windows orders subkeys.
void SortByFold(std::vector<std::u16string>& names) {
  std::vector<std::pair<std::u16string, std::u16string>> keyed;
  keyed.reserve(names.size());
  for (std::u16string& name : names) {
    const std::string bytes = Fold(name);
    std::u16string units(bytes.size() / 2, u'\0');
    for (size_t i = 0; i < units.size(); ++i) {
      units[i] = static_cast<char16_t>(static_cast<unsigned char>(bytes[2 * i]) |
                                       static_cast<unsigned char>(bytes[2 * i + 1]) << 8);
    }
    keyed.emplace_back(std::move(units), std::move(name));
  }
  std::sort(keyed.begin(), keyed.end());
  names.clear();
  for (auto& [folded, name] : keyed) names.push_back(std::move(name));
}

// What a handle stands for.
struct KeyRef {
  Hive* hive;
  bool view32;       // the 32-bit view of the machine hive
  bool is_root;      // the hive's root key, on which the view still decides
  sqlite3_int64 id;  // the key's row
  std::uint32_t access;
  size_t depth;  // levels below the hive's root
  std::shared_ptr<const Listing> values = nullptr;
  std::shared_ptr<const Listing> subkeys = nullptr;
  // The key was created by changes that did not commit: its row may be another key's now.
  bool forsaken = false;
};

// The view flags choose the view when a key is opened from a hive's root; a key opened below it
// stays in the view it was opened in.
bool ViewOf(const KeyRef& base, std::uint32_t access) {
  if (!base.hive->has_views()) return false;
  if (!base.is_root) return base.view32;
  if (access & kKeyWow64_32Key) return true;
  if (access & kKeyWow64_64Key) return false;
  return base.view32;
}

// From the root of the 32-bit view, SOFTWARE stands for SOFTWARE\WOW6432Node.
std::vector<std::u16string> InView(const KeyRef& base, bool view32,
                                   std::vector<std::u16string> parts) {
  if (base.is_root && view32 && !parts.empty() && SameName(parts[0], u"SOFTWARE") &&
      !(parts.size() > 1 && SameName(parts[1], u"WOW6432Node"))) {
    parts.insert(parts.begin() + 1, u"WOW6432Node");
  }
  return parts;
}

bool AliveForWrite(Hive& hive, sqlite3* db, sqlite3_int64 id) {
  if (id == kRootKeyId) return true;
  Statement find = hive.Prepare(db, "SELECT 1 FROM keys WHERE id = ?1");
  find.Bind(1, id);
  return find.Step();
}

// The row of `parts` below `base` in a write transaction, made where missing when `create`;
// 0 when missing.
sqlite3_int64 WalkForWrite(Hive& hive, sqlite3* db, const KeyRef& base,
                           const std::vector<std::u16string>& parts, bool create) {
  if (!AliveForWrite(hive, db, base.id)) Fail(kErrorKeyDeleted);
  if (create && base.depth + parts.size() > kMaxKeyDepth) Fail(kErrorNoSystemResources);
  sqlite3_int64 id = base.id;
  for (const std::u16string& part : parts) {
    const std::string fold = Fold(part);
    sqlite3_int64 child = 0;
    {
      Statement find = hive.Prepare(db, "SELECT id FROM keys WHERE parent = ?1 AND fold = ?2");
      find.Bind(1, id).BindBlob(2, fold);
      if (find.Step()) child = find.Int(0);
    }
    if (child == 0) {
      if (!create) return 0;
      Statement insert =
          hive.Prepare(db, "INSERT INTO keys (parent, name, fold) VALUES (?1, ?2, ?3)");
      insert.Bind(1, id).BindText(2, part).BindBlob(3, fold);
      insert.Step();
      child = sqlite3_last_insert_rowid(db);
      hive.NoteCreated(child);
    }
    id = child;
  }
  return id;
}

std::unique_ptr<Hive> MachineHive(const HivePaths& paths) {
  return std::make_unique<Hive>(paths.machine, 0644, 0755, /*has_views=*/true,
                                /*for_its_owner=*/false);
}

std::unique_ptr<Hive> UserHive(const HivePaths& paths) {
  // A folder that holds both hives must let everyone read the machine's.
  return std::make_unique<Hive>(
      paths.user, 0600, paths.user.parent_path() == paths.machine.parent_path() ? 0755 : 0700,
      /*has_views=*/false, /*for_its_owner=*/true);
}

template <typename Body>
RegStatus WithHive(const HivePaths& paths, RegKey root, Body&& body) {
  if (root != kHkeyCurrentUser && root != kHkeyLocalMachine) return kErrorInvalidHandle;
  try {
    const std::unique_ptr<Hive> hive =
        root == kHkeyCurrentUser ? UserHive(paths) : MachineHive(paths);
    body(*hive);
    return kErrorSuccess;
  } catch (const Failure& failure) {
    return failure.status;
  } catch (const std::bad_alloc&) {
    return kErrorOutOfMemory;
  } catch (...) {
    return kErrorRegistryIoFailed;
  }
}

class SqliteRegistry final : public RegistryApi {
 public:
  explicit SqliteRegistry(const HivePaths& paths)
      : machine_ptr_(MachineHive(paths)),
        user_ptr_(UserHive(paths)),
        machine_(*machine_ptr_),
        user_(*user_ptr_) {}

  RegStatus OpenKey(RegKey parent, std::u16string_view path, std::uint32_t access,
                    RegKey* key) override {
    return Guard(key, [&] { return Open(parent, path, access, /*create=*/false, key); });
  }

  bool BeginChanges() override {
    std::lock_guard lock(mutex_);
    user_.BeginChanges();
    machine_.BeginChanges();
    return true;
  }
  RegStatus CommitChanges(RegKey* failed = nullptr) override {
    std::lock_guard lock(mutex_);
    RegKey failed_root = 0;
    RegStatus status = user_.CommitChanges();
    if (status != kErrorSuccess) {
      failed_root = kHkeyCurrentUser;
      machine_.AbandonChanges();
      Forsake(user_);
      Forsake(machine_);
    } else if ((status = machine_.CommitChanges()) != kErrorSuccess) {
      failed_root = kHkeyLocalMachine;
      Forsake(machine_);
    }
    if (failed != nullptr) *failed = failed_root;
    return status;
  }
  void AbandonChanges() override {
    std::lock_guard lock(mutex_);
    user_.AbandonChanges();
    machine_.AbandonChanges();
    Forsake(user_);
    Forsake(machine_);
  }

  // An operation is its thread's: the calls of other threads meanwhile look at the files as
  // calls outside any operation do.
  void BeginOperation() override {
    std::lock_guard lock(mutex_);
    if (const auto it = Operation(); it != operations_.end()) {
      ++it->second;
      return;
    }
    operations_.emplace_back(std::this_thread::get_id(), 1);
    machine_.BeginOperation();
    user_.BeginOperation();
  }
  void EndOperation() override {
    std::lock_guard lock(mutex_);
    const auto it = Operation();
    if (it == operations_.end() || --it->second > 0) return;
    *it = operations_.back();
    operations_.pop_back();
    machine_.EndOperation();
    user_.EndOperation();
  }

  RegStatus CreateKey(RegKey parent, std::u16string_view path, std::uint32_t access,
                      RegKey* key) override {
    return Guard(key, [&] { return Open(parent, path, access, /*create=*/true, key); });
  }

  RegStatus QueryValue(RegKey key, std::u16string_view name, std::uint32_t* type,
                       std::uint8_t* data, std::uint32_t* size) override {
    return Guard(nullptr, [&] {
      if (data != nullptr && size == nullptr) return kErrorInvalidParameter;
      const KeyRef k = Resolve(key, kKeyQueryValue);
      return k.hive->Read([&](HiveReader& reader) {
        if (!reader.empty() && !reader.Alive(k.id)) Fail(kErrorKeyDeleted);
        const hive::CachedValue* value = reader.Find(k.id, name);
        if (value == nullptr) return kErrorFileNotFound;
        if (value->data.size() > 0xFFFFFFFFu) return kErrorRegistryIoFailed;
        const auto stored = static_cast<std::uint32_t>(value->data.size());
        if (type != nullptr) *type = value->type;
        RegStatus status = kErrorSuccess;
        if (data != nullptr) {
          if (*size < stored) {
            status = kErrorMoreData;
          } else if (stored > 0) {
            std::memcpy(data, value->data.data(), stored);
          }
        }
        if (size != nullptr) *size = stored;
        return status;
      });
    });
  }

  RegStatus SetValue(RegKey key, std::u16string_view name, std::uint32_t type,
                     const std::uint8_t* data, std::uint32_t size) override {
    return Guard(nullptr, [&] {
      if (name.size() > kMaxValueNameLength || (data == nullptr && size != 0)) {
        return kErrorInvalidParameter;
      }
      const KeyRef k = Resolve(key, kKeySetValue);
      return k.hive->Write([&](sqlite3* db) {
        if (!AliveForWrite(*k.hive, db, k.id)) return kErrorKeyDeleted;
        Statement upsert = k.hive->Prepare(db,
                                           "INSERT INTO vals (key, name, fold, type, data)"
                                           " VALUES (?1, ?2, ?3, ?4, ?5)"
                                           " ON CONFLICT (key, fold) DO UPDATE SET type = ?4,"
                                           " data = ?5");
        upsert.Bind(1, k.id).BindText(2, name).BindBlob(3, Fold(name)).Bind(4, type);
        upsert.BindBlob(5, data, size);
        upsert.Step();
        return kErrorSuccess;
      });
    });
  }

  RegStatus EnumValueName(RegKey key, std::uint32_t index, char16_t* name,
                          std::uint32_t* length) override {
    return Guard(nullptr, [&] { return EnumName(key, index, name, length, &KeyRef::values); });
  }

  RegStatus EnumKeyName(RegKey key, std::uint32_t index, char16_t* name,
                        std::uint32_t* length) override {
    return Guard(nullptr, [&] { return EnumName(key, index, name, length, &KeyRef::subkeys); });
  }

  RegStatus QueryInfoKey(RegKey key, std::uint32_t* value_count,
                         std::uint32_t* max_value_name_length) override {
    return Guard(nullptr, [&] {
      const KeyRef k = Resolve(key, kKeyQueryValue);
      const auto [count, longest] =
          k.hive->Read([&](HiveReader& reader) -> std::pair<sqlite3_int64, sqlite3_int64> {
            if (reader.empty()) return {0, 0};
            if (!reader.Alive(k.id)) Fail(kErrorKeyDeleted);
            // The folded name has as many code units as the name.
            Statement info = reader.Prepare(
                "SELECT count(*), coalesce(max(length(fold)), 0) / 2 FROM vals WHERE key = ?1");
            info.Bind(1, k.id);
            info.Step();
            return {info.Int(0), info.Int(1)};
          });
      if (value_count != nullptr) *value_count = static_cast<std::uint32_t>(count);
      if (max_value_name_length != nullptr) {
        *max_value_name_length = static_cast<std::uint32_t>(longest);
      }
      return kErrorSuccess;
    });
  }

  RegStatus DeleteValue(RegKey key, std::u16string_view name) override {
    return Guard(nullptr, [&] {
      const KeyRef k = Resolve(key, kKeySetValue);
      return k.hive->Write([&](sqlite3* db) {
        if (!AliveForWrite(*k.hive, db, k.id)) return kErrorKeyDeleted;
        Statement erase = k.hive->Prepare(db, "DELETE FROM vals WHERE key = ?1 AND fold = ?2");
        erase.Bind(1, k.id).BindBlob(2, Fold(name));
        erase.Step();
        return sqlite3_changes(db) == 0 ? kErrorFileNotFound : kErrorSuccess;
      });
    });
  }

  RegStatus DeleteKeyTree(RegKey parent, std::u16string_view path, std::uint32_t access) override {
    return Guard(nullptr, [&] {
      const KeyRef base = Resolve(parent, 0);
      const bool view32 = ViewOf(base, access);
      const std::vector<std::u16string> parts = InView(base, view32, SplitPath(path));
      return base.hive->Write([&](sqlite3* db) {
        const sqlite3_int64 id = WalkForWrite(*base.hive, db, base, parts, /*create=*/false);
        if (id == 0) return kErrorFileNotFound;
        if (id == kRootKeyId) return kErrorAccessDenied;
        // Deepest first, one key at a time: a cascade through the foreign keys recurses once a
        // level and stops at SQLite's trigger depth, short of the deepest tree there may be.
        std::vector<sqlite3_int64> tree;
        {
          Statement below = base.hive->Prepare(
              db,
              "WITH RECURSIVE tree(id, depth) AS (SELECT ?1, 0 UNION ALL"
              " SELECT keys.id, tree.depth + 1 FROM keys JOIN tree ON keys.parent = tree.id)"
              " SELECT id FROM tree ORDER BY depth DESC");
          below.Bind(1, id);
          while (below.Step()) tree.push_back(below.Int(0));
        }
        Statement erase = base.hive->Prepare(db, "DELETE FROM keys WHERE id = ?1");
        for (const sqlite3_int64 each : tree) {
          erase.Bind(1, each);
          erase.Step();
          erase.Reset();
        }
        return kErrorSuccess;
      });
    });
  }

  RegStatus CloseKey(RegKey key) override {
    std::lock_guard lock(mutex_);
    if (key == kHkeyCurrentUser || key == kHkeyLocalMachine) return kErrorSuccess;
    return handles_.erase(key) == 1 ? kErrorSuccess : kErrorInvalidHandle;
  }

 private:
  // Runs one call under the lock, turning every failure into its status; `key` is cleared on
  // failure.
  template <typename Body>
  RegStatus Guard(RegKey* key, Body&& body) {
    std::lock_guard lock(mutex_);
    const bool in_operation = Operation() != operations_.end();
    machine_.SetCallInOperation(in_operation);
    user_.SetCallInOperation(in_operation);
    RegStatus status;
    try {
      status = body();
    } catch (const Failure& failure) {
      status = failure.status;
    } catch (const std::bad_alloc&) {
      status = kErrorOutOfMemory;
    } catch (...) {
      status = kErrorRegistryIoFailed;
    }
    if (status != kErrorSuccess && key != nullptr) *key = 0;
    return status;
  }

  // Index 0 reads the whole listing; the indexes after it are served from it while the hive has
  // not changed, so that listing a key costs time in proportion to its names.
  RegStatus EnumName(RegKey key, std::uint32_t index, char16_t* name, std::uint32_t* length,
                     std::shared_ptr<const Listing> KeyRef::*which) {
    if (name == nullptr || length == nullptr) return kErrorInvalidParameter;
    const bool subkeys = which == &KeyRef::subkeys;
    const KeyRef k = Resolve(key, subkeys ? kKeyEnumerateSubKeys : kKeyQueryValue);
    const std::shared_ptr<const Listing>& known = k.*which;
    std::shared_ptr<const Listing> listing =
        k.hive->Read([&](HiveReader& reader) -> std::shared_ptr<const Listing> {
          if (reader.empty()) return nullptr;
          if (index > 0 && known && known->generation == k.hive->generation()) return known;
          if (!reader.Alive(k.id)) Fail(kErrorKeyDeleted);
          auto fresh = std::make_shared<Listing>();
          Statement all =
              reader.Prepare(subkeys ? "SELECT name FROM keys WHERE parent = ?1"
                                     : "SELECT name FROM vals WHERE key = ?1 ORDER BY rowid");
          all.Bind(1, k.id);
          while (all.Step()) fresh->names.push_back(all.Text(0));
          // Windows lists subkeys by their upper-cased names.
          if (subkeys) SortByFold(fresh->names);
          fresh->generation = k.hive->generation();
          return fresh;
        });
    if (const auto it = handles_.find(key); it != handles_.end()) it->second.*which = listing;
    if (!listing || index >= listing->names.size()) return kErrorNoMoreItems;
    const std::u16string& found = listing->names[index];
    if (found.size() >= *length) return kErrorMoreData;
    std::copy(found.begin(), found.end(), name);
    name[found.size()] = u'\0';
    *length = static_cast<std::uint32_t>(found.size());
    return kErrorSuccess;
  }

  std::vector<std::pair<std::thread::id, int>>::iterator Operation() {
    const std::thread::id self = std::this_thread::get_id();
    return std::find_if(operations_.begin(), operations_.end(),
                        [self](const auto& each) { return each.first == self; });
  }

  KeyRef Resolve(RegKey key, std::uint32_t needed) {
    KeyRef k{};
    if (key == kHkeyCurrentUser) {
      k = {&user_, false, true, kRootKeyId, kAllAccess, 0};
    } else if (key == kHkeyLocalMachine) {
      k = {&machine_, false, true, kRootKeyId, kAllAccess, 0};
    } else {
      const auto it = handles_.find(key);
      if (it == handles_.end()) Fail(kErrorInvalidHandle);
      k = it->second;
      if (k.forsaken) Fail(kErrorKeyDeleted);
    }
    if ((k.access & needed) != needed) Fail(kErrorAccessDenied);
    return k;
  }

  RegStatus Open(RegKey parent, std::u16string_view path, std::uint32_t access, bool create,
                 RegKey* key) {
    if (key == nullptr) return kErrorInvalidParameter;
    *key = 0;
    const KeyRef base = Resolve(parent, 0);
    const bool view32 = ViewOf(base, access);
    const auto parts_of = [&] { return InView(base, view32, SplitPath(path)); };
    std::vector<std::u16string> parts;
    if (create || (access & kWriteAccess) != 0) {
      parts = parts_of();
      if (!base.hive->Writable()) return kErrorAccessDenied;
    }
    hive::ResolvedPath found{};
    if (create) {
      const RegStatus status = base.hive->Write([&](sqlite3* db) {
        found = {WalkForWrite(*base.hive, db, base, parts, /*create=*/true), parts.size()};
        return kErrorSuccess;
      });
      if (status != kErrorSuccess) return status;
    } else {
      // The base and the view decide the walk as much as the text does.
      const char view = static_cast<char>((base.is_root ? 2 : 0) | (view32 ? 1 : 0));
      found = base.hive->Read(
          [&](HiveReader& reader) { return reader.Walk(base.id, view, path, parts_of); });
      if (found.id == 0) return kErrorFileNotFound;
    }
    next_handle_ += 4;
    handles_[next_handle_] = {base.hive,
                              view32,
                              base.is_root && found.levels == 0,
                              found.id,
                              access & kAllAccess,
                              base.depth + found.levels};
    *key = next_handle_;
    return kErrorSuccess;
  }

  // Handles on keys that `hive`'s changes created, now undone, answer that the key is deleted.
  void Forsake(Hive& hive) {
    const std::set<sqlite3_int64> created = hive.TakeCreatedInChanges();
    for (auto& [handle, ref] : handles_) {
      if (ref.hive == &hive && created.contains(ref.id)) ref.forsaken = true;
    }
  }

  std::mutex mutex_;
  const std::unique_ptr<Hive> machine_ptr_;
  const std::unique_ptr<Hive> user_ptr_;
  Hive& machine_;
  Hive& user_;
  std::map<RegKey, KeyRef> handles_;
  // The threads in an operation, each with its depth: a few at most, kept without a node each.
  std::vector<std::pair<std::thread::id, int>> operations_;
  RegKey next_handle_ = 0x1000;
};

}  // namespace

std::unique_ptr<RegistryApi> NewSqliteRegistry(const HivePaths& paths) {
  return std::make_unique<SqliteRegistry>(paths);
}

RegStatus BackupHive(const HivePaths& paths, RegKey root, const std::filesystem::path& file) {
  return WithHive(paths, root, [&](Hive& hive) { hive.Backup(file); });
}

RegStatus RestoreHive(const HivePaths& paths, RegKey root, const std::filesystem::path& file) {
  return WithHive(paths, root, [&](Hive& hive) { hive.Restore(file); });
}

std::string HiveLockHolder(const HivePaths& paths, RegKey root) {
  return hive::LockHolder(root == kHkeyCurrentUser ? paths.user : paths.machine);
}

std::unique_ptr<RegistryApi> NewSystemRegistry() { return NewSqliteRegistry(DefaultHivePaths()); }

}  // namespace velmo::platform
