#include "users/users.h"

#include <exception>

#include "config/configuration.h"
#include "config/file_system_queries.h"
#include "context/attempt.h"
#include "platform/text.h"
#include "registry/registry_module.h"
#include "registry/settings_keys.h"
#include "registry/version_guard.h"

namespace velmo {
namespace {

using registry::RegReadPath;
using registry::RegRootCurrentUser;
using registry::RegRootLocalMachine;
using registry::RegWriteString;

constexpr char16_t kUsersKey[] = u"Software\\MOLTRA\\Users";

std::u16string DefaultValueName() { return u"User" + std::u16string(kApplication); }

// Makes `dir` the current user when it names a directory; else there is none.
std::u16string Accept(ApplicationContext& context, const std::u16string& dir) {
  if (!FileSystemOf(context).DirectoryExists(dir)) {
    context.directories().SetUser(u"");
    return {};
  }
  context.directories().SetUser(dir);
  return context.directories().user();
}

std::u16string FindUser(ApplicationContext& context) {
  platform::RegistryApi& api = *context.platform.registry;
  const std::u16string release_key = registry::ReleaseKey(context);
  // A "USER" that names a missing directory does not fall back to the defaults.
  std::u16string user = RegReadPath(api, RegRootCurrentUser, release_key, u"USER");
  if (!user.empty()) return Accept(context, user);
  user = RegReadPath(api, RegRootCurrentUser, kUsersKey, DefaultValueName());
  if (user.empty()) user = RegReadPath(api, RegRootLocalMachine, kUsersKey, DefaultValueName());
  if (user.empty()) {
    context.directories().SetUser(u"");
    return {};
  }
  RegWriteString(api, RegRootCurrentUser, release_key, u"USER", user);
  return Accept(context, user);
}

void ShowFailure(ApplicationContext& context, std::u16string_view description) {
  context.directories().SetUser(u"");
  if (context.platform.message_box) {
    context.platform.message_box->Show(u"LireUser\r\n" + std::u16string(description),
                                       u"ERREUR VELMO", platform::MessageIcon::kStop);
  }
}

}  // namespace

std::u16string LireUser(ApplicationContext& context) {
  if (registry::VersionUndefined(context, u"LireUser")) return {};
  // The registry or the file-system object failing is said in a box, with its description.
  try {
    return FindUser(context);
  } catch (const std::exception& e) {
    ShowFailure(context, platform::FromUtf8(e.what()));
  } catch (...) {
    ShowFailure(context, u"unknown failure");
  }
  return {};
}

bool EcrireUser(ApplicationContext& context, std::u16string_view path) {
  if (registry::VersionUndefined(context, u"EcrireUser")) return false;
  const std::u16string stored = WithTrailingSeparator(path);
  const bool written = RegWriteString(*context.platform.registry, RegRootCurrentUser,
                                      registry::ReleaseKey(context), u"USER", stored);
  if (written) context.directories().SetUser(stored);
  LoadCFG(context, /*merge=*/true);
  return written;
}

std::int32_t SwitchUser(ApplicationContext& context, std::u16string_view new_user_path,
                        std::span<UserEvents* const> listeners) {
  bool cancel = false;
  // A listener that throws from UserChanging interrupts the switch.
  if (!Attempt([&] {
        for (UserEvents* listener : listeners) listener->UserChanging(new_user_path, cancel);
      })) {
    return -1;
  }
  if (cancel) return 0;

  const std::u16string old_user = context.directories().user();
  // A failure within the store's write stops it alone; the switch goes on with the old user.
  bool stored = false;
  Attempt([&] { stored = EcrireUser(context, new_user_path); });
  if (!context.cache().Clear()) return -1;  // before the first start-up there is none
  const std::u16string new_user = context.directories().user();
  // The switch is done: a listener that fails to take the news keeps it from no one else.
  for (UserEvents* listener : listeners) {
    Attempt([&] { listener->UserChanged(old_user, new_user); });
  }
  // A switch whose user could not be stored is not a success, though the rest of it happened.
  return stored ? 0 : -1;
}

}  // namespace velmo
