// The IDispatch half of a dual interface, served from the embedded type library.
#ifndef VELMO_AUTOMATION_BASE_DUAL_DISPATCH_H_
#define VELMO_AUTOMATION_BASE_DUAL_DISPATCH_H_

#include <memory>

#include "automation/base/boundary.h"
#include "automation/base/com_ref.h"
#include "automation/base/dispatch_table.h"
#include "automation/base/server.h"

namespace velmo::binding {

// `Interface` is a dual interface of the type library with identifier `iid`.
template <typename Interface>
class DualDispatch : public Interface {
 public:
  DualDispatch(const DualDispatch&) = delete;
  DualDispatch& operator=(const DualDispatch&) = delete;

  // Loads the interface's two descriptions and its table; the object is usable only if this
  // succeeded.
  HRESULT LoadTypeInfo(REFIID iid) {
    HRESULT hr = TypeInfoOf(iid, /*vtable_half=*/false, dispatch_info_.put());
    if (SUCCEEDED(hr)) hr = TypeInfoOf(iid, /*vtable_half=*/true, vtable_info_.put());
    if (SUCCEEDED(hr)) hr = DispatchTableOf(iid, &table_);
    return hr;
  }

  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override {
    if (count == nullptr) return E_POINTER;
    *count = 1;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT index, LCID, ITypeInfo** info) override {
    if (info == nullptr) return E_POINTER;
    *info = nullptr;
    if (index != 0) return DISP_E_BADINDEX;
    *info = dispatch_info_.share();
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID,
                                          DISPID* ids) override {
    // The type library's lookup reads whatever it is given; what it cannot read is refused here.
    if (names == nullptr || ids == nullptr || count == 0) return E_INVALIDARG;
    bool unnamed = false;
    for (UINT i = 0; i < count; ++i) unnamed = unnamed || names[i] == nullptr;
    if (unnamed) {
      for (UINT i = 0; i < count; ++i) ids[i] = DISPID_UNKNOWN;
      return DISP_E_UNKNOWNNAME;
    }
    // A script asks again before every call; a plain member name is answered from the table,
    // anything else (argument names, names the table cannot judge) by the type library.
    if (count == 1) {
      const DISPID id = table_->Find(names[0]);
      if (id != DISPID_UNKNOWN) {
        ids[0] = id;
        return S_OK;
      }
    }
    return DispGetIDsOfNames(vtable_info_.get(), names, count, ids);
  }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID member, REFIID riid, LCID, WORD flags, DISPPARAMS* params,
                                   VARIANT* result, EXCEPINFO* exception,
                                   UINT* bad_argument) override {
    if (!IsEqualIID(riid, IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
    // The member called may release the caller's last reference (from an event it raises, say):
    // the object lives until the call is over.
    const ComRef<Interface> hold = ComRef<Interface>::Retain(this);
    return Guard([&] {
      return InvokeWithTypeInfo(vtable_info_.get(), *table_, static_cast<Interface*>(this), member,
                                flags, params, result, exception, bad_argument);
    });
  }

 protected:
  DualDispatch() = default;
  ~DualDispatch() = default;

 private:
  ComRef<ITypeInfo> dispatch_info_;  // what callers are given
  ComRef<ITypeInfo> vtable_info_;    // what ITypeInfo::Invoke needs
  std::shared_ptr<const DispatchTable> table_;
};

}  // namespace velmo::binding

#endif  // VELMO_AUTOMATION_BASE_DUAL_DISPATCH_H_
