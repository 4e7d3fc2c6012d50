// classPP as an automation object: one parameter-file entry that an outside caller may make
// and use. Only UpdatePP lets a failure out, as a failing status with a description.
#include <atomic>
#include <new>

#include "automation_documents.h"
#include "class_factory.h"
#include "config/class_pp.h"
#include "dual_dispatch.h"
#include "platform/text.h"
#include "server.h"
#include "velmo.h"

namespace velmo::binding {
namespace {

class ClassPPObject final : public DualDispatch<_classPP>, public ISupportErrorInfo {
 public:
  ClassPPObject() { ObjectCreated(); }
  ~ClassPPObject() { ObjectDestroyed(); }
  ClassPPObject(const ClassPPObject&) = delete;
  ClassPPObject& operator=(const ClassPPObject&) = delete;

  HRESULT Init() { return LoadTypeInfo(IID__classPP); }

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
    if (object == nullptr) return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IDispatch) ||
        IsEqualIID(riid, IID__classPP)) {
      *object = static_cast<_classPP*>(this);
    } else if (IsEqualIID(riid, IID_ISupportErrorInfo)) {
      *object = static_cast<ISupportErrorInfo*>(this);
    } else {
      *object = nullptr;
      return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG left = --references_;
    if (left == 0) delete this;
    return left;
  }

  HRESULT STDMETHODCALLTYPE get_PP(IDispatch** result) override {
    if (result == nullptr) return E_POINTER;
    *result = nullptr;
    try {
      *result = ToDispatch(entry_.PP());
    } catch (...) {
    }
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE putref_PP(IDispatch* value) override {
    try {
      entry_.SetPP(PPFromDispatch(value));
    } catch (...) {
    }
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE get_nbAcces(LONG* result) override {
    if (result == nullptr) return E_POINTER;
    *result = entry_.nbAcces();
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE put_nbAcces(LONG value) override {
    entry_.SetNbAcces(value);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE get_fichier(BSTR* result) override {
    return ToBstr(entry_.fichier(), result);
  }
  HRESULT STDMETHODCALLTYPE put_fichier(BSTR value) override {
    try {
      entry_.SetFichier(FromBstr(value));
    } catch (...) {
    }
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE get_datePP(DATE* result) override {
    if (result == nullptr) return E_POINTER;
    *result = ToAutomationDate(entry_.datePP());
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE put_datePP(DATE value) override {
    entry_.SetDatePP(FromAutomationDate(value));
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE LoadPP(BSTR nomPP, LONG* result) override {
    if (result == nullptr) return E_POINTER;
    *result = entry_.LoadPP(FromBstr(nomPP));
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE UpdatePP(LONG* result) override {
    if (result == nullptr) return E_POINTER;
    try {
      *result = entry_.UpdatePP();
      return S_OK;
    } catch (const std::exception& failure) {
      return ReportError(E_FAIL, IID__classPP, platform::FromUtf8(failure.what()));
    } catch (...) {
      return ReportError(E_FAIL, IID__classPP, u"UpdatePP failed");
    }
  }

  HRESULT STDMETHODCALLTYPE InterfaceSupportsErrorInfo(REFIID riid) override {
    return IsEqualIID(riid, IID__classPP) ? S_OK : S_FALSE;
  }

 private:
  classPP entry_;
  std::atomic<ULONG> references_{1};
};

}  // namespace

HRESULT CreateClassPPObject(REFIID riid, void** object) {
  PrepareThreadContext();
  ClassPPObject* made = new (std::nothrow) ClassPPObject();
  if (made == nullptr) return E_OUTOFMEMORY;
  HRESULT hr = made->Init();
  if (SUCCEEDED(hr)) hr = made->QueryInterface(riid, object);
  made->Release();
  return hr;
}

}  // namespace velmo::binding
