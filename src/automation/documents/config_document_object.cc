// MOLConfigLib's ConfigDocument: the INI document of the core behind a dual interface.
#include <windows.h>

#include "automation/base/com_object.h"
#include "automation/base/com_ref.h"
#include "automation/base/dual_dispatch.h"
#include "automation/documents/document_object.h"
#include "config/builtin_documents.h"
#include "mol_config_lib.h"

namespace velmo::binding {
namespace {

// Answered only by this module's own objects, so that Merge reads one of them directly rather
// than value by value through its interface. Never marshalled: a proxy does not answer it.
// {41F0A6F6-A632-4405-A1DC-7F1D082290E5}
constexpr IID kIID_OwnConfigDocument = {
    0x41f0a6f6, 0xa632, 0x4405, {0xa1, 0xdc, 0x7f, 0x1d, 0x08, 0x22, 0x90, 0xe5}};

class ConfigDocumentObject final
    : public ComObject<ConfigDocumentObject, DualDispatch<_ConfigDocument>, ISupportErrorInfo> {
 public:
  HRESULT Init() { return LoadTypeInfo(IID__ConfigDocument); }

  void* Interface(REFIID riid) {
    if (IsEqualIID(riid, IID_IDispatch) || IsEqualIID(riid, IID__ConfigDocument) ||
        IsEqualIID(riid, kIID_OwnConfigDocument)) {
      return static_cast<_ConfigDocument*>(this);
    }
    if (IsEqualIID(riid, IID_ISupportErrorInfo)) return static_cast<ISupportErrorInfo*>(this);
    return nullptr;
  }

  HRESULT STDMETHODCALLTYPE Load(BSTR path, VARIANT_BOOL* loaded) override {
    if (loaded == nullptr) return E_POINTER;
    *loaded = VARIANT_FALSE;
    return Guarded([&] { *loaded = ToVariantBool(document_.Load(FromBstr(path))); });
  }

  HRESULT STDMETHODCALLTYPE Merge(_ConfigDocument** other) override {
    if (other == nullptr || *other == nullptr) {
      return ReportError(E_INVALIDARG, IID__ConfigDocument, "Merge: no document");
    }
    return Guarded([&] {
      ComRef<_ConfigDocument> own;
      if (SUCCEEDED((*other)->QueryInterface(kIID_OwnConfigDocument, own.put_void())) && own) {
        document_.Merge(static_cast<ConfigDocumentObject*>(own.get())->document_);
        return;
      }
      // Someone else's document, or ours through a proxy: read through its interface.
      const std::shared_ptr<ConfigDocument> foreign = ConfigFromCom(*other);
      document_.Merge(*foreign);
    });
  }

  HRESULT STDMETHODCALLTYPE Value(BSTR section, BSTR name, VARIANT* value) override {
    if (value == nullptr) return E_POINTER;
    VariantInit(value);
    return Guarded([&] { ValueTo(document_.Value(FromBstr(section), FromBstr(name)), value); });
  }

  HRESULT STDMETHODCALLTYPE Sections(VARIANT* names) override {
    if (names == nullptr) return E_POINTER;
    VariantInit(names);
    return Guarded([&] { NamesTo(document_.Sections(), names); });
  }

  HRESULT STDMETHODCALLTYPE Names(BSTR section, VARIANT* names) override {
    if (names == nullptr) return E_POINTER;
    VariantInit(names);
    return Guarded([&] { NamesTo(document_.Names(FromBstr(section)), names); });
  }

  HRESULT STDMETHODCALLTYPE InterfaceSupportsErrorInfo(REFIID riid) override {
    return IsEqualIID(riid, IID__ConfigDocument) ? S_OK : S_FALSE;
  }

 private:
  // Failures reach the caller as statuses with their descriptions.
  template <typename Work>
  static HRESULT Guarded(Work&& work) {
    return Guard(IID__ConfigDocument, E_FAIL, [&] {
      work();
      return S_OK;
    });
  }

  IniDocument document_;
};

HRESULT CreateConfigDocument(REFIID riid, void** object) {
  return CreateObject<ConfigDocumentObject>(riid, object);
}

const ServedClass kClasses[] = {
    {CLSID_ConfigDocument, CreateConfigDocument, L"ConfigDocument", L"MOLConfigLib.ConfigDocument",
     L"3.6"},
};

}  // namespace

const ServerDescription& ThisServer() {
  static const ServerDescription server{kClasses, LIBID_MOLConfigLib, 3, 6, nullptr, nullptr};
  return server;
}

}  // namespace velmo::binding
