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

// What stands after the commit of `failed` failed, with `made` changes per hive (the user's,
// the machine's): the user's hive is committed first.
std::string Committed(RegKey failed, const std::uint64_t (&made)[2]) {
  if (failed != kHkeyLocalMachine || made[0] == 0) return "nothing was imported";
  return "the " + std::to_string(made[0]) + " changes to HKEY_CURRENT_USER stand, none of the " +
         std::to_string(made[1]) + " to HKEY_LOCAL_MACHINE";
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
    std::uint64_t made[2] = {0, 0};  // changes to the user's hive, to the machine's
    bool machine = false;            // the hive of the key the lines now change
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
          machine = entry.root == kHkeyLocalMachine;
          status = registry.CreateKey(entry.root, entry.path, kKeyWrite | view, &key);
          break;
        case RegEntry::kDeleteKey:
          if (key != 0) registry.CloseKey(key);
          key = 0;
          machine = entry.root == kHkeyLocalMachine;
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
      ++made[machine];
    }
    if (key != 0) registry.CloseKey(key);
    if (atomic) {
      RegKey failed_root = 0;
      if (const RegStatus status = registry.CommitChanges(&failed_root); status != kErrorSuccess) {
        // Each hive is a transaction of its own: one may stand when the other's commit failed.
        result.error = file.string() + ": committing " +
                       (failed_root != 0 ? RootName(failed_root) : std::string("the changes")) +
                       ": " + StoreError(status) + "; " + Committed(failed_root, made);
        result.changes = failed_root == kHkeyLocalMachine ? made[0] : 0;
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
