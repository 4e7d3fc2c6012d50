// What the two companion objects share: their failure convention at the boundary.
#ifndef VELMO_CONTEXT_COMPANIONS_DOCUMENT_OBJECT_H_
#define VELMO_CONTEXT_COMPANIONS_DOCUMENT_OBJECT_H_

#include <windows.h>

#include <new>
#include <stdexcept>

#include "com_documents.h"
#include "context/binding/server.h"
#include "platform/text.h"

namespace velmo::binding {

// Runs `work` and turns what it throws into a status, with a description for the caller's error
// object: nothing thrown ever reaches a COM caller.
template <typename Work>
HRESULT Guarded(REFIID iid, Work&& work) {
  try {
    work();
    return S_OK;
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  } catch (const NotADocument& failure) {
    return ReportError(E_NOINTERFACE, iid, platform::FromUtf8(failure.what()));
  } catch (const std::exception& failure) {
    return ReportError(E_FAIL, iid, platform::FromUtf8(failure.what()));
  } catch (...) {
    return ReportError(E_FAIL, iid, u"unexpected failure");
  }
}

inline VARIANT_BOOL ToVariantBool(bool value) { return value ? VARIANT_TRUE : VARIANT_FALSE; }

}  // namespace velmo::binding

#endif  // VELMO_CONTEXT_COMPANIONS_DOCUMENT_OBJECT_H_
