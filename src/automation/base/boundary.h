// The one way into this module's code from a COM caller. Every method of every object the
// servers hand out, and every export, is a call of Answer or Guard around its work: nothing
// thrown ever leaves through an interface, which a COM caller could not survive, and each kind of
// result has its one fallback.
#ifndef VELMO_AUTOMATION_BASE_BOUNDARY_H_
#define VELMO_AUTOMATION_BASE_BOUNDARY_H_

#include <windows.h>

#include <oaidl.h>

#include <cstdint>
#include <new>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <utility>

#include "automation/base/server.h"

namespace velmo::binding {

// A failure that has a status of its own to be answered with where it is reported.
class ComFailure : public std::runtime_error {
 public:
  ComFailure(HRESULT code, const char* what) : std::runtime_error(what), code_(code) {}
  HRESULT code() const { return code_; }

 private:
  HRESULT code_;
};

// A member that answers under the library's failure convention: `work()` gives the result,
// which goes to `*out` with S_OK. The library's own failures are already its fallbacks (the
// public classes answer them); what is left to fail here is a conversion or an allocation, and
// then `*out` gets the fallback of its kind with S_OK all the same. Only a result that cannot be
// made (its string's allocation failing) answers E_OUTOFMEMORY. `out` null is E_POINTER.
//
//   LONG*          work() -> std::int32_t          fallback -1
//   BSTR*          work() -> std::u16string        fallback "" (a null BSTR, as automation has it)
//   VARIANT_BOOL*  work() -> bool                  fallback false
//   I** (a COM interface)  work() -> I* (owned)    fallback null
template <typename Result>
Result FallbackOf() noexcept {
  if constexpr (std::is_same_v<Result, VARIANT_BOOL>) {
    return VARIANT_FALSE;
  } else if constexpr (std::is_pointer_v<Result>) {
    return nullptr;  // BSTR included
  } else {
    static_assert(std::is_same_v<Result, LONG>, "no fallback for this kind of result");
    return -1;
  }
}

template <typename Result, typename Work>
HRESULT Answer(Result* out, Work&& work) noexcept {
  if (out == nullptr) return E_POINTER;
  *out = FallbackOf<Result>();
  try {
    if constexpr (std::is_same_v<Result, BSTR>) {
      return ToBstr(work(), out);
    } else if constexpr (std::is_same_v<Result, VARIANT_BOOL>) {
      *out = work() ? VARIANT_TRUE : VARIANT_FALSE;
    } else {
      *out = work();
    }
  } catch (...) {
    *out = FallbackOf<Result>();
  }
  return S_OK;
}

// A member with nothing to answer (a property setter): it stops where a failure occurs, and
// what it did before stays done.
template <typename Work>
HRESULT Answer(Work&& work) noexcept {
  try {
    work();
  } catch (...) {
  }
  return S_OK;
}

// A member or export that reports its failures as statuses: `work()` gives the status; a
// failure thrown becomes E_OUTOFMEMORY for an allocation, and otherwise `failure` with the
// thrown description in the thread's error object for `iid` (a ComFailure's own status in place
// of `failure`).
template <typename Work>
HRESULT Guard(REFIID iid, HRESULT failure, Work&& work) noexcept {
  try {
    return work();
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  } catch (const ComFailure& thrown) {
    return ReportError(thrown.code(), iid, thrown.what());
  } catch (const std::exception& thrown) {
    return ReportError(failure, iid, thrown.what());
  } catch (...) {
    return ReportError(failure, iid, "unexpected failure");
  }
}

// The same for plumbing with no interface of its own to describe failures by.
template <typename Work>
HRESULT Guard(Work&& work) noexcept {
  return Guard(GUID_NULL, E_UNEXPECTED, std::forward<Work>(work));
}

}  // namespace velmo::binding

#endif  // VELMO_AUTOMATION_BASE_BOUNDARY_H_
