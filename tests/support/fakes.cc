#include "fakes.h"

namespace velmo::testing {

using namespace platform;

bool ObservedRegistry::IsMachine(RegKey key) const {
  return key == kHkeyLocalMachine || machine_keys_.count(key) != 0;
}

RegStatus ObservedRegistry::Opened(RegStatus status, RegKey parent, RegKey* key) {
  if (status == kErrorSuccess && key != nullptr && *key != 0) {
    open_.insert(*key);
    if (IsMachine(parent)) machine_keys_.insert(*key);
  }
  return status;
}

RegStatus ObservedRegistry::OpenKey(RegKey parent, std::u16string_view path, std::uint32_t access,
                                    RegKey* key) {
  ++calls;
  if (deny_machine_writes && IsMachine(parent) && (access & (kKeySetValue | kKeyCreateSubKey))) {
    *key = 0;
    return kErrorAccessDenied;
  }
  return Opened(inner_->OpenKey(parent, path, access, key), parent, key);
}

RegStatus ObservedRegistry::CreateKey(RegKey parent, std::u16string_view path, std::uint32_t access,
                                      RegKey* key) {
  ++calls;
  if (deny_machine_writes && IsMachine(parent)) {
    *key = 0;
    return kErrorAccessDenied;
  }
  return Opened(inner_->CreateKey(parent, path, access, key), parent, key);
}

RegStatus ObservedRegistry::QueryValue(RegKey key, std::u16string_view name, std::uint32_t* type,
                                       std::uint8_t* data, std::uint32_t* size) {
  ++calls;
  return inner_->QueryValue(key, name, type, data, size);
}

RegStatus ObservedRegistry::SetValue(RegKey key, std::u16string_view name, std::uint32_t type,
                                     const std::uint8_t* data, std::uint32_t size) {
  ++calls;
  if (deny_user_writes && !IsMachine(key)) return kErrorAccessDenied;
  const RegStatus status = inner_->SetValue(key, name, type, data, size);
  if (status == kErrorSuccess && IsMachine(key)) ++machine_writes;
  return status;
}

RegStatus ObservedRegistry::EnumValueName(RegKey key, std::uint32_t index, char16_t* name,
                                          std::uint32_t* length) {
  ++calls;
  return inner_->EnumValueName(key, index, name, length);
}

RegStatus ObservedRegistry::QueryInfoKey(RegKey key, std::uint32_t* value_count,
                                         std::uint32_t* max_value_name_length) {
  ++calls;
  return inner_->QueryInfoKey(key, value_count, max_value_name_length);
}

RegStatus ObservedRegistry::DeleteValue(RegKey key, std::u16string_view name) {
  ++calls;
  return inner_->DeleteValue(key, name);
}

RegStatus ObservedRegistry::DeleteKeyTree(RegKey parent, std::u16string_view path,
                                          std::uint32_t access) {
  ++calls;
  return inner_->DeleteKeyTree(parent, path, access);
}

RegStatus ObservedRegistry::CloseKey(RegKey key) {
  ++calls;
  open_.erase(key);
  machine_keys_.erase(key);
  return inner_->CloseKey(key);
}

}  // namespace velmo::testing
