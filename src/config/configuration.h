// The two configuration objects: the main one (VelmoCFG), from the user's "dat\velmo.cfg"
// completed by the application's, reloaded when the user's file has changed on disk; and the
// geometry one (GeometrieDat), from the application's "Dat\Geometrie.dat", never refreshed.
#ifndef VELMO_CONFIG_CONFIGURATION_H_
#define VELMO_CONFIG_CONFIGURATION_H_

#include <memory>
#include <string>

#include "context/application_context.h"
#include "velmo/config_document.h"

namespace velmo {

// Relative names, appended to a directory that ends in "\".
inline constexpr std::u16string_view kConfigFile = u"dat\\velmo.cfg";
inline constexpr std::u16string_view kGeometryFile = u"Dat\\Geometrie.dat";

// Loads the main object from the user's file, and when `merge` also takes in the application's.
// A failure of the file system or of a document ends it without a message; what was done stays.
void LoadCFG(ApplicationContext& context, bool merge);

// Reloads the main object (without the application's file) when it is absent or when a date of
// the user's file is later than ConfigDate. Stops silently on a failure.
void UpdateCFG(ApplicationContext& context);

// The VelmoCFG property: the read refreshes first, and a failure there leaves the object as it
// was; the write replaces the object and reads no file.
std::shared_ptr<ConfigDocument> GetVelmoCFG(ApplicationContext& context);
void SetVelmoCFG(ApplicationContext& context, std::shared_ptr<ConfigDocument> document);

inline std::shared_ptr<ConfigDocument> GetGeometrieDat(const ApplicationContext& context) {
  return context.configurations().geometry();
}

// Replaces the geometry object by one loaded from the application directory (by none when there
// is no application directory). False when no document could be made; a Load that throws
// reaches the caller, and the fresh object whose Load failed stays.
bool LoadGeometrie(ApplicationContext& context);

}  // namespace velmo

#endif  // VELMO_CONFIG_CONFIGURATION_H_
