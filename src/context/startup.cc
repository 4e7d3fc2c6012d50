#include "context/startup.h"

#include <charconv>
#include <cmath>
#include <limits>

#include "config/configuration.h"
#include "registry/registry_module.h"
#include "registry/settings_keys.h"
#include "registry/version_guard.h"
#include "users/users.h"

namespace velmo {
namespace {

using registry::RegRootLocalMachine;

struct VersionRow {
  std::u16string_view version;
  std::u16string_view release;
  std::u16string_view service_pack;
};
constexpr VersionRow kVersions[] = {
    {u"2008", u"2", u"2"},
    {u"2", u"2", u"2"},
    {u"2010", u"2", u"1"},
};
constexpr std::u16string_view kDefaultVersion = u"2008";

bool IsBlank(char16_t c) { return c == u' ' || c == u'\t'; }
bool IsDigit(char16_t c) { return c >= u'0' && c <= u'9'; }

void ReadLanguage(ApplicationContext& context) {
  const std::u16string text = registry::RegReadInterfaceValue_(context, u"Langue");
  if (text.empty()) {
    context.langue = 1;
    registry::RegWriteInterfaceValue_(context, u"Langue", u"1");
    return;
  }
  // Not a number: the language is 1 and the text stays as it is.
  context.langue = ParseLangue(text).value_or(1);
  if (context.langue < 1) {
    context.langue = 1;
    registry::RegWriteInterfaceValue_(context, u"Langue", u"1");
  }
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
  const std::u16string previous_user = context.user_path;
  const std::u16string previous_app = context.app_path;
  // Some twenty registry calls: one look at the store's files for them all.
  const platform::OperationScope operation(*context.platform.registry);

  try {
    ReadLanguage(context);
  } catch (...) {
    // The language never stops a start-up.
  }

  try {
    context.user_path = LireUser(context);

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
    context.app_path = app_path;
    if (context.app_path.empty()) return false;
    if (context.app_path.back() != u'\\') context.app_path += u'\\';
    if (context.app_path != previous_app) LoadGeometrie(context);

    if (context.user_path.empty()) return false;
    if (context.user_path.back() != u'\\') context.user_path += u'\\';
    if (context.user_path != previous_user) LoadCFG(context, /*merge=*/true);
    return true;
  } catch (...) {
    return false;
  }
}

std::int32_t MOLTRAG_Init(ApplicationContext& context, std::u16string_view version_str) {
  try {
    context.pp_cache.emplace();  // every entry it held goes
    if (!version_str.empty() ? version_str == context.version
                             : context.version == kDefaultVersion) {
      return 0;
    }
    if (!version_str.empty()) {
      context.version = version_str;
    } else if (context.version.empty()) {
      context.version = kDefaultVersion;
    }
    for (const VersionRow& row : kVersions) {
      if (context.version == row.version) {
        context.release = row.release;
        context.service_pack = row.service_pack;
      }
    }
    Getinfo(context);
    return 0;
  } catch (...) {
    return -1;
  }
}

std::int32_t MOLTRAG_Close(ApplicationContext& context) {
  context.velmo_cfg.reset();
  return 0;
}

std::u16string MOLTRAG_GetServicePack(ApplicationContext& context) {
  if (registry::VersionUndefined(context, u"GetServicePack")) return {};
  return context.service_pack;
}

bool MOLTRAG_IsDebug(ApplicationContext& context) {
  return registry::RegReadInterfaceValue_(context, u"DEBUG") == u"1";
}

void SetLangue(ApplicationContext& context, std::int32_t lang) {
  if (registry::RegWriteInterfaceValue_(context, u"Langue", NumberToText(lang, 3))) {
    context.langue = lang;
  }
}

}  // namespace velmo
