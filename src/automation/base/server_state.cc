// The module's handle, the counts that decide whether it may be unloaded, and its type library.
#include <atomic>
#include <exception>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "automation/base/com_ref.h"
#include "automation/base/dispatch_table.h"
#include "automation/base/server.h"

namespace velmo::binding {
namespace {

HMODULE this_module = nullptr;
std::atomic<long> live_objects{0};
std::atomic<long> server_locks{0};

// Type descriptions are free-threaded and read-only once loaded, so one set serves every object
// on every thread.
struct TypeCache {
  struct Entry {
    GUID guid;
    bool vtable_half;
    ComRef<ITypeInfo> info;
  };
  struct Table {
    GUID guid;
    std::shared_ptr<const DispatchTable> table;
  };
  std::mutex mutex;
  ComRef<ITypeLib> library;
  std::vector<Entry> entries;
  std::vector<Table> tables;
};

// Never destroyed: a client may release an object after this module's static destructors ran.
TypeCache& Cache() {
  static TypeCache* const cache = new TypeCache;
  return *cache;
}

HRESULT Describe(ITypeLib* library, REFGUID guid, bool vtable_half, ComRef<ITypeInfo>* info) {
  ComRef<ITypeInfo> found;
  HRESULT hr = library->GetTypeInfoOfGuid(guid, found.put());
  if (FAILED(hr)) return hr;
  HREFTYPE href = 0;
  if (vtable_half && SUCCEEDED(found->GetRefTypeOfImplType(-1, &href))) {
    return found->GetRefTypeInfo(href, info->put());
  }
  *info = std::move(found);
  return S_OK;
}

}  // namespace

HMODULE Module() { return this_module; }
void SetModule(HMODULE module) { this_module = module; }

std::wstring ModulePath() {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length =
        GetModuleFileNameW(this_module, path.data(), static_cast<DWORD>(path.size()));
    if (length == 0) return {};
    if (length < path.size()) {
      path.resize(length);
      return path;
    }
    path.resize(path.size() * 2);
  }
}

void ObjectCreated() { ++live_objects; }
void ObjectDestroyed() { --live_objects; }
void LockServer(bool lock) { lock ? ++server_locks : --server_locks; }
bool CanUnloadNow() { return live_objects == 0 && server_locks == 0; }

HRESULT TypeInfoOf(REFGUID guid, bool vtable_half, ITypeInfo** info) {
  if (info == nullptr) return E_POINTER;
  *info = nullptr;
  TypeCache& cache = Cache();
  std::lock_guard lock(cache.mutex);
  for (const TypeCache::Entry& entry : cache.entries) {
    if (entry.vtable_half == vtable_half && IsEqualGUID(entry.guid, guid)) {
      *info = entry.info.share();
      return S_OK;
    }
  }
  if (!cache.library) {
    const HRESULT hr = LoadTypeLibEx(ModulePath().c_str(), REGKIND_NONE, cache.library.put());
    if (FAILED(hr)) return hr;
  }
  ComRef<ITypeInfo> found;
  const HRESULT hr = Describe(cache.library.get(), guid, vtable_half, &found);
  if (FAILED(hr)) return hr;
  try {
    cache.entries.push_back({guid, vtable_half, ComRef<ITypeInfo>::Retain(found.get())});
  } catch (const std::exception&) {
    return E_OUTOFMEMORY;
  }
  *info = found.release();
  return S_OK;
}

HRESULT DispatchTableOf(REFIID iid, std::shared_ptr<const DispatchTable>* out) noexcept {
  if (out == nullptr) return E_POINTER;
  out->reset();
  TypeCache& cache = Cache();
  {
    std::lock_guard lock(cache.mutex);
    for (const TypeCache::Table& entry : cache.tables) {
      if (IsEqualGUID(entry.guid, iid)) {
        *out = entry.table;
        return S_OK;
      }
    }
  }
  // Read outside the lock, which TypeInfoOf takes; two threads reading at once keep the first.
  ComRef<ITypeInfo> info;
  HRESULT hr = TypeInfoOf(iid, /*vtable_half=*/true, info.put());
  if (FAILED(hr)) return hr;
  std::shared_ptr<const DispatchTable> table;
  hr = DispatchTable::Read(info.get(), &table);
  if (FAILED(hr)) return hr;
  std::lock_guard lock(cache.mutex);
  for (const TypeCache::Table& entry : cache.tables) {
    if (IsEqualGUID(entry.guid, iid)) {
      *out = entry.table;
      return S_OK;
    }
  }
  try {
    cache.tables.push_back({iid, table});
  } catch (const std::exception&) {
    return E_OUTOFMEMORY;
  }
  *out = std::move(table);
  return S_OK;
}

void ReleaseTypeLibrary() {
  TypeCache& cache = Cache();
  std::lock_guard lock(cache.mutex);
  cache.tables.clear();  // objects that still hold one keep it
  cache.entries.clear();
  cache.library.put();
}

}  // namespace velmo::binding
