// The two outside libraries' objects at the automation boundary, where they cross as IDispatch.
//
// Where MOLConfigLib.ConfigDocument and MolGPP.PPDocument are registered, documents are made
// from those ProgIDs and called through IDispatch by name ("Load", "Merge"); where they are not,
// the built-in documents serve, each wrapped in a small automation object of its own with Load,
// Merge and its lookups. Either way a document and its IDispatch stay paired: handing the same
// document out twice gives the same object, and an object handed in comes back out as itself.
#ifndef VELMO_CONTEXT_BINDING_AUTOMATION_DOCUMENTS_H_
#define VELMO_CONTEXT_BINDING_AUTOMATION_DOCUMENTS_H_

#include <oaidl.h>

#include <cstddef>
#include <memory>

#include "config/config_document.h"

namespace velmo::binding {

// The document factory of contexts made for automation callers.
std::shared_ptr<DocumentFactory> NewAutomationDocuments();

// A new reference to the document's automation object (made on first need), or null for none.
IDispatch* ToDispatch(const std::shared_ptr<ConfigDocument>& document);
IDispatch* ToDispatch(const std::shared_ptr<PPDocument>& document);

// The document behind an automation object: ours unwrapped, anyone else's wrapped so that Load
// and Merge reach it by name. Null for null.
std::shared_ptr<ConfigDocument> ConfigFromDispatch(IDispatch* object);
std::shared_ptr<PPDocument> PPFromDispatch(IDispatch* object);

// How many of our document objects are alive: while any is, the DLL must stay loaded.
std::size_t LiveAutomationObjects();

}  // namespace velmo::binding

#endif  // VELMO_CONTEXT_BINDING_AUTOMATION_DOCUMENTS_H_
