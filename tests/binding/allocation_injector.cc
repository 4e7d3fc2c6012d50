// Linked into a test build of VELMOSWGlobalLib.dll only: its operator new fails on demand, so
// that a test can make the Nth allocation of a call fail and see what the caller gets, and its
// operator delete fills what it frees with 0xDD, so that what is read after it was freed shows.
#include <windows.h>

#include <malloc.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>

namespace {

std::atomic<long> countdown{0};  // allocations left before the failure; 0 when disarmed
std::atomic<DWORD> armed_thread{0};
std::atomic<bool> failed{false};

void* Allocate(std::size_t size) {
  if (countdown.load() > 0 && GetCurrentThreadId() == armed_thread.load() &&
      countdown.fetch_sub(1) == 1) {
    failed = true;
    throw std::bad_alloc();
  }
  if (void* memory = std::malloc(size == 0 ? 1 : size)) return memory;
  throw std::bad_alloc();
}

void Free(void* memory) {
  if (memory == nullptr) return;
  std::memset(memory, 0xDD, _msize(memory));
  std::free(memory);
}

}  // namespace

void* operator new(std::size_t size) { return Allocate(size); }
void* operator new[](std::size_t size) { return Allocate(size); }
void operator delete(void* memory) noexcept { Free(memory); }
void operator delete[](void* memory) noexcept { Free(memory); }
void operator delete(void* memory, std::size_t) noexcept { Free(memory); }
void operator delete[](void* memory, std::size_t) noexcept { Free(memory); }

// Exported by name through the test DLL's .def file.
extern "C" {

// From the next allocation on the calling thread, the `n`th fails; 0 disarms.
void WINAPI VelmoFailAllocation(long n) {
  failed = false;
  armed_thread = GetCurrentThreadId();
  countdown = n;
}

// Whether the failure armed last has happened; disarms.
BOOL WINAPI VelmoAllocationFailed() {
  countdown = 0;
  return failed.load() ? TRUE : FALSE;
}

}  // extern "C"
