#include "velmo/moltra_global_class.h"

#include "config/configuration.h"
#include "context/application_context.h"
#include "context/startup.h"
#include "platform/text.h"
#include "registry/settings_keys.h"
#include "users/users.h"

namespace velmo {
namespace {

// Runs a member's work; any failure gives the member's fallback. The one place a member's
// failure becomes its fallback: the core below lets what it cannot answer for reach here. A
// setter's fallback is to stop where the failure occurred.
template <typename Result, typename Work>
Result Trapped(Result fallback, Work&& work) {
  try {
    return work(CurrentContext());
  } catch (...) {
    return fallback;
  }
}

template <typename Work>
void Stopped(Work&& work) {
  Trapped(0, [&](ApplicationContext& c) {
    work(c);
    return 0;
  });
}

}  // namespace

std::int32_t MOLTRAGlobalClass::MOLTRAG_Init(std::u16string_view VersionStr) {
  return Trapped<std::int32_t>(
      -1, [&](ApplicationContext& c) { return velmo::MOLTRAG_Init(c, VersionStr); });
}

std::int32_t MOLTRAGlobalClass::MOLTRAG_Close() {
  return Trapped<std::int32_t>(-1, [](ApplicationContext& c) { return velmo::MOLTRAG_Close(c); });
}

std::int32_t MOLTRAGlobalClass::MOLTRAG_EcrireUser(std::u16string_view NewUserPath) {
  if (platform::HoldsNul(NewUserPath)) return -1;
  return Trapped<std::int32_t>(-1, [&](ApplicationContext& c) {
    // A listener may disconnect while it is told; the ones connected at the start hear both.
    std::vector<std::shared_ptr<UserEvents>> held;
    std::vector<UserEvents*> listeners;
    for (const auto& [cookie, listener] : listeners_) {
      held.push_back(listener);
      listeners.push_back(listener.get());
    }
    return SwitchUser(c, NewUserPath, listeners);
  });
}

std::u16string MOLTRAGlobalClass::MOLTRAG_GetServicePack() {
  return Trapped<std::u16string>(
      {}, [](ApplicationContext& c) { return velmo::MOLTRAG_GetServicePack(c); });
}

bool MOLTRAGlobalClass::MOLTRAG_IsDebug() {
  return Trapped(false, [](ApplicationContext& c) { return velmo::MOLTRAG_IsDebug(c); });
}

std::u16string MOLTRAGlobalClass::RegReadInterfaceValue(std::u16string_view ValueName) {
  if (platform::HoldsNul(ValueName)) return {};
  return Trapped<std::u16string>(
      {}, [&](ApplicationContext& c) { return registry::RegReadInterfaceValue_(c, ValueName); });
}

bool MOLTRAGlobalClass::RegWriteInterfaceValue(std::u16string_view ValueName,
                                               std::u16string_view Value) {
  if (platform::HoldsNul(ValueName)) return false;
  return Trapped(false, [&](ApplicationContext& c) {
    return registry::RegWriteInterfaceValue_(c, ValueName, Value);
  });
}

std::u16string MOLTRAGlobalClass::UserPath() const { return velmo::UserPath(CurrentContext()); }
std::u16string MOLTRAGlobalClass::AppPath() const { return velmo::AppPath(CurrentContext()); }
std::u16string MOLTRAGlobalClass::RepBase() const { return velmo::RepBase(CurrentContext()); }
std::u16string MOLTRAGlobalClass::User() const { return velmo::User(CurrentContext()); }
std::u16string MOLTRAGlobalClass::Version() const { return velmo::Version(CurrentContext()); }
std::u16string MOLTRAGlobalClass::Application() const { return velmo::Application(); }
std::int32_t MOLTRAGlobalClass::Langue() const { return velmo::Langue(CurrentContext()); }

std::shared_ptr<ConfigDocument> MOLTRAGlobalClass::VelmoCFG() {
  return Trapped<std::shared_ptr<ConfigDocument>>(
      nullptr, [](ApplicationContext& c) { return GetVelmoCFG(c); });
}

void MOLTRAGlobalClass::SetVelmoCFG(std::shared_ptr<ConfigDocument>& CFG) {
  Stopped([&](ApplicationContext& c) { velmo::SetVelmoCFG(c, CFG); });
}

std::shared_ptr<ConfigDocument> MOLTRAGlobalClass::GeometrieDat() {
  return Trapped<std::shared_ptr<ConfigDocument>>(
      nullptr, [](ApplicationContext& c) { return GetGeometrieDat(c); });
}

void MOLTRAGlobalClass::SetLangue(std::int32_t& lang) {
  Stopped([&](ApplicationContext& c) { velmo::SetLangue(c, lang); });
}

std::u16string MOLTRAGlobalClass::RegReadSecurityValue(std::u16string_view ValueName) {
  if (platform::HoldsNul(ValueName)) return {};
  return Trapped<std::u16string>(
      {}, [&](ApplicationContext& c) { return registry::RegReadSecurityValue_(c, ValueName); });
}

bool MOLTRAGlobalClass::RegWriteSecurityValue(std::u16string_view ValueName,
                                              std::u16string_view Value) {
  if (platform::HoldsNul(ValueName)) return false;
  return Trapped(false, [&](ApplicationContext& c) {
    return registry::RegWriteSecurityValue_(c, ValueName, Value);
  });
}

std::int32_t MOLTRAGlobalClass::MOLTRAG_GetPP(std::u16string_view nomPP,
                                              std::shared_ptr<PPDocument>& PP) {
  if (platform::HoldsNul(nomPP)) {
    PP.reset();
    return -1;
  }
  const std::int32_t status = Trapped<std::int32_t>(
      -1, [&](ApplicationContext& c) { return velmo::MOLTRAG_GetPP(c, nomPP, PP); });
  if (status != 0) PP.reset();
  return status;
}

MOLTRAGlobalClass::Cookie MOLTRAGlobalClass::Advise(std::shared_ptr<UserEvents> listener) {
  if (!listener) return 0;
  const Cookie cookie = next_cookie_++;
  listeners_.emplace_back(cookie, std::move(listener));
  return cookie;
}

bool MOLTRAGlobalClass::Unadvise(Cookie cookie) {
  for (auto it = listeners_.begin(); it != listeners_.end(); ++it) {
    if (it->first == cookie) {
      listeners_.erase(it);
      return true;
    }
  }
  return false;
}

}  // namespace velmo
