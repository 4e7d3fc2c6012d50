// MOLConfigLib's and MolGPP's documents as the core sees them: each held through its typed
// interface by a thin adapter that implements the core's ConfigDocument or PPDocument. Whatever
// the adapter is asked goes to the object; a failing call throws, with the object's description.
//
// An adapter is used on the thread that made it or was handed the object, as apartment
// threading requires; it holds one reference to the object for its whole life.
#ifndef VELMO_AUTOMATION_DOCUMENTS_COM_DOCUMENTS_H_
#define VELMO_AUTOMATION_DOCUMENTS_COM_DOCUMENTS_H_

#include <oaidl.h>

#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "automation/base/boundary.h"
#include "automation/base/com_ref.h"
#include "mol_config_document.h"
#include "mol_pp_document.h"
#include "velmo/config_document.h"

namespace velmo::binding {

// Thrown for an object that does not have the interface it is taken for.
class NotADocument : public ComFailure {
 public:
  explicit NotADocument(const char* what) : ComFailure(E_NOINTERFACE, what) {}
};

// Documents made with CoCreateInstance of MOLConfigLib.ConfigDocument and MolGPP.PPDocument.
// Making one throws when the class is not registered or will not be made.
std::shared_ptr<DocumentFactory> NewComDocuments();

// The object a caller hands in, whatever made it: null for null; NotADocument when it does not
// answer the interface.
std::shared_ptr<ConfigDocument> ConfigFromCom(IUnknown* object);
std::shared_ptr<PPDocument> PPFromCom(IUnknown* object);

// The object behind an adapter, a reference of its own; empty for null. Throws NotADocument for a
// document of the core's own, which has no object.
ComRef<_ConfigDocument> ToCom(const std::shared_ptr<ConfigDocument>& document);
ComRef<_PPDocument> ToCom(const std::shared_ptr<PPDocument>& document);

// How values and lists of names cross: a value as a String or Empty; a list as an array of
// Variants holding Strings, lower bound 0, which script engines can index and enumerate. The
// writers throw std::bad_alloc; NamesFrom also takes an array of Strings, and throws
// std::invalid_argument for anything else.
void ValueTo(const std::optional<std::u16string>& value, VARIANT* out);
void NamesTo(const std::vector<std::u16string>& names, VARIANT* out);
std::optional<std::u16string> ValueFrom(const VARIANT& value);
std::vector<std::u16string> NamesFrom(const VARIANT& names);

}  // namespace velmo::binding

#endif  // VELMO_AUTOMATION_DOCUMENTS_COM_DOCUMENTS_H_
