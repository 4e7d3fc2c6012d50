// What the two companion objects share.
#ifndef VELMO_AUTOMATION_DOCUMENTS_DOCUMENT_OBJECT_H_
#define VELMO_AUTOMATION_DOCUMENTS_DOCUMENT_OBJECT_H_

#include <windows.h>

#include "automation/base/boundary.h"
#include "automation/documents/com_documents.h"

namespace velmo::binding {

inline VARIANT_BOOL ToVariantBool(bool value) { return value ? VARIANT_TRUE : VARIANT_FALSE; }

}  // namespace velmo::binding

#endif  // VELMO_AUTOMATION_DOCUMENTS_DOCUMENT_OBJECT_H_
