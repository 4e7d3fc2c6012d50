// The current user, identified by the user's directory, and switching to another one.
#ifndef VELMO_USERS_USERS_H_
#define VELMO_USERS_USERS_H_

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "context/application_context.h"
#include "velmo/user_events.h"

namespace velmo {

// Finds the user directory at start-up: "USER" under the user's release key; when that is empty,
// the user's then the machine's default under "Software\MOLTRA\Users" (copied into "USER").
// Sets the directory (the context holds it ending in "\") and returns it, one read with "/" at
// its end as it was read; empty when there is no usable one. An unexpected failure empties it
// and says so in an "ERREUR VELMO" box.
std::u16string LireUser(ApplicationContext& context);

// Stores WithTrailingSeparator(`path`) as "USER" and makes it the current user when that write
// succeeded; then reloads the configuration with the application's file either way. True when
// the write succeeded; a failure to allocate reaches the caller.
bool EcrireUser(ApplicationContext& context, std::u16string_view path);

// MOLTRAG_EcrireUser: asks `listeners`, switches, empties the parameter cache and tells
// `listeners`. 0 when it completed or was refused, -1 when the user could not be stored or there
// was no cache to empty (before the first initialisation). A listener that throws from
// UserChanging interrupts the switch (-1); one that throws from UserChanged changes nothing, and
// the others hear it still. Only a failure to allocate reaches the caller.
std::int32_t SwitchUser(ApplicationContext& context, std::u16string_view new_user_path,
                        std::span<UserEvents* const> listeners);

}  // namespace velmo

#endif  // VELMO_USERS_USERS_H_
