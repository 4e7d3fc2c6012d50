#include "explain.h"

#include <vector>

#include "platform/text.h"
#include "registry/registry_module.h"
#include "registry/settings_keys.h"

namespace velmo::tools {

using namespace velmo::platform;
using registry::RegRootCurrentUser;
using registry::RegRootLocalMachine;

namespace {

std::string Quote(const std::u16string& text) { return "\"" + ToUtf8(text) + "\""; }

// Whether the machine key opens in the 32-bit view, the first place the library looks; and
// whether the value is there.
struct MachineLook {
  RegStatus open_status = kErrorSuccess;
  bool key_opens = false;
  bool has_value = false;
};

MachineLook LookInMachine(RegistryApi& api, const std::u16string& key, const std::u16string& name) {
  MachineLook look;
  RegKey handle = 0;
  look.open_status = api.OpenKey(kHkeyLocalMachine, key, kKeyRead | kKeyWow64_32Key, &handle);
  if (look.open_status != kErrorSuccess) return look;
  look.key_opens = true;
  std::uint32_t size = 0;
  look.has_value = api.QueryValue(handle, name, nullptr, nullptr, &size) == kErrorSuccess;
  api.CloseKey(handle);
  return look;
}

}  // namespace

const char* FamilyName(Family family) {
  return family == Family::kInterface ? "interface" : "setting";
}

std::u16string FamilyKey(const ApplicationContext& context, Family family) {
  return family == Family::kInterface ? registry::InterfaceKey(context)
                                      : registry::SettingsKey(context);
}

void Explain(ApplicationContext& context, Family family, const std::u16string& name,
             std::ostream& out) {
  RegistryApi& api = *context.platform.registry;
  const std::u16string key = FamilyKey(context, family);
  const std::string user_key = "HKCU\\" + ToUtf8(key);
  const std::string machine_key = "HKLM\\" + ToUtf8(key) + " (32-bit view)";
  const std::string shown_name = ToUtf8(name);
  const MachineLook machine = LookInMachine(api, key, name);
  const std::u16string machine_value =
      machine.has_value ? registry::RegReadString(api, RegRootLocalMachine, key, name) : u"";

  const bool in_user = registry::RegValueExists(api, RegRootCurrentUser, key, name);
  const std::u16string user_value =
      in_user ? registry::RegReadString(api, RegRootCurrentUser, key, name) : u"";
  out << FamilyName(family) << " value " << Quote(name) << "\n";
  if (in_user) {
    out << "  read now:  " << Quote(user_value) << "\n  from:      the user's hive\n";
  } else if (machine.has_value) {
    out << "  read now:  " << Quote(machine_value) << "\n"
        << "  from:      the machine hive; this read copies it into the user's hive\n";
  } else {
    out << "  read now:  \"\" (nothing is stored)\n  from:      nowhere\n";
  }
  out << "  user:      " << (in_user ? Quote(user_value) + " in " : "no value in ") << user_key
      << "\n  machine:   ";
  if (!machine.key_opens) {
    out << machine_key
        << (machine.open_status == kErrorFileNotFound ? " does not exist"
            : machine.open_status == kErrorAccessDenied
                ? " may not be read"
                : " cannot be opened (registry error " + std::to_string(machine.open_status) + ")")
        << ";\n             the user's hive stands in for it when the library asks whether the "
           "value exists\n";
  } else {
    out << (machine.has_value ? Quote(machine_value) + " in " : "no value in ") << machine_key
        << "\n";
  }
  if (in_user && machine.has_value && machine_value != user_value) {
    out << "  The user's copy, made when the value was first read, shadows the machine's value.\n"
        << "  'velmoctl " << FamilyName(family) << " forget " << shown_name
        << "' deletes the user's copy only and lets the machine's value through.\n";
  } else if (!in_user && machine.has_value) {
    out << "  Once copied, later changes on the machine do not reach this user.\n";
  }
  if (family == Family::kInterface) {
    // A first start-up seeds a user's interface values from the machine's settings key.
    const std::u16string settings = registry::SettingsKey(context);
    std::vector<std::u16string> names;
    std::int32_t count = 0;
    if (registry::RegEnumValueNames(api, RegRootLocalMachine, settings, names, count)) {
      for (std::int32_t i = 0; i < count && i < static_cast<std::int32_t>(names.size()); ++i) {
        if (ToUpper(names[i]) != ToUpper(name)) continue;
        out << "  The start-up that first writes the machine's \"PATH\" also copies the "
               "machine's setting\n  "
            << Quote(registry::RegReadString(api, RegRootLocalMachine, settings, name))
            << " (HKLM\\" << ToUtf8(settings)
            << ") into the user's interface values if the user has none.\n";
        break;
      }
    }
  }
}

bool Forget(ApplicationContext& context, Family family, const std::u16string& name,
            std::ostream& out, std::ostream& err) {
  RegistryApi& api = *context.platform.registry;
  const std::u16string key = FamilyKey(context, family);
  const std::string where = "HKCU\\" + ToUtf8(key);
  RegKey handle = 0;
  RegStatus status = api.OpenKey(kHkeyCurrentUser, key, kKeyWrite, &handle);
  if (status == kErrorSuccess) {
    status = api.DeleteValue(handle, name);
    api.CloseKey(handle);
  }
  if (status == kErrorFileNotFound) {
    err << "velmoctl: the user has no copy of " << ToUtf8(name) << " in " << where << "\n";
    return false;
  }
  if (status != kErrorSuccess) {
    err << "velmoctl: " << where << " " << ToUtf8(name) << ": registry error " << status << "\n";
    return false;
  }
  out << "deleted the user's copy of " << ToUtf8(name) << " in " << where << "\n";
  return true;
}

}  // namespace velmo::tools
