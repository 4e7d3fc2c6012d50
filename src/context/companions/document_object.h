// What the two companion objects share.
#ifndef VELMO_CONTEXT_COMPANIONS_DOCUMENT_OBJECT_H_
#define VELMO_CONTEXT_COMPANIONS_DOCUMENT_OBJECT_H_

#include <windows.h>

#include "com_documents.h"
#include "context/binding/boundary.h"

namespace velmo::binding {

inline VARIANT_BOOL ToVariantBool(bool value) { return value ? VARIANT_TRUE : VARIANT_FALSE; }

}  // namespace velmo::binding

#endif  // VELMO_CONTEXT_COMPANIONS_DOCUMENT_OBJECT_H_
