#include "context/application_context.h"

#include "config/builtin_documents.h"
#include "platform/system_registry.h"

#include <stdexcept>

#ifdef _WIN32
#include <windows.h>

#include <atomic>
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
//
// A context in a thread's slot is freed only on that thread: a hold dropped on another thread (a
// caller releasing an object where it may not) leaves the context where it is, abandoned, for its
// thread to free the next time it asks for its context or ends, and the DLL in use until then.
// Once its thread has ended, a context is out of every slot and the last hold frees it anywhere.
struct Entry {
  explicit Entry(Platform platform, bool owned)
      : context(std::move(platform)), thread_owned(owned), thread(GetCurrentThreadId()) {}
  ApplicationContext context;
  // The holds, with kDetached once the entry has left its thread's slot while some remained.
  std::atomic<long> holds{0};
  const bool thread_owned;
  const DWORD thread;  // whose slot it is in until it is detached
};

constexpr long kDetached = 0x40000000;

// Held-only entries whose last hold went on another thread, left in their thread's slot.
std::atomic<long> abandoned{0};

// The entry leaves its thread's slot: freed now when no hold is left, else by the last hold.
void Detach(Entry* entry) {
  if (entry->holds.fetch_or(kDetached) != 0) return;
  if (!entry->thread_owned) --abandoned;  // held-only and without holds: it was abandoned
  delete entry;
}

void WINAPI ThreadEnded(void* value) { Detach(static_cast<Entry*>(value)); }

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

// Takes a hold on this thread's own entry, unless another thread abandoned it.
bool TryHold(Entry& entry) {
  long holds = entry.holds.load();
  do {
    if (holds == 0 && !entry.thread_owned) return false;
  } while (!entry.holds.compare_exchange_weak(holds, holds + 1));
  return true;
}

// This thread's entry, with a hold taken on it when `hold`; one that another thread abandoned
// is freed here, on its own thread, and the thread has none.
Entry* ThisThreadEntry(bool hold = false) {
  auto* entry = static_cast<Entry*>(FlsGetValue(Slot()));
  if (entry == nullptr) return nullptr;
  if (hold ? TryHold(*entry) : entry->thread_owned || entry->holds.load() != 0) return entry;
  FlsSetValue(Slot(), nullptr);
  --abandoned;
  delete entry;
  return nullptr;
}

ApplicationContext* ThisThreadContext() {
  Entry* entry = ThisThreadEntry();
  return entry != nullptr ? &entry->context : nullptr;
}

// Puts a new entry in this thread's slot; the one it replaces leaves it.
Entry* SetThisThreadEntry(std::unique_ptr<Entry> entry) {
  Entry* old = ThisThreadEntry();
  if (!FlsSetValue(Slot(), entry.get())) throw std::runtime_error("FlsSetValue failed");
  if (old != nullptr) Detach(old);
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

void ApplicationContext::MakeFileSystem() {
  if (!platform.new_file_system) throw std::runtime_error("no file system");
  file_system_ = platform.new_file_system();
  if (!file_system_) throw std::runtime_error("the file-system object was not made");
}

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
  Entry* entry = ThisThreadEntry(/*hold=*/true);
  if (entry == nullptr) {
    entry = SetThisThreadEntry(std::make_unique<Entry>(make_platform(), /*owned=*/false));
    ++entry->holds;
  }
  entry_ = entry;
}

ContextHold::~ContextHold() {
  auto* entry = static_cast<Entry*>(entry_);
  // Read first: once the hold is dropped, another thread may free the entry.
  const bool thread_owned = entry->thread_owned;
  const bool elsewhere = entry->thread != GetCurrentThreadId();
  // Dropped on another thread, a last hold leaves the entry abandoned: counted before, so that
  // its thread never frees it uncounted, and taken back when it was not the last.
  if (elsewhere && !thread_owned) ++abandoned;
  const long before = entry->holds.fetch_sub(1);
  if (elsewhere && !thread_owned && before != 1) --abandoned;
  if (before == (kDetached | 1)) {
    delete entry;  // out of every slot: the last hold frees it wherever it goes
    return;
  }
  if (before != 1 || thread_owned || elsewhere) return;
  const DWORD current = slot.load();
  if (current != FLS_OUT_OF_INDEXES && FlsGetValue(current) == entry) FlsSetValue(current, nullptr);
  delete entry;
}

bool ContextsAbandoned() { return abandoned.load() != 0; }

void ReleaseContextSlot() {
  // Every hold is gone by now, so no slot holds anything this would have to free.
  const DWORD freed = slot.exchange(FLS_OUT_OF_INDEXES);
  if (freed != FLS_OUT_OF_INDEXES) FlsFree(freed);
}
#endif

}  // namespace velmo
