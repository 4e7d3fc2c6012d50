#include "fakes.h"

#include <stdexcept>

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

RegStatus ObservedRegistry::EnumKeyName(RegKey key, std::uint32_t index, char16_t* name,
                                        std::uint32_t* length) {
  ++calls;
  return inner_->EnumKeyName(key, index, name, length);
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

bool FakeFileSystem::DirectoryExists(std::u16string_view path) {
  if (fail) throw platform::FileSystemError("the file system is broken");
  return directories.count(std::u16string(path)) != 0;
}

bool FakeFileSystem::FileExists(std::u16string_view path) {
  if (fail) throw platform::FileSystemError("the file system is broken");
  return files.count(std::u16string(path)) != 0;
}

const FakeFileSystem::File& FakeFileSystem::Get(std::u16string_view path) {
  ++date_questions;
  if (fail) throw platform::FileSystemError("the file system is broken");
  const auto it = files.find(std::u16string(path));
  if (it == files.end()) throw platform::FileSystemError("no such file");
  return it->second;
}

platform::FileDate FakeFileSystem::LastModified(std::u16string_view path) {
  return Get(path).modified;
}

platform::FileDate FakeFileSystem::Created(std::u16string_view path) { return Get(path).created; }

namespace {

class ForwardingFileSystem final : public FileSystem {
 public:
  explicit ForwardingFileSystem(FakeFileSystem& to) : to_(to) {}
  bool DirectoryExists(std::u16string_view p) override { return to_.DirectoryExists(p); }
  bool FileExists(std::u16string_view p) override { return to_.FileExists(p); }
  FileDate LastModified(std::u16string_view p) override { return to_.LastModified(p); }
  FileDate Created(std::u16string_view p) override { return to_.Created(p); }

 private:
  FakeFileSystem& to_;
};

}  // namespace

std::function<std::unique_ptr<FileSystem>()> FakeFileSystem::Maker() {
  return [this] { return std::make_unique<ForwardingFileSystem>(*this); };
}

bool RecordingDocuments::Document::Load(std::u16string_view path) {
  loaded.emplace_back(path);
  log_->loaded.emplace_back(path);
  return true;
}

void RecordingDocuments::Document::Merge(ConfigDocument& other) {
  merged.push_back(&other);
  log_->merged.push_back(&other);
}

namespace {

class FailingDocument final : public ConfigDocument {
 public:
  FailingDocument(bool load, bool merge) : load_(load), merge_(merge) {}
  bool Load(std::u16string_view) override {
    if (load_) throw std::runtime_error("Load failed");
    return true;
  }
  void Merge(ConfigDocument&) override {
    if (merge_) throw std::runtime_error("Merge failed");
  }
  std::optional<std::u16string> Value(std::u16string_view, std::u16string_view) const override {
    return std::nullopt;
  }
  std::vector<std::u16string> Sections() const override { return {}; }
  std::vector<std::u16string> Names(std::u16string_view) const override { return {}; }

 private:
  bool load_;
  bool merge_;
};

}  // namespace

std::shared_ptr<ConfigDocument> RecordingDocuments::NewConfigDocument() {
  ++made;
  if (fail_load || fail_merge) return std::make_shared<FailingDocument>(fail_load, fail_merge);
  return std::make_shared<Document>(log);
}

std::shared_ptr<PPDocument> RecordingDocuments::NewPPDocument() { return nullptr; }

namespace {

[[noreturn]] void Broken() { throw std::runtime_error("broken on purpose"); }

class BrokenRegistry final : public RegistryApi {
 public:
  RegStatus OpenKey(RegKey, std::u16string_view, std::uint32_t, RegKey*) override { Broken(); }
  RegStatus CreateKey(RegKey, std::u16string_view, std::uint32_t, RegKey*) override { Broken(); }
  RegStatus QueryValue(RegKey, std::u16string_view, std::uint32_t*, std::uint8_t*,
                       std::uint32_t*) override {
    Broken();
  }
  RegStatus SetValue(RegKey, std::u16string_view, std::uint32_t, const std::uint8_t*,
                     std::uint32_t) override {
    Broken();
  }
  RegStatus EnumValueName(RegKey, std::uint32_t, char16_t*, std::uint32_t*) override { Broken(); }
  RegStatus EnumKeyName(RegKey, std::uint32_t, char16_t*, std::uint32_t*) override { Broken(); }
  RegStatus QueryInfoKey(RegKey, std::uint32_t*, std::uint32_t*) override { Broken(); }
  RegStatus DeleteValue(RegKey, std::u16string_view) override { Broken(); }
  RegStatus DeleteKeyTree(RegKey, std::u16string_view, std::uint32_t) override { Broken(); }
  RegStatus CloseKey(RegKey) override { Broken(); }
};

class BrokenMessageBox final : public MessageBoxApi {
 public:
  void Show(std::u16string_view, std::u16string_view, MessageIcon) override { Broken(); }
};

class BrokenDocuments final : public DocumentFactory {
 public:
  std::shared_ptr<ConfigDocument> NewConfigDocument() override { Broken(); }
  std::shared_ptr<PPDocument> NewPPDocument() override { Broken(); }
};

}  // namespace

Platform BrokenPlatform() {
  Platform broken;
  broken.registry = std::make_shared<BrokenRegistry>();
  broken.message_box = std::make_shared<BrokenMessageBox>();
  broken.new_file_system = []() -> std::unique_ptr<FileSystem> { Broken(); };
  broken.documents = std::make_shared<BrokenDocuments>();
  return broken;
}

}  // namespace velmo::testing
