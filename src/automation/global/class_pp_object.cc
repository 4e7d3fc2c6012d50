// classPP as an automation object: one parameter-file entry that an outside caller may make
// and use. Only UpdatePP lets a failure out, as a failing status with a description.
#include "automation/base/boundary.h"
#include "automation/base/com_object.h"
#include "automation/base/dual_dispatch.h"
#include "automation/base/server.h"
#include "automation/documents/com_documents.h"
#include "automation/global/velmo_objects.h"
#include "context/application_context.h"
#include "velmo.h"
#include "velmo/class_pp.h"

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
    const CallHold hold(this);
    return Answer(result, [&] { return ToCom(entry_.PP()).release(); });
  }
  // An object without the interface leaves the entry as it was.
  HRESULT STDMETHODCALLTYPE putref_PP(_PPDocument* value) override {
    const CallHold hold(this);
    return Answer([&] { entry_.SetPP(PPFromCom(value)); });
  }
  HRESULT STDMETHODCALLTYPE get_nbAcces(LONG* result) override {
    const CallHold hold(this);
    return Answer(result, [&] { return entry_.nbAcces(); });
  }
  HRESULT STDMETHODCALLTYPE put_nbAcces(LONG value) override {
    const CallHold hold(this);
    return Answer([&] { entry_.SetNbAcces(value); });
  }
  HRESULT STDMETHODCALLTYPE get_fichier(BSTR* result) override {
    const CallHold hold(this);
    return Answer(result, [&] { return entry_.fichier(); });
  }
  HRESULT STDMETHODCALLTYPE put_fichier(BSTR value) override {
    const CallHold hold(this);
    return Answer([&] { entry_.SetFichier(FromBstr(value)); });
  }
  HRESULT STDMETHODCALLTYPE get_datePP(DATE* result) override {
    const CallHold hold(this);
    if (result == nullptr) return E_POINTER;
    *result = ToAutomationDate(entry_.datePP());
    return S_OK;
  }
  // A date that is no date Windows knows would have no file date to stand for; nor is one taken
  // whose file date would read back as no such date, so that the getter answers only dates this
  // setter takes.
  HRESULT STDMETHODCALLTYPE put_datePP(DATE value) override {
    const CallHold hold(this);
    if (!IsAutomationDate(value) ||
        !IsAutomationDate(ToAutomationDate(FromAutomationDate(value)))) {
      return E_INVALIDARG;
    }
    return Answer([&] { entry_.SetDatePP(FromAutomationDate(value)); });
  }
  HRESULT STDMETHODCALLTYPE LoadPP(BSTR nomPP, LONG* result) override {
    const CallHold hold(this);
    return Answer(result, [&] { return entry_.LoadPP(FromBstr(nomPP)); });
  }
  // The one member that lets its failure out, as a failing status with its description.
  HRESULT STDMETHODCALLTYPE UpdatePP(LONG* result) override {
    const CallHold hold(this);
    if (result == nullptr) return E_POINTER;
    return Guard(IID__classPP, E_FAIL, [&] {
      *result = entry_.UpdatePP();
      return S_OK;
    });
  }

  HRESULT STDMETHODCALLTYPE InterfaceSupportsErrorInfo(REFIID riid) override {
    return IsEqualIID(riid, IID__classPP) ? S_OK : S_FALSE;
  }

 private:
  ContextHold context_{AutomationPlatform};  // what entry_ takes its files and documents from
  classPP entry_;
};

}  // namespace

HRESULT CreateClassPPObject(REFIID riid, void** object) {
  return Guard([&] { return CreateObject<ClassPPObject>(riid, object); });
}

}  // namespace velmo::binding
