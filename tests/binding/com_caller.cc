#include "com_caller.h"

#include <gtest/gtest.h>

#include <thread>

namespace velmo::testing {
namespace {

HKEY RootOf(Hive hive) { return hive == Hive::kUser ? HKEY_CURRENT_USER : HKEY_LOCAL_MACHINE; }
REGSAM ViewOf(Hive hive) { return hive == Hive::kUser ? 0 : KEY_WOW64_32KEY; }

void DeleteTree(HKEY root, REGSAM view) {
  HKEY software = nullptr;
  if (RegOpenKeyExW(root, L"SOFTWARE", 0, KEY_ALL_ACCESS | view, &software) != ERROR_SUCCESS) {
    return;
  }
  RegDeleteTreeW(software, L"MOLTRA");
  RegCloseKey(software);
}

}  // namespace

void InApartment(const std::function<void()>& body) {
  std::thread thread([&body] {
    const HRESULT hr = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    if (FAILED(hr)) {
      ADD_FAILURE() << "CoInitializeEx: 0x" << std::hex << hr;
      return;
    }
    body();
    CoUninitialize();
  });
  thread.join();
}

Installation::Installation() {
  ClearLibraryKeys();
  app_.Write(u"Dat/Geometrie.dat", "[Poutre]\nHauteur = 200\n");
  app_.Write(u"dat/velmo.cfg", "[General]\nNom = application\nUnites = mm\n");
  app_.Write(u"params/beam.pp", "Largeur = 100\nHauteur = 200\n");
  app_.Write(u"params/column.pp", "Hauteur = 3000\n");
  user_.Write(u"dat/velmo.cfg", "[General]\nNom = utilisateur\n");
  other_user_.MakeDirectory(u"dat");
  EXPECT_TRUE(WriteRegistryString(Hive::kMachine, kReleaseKey, L"PATH", Bare(app_)));
  EXPECT_TRUE(WriteRegistryString(Hive::kUser, kReleaseKey, L"USER", Bare(user_)));
}

void ClearLibraryKeys() {
  DeleteTree(HKEY_CURRENT_USER, 0);
  DeleteTree(HKEY_LOCAL_MACHINE, KEY_WOW64_32KEY);
  DeleteTree(HKEY_LOCAL_MACHINE, KEY_WOW64_64KEY);
}

bool WriteRegistryString(Hive hive, const wchar_t* key, const wchar_t* name,
                         std::wstring_view value) {
  HKEY opened = nullptr;
  if (RegCreateKeyExW(RootOf(hive), key, 0, nullptr, REG_OPTION_NON_VOLATILE,
                      KEY_SET_VALUE | ViewOf(hive), nullptr, &opened, nullptr) != ERROR_SUCCESS) {
    return false;
  }
  const std::wstring data(value);
  const LSTATUS status =
      RegSetValueExW(opened, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(data.c_str()),
                     static_cast<DWORD>((data.size() + 1) * sizeof(wchar_t)));
  RegCloseKey(opened);
  return status == ERROR_SUCCESS;
}

std::optional<std::wstring> ReadRegistryString(Hive hive, const wchar_t* key, const wchar_t* name) {
  HKEY opened = nullptr;
  if (RegOpenKeyExW(RootOf(hive), key, 0, KEY_QUERY_VALUE | ViewOf(hive), &opened) !=
      ERROR_SUCCESS) {
    return std::nullopt;
  }
  DWORD type = 0;
  DWORD size = 0;
  std::optional<std::wstring> text;
  if (RegQueryValueExW(opened, name, nullptr, &type, nullptr, &size) == ERROR_SUCCESS &&
      type == REG_SZ) {
    std::wstring data(size / sizeof(wchar_t) + 1, L'\0');
    if (RegQueryValueExW(opened, name, nullptr, &type, reinterpret_cast<BYTE*>(data.data()),
                         &size) == ERROR_SUCCESS) {
      data.resize(size / sizeof(wchar_t));
      while (!data.empty() && data.back() == L'\0') data.pop_back();
      text = data;
    }
  }
  RegCloseKey(opened);
  return text;
}

std::wstring ErrorDescription(GUID* source_interface) {
  Ref<IErrorInfo> info;
  if (GetErrorInfo(0, info.put()) != S_OK || !info) return {};
  Bstr description;
  info->GetDescription(description.put());
  if (source_interface != nullptr) info->GetGUID(source_interface);
  return description.text();
}

}  // namespace velmo::testing
