// Test doubles for the platform seams.
#ifndef VELMO_TESTS_SUPPORT_FAKES_H_
#define VELMO_TESTS_SUPPORT_FAKES_H_

#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include <functional>
#include <map>

#include "context/application_context.h"
#include "platform/file_system.h"
#include "platform/message_box.h"
#include "platform/registry_api.h"
#include "velmo/config_document.h"

namespace velmo::testing {

struct ShownMessage {
  std::u16string text;
  std::u16string title;
  platform::MessageIcon icon;
  bool operator==(const ShownMessage&) const = default;
};

// Keeps what would have been shown; never blocks.
class RecordingMessageBox final : public platform::MessageBoxApi {
 public:
  void Show(std::u16string_view text, std::u16string_view title,
            platform::MessageIcon icon) override {
    shown.push_back({std::u16string(text), std::u16string(title), icon});
  }
  std::vector<ShownMessage> shown;
};

// Passes every call to a real registry, counting calls and the handles left open, and can refuse
// what a user without rights on the machine hive would be refused. Transactions and operations
// go to the real registry uncounted.
class ObservedRegistry final : public platform::RegistryApiWrapper {
 public:
  explicit ObservedRegistry(std::shared_ptr<platform::RegistryApi> inner)
      : RegistryApiWrapper(*inner), inner_(std::move(inner)) {}

  bool deny_machine_writes = false;  // creating or opening HKLM keys for writing
  bool deny_user_writes = false;     // setting values in HKCU
  int calls = 0;
  int machine_writes = 0;  // values set in HKLM
  size_t open_handles() const { return open_.size(); }

  platform::RegStatus OpenKey(platform::RegKey parent, std::u16string_view path,
                              std::uint32_t access, platform::RegKey* key) override;
  platform::RegStatus CreateKey(platform::RegKey parent, std::u16string_view path,
                                std::uint32_t access, platform::RegKey* key) override;
  platform::RegStatus QueryValue(platform::RegKey key, std::u16string_view name,
                                 std::uint32_t* type, std::uint8_t* data,
                                 std::uint32_t* size) override;
  platform::RegStatus SetValue(platform::RegKey key, std::u16string_view name, std::uint32_t type,
                               const std::uint8_t* data, std::uint32_t size) override;
  platform::RegStatus EnumValueName(platform::RegKey key, std::uint32_t index, char16_t* name,
                                    std::uint32_t* length) override;
  platform::RegStatus EnumKeyName(platform::RegKey key, std::uint32_t index, char16_t* name,
                                  std::uint32_t* length) override;
  platform::RegStatus QueryInfoKey(platform::RegKey key, std::uint32_t* value_count,
                                   std::uint32_t* max_value_name_length) override;
  platform::RegStatus DeleteValue(platform::RegKey key, std::u16string_view name) override;
  platform::RegStatus DeleteKeyTree(platform::RegKey parent, std::u16string_view path,
                                    std::uint32_t access) override;
  platform::RegStatus CloseKey(platform::RegKey key) override;

 private:
  platform::RegStatus Opened(platform::RegStatus status, platform::RegKey parent,
                             platform::RegKey* key);
  bool IsMachine(platform::RegKey key) const;

  std::shared_ptr<platform::RegistryApi> inner_;
  std::set<platform::RegKey> open_;
  std::set<platform::RegKey> machine_keys_;
};

// A registry, a message box and documents that fail at every call, as a broken installation
// would: for the fallbacks of the public members.
Platform BrokenPlatform();

// Files that exist only in the test, with dates it sets to the nanosecond.
class FakeFileSystem final : public platform::FileSystem {
 public:
  struct File {
    platform::FileDate modified;
    platform::FileDate created;
  };
  std::map<std::u16string, File> files;
  std::set<std::u16string> directories;
  bool fail = false;  // every question throws, as a broken file system would
  int date_questions = 0;

  bool DirectoryExists(std::u16string_view path) override;
  bool FileExists(std::u16string_view path) override;
  platform::FileDate LastModified(std::u16string_view path) override;
  platform::FileDate Created(std::u16string_view path) override;

  // For Platform::new_file_system: the context owns what it makes, and each one it makes
  // passes every question on to this fake, which the test keeps.
  std::function<std::unique_ptr<platform::FileSystem>()> Maker();

 private:
  const File& Get(std::u16string_view path);
};

// Documents that remember what was done with them; each load reads nothing and succeeds.
class RecordingDocuments final : public DocumentFactory {
 public:
  struct Log {
    std::vector<std::u16string> loaded;         // paths given to Load, in order
    std::vector<const ConfigDocument*> merged;  // documents given to Merge
  };
  class Document final : public ConfigDocument {
   public:
    explicit Document(std::shared_ptr<Log> log) : log_(std::move(log)) {}
    bool Load(std::u16string_view path) override;
    void Merge(ConfigDocument& other) override;
    std::optional<std::u16string> Value(std::u16string_view, std::u16string_view) const override {
      return std::nullopt;
    }
    std::vector<std::u16string> Sections() const override { return {}; }
    std::vector<std::u16string> Names(std::u16string_view) const override { return {}; }
    std::vector<std::u16string> loaded;  // by this one
    std::vector<const ConfigDocument*> merged;

   private:
    std::shared_ptr<Log> log_;
  };

  std::shared_ptr<ConfigDocument> NewConfigDocument() override;
  std::shared_ptr<PPDocument> NewPPDocument() override;

  std::shared_ptr<Log> log = std::make_shared<Log>();
  bool fail_load = false;
  bool fail_merge = false;
  int made = 0;
};

}  // namespace velmo::testing

#endif  // VELMO_TESTS_SUPPORT_FAKES_H_
