#include "registry/settings_keys.h"

#include <vector>

#include "registry/registry_module.h"
#include "registry/version_guard.h"

namespace velmo::registry {
namespace {

std::u16string ReadWithMachineDefault(ApplicationContext& context, const std::u16string& key,
                                      std::u16string_view name) {
  RegistryApi& api = *context.platform.registry;
  // Two existence tests, a read and perhaps a copy: one operation for the store.
  const platform::OperationScope operation(api);
  if (RegValueExists(api, RegRootCurrentUser, key, name)) {
    return RegReadString(api, RegRootCurrentUser, key, name);
  }
  if (RegValueExists(api, RegRootLocalMachine, key, name)) {
    std::u16string text = RegReadString(api, RegRootLocalMachine, key, name);
    RegCopyValue(api, RegRootLocalMachine, key, name, RegRootCurrentUser, key);
    return text;
  }
  return {};
}

}  // namespace

std::u16string ReleaseKey(const ApplicationContext& context) {
  return u"SOFTWARE\\MOLTRA\\" + std::u16string(kApplication) + u"\\" +
         std::u16string(kApplication) + u" " + context.version_info().release();
}

std::u16string InterfaceKey(const ApplicationContext& context) {
  return ReleaseKey(context) + u"\\Interface";
}

std::u16string SettingsKey(const ApplicationContext& context) {
  return ReleaseKey(context) + u"\\Settings";
}

std::u16string RegReadInterfaceValue_(ApplicationContext& context, std::u16string_view name) {
  if (VersionUndefined(context, u"RegReadInterfaceValue_")) return {};
  return ReadWithMachineDefault(context, InterfaceKey(context), name);
}

bool RegWriteInterfaceValue_(ApplicationContext& context, std::u16string_view name,
                             std::u16string_view value) {
  if (VersionUndefined(context, u"RegWriteInterfaceValue_")) return false;
  return RegWriteString(*context.platform.registry, RegRootCurrentUser, InterfaceKey(context), name,
                        value);
}

std::u16string RegReadSecurityValue_(ApplicationContext& context, std::u16string_view name) {
  if (VersionUndefined(context, u"RegReadSecurityValue_")) return {};
  return ReadWithMachineDefault(context, SettingsKey(context), name);
}

bool RegWriteSecurityValue_(ApplicationContext& context, std::u16string_view name,
                            std::u16string_view value) {
  if (VersionUndefined(context, u"RegWriteSecurityValue_")) return false;
  RegistryApi& api = *context.platform.registry;
  const std::u16string key = SettingsKey(context);
  const bool user = RegWriteString(api, RegRootCurrentUser, key, name, value);
  const bool machine = RegWriteString(api, RegRootLocalMachine, key, name, value);
  return user && machine;
}

void UpdateRegistre(ApplicationContext& context) {
  if (VersionUndefined(context, u"UpdateRegistre")) return;
  RegistryApi& api = *context.platform.registry;
  const platform::OperationScope operation(api);
  const std::u16string settings = SettingsKey(context);
  const std::u16string interface_key = InterfaceKey(context);
  std::vector<std::u16string> names;
  std::int32_t count = 0;
  RegEnumValueNames(api, RegRootLocalMachine, settings, names, count);
  for (std::int32_t i = 0; i < count && static_cast<size_t>(i) < names.size(); ++i) {
    if (RegValueExists(api, RegRootCurrentUser, interface_key, names[i])) continue;
    RegWriteString(api, RegRootCurrentUser, interface_key, names[i],
                   RegReadString(api, RegRootLocalMachine, settings, names[i]));
  }
}

}  // namespace velmo::registry
