// An add-in module in C++: it binds early to the global services through the headers of the
// SDK, listens to both user-switch events, and refuses a switch to a user directory that holds no
// configuration (dat\velmo.cfg).
//
//   user_guard USER-DIR...
//
// It asks to switch to each directory in turn; its listener lets through those that hold a
// configuration.
//
// The servers must be registered, and the add-in installed as for any module (start-up finds
// the application directory and the current user). Every entry of the interfaces answers an
// HRESULT; a member's own fallback (-1, an empty string, a null document) comes back with S_OK.
#include <windows.h>

#include <ocidl.h>  // the connection points
#include <ole2.h>
#include <velmo.h>  // with mol_config_document.h and mol_pp_document.h

#include <cstdio>
#include <string>

namespace {

// The dispatch ids of the events, as the type library gives them.
constexpr DISPID kUserChanging = 1;
constexpr DISPID kUserChanged = 2;

std::string Utf8(const wchar_t* text) {
  if (text == nullptr) return {};
  const int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (size <= 1) return {};
  std::string out(static_cast<size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), size, nullptr, nullptr);
  out.pop_back();  // the terminating NUL
  return out;
}

// A BSTR owned here: the caller of a member frees the strings it passes and those it receives.
class Bstr {
 public:
  explicit Bstr(const wchar_t* text = nullptr) : value_(text ? SysAllocString(text) : nullptr) {}
  Bstr(const Bstr&) = delete;
  Bstr& operator=(const Bstr&) = delete;
  ~Bstr() { SysFreeString(value_); }
  BSTR get() const { return value_; }
  BSTR* put() {
    SysFreeString(value_);
    value_ = nullptr;
    return &value_;
  }
  std::string utf8() const { return Utf8(value_); }

 private:
  BSTR value_;
};

bool HasConfiguration(const wchar_t* user_dir) {
  std::wstring file = user_dir;
  if (!file.empty() && file.back() != L'\\') file += L'\\';
  file += L"dat\\velmo.cfg";
  const DWORD attributes = GetFileAttributesW(file.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// The listener: an IDispatch that answers for the events' dispinterface. The library calls it on
// the thread that asked for the switch, before MOLTRAG_EcrireUser returns.
class UserListener final : public IDispatch {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (out == nullptr) return E_POINTER;
    *out = nullptr;
    if (iid != IID_IUnknown && iid != IID_IDispatch && iid != DIID___MOLTRAGlobalClass) {
      return E_NOINTERFACE;
    }
    *out = static_cast<IDispatch*>(this);
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return InterlockedIncrement(&references_); }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG left = InterlockedDecrement(&references_);
    if (left == 0) delete this;
    return left;
  }

  // Nobody asks a listener for names or type information.
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override {
    if (count == nullptr) return E_POINTER;
    *count = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
    return E_NOTIMPL;
  }

  // The arguments arrive last first: rgvarg[1] is the first one declared.
  HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT*,
                                   EXCEPINFO*, UINT*) override {
    if (params == nullptr || params->cArgs != 2 || V_VT(&params->rgvarg[1]) != VT_BSTR) {
      return DISP_E_BADPARAMCOUNT;
    }
    const wchar_t* first = V_BSTR(&params->rgvarg[1]);
    VARIANT& second = params->rgvarg[0];
    if (id == kUserChanging && V_VT(&second) == (VT_BYREF | VT_BOOL)) {
      // Cancel comes in as the listeners before this one left it; set it to refuse.
      const bool refuse = !HasConfiguration(first);
      std::printf("UserChanging to %s: %s\n", Utf8(first).c_str(),
                  refuse ? "refused, it has no dat\\velmo.cfg" : "let through");
      if (refuse) *V_BOOLREF(&second) = VARIANT_TRUE;
      return S_OK;
    }
    if (id == kUserChanged && V_VT(&second) == VT_BSTR) {
      std::printf("UserChanged from %s to %s\n", Utf8(first).c_str(),
                  Utf8(V_BSTR(&second)).c_str());
      return S_OK;
    }
    return DISP_E_MEMBERNOTFOUND;
  }

 private:
  ~UserListener() = default;
  LONG references_ = 1;
};

