#include "reg_import.h"

#include "platform/text.h"
#include "reg_file_reader.h"

namespace velmo::tools {

using namespace velmo::platform;

namespace {

std::string StoreError(RegStatus status) {
  switch (status) {
    case kErrorAccessDenied:
      return "access denied";
    case kErrorBadDb:
      return "not a registry hive";
    case kErrorRegistryCorrupt:
      return "damaged";
    case kErrorRegistryIoFailed:
      return "could not read or write the hive (a full disk?)";
    case kErrorBusy:
      return "busy: another process kept it locked too long";
    case kErrorInvalidParameter:
    case kErrorBadPathname:
      return "invalid key path or name";
    default:
      return "registry error " + std::to_string(status);
  }
}

// Ends changes that failed midway, and says what stays of them.
std::string Undone(RegistryApi& registry, bool atomic, std::uint64_t made) {
  if (!atomic) return std::to_string(made) + " changes before it stay made";
  registry.AbandonChanges();
  return "nothing was imported";
}

std::string RootName(RegKey root) {
  return root == kHkeyCurrentUser ? "HKEY_CURRENT_USER" : "HKEY_LOCAL_MACHINE";
}

}  // namespace

ImportResult ImportRegFile(RegistryApi& registry, const std::filesystem::path& file,
                           std::uint32_t view) {
  ImportResult result;
  bool applying = false;
  bool atomic = false;
  try {
    RegFileReader reader(file);
    RegEntry entry;
    bool hives[2] = {false, false};  // touched: user's, machine's
    while (reader.Next(&entry)) {
      if (entry.kind == RegEntry::kKey || entry.kind == RegEntry::kDeleteKey) {
        hives[entry.root == kHkeyLocalMachine] = true;
      }
    }
    for (const RegKey root : {kHkeyCurrentUser, kHkeyLocalMachine}) {
      if (!hives[root == kHkeyLocalMachine]) continue;
      RegKey key = 0;
      const RegStatus status = registry.OpenKey(root, u"", kKeyWrite | view, &key);
      if (status != kErrorSuccess) {
        result.error = RootName(root) + ": " + StoreError(status) + "; nothing was imported";
        return result;
      }
      registry.CloseKey(key);
    }

    reader.Rewind();
    applying = true;
    atomic = registry.BeginChanges();
    RegKey key = 0;
    std::string where;
    auto failed = [&](RegStatus status) {
      if (key != 0) registry.CloseKey(key);
      result.error = file.string() + ":" + std::to_string(entry.line) + ": " + where + ": " +
                     StoreError(status) + "; " + Undone(registry, atomic, result.changes);
      return result;
    };
    while (reader.Next(&entry)) {
      RegStatus status = kErrorSuccess;
      switch (entry.kind) {
        case RegEntry::kKey:
          if (key != 0) registry.CloseKey(key);
          key = 0;
          where = RootName(entry.root) + "\\" + ToUtf8(entry.path);
          status = registry.CreateKey(entry.root, entry.path, kKeyWrite | view, &key);
          break;
        case RegEntry::kDeleteKey:
          if (key != 0) registry.CloseKey(key);
          key = 0;
          status = registry.DeleteKeyTree(entry.root, entry.path, view);
          if (status == kErrorFileNotFound) status = kErrorSuccess;  // as regedit: already gone
          break;
        case RegEntry::kValue:
          status = registry.SetValue(key, entry.name, entry.type,
                                     reinterpret_cast<const std::uint8_t*>(entry.data.data()),
                                     static_cast<std::uint32_t>(entry.data.size()));
          break;
        case RegEntry::kDeleteValue:
          status = registry.DeleteValue(key, entry.name);
          if (status == kErrorFileNotFound) status = kErrorSuccess;
          break;
      }
      if (status != kErrorSuccess) return failed(status);
      ++result.changes;
    }
    if (key != 0) registry.CloseKey(key);
    if (atomic) {
      if (const RegStatus status = registry.CommitChanges(); status != kErrorSuccess) {
        result.error =
            file.string() + ": committing: " + StoreError(status) + "; nothing was imported";
        return result;
      }
    }
    result.ok = true;
  } catch (const RegFileError& error) {
    // Only a file changed between the two readings fails while applying.
    result.error = std::string(error.what()) + "; " +
                   (applying ? Undone(registry, atomic, result.changes) : "nothing was imported");
  }
  return result;
}

}  // namespace velmo::tools
