// The two outside libraries as this library sees them: MOLConfigLib's ConfigDocument and
// MolGPP's PPDocument. The library itself needs only create, Load and Merge; the reads are what
// the add-in's modules do with the documents they are handed.
#ifndef VELMO_CONFIG_DOCUMENT_H_
#define VELMO_CONFIG_DOCUMENT_H_

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "velmo/export.h"

namespace velmo {

// Every member may throw when the library behind the document fails; a file that cannot be read
// is not such a failure.
class VELMO_EXPORT ConfigDocument {
 public:
  virtual ~ConfigDocument() = default;
  // Reads the file at `path` in place of what the document held; false when it cannot be read
  // or is not text.
  virtual bool Load(std::u16string_view path) = 0;
  // Takes from `other` what this document lacks; what this document has stays. Throws
  // std::invalid_argument for a document it cannot read.
  virtual void Merge(ConfigDocument& other) = 0;

  // Section and value names compare without regard to case; nothing when absent.
  virtual std::optional<std::u16string> Value(std::u16string_view section,
                                              std::u16string_view name) const = 0;
  virtual std::vector<std::u16string> Sections() const = 0;
  // The value names of `section`, in file order; none for a section that is not there.
  virtual std::vector<std::u16string> Names(std::u16string_view section) const = 0;
};

class VELMO_EXPORT PPDocument {
 public:
  virtual ~PPDocument() = default;
  // As ConfigDocument::Load; may be called again to reload.
  virtual bool Load(std::u16string_view path) = 0;
  virtual std::optional<std::u16string> Value(std::u16string_view name) const = 0;
  virtual std::vector<std::u16string> Names() const = 0;
};

// Makes the documents; the context asks it for every new one. Throws when it cannot.
class VELMO_EXPORT DocumentFactory {
 public:
  virtual ~DocumentFactory() = default;
  virtual std::shared_ptr<ConfigDocument> NewConfigDocument() = 0;
  virtual std::shared_ptr<PPDocument> NewPPDocument() = 0;
};

// The documents built into this library: INI text for a configuration, "name=value" lines for a
// parameter file, in UTF-8 or UTF-16; names compare without regard to case.
//
// The factory and its documents may be used from any thread. A document may be read on several
// threads while another loads or merges it (the library reloads a parameter document it handed
// out when its file changes): a change is built aside and swapped in whole, so each read sees the
// content before it or after it. Of two changes at once, the last one stands.
VELMO_EXPORT std::shared_ptr<DocumentFactory> NewBuiltInDocuments();

}  // namespace velmo

#endif  // VELMO_CONFIG_DOCUMENT_H_
