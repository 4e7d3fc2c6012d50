// What a call of MOLTRAGlobalClass costs through its vtable, through IDispatch as a script makes
// it (GetIDsOfNames then Invoke) and through Invoke alone, beside the same calls of
// Scripting.Dictionary's Count made in the same run. Both servers are created by ProgID, so they
// must be registered; the library should have been started up with MOLTRAG_Init on an
// installation for RegReadInterfaceValue to read a value.
//
//   automation_calls.exe [CALLS]
//
// Prints one line per measurement: the best of several rounds of CALLS calls (a hundredth of
// them for the registry reads, each of which goes to the Wine server), in nanoseconds.
#include <windows.h>

#include <oaidl.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>

#include "velmo.h"

namespace {

double Now() {
  static const double ticks_per_ns = [] {
    LARGE_INTEGER frequency{};
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(frequency.QuadPart) / 1e9;
  }();
  LARGE_INTEGER count{};
  QueryPerformanceCounter(&count);
  return static_cast<double>(count.QuadPart) / ticks_per_ns;
}

// Nanoseconds per call: the best of several rounds, so that a neighbour's burst of work on a
// shared machine does not count.
double Time(long calls, const std::function<void()>& call) {
  double best = 1e300;
  for (int round = 0; round < 7; ++round) {
    const double start = Now();
    for (long i = 0; i < calls; ++i) call();
    best = std::min(best, (Now() - start) / static_cast<double>(calls));
  }
  return best;
}

IDispatch* Create(const wchar_t* progid) {
  CLSID clsid{};
  IDispatch* object = nullptr;
  if (FAILED(CLSIDFromProgID(progid, &clsid)) ||
      FAILED(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch,
                              reinterpret_cast<void**>(&object)))) {
    std::fprintf(stderr, "automation_calls: cannot create %ls\n", progid);
    std::exit(2);
  }
  return object;
}

// Calls `name` with `args` (last argument first, as IDispatch has them) and drops the result;
// `by_name` looks the name up first, as a script does on every call.
struct Caller {
  IDispatch* object;
  const wchar_t* name;
  WORD flags;
  VARIANT* args = nullptr;
  UINT count = 0;
  DISPID id = DISPID_UNKNOWN;

  void Resolve() {
    LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
    if (FAILED(object->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id))) {
      std::fprintf(stderr, "automation_calls: no member %ls\n", name);
      std::exit(2);
    }
  }
  void Call() {
    DISPPARAMS params{args, nullptr, count, 0};
    VARIANT result;
    VariantInit(&result);
    if (FAILED(object->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, &params, &result, nullptr,
                              nullptr))) {
      std::fprintf(stderr, "automation_calls: %ls failed\n", name);
      std::exit(2);
    }
    VariantClear(&result);
  }
  void CallByName() {
    Resolve();
    Call();
  }
};

void Report(const char* what, double ns) { std::printf("%-58s %8.0f ns\n", what, ns); }

}  // namespace

