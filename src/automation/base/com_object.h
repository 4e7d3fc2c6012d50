// The one IUnknown of every object this module hands out: a reference count, a share in the
// module's count of live objects, and QueryInterface over what the object says it answers.
#ifndef VELMO_AUTOMATION_BASE_COM_OBJECT_H_
#define VELMO_AUTOMATION_BASE_COM_OBJECT_H_

#include <atomic>
#include <new>
#include <utility>

#include "automation/base/com_ref.h"
#include "automation/base/server.h"

namespace velmo::binding {

// `Derived` implements `First` and `Rest...`, is made by MakeObject, starts with one reference
// and deletes itself with the last. IUnknown is always `First`; for any other identifier it defines
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

// The one way an object of this module is made: a new `T` with `args`, its first reference in
// `*made`. E_OUTOFMEMORY when it cannot be allocated, E_FAIL when its constructor throws; then
// `*made` is empty. `T` may offer `HRESULT Init()`, which must succeed for the object to be kept.
template <typename T, typename... Args>
HRESULT MakeObject(ComRef<T>* made, Args&&... args) noexcept {
  made->put();
  try {
    *made = ComRef<T>(new T(std::forward<Args>(args)...));
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  } catch (...) {
    return E_FAIL;
  }
  HRESULT hr = S_OK;
  if constexpr (requires { (*made)->Init(); }) hr = (*made)->Init();
  if (FAILED(hr)) made->put();
  return hr;
}

// MakeObject, then the new object asked for `riid`: what a class factory does.
template <typename T, typename... Args>
HRESULT CreateObject(REFIID riid, void** object, Args&&... args) noexcept {
  if (object == nullptr) return E_POINTER;
  *object = nullptr;
  ComRef<T> made;
  const HRESULT hr = MakeObject(&made, std::forward<Args>(args)...);
  return FAILED(hr) ? hr : made->QueryInterface(riid, object);
}

}  // namespace velmo::binding

#endif  // VELMO_AUTOMATION_BASE_COM_OBJECT_H_
