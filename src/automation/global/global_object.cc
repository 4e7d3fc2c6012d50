// MOLTRAGlobalClass as an automation object: the plain class behind a dual interface, a
// connection point for its events, and its type information. It converts types and nothing
// else; every member answers S_OK with the plain class's result, fallbacks included.
#include <memory>
#include <utility>

#include "automation/base/boundary.h"
#include "automation/base/com_object.h"
#include "automation/base/com_ref.h"
#include "automation/base/dual_dispatch.h"
#include "automation/base/server.h"
#include "automation/documents/com_documents.h"
#include "automation/global/connection_point.h"
#include "automation/global/velmo_objects.h"
#include "context/application_context.h"
#include "velmo.h"
#include "velmo/moltra_global_class.h"

namespace velmo::binding {
namespace {

// The identifiers under which earlier versions of the class interface were published; widl
// writes no constants for them.
constexpr GUID kEarlierInterfaces[] = {
    {0x98787F28, 0x7DD3, 0x4674, {0x9E, 0x02, 0xA7, 0xEA, 0x5B, 0x7F, 0xF8, 0x15}},
    {0x71CD9EC7, 0x0DDF, 0x450A, {0x80, 0x2C, 0xC2, 0xA9, 0x40, 0xCA, 0x5D, 0xF9}},
    {0x9BD3C820, 0x01FA, 0x43FA, {0xAC, 0x4A, 0x1B, 0x46, 0x61, 0xBA, 0x02, 0x20}},
    {0xBD70254F, 0xA292, 0x404A, {0xAF, 0x7B, 0xB2, 0xBA, 0x66, 0xDE, 0x19, 0x7F}},
    {0x55EF81B1, 0x73FC, 0x4701, {0x9F, 0x55, 0xF2, 0x24, 0xCA, 0x9D, 0xF3, 0x1A}},
    {0x95FAA405, 0x8C4F, 0x47C4, {0x98, 0xE0, 0x91, 0xED, 0xA1, 0xCD, 0xDE, 0xC8}},
    {0x5427456B, 0xCEA6, 0x41C3, {0xB4, 0x0F, 0x89, 0x12, 0x3C, 0x81, 0xE7, 0x64}},
    {0x69305762, 0xD9F8, 0x4DE3, {0x95, 0xCC, 0x82, 0x0B, 0x55, 0xA2, 0x18, 0x23}},
};

bool IsClassInterface(REFIID riid) {
  if (IsEqualIID(riid, IID__MOLTRAGlobalClass)) return true;
  for (const GUID& earlier : kEarlierInterfaces) {
    if (IsEqualIID(riid, earlier)) return true;
  }
  return false;
}

}  // namespace

Platform AutomationPlatform() {
  Platform platform = SystemPlatform();
  platform.documents = NewComDocuments();
  return platform;
}

namespace {

class GlobalObject final
    : public ComObject<GlobalObject, DualDispatch<_MOLTRAGlobalClass>, IConnectionPointContainer,
                       IProvideClassInfo2, ISupportErrorInfo> {
 public:
  GlobalObject() : point_(*this, core_) {}

  HRESULT Init() { return LoadTypeInfo(IID__MOLTRAGlobalClass); }

  void* Interface(REFIID riid) {
    if (IsEqualIID(riid, IID_IDispatch) || IsClassInterface(riid)) {
      return static_cast<_MOLTRAGlobalClass*>(this);
    }
    if (IsEqualIID(riid, IID_IConnectionPointContainer)) {
      return static_cast<IConnectionPointContainer*>(this);
    }
    if (IsEqualIID(riid, IID_IProvideClassInfo) || IsEqualIID(riid, IID_IProvideClassInfo2)) {
      return static_cast<IProvideClassInfo2*>(this);
    }
    if (IsEqualIID(riid, IID_ISupportErrorInfo)) return static_cast<ISupportErrorInfo*>(this);
    return nullptr;
  }

  // ---- _MOLTRAGlobalClass
  HRESULT STDMETHODCALLTYPE MOLTRAG_Init(BSTR VersionStr, LONG* result) override {
    const CallHold hold(this);
    return Answer(result, [&] { return core_.MOLTRAG_Init(FromBstr(VersionStr)); });
  }
  HRESULT STDMETHODCALLTYPE MOLTRAG_Close(LONG* result) override {
    const CallHold hold(this);
    return Answer(result, [&] { return core_.MOLTRAG_Close(); });
  }
  HRESULT STDMETHODCALLTYPE MOLTRAG_EcrireUser(BSTR NewUserPath, LONG* result) override {
    const CallHold hold(this);
    return Answer(result, [&] { return core_.MOLTRAG_EcrireUser(FromBstr(NewUserPath)); });
  }
  HRESULT STDMETHODCALLTYPE MOLTRAG_GetServicePack(BSTR* result) override {
    const CallHold hold(this);
    return Answer(result, [&] { return core_.MOLTRAG_GetServicePack(); });
  }
  HRESULT STDMETHODCALLTYPE MOLTRAG_IsDebug(VARIANT_BOOL* result) override {
    const CallHold hold(this);
    return Answer(result, [&] { return core_.MOLTRAG_IsDebug(); });
  }
  HRESULT STDMETHODCALLTYPE RegReadInterfaceValue(BSTR ValueName, BSTR* result) override {
    const CallHold hold(this);
    return Answer(result, [&] { return core_.RegReadInterfaceValue(FromBstr(ValueName)); });
  }
  HRESULT STDMETHODCALLTYPE RegWriteInterfaceValue(BSTR ValueName, BSTR Value,
                                                   VARIANT_BOOL* result) override {
    const CallHold hold(this);
    return Answer(
        result, [&] { return core_.RegWriteInterfaceValue(FromBstr(ValueName), FromBstr(Value)); });
  }
  HRESULT STDMETHODCALLTYPE get_UserPath(BSTR* result) override {
    const CallHold hold(this);
    return Answer(result, [&] { return core_.UserPath(); });
  }
  HRESULT STDMETHODCALLTYPE get_AppPath(BSTR* result) override {
    const CallHold hold(this);
    return Answer(result, [&] { return core_.AppPath(); });
  }
  HRESULT STDMETHODCALLTYPE get_RepBase(BSTR* result) override {
    const CallHold hold(this);
    return Answer(result, [&] { return core_.RepBase(); });
  }
  HRESULT STDMETHODCALLTYPE get_User(BSTR* result) override {
    const CallHold hold(this);
    return Answer(result, [&] { return core_.User(); });
  }
  HRESULT STDMETHODCALLTYPE get_Version(BSTR* result) override {
    const CallHold hold(this);
    return Answer(result, [&] { return core_.Version(); });
  }
  HRESULT STDMETHODCALLTYPE get_Application(BSTR* result) override {
    const CallHold hold(this);
    return Answer(result, [&] { return core_.Application(); });
  }
  HRESULT STDMETHODCALLTYPE get_Langue(LONG* result) override {
    const CallHold hold(this);
    return Answer(result, [&] { return core_.Langue(); });
  }
  HRESULT STDMETHODCALLTYPE get_VelmoCFG(_ConfigDocument** result) override {
    const CallHold hold(this);
    return Answer(result, [&] { return ToCom(core_.VelmoCFG()).release(); });
  }
  // Whatever the caller's object is, it is held through its interface; one that has none, as
  // another failure, stops the setter.
  HRESULT STDMETHODCALLTYPE putref_VelmoCFG(_ConfigDocument** CFG) override {
    const CallHold hold(this);
    if (CFG == nullptr) return E_POINTER;
    return Answer([&] {
      std::shared_ptr<ConfigDocument> document = ConfigFromCom(*CFG);
      core_.SetVelmoCFG(document);
    });
  }
  HRESULT STDMETHODCALLTYPE get_GeometrieDat(_ConfigDocument** result) override {
    const CallHold hold(this);
    return Answer(result, [&] { return ToCom(core_.GeometrieDat()).release(); });
  }
  HRESULT STDMETHODCALLTYPE put_Langue(LONG* lang) override {
    const CallHold hold(this);
    if (lang == nullptr) return E_POINTER;
    return Answer([&] {
      std::int32_t value = *lang;
      core_.SetLangue(value);
    });
  }
  HRESULT STDMETHODCALLTYPE RegReadSecurityValue(BSTR ValueName, BSTR* result) override {
    const CallHold hold(this);
    return Answer(result, [&] { return core_.RegReadSecurityValue(FromBstr(ValueName)); });
  }
  HRESULT STDMETHODCALLTYPE RegWriteSecurityValue(BSTR ValueName, BSTR Value,
                                                  VARIANT_BOOL* result) override {
    const CallHold hold(this);
    return Answer(
        result, [&] { return core_.RegWriteSecurityValue(FromBstr(ValueName), FromBstr(Value)); });
  }
  // PP is emptied on every failure, as the status says.
  HRESULT STDMETHODCALLTYPE MOLTRAG_GetPP(BSTR nomPP, _PPDocument** PP, LONG* result) override {
    const CallHold hold(this);
    if (PP == nullptr) return E_POINTER;
    ComRef<_PPDocument> handed;
    const HRESULT hr = Answer(result, [&] {
      std::shared_ptr<PPDocument> document;
      const std::int32_t status = core_.MOLTRAG_GetPP(FromBstr(nomPP), document);
      if (status == 0) handed = ToCom(document);
      return status;
    });
    if (hr == E_POINTER) return hr;
    // By reference: what the caller passed in is released, and the new reference is theirs.
    ComRef<_PPDocument> passed(std::exchange(*PP, handed.release()));
    return hr;
  }

  // ---- IConnectionPointContainer
  HRESULT STDMETHODCALLTYPE EnumConnectionPoints(IEnumConnectionPoints** out) override {
    return Guard([&] { return EnumerateOnePoint(&point_, out); });
  }
  HRESULT STDMETHODCALLTYPE FindConnectionPoint(REFIID riid, IConnectionPoint** out) override {
    if (out == nullptr) return E_POINTER;
    *out = nullptr;
    if (!IsEqualIID(riid, DIID___MOLTRAGlobalClass)) return CONNECT_E_NOCONNECTION;
    *out = &point_;
    point_.AddRef();
    return S_OK;
  }

  // ---- IProvideClassInfo2
  HRESULT STDMETHODCALLTYPE GetClassInfo(ITypeInfo** info) override {
    return TypeInfoOf(CLSID_MOLTRAGlobalClass, /*vtable_half=*/false, info);
  }
  HRESULT STDMETHODCALLTYPE GetGUID(DWORD kind, GUID* guid) override {
    if (guid == nullptr) return E_POINTER;
    if (kind != GUIDKIND_DEFAULT_SOURCE_DISP_IID) {
      *guid = GUID_NULL;
      return E_INVALIDARG;
    }
    *guid = DIID___MOLTRAGlobalClass;
    return S_OK;
  }

  // ---- ISupportErrorInfo
  HRESULT STDMETHODCALLTYPE InterfaceSupportsErrorInfo(REFIID riid) override {
    return IsClassInterface(riid) ? S_OK : S_FALSE;
  }

 private:
  ContextHold context_{AutomationPlatform};  // first, so that core_ finds the thread's context
  MOLTRAGlobalClass core_;
  ConnectionPoint point_;
};

}  // namespace

HRESULT CreateGlobalObject(REFIID riid, void** object) {
  return Guard([&] { return CreateObject<GlobalObject>(riid, object); });
}

}  // namespace velmo::binding
