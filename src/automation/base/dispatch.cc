#include <algorithm>
#include <climits>
#include <cmath>
#include <exception>
#include <iterator>
#include <memory>
#include <vector>

#include "automation/base/bstr.h"
#include "automation/base/com_ref.h"
#include "automation/base/dispatch_table.h"
#include "automation/base/server.h"
#include "automation/base/variant.h"

namespace velmo::binding {
namespace {

constexpr std::int64_t kTicksPerDay = 864000000000;  // 100 ns ticks
// FILETIME ticks (since 1601-01-01) of the automation epoch, 1899-12-30.
constexpr std::int64_t kAutomationEpochTicks = 94353120000000000;
constexpr std::int64_t kSecondsFrom1601To1970 = 11644473600;

// The type a by-reference parameter points to, in VARIANT terms; VT_EMPTY when it is not one
// this binding needs to help with.
VARTYPE PointeeType(ITypeInfo* info, const TYPEDESC& desc) {
  if (desc.vt != VT_PTR || desc.lptdesc == nullptr) return VT_EMPTY;
  const TYPEDESC& pointee = *desc.lptdesc;
  switch (pointee.vt) {
    case VT_I2:
    case VT_I4:
    case VT_R8:
    case VT_BOOL:
    case VT_BSTR:
    case VT_DATE:
    case VT_DISPATCH:
    case VT_UNKNOWN:
      return pointee.vt;
    case VT_PTR: {
      // An interface pointer passed by reference.
      if (pointee.lptdesc == nullptr || pointee.lptdesc->vt != VT_USERDEFINED) return VT_EMPTY;
      ComRef<ITypeInfo> target;
      if (FAILED(info->GetRefTypeInfo(pointee.lptdesc->hreftype, target.put()))) return VT_EMPTY;
      TYPEATTR* attr = nullptr;
      VARTYPE vt = VT_UNKNOWN;
      if (SUCCEEDED(target->GetTypeAttr(&attr))) {
        if (attr->typekind == TKIND_DISPATCH || IsEqualGUID(attr->guid, IID_IDispatch) ||
            (attr->wTypeFlags & TYPEFLAG_FDUAL)) {
          vt = VT_DISPATCH;
        }
        target->ReleaseTypeAttr(attr);
      }
      return vt;
    }
    default:
      return VT_EMPTY;
  }
}

// One argument replaced for the call, and where its value goes back afterwards.
struct Fixed {
  Variant temp;
  VARIANT* copy_back = nullptr;  // the caller's variable
};

}  // namespace

std::u16string FromBstr(BSTR text) {
  if (text == nullptr) return {};
  return std::u16string(reinterpret_cast<const char16_t*>(text), SysStringLen(text));
}

HRESULT ToBstr(std::u16string_view text, BSTR* out) noexcept {
  if (out == nullptr) return E_POINTER;
  *out = nullptr;
  if (text.size() > UINT_MAX / sizeof(OLECHAR)) return E_OUTOFMEMORY;
  *out = SysAllocStringLen(reinterpret_cast<const OLECHAR*>(text.data()),
                           static_cast<UINT>(text.size()));
  return *out == nullptr && !text.empty() ? E_OUTOFMEMORY : S_OK;
}

bool IsAutomationDate(DATE date) noexcept {
  // 100-01-01 00:00 and the first moment after 9999-12-31, as VariantTimeToSystemTime takes them.
  return std::isfinite(date) && date >= -657434.0 && date < 2958466.0;
}

// The zero date is no date at all (an entry never loaded): it stays automation's zero in every
// time zone, both ways, rather than moving by the zone's offset.
DATE ToAutomationDate(platform::FileDate date) noexcept {
  if (date == kZeroDate) return 0.0;
  const std::int64_t utc_ticks =
      (date.seconds + kSecondsFrom1601To1970) * 10000000 + date.nanoseconds / 100;
  FILETIME utc{static_cast<DWORD>(utc_ticks), static_cast<DWORD>(utc_ticks >> 32)};
  FILETIME local{};
  if (!FileTimeToLocalFileTime(&utc, &local)) local = utc;
  const std::int64_t ticks =
      (static_cast<std::int64_t>(local.dwHighDateTime) << 32 | local.dwLowDateTime) -
      kAutomationEpochTicks;
  // Before the epoch the whole days count back while the time of day still counts forward:
  // 1899-12-29 06:00 is -1.25.
  const std::int64_t days =
      ticks >= 0 ? ticks / kTicksPerDay : -((-ticks + kTicksPerDay - 1) / kTicksPerDay);
  const double fraction = static_cast<double>(ticks - days * kTicksPerDay) / kTicksPerDay;
  return days >= 0 ? static_cast<double>(days) + fraction : static_cast<double>(days) - fraction;
}

platform::FileDate FromAutomationDate(DATE date) noexcept {
  if (date == 0.0) return kZeroDate;
  const double whole = std::trunc(date);
  const double fraction = std::fabs(date - whole);
  const std::int64_t ticks = static_cast<std::int64_t>(whole) * kTicksPerDay +
                             std::llround(fraction * kTicksPerDay) + kAutomationEpochTicks;
  FILETIME local{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
  FILETIME utc{};
  if (!LocalFileTimeToFileTime(&local, &utc)) utc = local;
  const std::int64_t utc_ticks =
      static_cast<std::int64_t>(utc.dwHighDateTime) << 32 | utc.dwLowDateTime;
  return {utc_ticks / 10000000 - kSecondsFrom1601To1970,
          static_cast<std::int32_t>(utc_ticks % 10000000) * 100};
}

HRESULT ReportError(HRESULT hr, REFGUID interface_id, const char* description) noexcept {
  wchar_t text[512];
  const int length = MultiByteToWideChar(CP_UTF8, 0, description, -1, text, std::size(text) - 1);
  text[length > 0 ? length : 0] = L'\0';  // a description too long for the buffer is cut
  ComRef<ICreateErrorInfo> create;
  if (SUCCEEDED(CreateErrorInfo(create.put()))) {
    create->SetGUID(interface_id);
    create->SetSource(const_cast<LPOLESTR>(L"VELMOSWGlobalLib"));
    create->SetDescription(text);
    ComRef<IErrorInfo> info;
    if (SUCCEEDED(create->QueryInterface(IID_IErrorInfo, info.put_void()))) {
      SetErrorInfo(0, info.get());
    }
  }
  return hr;
}

HRESULT DispatchTable::Read(ITypeInfo* info, std::shared_ptr<const DispatchTable>* out) noexcept {
  if (info == nullptr || out == nullptr) return E_POINTER;
  out->reset();
  TYPEATTR* attr = nullptr;
  HRESULT hr = info->GetTypeAttr(&attr);
  if (FAILED(hr)) return hr;
  const UINT count = attr->cFuncs;
  info->ReleaseTypeAttr(attr);
  try {
    auto table = std::make_shared<DispatchTable>();
    table->members_.reserve(count);
    for (UINT i = 0; i < count; ++i) {
      FUNCDESC* described = nullptr;
      hr = info->GetFuncDesc(i, &described);
      if (FAILED(hr)) return hr;
      const auto release = [info](FUNCDESC* f) { info->ReleaseFuncDesc(f); };
      const std::unique_ptr<FUNCDESC, decltype(release)> function(described, release);
      Member member{{}, function->memid, function->invkind, {}, false, {}};
      member.by_reference.resize(function->cParams, VT_EMPTY);
      member.required.resize(function->cParams, false);
      for (SHORT p = 0; p < function->cParams; ++p) {
        const ELEMDESC& element = function->lprgelemdescParam[p];
        const USHORT flags = element.paramdesc.wParamFlags;
        member.required[p] =
            (flags & (PARAMFLAG_FOPT | PARAMFLAG_FHASDEFAULT | PARAMFLAG_FRETVAL)) == 0;
        if ((flags & PARAMFLAG_FOUT) == 0) continue;
        member.by_reference[p] = PointeeType(info, element.tdesc);
        if (member.by_reference[p] != VT_EMPTY) member.takes_by_reference = true;
      }
      Bstr name;
      UINT names = 0;
      hr = info->GetNames(member.id, name.put(), 1, &names);
      if (FAILED(hr)) return hr;
      if (names == 1 && name.get() != nullptr) {
        member.name.assign(name.get(), SysStringLen(name.get()));
      }
      table->members_.push_back(std::move(member));
    }
    *out = std::move(table);
    return S_OK;
  } catch (const std::exception&) {  // what the tables' allocations throw
    return E_OUTOFMEMORY;
  }
}

DISPID DispatchTable::Find(const OLECHAR* name) const noexcept {
  if (name == nullptr) return DISPID_UNKNOWN;
  size_t length = 0;
  while (name[length] != L'\0') {
    if (name[length] >= 0x80) return DISPID_UNKNOWN;
    ++length;
  }
  const auto fold = [](wchar_t c) { return c >= L'a' && c <= L'z' ? c - L'a' + L'A' : c; };
  for (const Member& member : members_) {
    if (member.name.size() != length) continue;
    size_t i = 0;
    while (i < length && fold(member.name[i]) == fold(name[i])) ++i;
    if (i == length) return member.id;
  }
  return DISPID_UNKNOWN;
}

const DispatchTable::Member* DispatchTable::Of(DISPID id, WORD flags) const noexcept {
  for (const Member& member : members_) {
    if (member.id == id && (member.kind & flags) != 0) return &member;
  }
  return nullptr;
}

namespace {

// A caller's DISPPARAMS that no member could be invoked with, checked before anything reads
// through them: E_INVALIDARG, with the argument at fault in `bad_argument`.
HRESULT CheckParams(const DISPPARAMS* params, UINT* bad_argument) {
  if (params == nullptr) return E_INVALIDARG;
  if (params->cArgs > 0 && params->rgvarg == nullptr) return E_INVALIDARG;
  if (params->cNamedArgs > params->cArgs) return E_INVALIDARG;
  if (params->cNamedArgs > 0 && params->rgdispidNamedArgs == nullptr) return E_INVALIDARG;
  for (UINT i = 0; i < params->cArgs; ++i) {
    const VARIANT& arg = params->rgvarg[i];
    if ((V_VT(&arg) & VT_BYREF) != 0 && V_BYREF(&arg) == nullptr) {
      if (bad_argument != nullptr) *bad_argument = i;
      return E_INVALIDARG;
    }
  }
  return S_OK;
}

// What automation passes for an argument left out, also in a caller's variable given by
// reference (as VBA passes an optional argument of its own that was left out).
bool Missing(const VARIANT& arg) {
  const VARIANT* value = V_VT(&arg) == (VT_BYREF | VT_VARIANT) ? V_VARIANTREF(&arg) : &arg;
  return V_VT(value) == VT_ERROR && V_ERROR(value) == DISP_E_PARAMNOTFOUND;
}

}  // namespace

HRESULT InvokeWithTypeInfo(ITypeInfo* info, const DispatchTable& table, void* object, DISPID member,
                           WORD flags, DISPPARAMS* params, VARIANT* result, EXCEPINFO* exception,
                           UINT* bad_argument) {
  if (info == nullptr) return E_UNEXPECTED;
  if (const HRESULT hr = CheckParams(params, bad_argument); FAILED(hr)) return hr;
  const DispatchTable::Member* function = params->cArgs != 0 ? table.Of(member, flags) : nullptr;
  if (function == nullptr) {
    return info->Invoke(object, member, flags, params, result, exception, bad_argument);
  }
  const int parameters = static_cast<int>(function->by_reference.size());
  // The parameter that argument `i` is given for, or -1: named arguments come first, and the
  // property-put value is the last parameter.
  const auto parameter_of = [&](UINT i) {
    int param = -1;
    if (i < params->cNamedArgs) {
      const DISPID named = params->rgdispidNamedArgs[i];
      param = named == DISPID_PROPERTYPUT ? parameters - 1 : named;
    } else {
      param = static_cast<int>(params->cArgs - 1 - i);
    }
    return param >= 0 && param < parameters ? param : -1;
  };
  // A required argument left out is refused before the member runs, setters included: taken for
  // the zero of its type, it would store 0 or drop the caller's object.
  for (UINT i = 0; i < params->cArgs; ++i) {
    const int param = parameter_of(i);
    if (param >= 0 && function->required[param] && Missing(params->rgvarg[i])) {
      if (bad_argument != nullptr) *bad_argument = i;
      return DISP_E_PARAMNOTOPTIONAL;
    }
  }
  // The usual call: nothing that a script may pass by reference, so nothing to fix up.
  if (!function->takes_by_reference) {
    return info->Invoke(object, member, flags, params, result, exception, bad_argument);
  }

  // The arguments are copied so that the caller's DISPPARAMS stays as it came; a few fit on
  // the stack.
  constexpr UINT kOnStack = 8;
  VARIANT args_on_stack[kOnStack];
  Fixed fixes_on_stack[kOnStack];
  std::vector<VARIANT> args_on_heap;
  std::vector<Fixed> fixes_on_heap;
  VARIANT* args = args_on_stack;
  Fixed* fixes = fixes_on_stack;
  if (params->cArgs > kOnStack) {
    args_on_heap.resize(params->cArgs);
    fixes_on_heap.resize(params->cArgs);
    args = args_on_heap.data();
    fixes = fixes_on_heap.data();
  }
  std::copy(params->rgvarg, params->rgvarg + params->cArgs, args);
  UINT fixed_count = 0;

  HRESULT hr = S_OK;
  for (UINT i = 0; i < params->cArgs && SUCCEEDED(hr); ++i) {
    const int param = parameter_of(i);
    if (param < 0) continue;
    const VARTYPE target = function->by_reference[param];
    if (target == VT_EMPTY) continue;
    VARIANT& arg = args[i];
    if (V_VT(&arg) == (VT_BYREF | target)) continue;  // already what the parameter takes

    VARIANT* variable = V_VT(&arg) == (VT_BYREF | VT_VARIANT) ? V_VARIANTREF(&arg) : nullptr;
    if (variable != nullptr && V_VT(variable) == target) {
      // Point into the caller's variable: the callee changes it in place.
      V_VT(&arg) = VT_BYREF | target;
      V_BYREF(&arg) = &V_I4(variable);
      continue;
    }
    // A temporary starts zeroed whole: an unset variable below gets its value as the zero of its
    // type, a null string or object.
    Fixed& fix = fixes[fixed_count];
    const VARIANT* source = variable != nullptr ? variable : &arg;
    if (V_VT(source) == VT_EMPTY || V_VT(source) == VT_ERROR) {
      V_VT(fix.temp.get()) = target;  // an unset variable: the zero of the type
    } else if (FAILED(VariantChangeType(fix.temp.get(), const_cast<VARIANT*>(source), 0, target))) {
      hr = DISP_E_TYPEMISMATCH;
      if (bad_argument != nullptr) *bad_argument = i;
      break;
    }
    fix.copy_back = variable;
    ++fixed_count;
    V_VT(&arg) = VT_BYREF | target;
    V_BYREF(&arg) = &V_I4(fix.temp.get());
  }

  if (SUCCEEDED(hr)) {
    DISPPARAMS fixed = *params;
    fixed.rgvarg = args;
    hr = info->Invoke(object, member, flags, &fixed, result, exception, bad_argument);
  }
  // The values move into the callers' variables; the rest go with their holders.
  for (UINT i = 0; SUCCEEDED(hr) && i < fixed_count; ++i) {
    Fixed& fix = fixes[i];
    if (fix.copy_back == nullptr) continue;
    VariantClear(fix.copy_back);
    *fix.copy_back = fix.temp.release();
  }
  return hr;
}

}  // namespace velmo::binding
