// The module's handle and the counts that decide whether it may be unloaded.
#include <atomic>

#include "automation_documents.h"
#include "server.h"

namespace velmo::binding {
namespace {

HMODULE this_module = nullptr;
std::atomic<long> live_objects{0};
std::atomic<long> server_locks{0};

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
bool CanUnloadNow() {
  return live_objects == 0 && server_locks == 0 && LiveAutomationObjects() == 0;
}

}  // namespace velmo::binding
