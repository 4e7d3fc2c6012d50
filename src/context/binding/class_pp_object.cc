// classPP as an automation object: one parameter-file entry that an outside caller may make
// and use. Only UpdatePP lets a failure out, as a failing status with a description.
#include "com_documents.h"
#include "com_object.h"
#include "dual_dispatch.h"
#include "platform/text.h"
#include "server.h"
#include "velmo.h"
#include "velmo/class_pp.h"
#include "velmo_objects.h"

namespace velmo::binding {
namespace {

class ClassPPObject final
    : public ComObject<ClassPPObject, DualDispatch<_classPP>, ISupportErrorInfo> {
 public:
  HRESULT Init() { return LoadTypeInfo(IID__classPP); }

  void* Interface(REFIID riid) {
    if (IsEqualIID(riid, IID_IDispatch) || IsEqualIID(riid, IID__classPP)) {
      return static_cast<_classPP*>(this);
    }
    if (IsEqualIID(riid, IID_ISupportErrorInfo)) return static_cast<ISupportErrorInfo*>(this);
    return nullptr;
  }

  HRESULT STDMETHODCALLTYPE get_PP(_PPDocument** result) override {
    if (result == nullptr) return E_POINTER;
    *result = nullptr;
    try {
      *result = ToCom(entry_.PP());
    } catch (...) {
    }
    return S_OK;
  }
  // An object without the interface leaves the entry as it was.
  HRESULT STDMETHODCALLTYPE putref_PP(_PPDocument* value) override {
    try {
      entry_.SetPP(PPFromCom(value));
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
};

}  // namespace

HRESULT CreateClassPPObject(REFIID riid, void** object) {
  PrepareThreadContext();
  return CreateObject<ClassPPObject>(riid, object);
}

}  // namespace velmo::binding
