#include "key_reader.h"

#include "value_format.h"

#include <algorithm>
#include <utility>

#include "platform/text.h"

namespace velmo::tools {

using namespace velmo::platform;

RegStatus ReadValue(RegistryApi& registry, RegKey key, std::u16string_view name, Value* value) {
  value->name = name;
  std::uint32_t size = 0;
  RegStatus status = registry.QueryValue(key, name, &value->type, nullptr, &size);
  while (status == kErrorSuccess || status == kErrorMoreData) {
    value->data.resize(size);
    status = registry.QueryValue(key, name, &value->type,
                                 reinterpret_cast<std::uint8_t*>(value->data.data()), &size);
    if (status == kErrorSuccess) value->data.resize(size);
    if (status != kErrorMoreData) break;  // grown meanwhile: ask again
  }
  return status;
}

std::optional<std::u16string> ReadText(RegistryApi& registry, RegKey root, std::uint32_t view,
                                       std::u16string_view path, std::u16string_view name) {
  RegKey key = 0;
  if (registry.OpenKey(root, path, kKeyRead | view, &key) != kErrorSuccess) return std::nullopt;
  Value value;
  const RegStatus status = ReadValue(registry, key, name, &value);
  registry.CloseKey(key);
  if (status != kErrorSuccess) return std::nullopt;
  std::u16string text;
  if (value.type == kRegSz || value.type == kRegExpandSz || value.type == kRegMultiSz) {
    text = FromUtf16Bytes(value.data);
  } else {
    for (const char c : value.data) text += static_cast<char16_t>(static_cast<unsigned char>(c));
  }
  if (!text.empty() && text.back() == u'\0') text.pop_back();
  return text;
}

RegStatus KeyReader::Values(RegKey root, std::u16string_view path, std::uint32_t view,
                            std::vector<Value>* values) {
  values->clear();
  RegKey key = 0;
  RegStatus status = registry_.OpenKey(root, path, kKeyRead | view, &key);
  if (status != kErrorSuccess) return status;
  std::uint32_t count = 0;
  std::uint32_t longest = 0;
  status = registry_.QueryInfoKey(key, &count, &longest);
  std::u16string name(longest + 1, u'\0');
  for (std::uint32_t index = 0; status == kErrorSuccess; ++index) {
    std::uint32_t length = static_cast<std::uint32_t>(name.size());
    status = registry_.EnumValueName(key, index, name.data(), &length);
    if (status == kErrorMoreData) {  // a longer name arrived since the count was taken
      name.resize(name.size() * 2 + 256);
      --index;
      status = kErrorSuccess;
      continue;
    }
    if (status != kErrorSuccess) break;
    Value value;
    const std::u16string value_name(name.data(), length);
    // One deleted since the listing began is left out.
    if (ReadValue(registry_, key, value_name, &value) == kErrorSuccess) {
      values->push_back(std::move(value));
    }
  }
  registry_.CloseKey(key);
  return status == kErrorNoMoreItems ? kErrorSuccess : status;
}

RegStatus KeyReader::Subkeys(RegKey root, std::u16string_view path, std::uint32_t view,
                             std::vector<std::u16string>* names) {
  names->clear();
  RegKey key = 0;
  RegStatus status = registry_.OpenKey(root, path, kKeyRead | view, &key);
  if (status != kErrorSuccess) return status;
  std::u16string buffer(256, u'\0');  // a key name has at most 255 code units
  for (std::uint32_t index = 0; status == kErrorSuccess; ++index) {
    std::uint32_t length = static_cast<std::uint32_t>(buffer.size());
    status = registry_.EnumKeyName(key, index, buffer.data(), &length);
    if (status == kErrorMoreData) {  // a registry that allows longer names
      buffer.resize(buffer.size() * 2);
      --index;
      status = kErrorSuccess;
      continue;
    }
    if (status == kErrorSuccess) names->emplace_back(buffer.data(), length);
  }
  registry_.CloseKey(key);
  if (status != kErrorNoMoreItems) {
    names->clear();
    return status;
  }
  std::vector<std::pair<std::u16string, std::u16string>> sorted;
  for (std::u16string& name : *names) sorted.emplace_back(ToUpper(name), std::move(name));
  std::sort(sorted.begin(), sorted.end());
  names->clear();
  for (auto& [upper, name] : sorted) names->push_back(std::move(name));
  return kErrorSuccess;
}

}  // namespace velmo::tools
