// The one IUnknown of every object this module hands out: a reference count, a share in the
// module's count of live objects, and QueryInterface over what the object says it answers.
#ifndef VELMO_AUTOMATION_BASE_COM_OBJECT_H_
#define VELMO_AUTOMATION_BASE_COM_OBJECT_H_

#include <atomic>
#include <new>
#include <utility>

#include "automation/base/server.h"

namespace velmo::binding {

// `Derived` implements `First` and `Rest...`, is made with new, starts with one reference and
// deletes itself with the last. IUnknown is always `First`; for any other identifier it defines
//
//   void* Interface(REFIID riid);   // the pointer to hand out, or null
//
// A module cannot be unloaded while any such object lives.
template <typename Derived, typename First, typename... Rest>
class ComObject : public First, public Rest... {
 public:
  ComObject(const ComObject&) = delete;
  ComObject& operator=(const ComObject&) = delete;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
    if (object == nullptr) return E_POINTER;
    *object = IsEqualIID(riid, IID_IUnknown) ? static_cast<First*>(this)
                                             : static_cast<Derived*>(this)->Interface(riid);
    if (*object == nullptr) return E_NOINTERFACE;
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG left = --references_;
    if (left == 0) delete static_cast<Derived*>(this);
    return left;
  }

 protected:
  ComObject() { ObjectCreated(); }
  ~ComObject() { ObjectDestroyed(); }

  // A reference the object keeps on itself for one call: the code a call reaches out to (a
  // listener, a caller's object) may release the caller's last reference, and the object, with
  // the thread's context it holds, must outlive the call all the same.
  class [[nodiscard]] CallHold {
   public:
    explicit CallHold(ComObject* object) : object_(object) { object_->AddRef(); }
    ~CallHold() { object_->Release(); }
    CallHold(const CallHold&) = delete;
    CallHold& operator=(const CallHold&) = delete;

   private:
    ComObject* object_;
  };

 private:
  std::atomic<ULONG> references_{1};
};

// Makes a `T` with `args`, asks it for `riid` and drops the maker's reference: what a class
// factory does. `T` may offer `HRESULT Init()`, which must succeed for the object to be handed out.
template <typename T, typename... Args>
HRESULT CreateObject(REFIID riid, void** object, Args&&... args) {
  if (object == nullptr) return E_POINTER;
  *object = nullptr;
  T* made = nullptr;
  try {
    made = new T(std::forward<Args>(args)...);
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  } catch (...) {
    return E_FAIL;
  }
  HRESULT hr = S_OK;
  if constexpr (requires { made->Init(); }) hr = made->Init();
  if (SUCCEEDED(hr)) hr = made->QueryInterface(riid, object);
  made->Release();
  return hr;
}

}  // namespace velmo::binding

#endif  // VELMO_AUTOMATION_BASE_COM_OBJECT_H_
