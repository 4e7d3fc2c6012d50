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
// Sets and returns the directory, ending in "\" or "/", or empty when there is no usable one. An
// unexpected failure empties it and says so in an "ERREUR VELMO" box.
std::u16string LireUser(ApplicationContext& context);

// Stores `path` (given a trailing "\") as "USER" and makes it the current user when that write
// succeeded; then reloads the configuration with the application's file either way. True when
// the write succeeded.
bool EcrireUser(ApplicationContext& context, std::u16string_view path);

// MOLTRAG_EcrireUser: asks `listeners`, switches, empties the parameter cache and tells
// `listeners`. 0 when it completed or was refused, -1 when the user could not be stored or a
// failure interrupted it (before the first initialisation there is no cache to empty). A listener
// that throws from UserChanging interrupts the switch; one that throws from UserChanged changes
// nothing, and the others hear it still.
std::int32_t SwitchUser(ApplicationContext& context, std::u16string_view new_user_path,
                        std::span<UserEvents* const> listeners);

}  // namespace velmo

#endif  // VELMO_USERS_USERS_H_
