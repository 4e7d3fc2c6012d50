#include "context/application_context.h"

#include "config/builtin_documents.h"
#include "platform/system_registry.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace velmo {
namespace {

// The only mutable state outside the objects a caller holds: one context per thread, freed
// when the thread ends.
#ifdef _WIN32
// A fiber-local slot rather than thread_local: GCC 12 calls thread_local destructors on 32-bit
// MinGW with the wrong calling convention, which crashes threads as they end.
void WINAPI FreeContext(void* context) { delete static_cast<ApplicationContext*>(context); }

DWORD Slot() {
  static const DWORD slot = FlsAlloc(FreeContext);
  return slot;
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

ApplicationContext& CurrentContext() {
  if (ThisThreadContext() == nullptr) {
    SetThisThreadContext(std::make_unique<ApplicationContext>(SystemPlatform()));
  }
  return *ThisThreadContext();
}

void ResetCurrentContext(Platform platform) {
  SetThisThreadContext(std::make_unique<ApplicationContext>(std::move(platform)));
}

}  // namespace velmo
