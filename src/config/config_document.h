// The two outside libraries as this library sees them: MOLConfigLib's ConfigDocument and
// MolGPP's PPDocument, of which it needs only create, Load and Merge.
#ifndef VELMO_CONFIG_CONFIG_DOCUMENT_H_
#define VELMO_CONFIG_CONFIG_DOCUMENT_H_

#include <memory>
#include <string_view>

namespace velmo {

class ConfigDocument {
 public:
  virtual ~ConfigDocument() = default;
  // Reads the file at `path`; false when it cannot be read. Throws when the library behind the
  // document fails.
  virtual bool Load(std::u16string_view path) = 0;
  // Takes from `other` what this document lacks; what this document has stays.
  virtual void Merge(ConfigDocument& other) = 0;
};

class PPDocument {
 public:
  virtual ~PPDocument() = default;
  virtual bool Load(std::u16string_view path) = 0;
};

// Makes the documents; the context asks it for every new one.
class DocumentFactory {
 public:
  virtual ~DocumentFactory() = default;
  virtual std::shared_ptr<ConfigDocument> NewConfigDocument() = 0;
  virtual std::shared_ptr<PPDocument> NewPPDocument() = 0;
};

// The documents built into this library (see builtin_documents.h).
std::shared_ptr<DocumentFactory> NewBuiltInDocuments();

}  // namespace velmo

#endif  // VELMO_CONFIG_CONFIG_DOCUMENT_H_
