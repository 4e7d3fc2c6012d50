#include "config/configuration.h"

#include <algorithm>
#include <stdexcept>

#include "config/file_system_queries.h"

namespace velmo {
namespace {

std::shared_ptr<ConfigDocument> NewDocument(ApplicationContext& context) {
  if (!context.platform.documents) throw std::runtime_error("no document library");
  std::shared_ptr<ConfigDocument> document = context.platform.documents->NewConfigDocument();
  if (!document) throw std::runtime_error("ConfigDocument was not made");
  return document;
}

// Spelled again only when the user directory changed: every configuration read asks for it.
const std::u16string& UserFile(ApplicationContext& context) {
  std::u16string& file = context.user_file;
  const std::u16string& dir = context.user_path;
  if (file.size() != dir.size() + kConfigFile.size() || file.compare(0, dir.size(), dir) != 0) {
    file = dir + std::u16string(kConfigFile);
  }
  return file;
}

}  // namespace

void LoadCFG(ApplicationContext& context, bool merge) {
  try {
    context.velmo_cfg.reset();
    if (context.user_path.empty()) return;
    // Copied: outside code runs (the documents' Load) while it is in use.
    const std::u16string user_file = UserFile(context);
    const std::optional<platform::FileDates> dates = FileSystemOf(context).Dates(user_file);
    if (!dates) return;
    context.config_date = std::max(dates->modified, dates->created);

    context.velmo_cfg = NewDocument(context);
    context.velmo_cfg->Load(user_file);
    if (merge && !context.app_path.empty()) {
      std::shared_ptr<ConfigDocument> application = NewDocument(context);
      application->Load(context.app_path + std::u16string(kConfigFile));
      context.velmo_cfg->Merge(*application);
    }
  } catch (...) {
    // Ends the load; a fresh object whose Load or Merge failed stays in place.
  }
}

void UpdateCFG(ApplicationContext& context) {
  try {
    if (!context.velmo_cfg) {
      LoadCFG(context, /*merge=*/false);
      return;
    }
    if (context.user_path.empty()) return;
    // One question of the file system: whether the file is there, and both its dates. A file
    // that has gone leaves the loaded object in place.
    const std::optional<platform::FileDates> dates = FileSystemOf(context).Dates(UserFile(context));
    if (!dates) return;
    if (dates->modified > context.config_date || dates->created > context.config_date) {
      LoadCFG(context, /*merge=*/false);
    }
  } catch (...) {
  }
}

std::shared_ptr<ConfigDocument> GetVelmoCFG(ApplicationContext& context) {
  try {
    UpdateCFG(context);
    return context.velmo_cfg;
  } catch (...) {
    return nullptr;
  }
}

void SetVelmoCFG(ApplicationContext& context, std::shared_ptr<ConfigDocument> document) {
  context.velmo_cfg = std::move(document);
}

void LoadGeometrie(ApplicationContext& context) {
  context.geometrie_dat.reset();
  if (context.app_path.empty()) return;
  context.geometrie_dat = NewDocument(context);
  context.geometrie_dat->Load(context.app_path + std::u16string(kGeometryFile));
}

}  // namespace velmo