int main(int argc, char** argv) {
  const long calls = argc > 1 ? std::max(std::atol(argv[1]), 100L) : 50000;
  const long reads = calls / 100;
  if (FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) return 2;
  IDispatch* dictionary = Create(L"Scripting.Dictionary");
  IDispatch* global = Create(L"VELMOSWGlobalLib.MOLTRAGlobalClass");
  _MOLTRAGlobalClass* vtable = nullptr;
  if (FAILED(global->QueryInterface(IID__MOLTRAGlobalClass, reinterpret_cast<void**>(&vtable)))) {
    return 2;
  }
  constexpr WORD kGet = DISPATCH_PROPERTYGET | DISPATCH_METHOD;
  // A library that has not started up would show its undefined-version box on each read.
  BSTR started = SysAllocString(L"2010");
  LONG status = -1;
  vtable->MOLTRAG_Init(started, &status);
  SysFreeString(started);
  if (status != 0) std::fprintf(stderr, "automation_calls: MOLTRAG_Init answered %ld\n", status);

  // A string argument as a script passes a literal, and as it passes a variable.
  VARIANT literal;
  V_VT(&literal) = VT_BSTR;
  V_BSTR(&literal) = SysAllocString(L"Langue");
  VARIANT variable;
  VariantInit(&variable);
  VariantCopy(&variable, &literal);
  VARIANT by_reference;
  V_VT(&by_reference) = VT_BYREF | VT_VARIANT;
  V_VARIANTREF(&by_reference) = &variable;

  Caller count{dictionary, L"Count", kGet};
  Caller application{global, L"Application", kGet};
  Caller langue{global, L"Langue", kGet};
  Caller version{global, L"Version", kGet};
  Caller read{global, L"RegReadInterfaceValue", DISPATCH_METHOD, &literal, 1};
  Caller read_variable{global, L"RegReadInterfaceValue", DISPATCH_METHOD, &by_reference, 1};
  for (Caller* c : {&count, &application, &langue, &version, &read, &read_variable}) c->Resolve();

  // A fresh prefix starts its own services with the first program, and the Wine server answers
  // slowly for the first seconds: registry reads until it answers as it will.
  for (const double until = Now() + 3e9; Now() < until;) read.Call();

  const double count_by_name = Time(calls, [&] { count.CallByName(); });
  Report("Dictionary.Count, GetIDsOfNames + Invoke", count_by_name);
  const double application_by_name = Time(calls, [&] { application.CallByName(); });
  Report("Application, GetIDsOfNames + Invoke", application_by_name);
  const double langue_by_name = Time(calls, [&] { langue.CallByName(); });
  Report("Langue, GetIDsOfNames + Invoke", langue_by_name);
  const double version_by_name = Time(calls, [&] { version.CallByName(); });
  Report("Version, GetIDsOfNames + Invoke", version_by_name);
  const double read_by_name = Time(reads, [&] { read.CallByName(); });
  Report("RegReadInterfaceValue(\"Langue\"), GetIDsOfNames + Invoke", read_by_name);
  Report("RegReadInterfaceValue(variable), GetIDsOfNames + Invoke",
         Time(reads, [&] { read_variable.CallByName(); }));

  Report("Dictionary.Count, GetIDsOfNames", Time(calls, [&] { count.Resolve(); }));
  Report("Application, GetIDsOfNames", Time(calls, [&] { application.Resolve(); }));
  Report("Dictionary.Count, Invoke", Time(calls, [&] { count.Call(); }));
  Report("Application, Invoke", Time(calls, [&] { application.Call(); }));
  Report("Langue, Invoke", Time(calls, [&] { langue.Call(); }));
  Report("RegReadInterfaceValue(variable), Invoke", Time(reads, [&] { read_variable.Call(); }));

  const double application_vtable = Time(calls, [&] {
    BSTR text = nullptr;
    vtable->get_Application(&text);
    SysFreeString(text);
  });
  Report("Application, vtable", application_vtable);
  const double langue_vtable = Time(calls, [&] {
    LONG value = 0;
    vtable->get_Langue(&value);
  });
  Report("Langue, vtable", langue_vtable);
  const double version_vtable = Time(calls, [&] {
    BSTR text = nullptr;
    vtable->get_Version(&text);
    SysFreeString(text);
  });
  Report("Version, vtable", version_vtable);
  const double read_vtable = Time(reads, [&] {
    BSTR text = nullptr;
    vtable->RegReadInterfaceValue(V_BSTR(&literal), &text);
    SysFreeString(text);
  });
  Report("RegReadInterfaceValue(\"Langue\"), vtable", read_vtable);

  // By name as a script calls, against Dictionary.Count called the same way; the vtable beside.
  const auto ratio = [&](const char* what, double by_name, double through_vtable) {
    std::printf(
        "%s by name / Dictionary.Count by name: %.2fx (%.0f ns against %.0f ns); "
        "vtable %.0f ns\n",
        what, by_name / count_by_name, by_name, count_by_name, through_vtable);
  };
  ratio("Application", application_by_name, application_vtable);
  ratio("Langue", langue_by_name, langue_vtable);
  ratio("Version", version_by_name, version_vtable);
  ratio("RegReadInterfaceValue", read_by_name, read_vtable);

  VariantClear(&variable);
  VariantClear(&literal);
  vtable->Release();
  global->Release();
  dictionary->Release();
  CoUninitialize();
  return 0;
}
