#include "context/application_context.h"

#include "config/builtin_documents.h"
#include "platform/system_registry.h"

#ifdef _WIN32
#include <windows.h>

#include <atomic>
#include <stdexcept>
#endif

namespace velmo {
namespace {

// The only mutable state outside the objects a caller holds: one context per thread.
#ifdef _WIN32
// A fiber-local slot rather than thread_local: GCC 12 calls thread_local destructors on 32-bit
// MinGW with the wrong calling convention, which crashes threads as they end.
//
// A context is owned either by its thread (made by CurrentContext, freed when the thread ends)
// or by the holds on it (made by ContextHold, freed when the last hold goes). The automation
// server only ever holds: its contexts go with its objects, so none is left when the DLL may be
// unloaded, and nothing that releases a COM object runs under the loader lock.
struct Entry {
  explicit Entry(Platform platform, bool owned)
      : context(std::move(platform)), thread_owned(owned) {}
  ApplicationContext context;
  long holds = 0;
  bool thread_owned;
  bool thread_gone = false;  // its thread ended while holds remained
};

void WINAPI ThreadEnded(void* value) {
  auto* entry = static_cast<Entry*>(value);
  if (entry->holds == 0) {
    delete entry;
  } else {
    entry->thread_gone = true;  // the last hold frees it
  }
}

std::atomic<DWORD> slot{FLS_OUT_OF_INDEXES};

DWORD Slot() {
  DWORD current = slot.load();
  if (current != FLS_OUT_OF_INDEXES) return current;
  const DWORD made = FlsAlloc(ThreadEnded);
  if (made == FLS_OUT_OF_INDEXES) throw std::runtime_error("no fiber-local slot is left");
  if (slot.compare_exchange_strong(current, made)) return made;
  FlsFree(made);  // another thread was first
  return current;
}

Entry* ThisThreadEntry() { return static_cast<Entry*>(FlsGetValue(Slot())); }

ApplicationContext* ThisThreadContext() {
  Entry* entry = ThisThreadEntry();
  return entry != nullptr ? &entry->context : nullptr;
}

// Puts a new entry in this thread's slot, freeing the one it replaces if the thread owned it.
Entry* SetThisThreadEntry(std::unique_ptr<Entry> entry) {
  Entry* old = ThisThreadEntry();
  if (!FlsSetValue(Slot(), entry.get())) throw std::runtime_error("FlsSetValue failed");
  if (old != nullptr) {
    if (old->holds == 0) {
      delete old;
    } else {
      old->thread_gone = true;  // no longer the thread's: the last hold frees it
    }
  }
  return entry.release();
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
#ifdef _WIN32
  SetThisThreadEntry(std::make_unique<Entry>(std::move(platform), /*owned=*/true));
#else
  SetThisThreadContext(std::make_unique<ApplicationContext>(std::move(platform)));
#endif
}

ApplicationContext& CurrentContext(Platform (*make_platform)()) {
  if (ThisThreadContext() == nullptr) ResetCurrentContext(make_platform());
  return *ThisThreadContext();
}

#ifdef _WIN32
ContextHold::ContextHold(Platform (*make_platform)()) {
  Entry* entry = ThisThreadEntry();
  if (entry == nullptr) {
    entry = SetThisThreadEntry(std::make_unique<Entry>(make_platform(), /*owned=*/false));
  }
  ++entry->holds;
  entry_ = entry;
}

ContextHold::~ContextHold() {
  auto* entry = static_cast<Entry*>(entry_);
  if (--entry->holds > 0 || (entry->thread_owned && !entry->thread_gone)) return;
  const DWORD current = slot.load();
  if (current != FLS_OUT_OF_INDEXES && FlsGetValue(current) == entry) FlsSetValue(current, nullptr);
  delete entry;
}

void ReleaseContextSlot() {
  // Every hold is gone by now, so no slot holds anything this would have to free.
  const DWORD freed = slot.exchange(FLS_OUT_OF_INDEXES);
  if (freed != FLS_OUT_OF_INDEXES) FlsFree(freed);
}
#endif

}  // namespace velmo
