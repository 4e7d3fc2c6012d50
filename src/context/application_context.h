// The record of the running add-in: one per thread, shared by every instance on that thread and
// by nothing on another.
#ifndef VELMO_CONTEXT_APPLICATION_CONTEXT_H_
#define VELMO_CONTEXT_APPLICATION_CONTEXT_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "context/configurations.h"
#include "context/directories.h"
#include "context/parameter_cache_slots.h"
#include "context/version_info.h"
#include "platform/file_system.h"
#include "platform/message_box.h"
#include "platform/registry_api.h"
#include "velmo/config_document.h"

namespace velmo {

// The application identifier: the same in every thread and every version.
inline constexpr std::u16string_view kApplication = u"VELMO_SW2";
// The title of the library's own message boxes.
inline constexpr std::u16string_view kLibraryTitle = u"VELMOSWGlobalLib";

// What a context reaches the system through. Tests put their own here.
struct Platform {
  std::shared_ptr<platform::RegistryApi> registry = nullptr;
  std::shared_ptr<platform::MessageBoxApi> message_box = nullptr;
  // Called the first time the context needs its file-system object; may throw.
  std::function<std::unique_ptr<platform::FileSystem>()> new_file_system = nullptr;
  std::shared_ptr<DocumentFactory> documents = nullptr;
};

// The Windows registry and message box on Windows; the portable store and standard error
// elsewhere; the system's files and the built-in documents.
Platform SystemPlatform();

// The state of the running add-in. Each part keeps its own rules; the subsystems change it only
// through the parts' operations. Not locked: a context belongs to one thread.
class ApplicationContext {
 public:
  explicit ApplicationContext(Platform p) : platform(std::move(p)) {}

  // Set by start-up and by a user switch.
  Directories& directories() { return directories_; }
  const Directories& directories() const { return directories_; }
  // Set by start-up.
  VersionInfo& version_info() { return version_; }
  const VersionInfo& version_info() const { return version_; }
  // Loaded by start-up and a user switch, refreshed on reading, replaced by the VelmoCFG property.
  Configurations& configurations() { return configurations_; }
  const Configurations& configurations() const { return configurations_; }
  // Opened by each start-up, filled by MOLTRAG_GetPP, emptied by a user switch.
  ParameterCache& cache() { return cache_; }
  const ParameterCache& cache() const { return cache_; }

  // 0 until the first start-up.
  std::int32_t langue() const { return langue_; }
  void SetLangue(std::int32_t langue) { langue_ = langue; }

  // The file-system object, made with platform.new_file_system on first use and then kept.
  // Throws when it cannot be made, with the maker's description; nothing is kept then.
  // Inline: every cache hit and configuration read asks for it.
  const std::shared_ptr<platform::FileSystem>& FileSystem() {
    if (!file_system_) MakeFileSystem();
    return file_system_;
  }
  // The one made so far, or null.
  const std::shared_ptr<platform::FileSystem>& file_system() const { return file_system_; }

  // What the context reaches the system through: given at construction, replaced by tests.
  Platform platform;

 private:
  void MakeFileSystem();
  Directories directories_;
  VersionInfo version_;
  std::int32_t langue_ = 0;
  Configurations configurations_;
  ParameterCache cache_;
  std::shared_ptr<platform::FileSystem> file_system_;
};

// This thread's context, made empty on the system platform the first time the thread asks.
ApplicationContext& CurrentContext();

// Gives this thread a fresh, empty context on `platform`.
void ResetCurrentContext(Platform platform);

// This thread's context, made on `make_platform()` when the thread has none yet.
ApplicationContext& CurrentContext(Platform (*make_platform)());

#ifdef _WIN32
// Keeps this thread's context while it lives, made on `make_platform()` if the thread has none.
// A context made this way belongs to its holds and goes with the last of them. Made on the
// thread whose context it keeps; throws when the context cannot be made. Destroyed on another
// thread (a caller's mistake), a last hold leaves the context to its thread, which frees it the
// next time it asks for its context, or when it ends.
class ContextHold {
 public:
  explicit ContextHold(Platform (*make_platform)());
  ~ContextHold();
  ContextHold(const ContextHold&) = delete;
  ContextHold& operator=(const ContextHold&) = delete;

 private:
  void* entry_;
};

// Whether some context awaits its thread that way: the DLL that made it must stay loaded.
bool ContextsAbandoned();

// Gives back the fiber-local slot, for a DLL being unloaded while its process goes on, once no
// hold is left; what threads still own is freed with it (nothing, in the automation server,
// whose contexts are all held).
void ReleaseContextSlot();
#endif

// The plain accessors. None of them fails or touches the registry.
inline std::u16string UserPath(const ApplicationContext& c) { return c.directories().user(); }
inline std::u16string User(const ApplicationContext& c) { return c.directories().user(); }
inline std::u16string AppPath(const ApplicationContext& c) { return c.directories().app(); }
inline std::u16string RepBase(const ApplicationContext& c) { return c.directories().app(); }
inline std::u16string Version(const ApplicationContext& c) { return c.version_info().version(); }
inline std::u16string Application() { return std::u16string(kApplication); }
inline std::int32_t Langue(const ApplicationContext& c) { return c.langue(); }

}  // namespace velmo

#endif  // VELMO_CONTEXT_APPLICATION_CONTEXT_H_
