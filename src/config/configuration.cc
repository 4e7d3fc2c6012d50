#include "config/configuration.h"

#include <optional>

#include "config/file_system_queries.h"
#include "context/attempt.h"

namespace velmo {
namespace {

// None when there is no document library or it made nothing.
std::shared_ptr<ConfigDocument> NewDocument(ApplicationContext& context) {
  if (!context.platform.documents) return nullptr;
  return context.platform.documents->NewConfigDocument();
}

const std::u16string& UserFile(ApplicationContext& context) {
  return context.configurations().UserFile(context.directories().user(), kConfigFile);
}

}  // namespace

void LoadCFG(ApplicationContext& context, bool merge) {
  Configurations& configurations = context.configurations();
  // A document or the file system failing ends the load; what it did stays, a fresh object whose
  // Load or Merge failed included.
  Attempt([&] {
    configurations.SetMain(nullptr);
    if (context.directories().user().empty()) return;
    // Copied: outside code runs (the documents' Load) while it is in use.
    const std::u16string user_file = UserFile(context);
    const std::optional<platform::FileDates> dates = FileSystemOf(context).Dates(user_file);
    if (!dates) return;
    configurations.BeginLoad(*dates);

    std::shared_ptr<ConfigDocument> document = NewDocument(context);
    if (!document) return;
    configurations.SetMain(document);
    document->Load(user_file);
    if (merge && !context.directories().app().empty()) {
      std::shared_ptr<ConfigDocument> application = NewDocument(context);
      if (!application) return;
      application->Load(context.directories().app() + std::u16string(kConfigFile));
      document->Merge(*application);
    }
  });
}

void UpdateCFG(ApplicationContext& context) {
  if (!context.configurations().main()) {
    LoadCFG(context, /*merge=*/false);
    return;
  }
  if (context.directories().user().empty()) return;
  // One question of the file system: whether the file is there, and both its dates. A file that
  // has gone, or a file system that fails, leaves the loaded object in place.
  std::optional<platform::FileDates> dates;
  if (!Attempt([&] { dates = FileSystemOf(context).Dates(UserFile(context)); }) || !dates) return;
  if (context.configurations().Outdated(*dates)) LoadCFG(context, /*merge=*/false);
}

std::shared_ptr<ConfigDocument> GetVelmoCFG(ApplicationContext& context) {
  UpdateCFG(context);
  return context.configurations().main();
}

void SetVelmoCFG(ApplicationContext& context, std::shared_ptr<ConfigDocument> document) {
  context.configurations().SetMain(std::move(document));
}

bool LoadGeometrie(ApplicationContext& context) {
  Configurations& configurations = context.configurations();
  configurations.SetGeometry(nullptr);
  if (context.directories().app().empty()) return true;
  std::shared_ptr<ConfigDocument> document = NewDocument(context);
  if (!document) return false;
  configurations.SetGeometry(document);
  document->Load(context.directories().app() + std::u16string(kGeometryFile));
  return true;
}

}  // namespace velmo
