#include "key_reader.h"

#include <sqlite3.h>

#include <algorithm>
#include <memory>

#include "platform/sqlite_hive.h"
#include "platform/text.h"

namespace velmo::tools {

using namespace velmo::platform;

namespace {

// The hive layout this reader knows (application_id and user_version of the hive file).
constexpr int kApplicationId = 1447841103;
constexpr int kSchemaVersion = 1;

struct CloseDb {
  void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
};
struct Finalize {
  void operator()(sqlite3_stmt* stmt) const { sqlite3_finalize(stmt); }
};
using Db = std::unique_ptr<sqlite3, CloseDb>;
using Stmt = std::unique_ptr<sqlite3_stmt, Finalize>;

Stmt Prepare(sqlite3* db, const char* sql) {
  sqlite3_stmt* stmt = nullptr;
  if (sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr) != SQLITE_OK) {
    sqlite3_finalize(stmt);
    return nullptr;
  }
  return Stmt(stmt);
}

int PragmaInt(sqlite3* db, const char* sql) {
  Stmt stmt = Prepare(db, sql);
  return stmt && sqlite3_step(stmt.get()) == SQLITE_ROW ? sqlite3_column_int(stmt.get(), 0) : -1;
}

std::vector<std::u16string> Split(std::u16string_view path) {
  std::vector<std::u16string> parts;
  if (!path.empty() && path.back() == u'\\') path.remove_suffix(1);
  size_t start = 0;
  while (!path.empty()) {
    const size_t end = path.find(u'\\', start);
    parts.emplace_back(path.substr(start, end - start));
    if (end == std::u16string_view::npos) break;
    start = end + 1;
  }
  return parts;
}

bool SameName(std::u16string_view a, std::u16string_view b) { return ToUpper(a) == ToUpper(b); }

}  // namespace

RegStatus ReadValue(RegistryApi& registry, RegKey key, std::u16string_view name, Value* value) {
  value->name = name;
  std::uint32_t size = 0;
  RegStatus status = registry.QueryValue(key, name, &value->type, nullptr, &size);
  while (status == kErrorSuccess || status == kErrorMoreData) {
    value->data.resize(size);
    status = registry.QueryValue(key, name, &value->type,
                                 reinterpret_cast<std::uint8_t*>(value->data.data()), &size);
    if (status == kErrorSuccess) value->data.resize(size);
    if (status != kErrorMoreData) break;  // grown meanwhile: ask again
  }
  return status;
}

RegStatus KeyReader::Values(RegKey root, std::u16string_view path, std::uint32_t view,
                            std::vector<Value>* values) {
  values->clear();
  RegKey key = 0;
  RegStatus status = registry_.OpenKey(root, path, kKeyRead | view, &key);
  if (status != kErrorSuccess) return status;
  std::uint32_t count = 0;
  std::uint32_t longest = 0;
  status = registry_.QueryInfoKey(key, &count, &longest);
  std::u16string name(longest + 1, u'\0');
  for (std::uint32_t index = 0; status == kErrorSuccess; ++index) {
    std::uint32_t length = static_cast<std::uint32_t>(name.size());
    status = registry_.EnumValueName(key, index, name.data(), &length);
    if (status == kErrorMoreData) {  // a longer name arrived since the count was taken
      name.resize(name.size() * 2 + 256);
      --index;
      status = kErrorSuccess;
      continue;
    }
    if (status != kErrorSuccess) break;
    Value value;
    const std::u16string value_name(name.data(), length);
    // One deleted since the listing began is left out.
    if (ReadValue(registry_, key, value_name, &value) == kErrorSuccess) {
      values->push_back(std::move(value));
    }
  }
  registry_.CloseKey(key);
  return status == kErrorNoMoreItems ? kErrorSuccess : status;
}

RegStatus KeyReader::Subkeys(RegKey root, std::u16string_view path, std::uint32_t view,
                             std::vector<std::u16string>* names) {
  names->clear();
  RegKey key = 0;
  const RegStatus status = registry_.OpenKey(root, path, kKeyRead | view, &key);
  if (status != kErrorSuccess) return status;
  registry_.CloseKey(key);

  const bool machine = root == kHkeyLocalMachine;
  const std::filesystem::path& file = machine ? paths_.machine : paths_.user;
  sqlite3* raw = nullptr;
  const int rc = sqlite3_open_v2(file.c_str(), &raw, SQLITE_OPEN_READONLY, nullptr);
  Db db(raw);
  if (rc != SQLITE_OK) {
    // The key opened, so a missing file is a hive with nothing but its root.
    return std::filesystem::exists(file) ? kErrorBadDb : kErrorSuccess;
  }
  sqlite3_busy_timeout(db.get(), 15000);
  if (PragmaInt(db.get(), "PRAGMA user_version") == 0 &&
      PragmaInt(db.get(), "SELECT count(*) FROM sqlite_schema") == 0) {
    return kErrorSuccess;  // an empty file: the root only
  }
  if (PragmaInt(db.get(), "PRAGMA application_id") != kApplicationId ||
      PragmaInt(db.get(), "PRAGMA user_version") != kSchemaVersion) {
    return kErrorBadDb;
  }

  // The store's own rule: from the 32-bit view's root, SOFTWARE stands for SOFTWARE\WOW6432Node.
  std::vector<std::u16string> parts = Split(path);
  if (machine && (view & kKeyWow64_32Key) != 0 && !parts.empty() &&
      SameName(parts[0], u"SOFTWARE") &&
      !(parts.size() > 1 && SameName(parts[1], u"WOW6432Node"))) {
    parts.insert(parts.begin() + 1, u"WOW6432Node");
  }
  Stmt begin = Prepare(db.get(), "BEGIN");
  if (!begin || sqlite3_step(begin.get()) != SQLITE_DONE) return kErrorRegistryIoFailed;
  Stmt child = Prepare(db.get(), "SELECT id FROM keys WHERE parent = ?1 AND fold = ?2");
  Stmt children = Prepare(db.get(), "SELECT name FROM keys WHERE parent = ?1");
  if (!child || !children) return kErrorBadDb;
  sqlite3_int64 id = hive::kRootKeyId;
  for (const std::u16string& part : parts) {
    const std::string fold = hive::Fold(part);
    sqlite3_reset(child.get());
    sqlite3_bind_int64(child.get(), 1, id);
    sqlite3_bind_blob(child.get(), 2, fold.data(), static_cast<int>(fold.size()), SQLITE_TRANSIENT);
    if (sqlite3_step(child.get()) != SQLITE_ROW) return kErrorFileNotFound;  // deleted meanwhile
    id = sqlite3_column_int64(child.get(), 0);
  }
  sqlite3_bind_int64(children.get(), 1, id);
  int step = SQLITE_ROW;
  while ((step = sqlite3_step(children.get())) == SQLITE_ROW) {
    const auto* text = static_cast<const char16_t*>(sqlite3_column_text16(children.get(), 0));
    const int bytes = sqlite3_column_bytes16(children.get(), 0);
    names->emplace_back(text == nullptr ? u"" : std::u16string(text, bytes / 2));
  }
  if (step != SQLITE_DONE) return kErrorRegistryIoFailed;
  std::vector<std::pair<std::u16string, std::u16string>> sorted;
  for (std::u16string& name : *names) sorted.emplace_back(ToUpper(name), std::move(name));
  std::sort(sorted.begin(), sorted.end());
  names->clear();
  for (auto& [upper, name] : sorted) names->push_back(std::move(name));
  return kErrorSuccess;
}

}  // namespace velmo::tools
