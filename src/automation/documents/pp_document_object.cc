// MolGPP's PPDocument: the parameter document of the core behind a dual interface.
#include <windows.h>

#include "automation/base/com_object.h"
#include "automation/base/dual_dispatch.h"
#include "automation/documents/document_object.h"
#include "config/builtin_documents.h"
#include "mol_gpp.h"

namespace velmo::binding {
namespace {

class PPDocumentObject final
    : public ComObject<PPDocumentObject, DualDispatch<_PPDocument>, ISupportErrorInfo> {
 public:
  HRESULT Init() { return LoadTypeInfo(IID__PPDocument); }

  void* Interface(REFIID riid) {
    if (IsEqualIID(riid, IID_IDispatch) || IsEqualIID(riid, IID__PPDocument)) {
      return static_cast<_PPDocument*>(this);
    }
    if (IsEqualIID(riid, IID_ISupportErrorInfo)) return static_cast<ISupportErrorInfo*>(this);
    return nullptr;
  }

  // The path comes by reference and is only read.
  HRESULT STDMETHODCALLTYPE Load(BSTR* path, VARIANT_BOOL* loaded) override {
    if (path == nullptr || loaded == nullptr) return E_POINTER;
    *loaded = VARIANT_FALSE;
    return Guarded([&] { *loaded = ToVariantBool(document_.Load(FromBstr(*path))); });
  }

  HRESULT STDMETHODCALLTYPE Value(BSTR name, VARIANT* value) override {
    if (value == nullptr) return E_POINTER;
    VariantInit(value);
    return Guarded([&] { ValueTo(document_.Value(FromBstr(name)), value); });
  }

  HRESULT STDMETHODCALLTYPE Names(VARIANT* names) override {
    if (names == nullptr) return E_POINTER;
    VariantInit(names);
    return Guarded([&] { NamesTo(document_.Names(), names); });
  }

  HRESULT STDMETHODCALLTYPE InterfaceSupportsErrorInfo(REFIID riid) override {
    return IsEqualIID(riid, IID__PPDocument) ? S_OK : S_FALSE;
  }

 private:
  // Failures reach the caller as statuses with their descriptions.
  template <typename Work>
  static HRESULT Guarded(Work&& work) {
    return Guard(IID__PPDocument, E_FAIL, [&] {
      work();
      return S_OK;
    });
  }

  ParameterDocument document_;
};

HRESULT CreatePPDocument(REFIID riid, void** object) {
  return CreateObject<PPDocumentObject>(riid, object);
}

const ServedClass kClasses[] = {
    {CLSID_PPDocument, CreatePPDocument, L"PPDocument", L"MolGPP.PPDocument", L"1.9"},
};

}  // namespace

const ServerDescription& ThisServer() {
  static const ServerDescription server{kClasses, LIBID_MolGPP, 1, 9, nullptr, nullptr};
  return server;
}

}  // namespace velmo::binding
