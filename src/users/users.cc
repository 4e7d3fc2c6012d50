#include "users/users.h"

#include <exception>
#include <stdexcept>

#include "config/configuration.h"
#include "config/file_system_queries.h"
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

std::u16string WithSeparator(std::u16string path) {
  if (path.empty() || (path.back() != u'\\' && path.back() != u'/')) path += u'\\';
  return path;
}

std::u16string Describe(std::exception_ptr failure) {
  try {
    std::rethrow_exception(failure);
  } catch (const std::exception& e) {
    return platform::FromUtf8(e.what());
  } catch (...) {
    return u"unknown failure";
  }
}

}  // namespace

std::u16string LireUser(ApplicationContext& context) {
  if (registry::VersionUndefined(context, u"LireUser")) return {};
  try {
    platform::RegistryApi& api = *context.platform.registry;
    const std::u16string release_key = registry::ReleaseKey(context);
    context.user_path = RegReadPath(api, RegRootCurrentUser, release_key, u"USER");
    if (!context.user_path.empty()) {
      // A "USER" that names a missing directory does not fall back to the defaults.
      if (!FileSystemOf(context).DirectoryExists(context.user_path)) {
        context.user_path.clear();
        return {};
      }
      context.user_path = WithSeparator(context.user_path);
      return context.user_path;
    }
    context.user_path = RegReadPath(api, RegRootCurrentUser, kUsersKey, DefaultValueName());
    if (context.user_path.empty()) {
      context.user_path = RegReadPath(api, RegRootLocalMachine, kUsersKey, DefaultValueName());
    }
    if (context.user_path.empty()) return {};
    RegWriteString(api, RegRootCurrentUser, release_key, u"USER", context.user_path);
    if (!FileSystemOf(context).DirectoryExists(context.user_path)) {
      context.user_path.clear();
      return {};
    }
    context.user_path = WithSeparator(context.user_path);
    return context.user_path;
  } catch (...) {
    const std::u16string description = Describe(std::current_exception());
    context.user_path.clear();
    if (context.platform.message_box) {
      context.platform.message_box->Show(u"LireUser\r\n" + description, u"ERREUR VELMO",
                                         platform::MessageIcon::kStop);
    }
    return {};
  }
}

bool EcrireUser(ApplicationContext& context, std::u16string_view path) {
  if (registry::VersionUndefined(context, u"EcrireUser")) return false;
  try {
    std::u16string stored(path);
    if (stored.empty() || stored.back() != u'\\') stored += u'\\';  // only "\" counts here
    const bool written = RegWriteString(*context.platform.registry, RegRootCurrentUser,
                                        registry::ReleaseKey(context), u"USER", stored);
    if (written) context.user_path = stored;
    LoadCFG(context, /*merge=*/true);
    return written;
  } catch (...) {
    return false;
  }
}

std::int32_t SwitchUser(ApplicationContext& context, std::u16string_view new_user_path,
                        std::span<UserEvents* const> listeners) {
  try {
    bool cancel = false;
    for (UserEvents* listener : listeners) listener->UserChanging(new_user_path, cancel);
    if (cancel) return 0;

    const std::u16string old_user = context.user_path;
    const bool stored = EcrireUser(context, new_user_path);
    if (!context.pp_cache) throw std::logic_error("the parameter cache does not exist yet");
    for (auto& slot : *context.pp_cache) slot.reset();
    const std::u16string new_user = context.user_path;
    // The switch is done: a listener that fails to take the news keeps it from no one else.
    for (UserEvents* listener : listeners) {
      try {
        listener->UserChanged(old_user, new_user);
      } catch (...) {
      }
    }
    // A switch whose user could not be stored is not a success, though the rest of it happened.
    return stored ? 0 : -1;
  } catch (...) {
    return -1;
  }
}

}  // namespace velmo
