// The configuration and parameter parsers on any bytes: they never crash, and what they read
// holds together: every listed name is found, in any case, once; merging a document into an
// empty one gives it back.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <set>
#include <string>

#include "config/builtin_documents.h"
#include "platform/text.h"

namespace {

void Require(bool condition) {
  if (!condition) std::abort();
}

void CheckIni(const velmo::IniDocument& doc) {
  std::set<std::u16string> sections;
  for (const std::u16string& section : doc.Sections()) {
    Require(sections.insert(velmo::platform::ToUpper(section)).second);
    std::set<std::u16string> names;
    for (const std::u16string& name : doc.Names(section)) {
      Require(names.insert(velmo::platform::ToUpper(name)).second);
      const auto value = doc.Value(section, name);
      Require(value.has_value());
      Require(doc.Value(velmo::platform::ToUpper(section), velmo::platform::ToUpper(name)) ==
              value);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  (void)velmo::IsText(bytes);

  velmo::IniDocument ini;
  ini.Parse(bytes);
  CheckIni(ini);
  velmo::IniDocument merged;
  merged.Merge(ini);
  CheckIni(merged);
  Require(merged.Sections() == ini.Sections());
  for (const std::u16string& section : ini.Sections()) {
    Require(merged.Names(section) == ini.Names(section));
    for (const std::u16string& name : ini.Names(section)) {
      Require(merged.Value(section, name) == ini.Value(section, name));
    }
  }

  velmo::ParameterDocument parameters;
  parameters.Parse(bytes);
  std::set<std::u16string> names;
  for (const std::u16string& name : parameters.Names()) {
    Require(names.insert(velmo::platform::ToUpper(name)).second);
    Require(parameters.Value(name).has_value());
  }
  Require(names.size() == parameters.size());
  return 0;
}
