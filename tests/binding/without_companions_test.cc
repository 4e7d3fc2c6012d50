// VELMOSWGlobalLib.dll registered without MOLConfigLib.dll and MolGPP.dll: the classes work, but
// no document can be made, so start-up stops at the geometry object and every document asked for
// is its fallback. The companions are unregistered by their own DllUnregisterServer for the test
// and registered again after it, as the runner had them.
#include <windows.h>

#include <gtest/gtest.h>

#include "com_caller.h"
#include "mol_config_lib.h"
#include "mol_gpp.h"
#include "velmo.h"

namespace velmo::testing {
namespace {

class CompanionsUnregistered {
 public:
  CompanionsUnregistered() {
    for (const wchar_t* dll : {kConfigDll, kPPDll}) ok_ = Call(dll, "DllUnregisterServer") && ok_;
  }
  ~CompanionsUnregistered() {
    for (const wchar_t* dll : {kConfigDll, kPPDll}) {
      EXPECT_TRUE(Call(dll, "DllRegisterServer")) << "the companions stay unregistered";
    }
  }
  CompanionsUnregistered(const CompanionsUnregistered&) = delete;
  CompanionsUnregistered& operator=(const CompanionsUnregistered&) = delete;
  bool ok() const { return ok_; }

 private:
  static bool Call(const wchar_t* dll, const char* name) {
    const HMODULE module = LoadLibraryW(dll);
    if (module == nullptr) return false;
    const auto entry = reinterpret_cast<HRESULT(STDAPICALLTYPE*)()>(
        reinterpret_cast<void*>(GetProcAddress(module, name)));
    const bool done = entry != nullptr && entry() == S_OK;
    FreeLibrary(module);
    return done;
  }
  bool ok_ = true;
};

TEST(WithoutCompanions, StartUpStopsAtTheGeometryAndNoDocumentIsMade) {
  Installation installation;
  InApartment([&] {
    const CompanionsUnregistered unregistered;
    ASSERT_TRUE(unregistered.ok());
    Ref<IUnknown> document;
    ASSERT_EQ(CoCreateInstance(CLSID_ConfigDocument, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                               document.put_void()),
              REGDB_E_CLASSNOTREG);

    HRESULT hr = E_FAIL;
    Ref<_MOLTRAGlobalClass> global =
        CreateByProgId<_MOLTRAGlobalClass>(kGlobalProgId, IID__MOLTRAGlobalClass, &hr);
    ASSERT_EQ(hr, S_OK);
    Bstr version(L"2010");
    LONG status = 12345;
    EXPECT_EQ(global->MOLTRAG_Init(version.get(), &status), S_OK);
    EXPECT_EQ(status, 0);
    Bstr app;
    EXPECT_EQ(global->get_AppPath(app.put()), S_OK);
    EXPECT_EQ(app.text(), installation.AppDir());  // found before the geometry
    Ref<_ConfigDocument> cfg;
    EXPECT_EQ(global->get_VelmoCFG(cfg.put()), S_OK);
    EXPECT_FALSE(cfg);
    Ref<_ConfigDocument> geometry;
    EXPECT_EQ(global->get_GeometrieDat(geometry.put()), S_OK);
    EXPECT_FALSE(geometry);
    Bstr beam(installation.Params(u"beam.pp"));
    Ref<_PPDocument> pp;
    EXPECT_EQ(global->MOLTRAG_GetPP(beam.get(), pp.put(), &status), S_OK);
    EXPECT_EQ(status, -1);
    EXPECT_FALSE(pp);
  });
}

}  // namespace
}  // namespace velmo::testing
