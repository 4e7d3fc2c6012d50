#include "context/application_context.h"

#include "config/builtin_documents.h"
#include "platform/system_registry.h"

#ifdef _WIN32
#include <windows.h>

#include <atomic>
#endif

namespace velmo {
namespace {

// The only mutable state outside the objects a caller holds: one context per thread, freed
// when the thread ends.
#ifdef _WIN32
// A fiber-local slot rather than thread_local: GCC 12 calls thread_local destructors on 32-bit
// MinGW with the wrong calling convention, which crashes threads as they end.
void WINAPI FreeContext(void* context) { delete static_cast<ApplicationContext*>(context); }

std::atomic<DWORD> slot{FLS_OUT_OF_INDEXES};

DWORD Slot() {
  DWORD current = slot.load();
  if (current != FLS_OUT_OF_INDEXES) return current;
  const DWORD made = FlsAlloc(FreeContext);
  if (slot.compare_exchange_strong(current, made)) return made;
  FlsFree(made);  // another thread was first
  return current;
}

ApplicationContext* ThisThreadContext() {
  return static_cast<ApplicationContext*>(FlsGetValue(Slot()));
}

void SetThisThreadContext(std::unique_ptr<ApplicationContext> context) {
  std::unique_ptr<ApplicationContext> old(ThisThreadContext());
  FlsSetValue(Slot(), context.release());
}
#else
thread_local std::unique_ptr<ApplicationContext> this_thread_context;

ApplicationContext* ThisThreadContext() { return this_thread_context.get(); }

void SetThisThreadContext(std::unique_ptr<ApplicationContext> context) {
  this_thread_context = std::move(context);
}
#endif

}  // namespace

Platform SystemPlatform() {
  return {platform::NewSystemRegistry(), platform::NewSystemMessageBox(),
          platform::NewSystemFileSystem, NewBuiltInDocuments()};
}

ApplicationContext& CurrentContext() { return CurrentContext(SystemPlatform); }

void ResetCurrentContext(Platform platform) {
  SetThisThreadContext(std::make_unique<ApplicationContext>(std::move(platform)));
}

ApplicationContext& CurrentContext(Platform (*make_platform)()) {
  if (ThisThreadContext() == nullptr) {
    SetThisThreadContext(std::make_unique<ApplicationContext>(make_platform()));
  }
  return *ThisThreadContext();
}

#ifdef _WIN32
void ReleaseAllContexts() {
  // FlsFree runs the clean-up for every thread that holds a context.
  const DWORD freed = slot.exchange(FLS_OUT_OF_INDEXES);
  if (freed != FLS_OUT_OF_INDEXES) FlsFree(freed);
}
#endif

}  // namespace velmo
