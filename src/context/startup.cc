#include "context/startup.h"

#include <charconv>
#include <cmath>
#include <limits>

#include "config/configuration.h"
#include "config/parameter_cache.h"
#include "context/attempt.h"
#include "registry/registry_module.h"
#include "registry/settings_keys.h"
#include "registry/version_guard.h"
#include "users/users.h"

namespace velmo {
namespace {

using registry::RegRootLocalMachine;

bool IsBlank(char16_t c) { return c == u' ' || c == u'\t'; }
bool IsDigit(char16_t c) { return c >= u'0' && c <= u'9'; }

void ReadLanguage(ApplicationContext& context) {
  const std::u16string text = registry::RegReadInterfaceValue_(context, u"Langue");
  if (text.empty()) {
    context.SetLangue(1);
    registry::RegWriteInterfaceValue_(context, u"Langue", u"1");
    return;
  }
  // Not a number: the language is 1 and the text stays as it is.
  context.SetLangue(ParseLangue(text).value_or(1));
  if (context.langue() < 1) {
    context.SetLangue(1);
    registry::RegWriteInterfaceValue_(context, u"Langue", u"1");
  }
}

// The application directory as the release key gives it, or on a first run as the installer
// left it (then written under the release key).
std::u16string FindAppPath(ApplicationContext& context) {
  platform::RegistryApi& api = *context.platform.registry;
  const std::u16string release_key = registry::ReleaseKey(context);
  std::u16string app_path;
  if (registry::RegValueExists(api, RegRootLocalMachine, release_key, u"PATH")) {
    app_path = registry::RegReadPath(api, RegRootLocalMachine, release_key, u"PATH");
  }
  // An empty "PATH" counts as missing, and is never written: it would hide PathVELMO_SW2 for
  // good, and an installation that sets that later would never start.
  if (app_path.empty()) {
    app_path = registry::RegReadPath(api, RegRootLocalMachine, u"SOFTWARE\\MOLTRA\\USERS",
                                     u"Path" + std::u16string(kApplication));
    if (!app_path.empty() &&
        registry::RegWriteString(api, RegRootLocalMachine, release_key, u"PATH", app_path)) {
      registry::UpdateRegistre(context);
    }
  }
  return app_path;
}

}  // namespace

std::optional<std::int32_t> ParseLangue(std::u16string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  bool negative = false;
  if (!text.empty() && (text.front() == u'+' || text.front() == u'-')) {
    negative = text.front() == u'-';
    text.remove_prefix(1);
  }
  const size_t point = text.find(u'.');
  std::u16string_view whole = text.substr(0, point);
  std::u16string_view fraction =
      point == std::u16string_view::npos ? std::u16string_view() : text.substr(point + 1);
  if (whole.empty() && fraction.empty()) return std::nullopt;
  for (char16_t c : whole) {
    if (!IsDigit(c)) return std::nullopt;
  }
  for (char16_t c : fraction) {
    if (!IsDigit(c)) return std::nullopt;
  }
  while (whole.size() > 1 && whole.front() == u'0') whole.remove_prefix(1);
  if (whole.size() > 10) return std::nullopt;
  std::int64_t magnitude = 0;
  for (char16_t c : whole) magnitude = magnitude * 10 + (c - u'0');

  // Halves go to the even neighbour; anything past a half goes up.
  if (!fraction.empty()) {
    const int first = fraction.front() - u'0';
    const bool beyond_half =
        fraction.substr(1).find_first_not_of(u'0') != std::u16string_view::npos;
    if (first > 5 || (first == 5 && (beyond_half || magnitude % 2 == 1))) ++magnitude;
  }
  const std::int64_t value = negative ? -magnitude : magnitude;
  if (value < std::numeric_limits<std::int32_t>::min() ||
      value > std::numeric_limits<std::int32_t>::max()) {
    return std::nullopt;
  }
  return static_cast<std::int32_t>(value);
}

std::u16string NumberToText(double value, std::int32_t decimals) {
  if (!std::isfinite(value)) return {};
  double rounded = value;
  if (decimals >= 0) {
    const double scale = std::pow(10.0, decimals);
    const double half = value > 0 ? 0.5 : (value < 0 ? -0.5 : 0.0);
    rounded = std::trunc(value * scale + half) / scale;
  }
  char buffer[400];
  const auto result =
      std::to_chars(buffer, buffer + sizeof buffer, std::fabs(rounded), std::chars_format::fixed);
  std::string text(buffer, result.ptr);
  if (const size_t point = text.find('.'); point != std::string::npos) {
    while (text.back() == '0') text.pop_back();
    if (text.back() == '.') text.pop_back();
    if (decimals >= 0 && text.find('.') != std::string::npos) {
      text.resize(std::min(text.size(), point + 1 + static_cast<size_t>(decimals)));
    }
  }
  if (rounded < 0) text.insert(text.begin(), '-');
  return std::u16string(text.begin(), text.end());
}

bool Getinfo(ApplicationContext& context) {
  if (registry::VersionUndefined(context, u"Getinfo")) return false;
  Directories& directories = context.directories();
  const std::u16string previous_user = directories.user();
  const std::u16string previous_app = directories.app();
  // Some twenty registry calls: one look at the store's files for them all.
  const platform::OperationScope operation(*context.platform.registry);

  // The language never stops a start-up.
  Attempt([&] { ReadLanguage(context); });

  // A geometry that fails to load stops it here, before the configuration; what was found stays.
  bool found = false;
  Attempt([&] {
    LireUser(context);
    const std::u16string app = FindAppPath(context);
    if (app.empty()) {
      directories.SetApp(u"");
      return;
    }
    directories.SetApp(WithTrailingSeparator(app));
    if (directories.app() != previous_app && !LoadGeometrie(context)) return;
    if (directories.user().empty()) return;
    // Only now does a user directory ending in "/" get its "\".
    directories.SetUser(WithTrailingSeparator(directories.user()));
    if (directories.user() != previous_user) LoadCFG(context, /*merge=*/true);
    found = true;
  });
  return found;
}

std::int32_t MOLTRAG_Init(ApplicationContext& context, std::u16string_view version_str) {
  context.cache().Open();  // every entry it held goes
  VersionInfo& version = context.version_info();
  if (!version_str.empty() ? version_str == version.version()
                           : version.version() == kDefaultVersion) {
    return 0;
  }
  if (!version_str.empty()) {
    version.Select(version_str);
  } else if (!version.defined()) {
    version.Select(kDefaultVersion);
  }
  Getinfo(context);
  return 0;
}

std::int32_t MOLTRAG_GetPP(ApplicationContext& context, std::u16string_view nomPP,
                           std::shared_ptr<PPDocument>& pp) {
  if (!context.cache().open()) MOLTRAG_Init(context, u"");
  return RequestParameterFile(context, nomPP, pp);
}

std::int32_t MOLTRAG_Close(ApplicationContext& context) {
  context.configurations().SetMain(nullptr);
  return 0;
}

std::u16string MOLTRAG_GetServicePack(ApplicationContext& context) {
  if (registry::VersionUndefined(context, u"GetServicePack")) return {};
  return context.version_info().service_pack();
}

bool MOLTRAG_IsDebug(ApplicationContext& context) {
  return registry::RegReadInterfaceValue_(context, u"DEBUG") == u"1";
}

void SetLangue(ApplicationContext& context, std::int32_t lang) {
  if (registry::RegWriteInterfaceValue_(context, u"Langue", NumberToText(lang, 3))) {
    context.SetLangue(lang);
  }
}

}  // namespace velmo
