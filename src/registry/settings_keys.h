// Where the add-in keeps its named settings: interface values and security values under the
// release key, each in the user's hive and in the machine hive. Reads look in the user's hive
// first and copy a machine value into it the first time; so a machine-wide value reaches each
// user once, and later machine changes are not seen by a user who already has a copy.
//
// The registry's failures end in "" or false, as the registry module's do; a failure to allocate
// reaches the caller.
#ifndef VELMO_REGISTRY_SETTINGS_KEYS_H_
#define VELMO_REGISTRY_SETTINGS_KEYS_H_

#include <string>
#include <string_view>

#include "context/application_context.h"

namespace velmo::registry {

// "SOFTWARE\MOLTRA\VELMO_SW2\VELMO_SW2 " + the context's release, built afresh at each call.
std::u16string ReleaseKey(const ApplicationContext& context);
std::u16string InterfaceKey(const ApplicationContext& context);  // + "\Interface"
std::u16string SettingsKey(const ApplicationContext& context);   // + "\Settings"

std::u16string RegReadInterfaceValue_(ApplicationContext& context, std::u16string_view name);

// The user's hive only; the machine hive is never written.
bool RegWriteInterfaceValue_(ApplicationContext& context, std::u16string_view name,
                             std::u16string_view value);

std::u16string RegReadSecurityValue_(ApplicationContext& context, std::u16string_view name);

// Both hives; true only when both copies were stored (a failed user copy would go on shadowing
// the machine value).
bool RegWriteSecurityValue_(ApplicationContext& context, std::u16string_view name,
                            std::u16string_view value);

// Seeds the user's interface values from the machine's settings key, never overwriting a value
// the user already has.
void UpdateRegistre(ApplicationContext& context);

}  // namespace velmo::registry

#endif  // VELMO_REGISTRY_SETTINGS_KEYS_H_
