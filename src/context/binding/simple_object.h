// IUnknown for the server's small objects that offer one interface: a reference count, and a
// share in the module's count of live objects.
#ifndef VELMO_CONTEXT_BINDING_SIMPLE_OBJECT_H_
#define VELMO_CONTEXT_BINDING_SIMPLE_OBJECT_H_

#include <atomic>

#include "server.h"

namespace velmo::binding {

// `Derived` implements `Interface`, whose identifier is `iid`; it is made with new and starts
// with one reference.
template <typename Derived, typename Interface, const IID& iid>
class SimpleObject : public Interface {
 public:
  SimpleObject(const SimpleObject&) = delete;
  SimpleObject& operator=(const SimpleObject&) = delete;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
    if (object == nullptr) return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, iid)) {
      *object = static_cast<Interface*>(this);
      AddRef();
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG left = --references_;
    if (left == 0) delete static_cast<Derived*>(this);
    return left;
  }

 protected:
  SimpleObject() { ObjectCreated(); }
  ~SimpleObject() { ObjectDestroyed(); }

 private:
  std::atomic<ULONG> references_{1};
};

}  // namespace velmo::binding

#endif  // VELMO_CONTEXT_BINDING_SIMPLE_OBJECT_H_
