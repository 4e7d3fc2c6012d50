// libFuzzer target: random sequences of registry calls on a fresh store, each checked against an
// in-memory model of the store's rules (a tree of keys; key and value names matched with each
// UTF-16 unit upper-cased alone and keeping their first spelling; values listed in the order
// they were first set; a tree deleted with everything below it; changes begun together kept or
// dropped together; a restore brings back the state backed up). Any difference aborts.
#include <unicode/uchar.h>
#include <unicode/utf16.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/sqlite_registry.h"

namespace {

using namespace velmo::platform;
namespace fs = std::filesystem;

// Names built from pieces that fold alike or nearly alike: ASCII case pairs, a Latin-1 pair,
// letters whose upper case is longer, a Deseret pair outside the first plane, a lone surrogate.
const std::u16string kPieces[] = {
    u"a",      u"A",      u"b",          u"\u00e9",     u"\u00c9",
    u"\u00df", u"\u0149", u"\U00010428", u"\U00010400", std::u16string(1, char16_t{0xD801}),
    u"Key"};

std::u16string Fold(const std::u16string& name) {
  std::u16string out = name;
  for (char16_t& unit : out) {
    if (U16_IS_SURROGATE(unit)) continue;
    const UChar32 upper = u_toupper(unit);
    if (upper <= 0xFFFF) unit = static_cast<char16_t>(upper);
  }
  return out;
}

struct ModelKey {
  std::vector<std::pair<std::u16string, std::string>> values;  // first spelling, data
  std::map<std::u16string, ModelKey> children;                 // by folded name

  std::pair<std::u16string, std::string>* Find(const std::u16string& name) {
    for (auto& value : values) {
      if (Fold(value.first) == Fold(name)) return &value;
    }
    return nullptr;
  }
};

class Input {
 public:
  Input(const std::uint8_t* data, size_t size) : data_(data), size_(size) {}
  bool empty() const { return at_ >= size_; }
  std::uint8_t Byte() { return at_ < size_ ? data_[at_++] : 0; }
  std::u16string Name() {
    std::u16string name;
    for (int n = 1 + Byte() % 2; n > 0; --n) name += kPieces[Byte() % std::size(kPieces)];
    return name;
  }
  std::vector<std::u16string> Path() {
    std::vector<std::u16string> path;
    for (int n = 1 + Byte() % 3; n > 0; --n) path.push_back(Name());
    return path;
  }