void ShowUser(_MOLTRAGlobalClass* global) {
  Bstr path;
  if (SUCCEEDED(global->get_UserPath(path.put()))) std::printf("User %s\n", path.utf8().c_str());
}

// What the merged configuration says: a VARIANT holding a String, or Empty when absent.
void ShowUnits(_MOLTRAGlobalClass* global) {
  _ConfigDocument* cfg = nullptr;
  if (FAILED(global->get_VelmoCFG(&cfg)) || cfg == nullptr) {
    std::printf("No configuration\n");
    return;
  }
  Bstr section(L"Units"), name(L"Length");
  VARIANT value;
  VariantInit(&value);
  if (SUCCEEDED(cfg->Value(section.get(), name.get(), &value)) && V_VT(&value) == VT_BSTR) {
    std::printf("Length in %s\n", Utf8(V_BSTR(&value)).c_str());
  } else {
    std::printf("No Units\\Length\n");
  }
  VariantClear(&value);
  cfg->Release();
}

void SwitchTo(_MOLTRAGlobalClass* global, const wchar_t* user_dir) {
  Bstr path(user_dir);
  LONG result = -1;
  const HRESULT hr = global->MOLTRAG_EcrireUser(path.get(), &result);
  // 0 also when a listener refused: the user directory tells what happened.
  std::printf("MOLTRAG_EcrireUser answered 0x%08lx, %ld\n", static_cast<unsigned long>(hr),
              static_cast<long>(result));
  ShowUser(global);
}

int Run(int count, wchar_t** user_dirs) {
  _MOLTRAGlobalClass* global = nullptr;
  HRESULT hr = CoCreateInstance(CLSID_MOLTRAGlobalClass, nullptr, CLSCTX_INPROC_SERVER,
                                IID__MOLTRAGlobalClass, reinterpret_cast<void**>(&global));
  if (FAILED(hr)) {
    std::printf("VELMOSWGlobalLib.MOLTRAGlobalClass is not registered (0x%08lx)\n",
                static_cast<unsigned long>(hr));
    return 1;
  }
  Bstr version(L"2010");
  LONG result = -1;
  hr = global->MOLTRAG_Init(version.get(), &result);
  std::printf("MOLTRAG_Init answered %ld\n", SUCCEEDED(hr) ? static_cast<long>(result) : -1L);
  ShowUser(global);
  ShowUnits(global);

  // Connect the listener to the object's events; they reach only the listeners of the instance
  // whose MOLTRAG_EcrireUser is called.
  IConnectionPointContainer* container = nullptr;
  IConnectionPoint* point = nullptr;
  DWORD cookie = 0;
  UserListener* listener = new UserListener;
  hr = global->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(&container));
  if (SUCCEEDED(hr)) hr = container->FindConnectionPoint(DIID___MOLTRAGlobalClass, &point);
  if (SUCCEEDED(hr)) hr = point->Advise(listener, &cookie);
  const bool listening = SUCCEEDED(hr);
  std::printf("Listening: %s\n", listening ? "yes" : "no");

  if (listening) {
    for (int i = 0; i < count; ++i) SwitchTo(global, user_dirs[i]);
    ShowUnits(global);  // the current user's configuration, loaded by a switch let through
    point->Unadvise(cookie);
  }
  if (point != nullptr) point->Release();
  if (container != nullptr) container->Release();
  listener->Release();
  global->Release();
  return listening ? 0 : 1;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: user_guard USER-DIR...\n");
    return 2;
  }
  // The servers are apartment-threaded: this thread is their apartment.
  if (FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) return 1;
  const int status = Run(argc - 1, argv + 1);
  CoUninitialize();
  return status;
}
