// The one connection point of MOLTRAGlobalClass: sinks of __MOLTRAGlobalClass, each connected
// to the plain class as a listener of its own, so that events reach only the listeners of the
// instance whose user switch raised them.
#ifndef VELMO_AUTOMATION_GLOBAL_CONNECTION_POINT_H_
#define VELMO_AUTOMATION_GLOBAL_CONNECTION_POINT_H_

#include <ocidl.h>
#include <olectl.h>

#include "velmo/moltra_global_class.h"

namespace velmo::binding {

// Lives inside its container and shares its reference count.
class ConnectionPoint final : public IConnectionPoint {
 public:
  ConnectionPoint(IConnectionPointContainer& container, MOLTRAGlobalClass& listeners)
      : container_(container), listeners_(listeners) {}

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override;
  ULONG STDMETHODCALLTYPE AddRef() override { return container_.AddRef(); }
  ULONG STDMETHODCALLTYPE Release() override { return container_.Release(); }

  HRESULT STDMETHODCALLTYPE GetConnectionInterface(IID* iid) override;
  HRESULT STDMETHODCALLTYPE GetConnectionPointContainer(IConnectionPointContainer** out) override;
  HRESULT STDMETHODCALLTYPE Advise(IUnknown* sink, DWORD* cookie) override;
  HRESULT STDMETHODCALLTYPE Unadvise(DWORD cookie) override;
  HRESULT STDMETHODCALLTYPE EnumConnections(IEnumConnections** out) override;

 private:
  IConnectionPointContainer& container_;
  MOLTRAGlobalClass& listeners_;
};

// An enumerator of the container's one connection point, for IConnectionPointContainer.
HRESULT EnumerateOnePoint(IConnectionPoint* point, IEnumConnectionPoints** out);

}  // namespace velmo::binding

#endif  // VELMO_AUTOMATION_GLOBAL_CONNECTION_POINT_H_