 private:
  const std::uint8_t* data_;
  size_t size_;
  size_t at_ = 0;
};

std::u16string Joined(const std::vector<std::u16string>& path) {
  std::u16string joined;
  for (const auto& part : path) joined += (joined.empty() ? u"" : u"\\") + part;
  return joined;
}

[[noreturn]] void Differ(const char* what, RegStatus status) {
  std::fprintf(stderr, "store and model differ: %s (status %d)\n", what, status);
  std::abort();
}

void Expect(bool ok, const char* what, RegStatus status) {
  if (!ok) Differ(what, status);
}

fs::path ScratchDir() {
  const fs::path base = fs::exists("/dev/shm") ? fs::path("/dev/shm") : fs::temp_directory_path();
  return base / ("velmo-fuzz-" + std::to_string(getpid()));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size) {
  const fs::path dir = ScratchDir();
  fs::remove_all(dir);
  const HivePaths paths{dir / "machine.db", dir / "user.db"};
  auto store = NewSqliteRegistry(paths);
  ModelKey root;
  std::optional<ModelKey> before_changes;  // while changes are under way
  std::optional<ModelKey> backed_up;       // what the backup holds
  const fs::path copy = dir / "copy.db";
  Input in(data, size);
  for (int step = 0; step < 64 && !in.empty(); ++step) {
    const std::uint8_t op = in.Byte() % 10;
    const std::vector<std::u16string> path = in.Path();
    ModelKey* key = &root;
    for (const auto& part : path) {
      const auto it = key->children.find(Fold(part));
      key = it == key->children.end() ? nullptr : &it->second;
      if (key == nullptr) break;
    }
    RegKey handle = 0;
    switch (op) {
      case 0: {  // set a value, creating the key
        const std::u16string name = in.Name();
        const std::string bytes(in.Byte() % 5, static_cast<char>(in.Byte()));
        RegStatus status = store->CreateKey(kHkeyCurrentUser, Joined(path), kKeyWrite, &handle);
        Expect(status == kErrorSuccess, "create", status);
        status = store->SetValue(handle, name, kRegBinary,
                                 reinterpret_cast<const std::uint8_t*>(bytes.data()),
                                 static_cast<std::uint32_t>(bytes.size()));
        Expect(status == kErrorSuccess, "set", status);
        ModelKey* at = &root;
        for (const auto& part : path) at = &at->children[Fold(part)];
        if (auto* value = at->Find(name)) {
          value->second = bytes;
        } else {
          at->values.emplace_back(name, bytes);
        }
        break;
      }
      case 1: {  // read a value
        const std::u16string name = in.Name();
        RegStatus status = store->OpenKey(kHkeyCurrentUser, Joined(path), kKeyRead, &handle);
        Expect((status == kErrorSuccess) == (key != nullptr), "open", status);
        if (status != kErrorSuccess) break;
        std::uint8_t buffer[8];
        std::uint32_t length = sizeof buffer;
        status = store->QueryValue(handle, name, nullptr, buffer, &length);
        const auto* value = key->Find(name);
        Expect((status == kErrorSuccess) == (value != nullptr), "query", status);
        if (value != nullptr) {
          Expect(std::string(reinterpret_cast<char*>(buffer), length) == value->second, "data",
                 status);
        }
        break;
      }
      case 2: {  // delete a value
        const std::u16string name = in.Name();
        RegStatus status = store->OpenKey(kHkeyCurrentUser, Joined(path), kKeyWrite, &handle);
        if (status != kErrorSuccess) break;
        status = store->DeleteValue(handle, name);
        auto* value = key->Find(name);
        Expect((status == kErrorSuccess) == (value != nullptr), "delete value", status);
        if (value != nullptr) key->values.erase(key->values.begin() + (value - key->values.data()));
        break;
      }
      case 3: {  // delete a tree
        const RegStatus status = store->DeleteKeyTree(kHkeyCurrentUser, Joined(path), 0);
        Expect((status == kErrorSuccess) == (key != nullptr), "delete tree", status);
        if (key == nullptr) break;
        ModelKey* parent = &root;
        for (size_t i = 0; i + 1 < path.size(); ++i) parent = &parent->children[Fold(path[i])];
        parent->children.erase(Fold(path.back()));
        break;
      }
      case 4: {  // list the values, in order
        RegStatus status = store->OpenKey(kHkeyCurrentUser, Joined(path), kKeyRead, &handle);
        Expect((status == kErrorSuccess) == (key != nullptr), "open to list", status);
        if (status != kErrorSuccess) break;
        std::uint32_t count = 0;
        status = store->QueryInfoKey(handle, &count, nullptr);
        Expect(status == kErrorSuccess && count == key->values.size(), "count", status);
        for (std::uint32_t i = 0;; ++i) {
          char16_t name[16];
          std::uint32_t length = 16;
          status = store->EnumValueName(handle, i, name, &length);
          if (i == key->values.size()) {
            Expect(status == kErrorNoMoreItems, "end of listing", status);
            break;
          }
          Expect(status == kErrorSuccess && std::u16string(name, length) == key->values[i].first,
                 "listed name", status);
        }
        break;
      }
      case 5: {  // open a key that may be missing
        const RegStatus status = store->OpenKey(kHkeyCurrentUser, Joined(path), kKeyRead, &handle);
        Expect((status == kErrorSuccess) == (key != nullptr), "open", status);
        break;
      }
      case 6: {  // begin changes, or commit or abandon them
        if (!before_changes) {
          Expect(store->BeginChanges(), "begin changes", 0);
          before_changes = root;
        } else if (in.Byte() % 2 == 0) {
          const RegStatus status = store->CommitChanges();
          Expect(status == kErrorSuccess, "commit", status);
          before_changes.reset();
        } else {
          store->AbandonChanges();
          root = *std::exchange(before_changes, std::nullopt);
        }
        break;
      }
      case 8: {  // back up the hive; what changes have not committed is not in it
        const RegStatus status = BackupHive(paths, kHkeyCurrentUser, copy);
        // No hive yet, or one made by changes not yet committed: nothing was ever committed.
        const ModelKey& committed = before_changes ? *before_changes : root;
        Expect(status == kErrorSuccess || (status == kErrorFileNotFound &&
                                           committed.children.empty() && committed.values.empty()),
               "backup", status);
        if (status == kErrorSuccess) backed_up = before_changes ? *before_changes : root;
        break;
      }
      case 9: {  // restore the backup; not within changes
        if (!backed_up || before_changes) break;
        const RegStatus status = RestoreHive(paths, kHkeyCurrentUser, copy);
        Expect(status == kErrorSuccess, "restore", status);
        root = *backed_up;
        break;
      }
      default:  // another store over the same files; changes under way go with the old one
        store = NewSqliteRegistry(paths);
        if (before_changes) root = *std::exchange(before_changes, std::nullopt);
    }
    if (handle != 0) store->CloseKey(handle);
  }
  store.reset();
  fs::remove_all(dir);
  return 0;
}
