// What IDispatch needs of one dual interface on every call, read once from its type
// description: each member's name and identifier, and which of its parameters take a caller's
// variable by reference. Asking the type description again on every call is what made a call by
// name cost twice a call of a system object.
#ifndef VELMO_AUTOMATION_BASE_DISPATCH_TABLE_H_
#define VELMO_AUTOMATION_BASE_DISPATCH_TABLE_H_

#include <windows.h>

#include <oaidl.h>

#include <memory>
#include <string>
#include <vector>

namespace velmo::binding {

class DispatchTable {
 public:
  struct Member {
    std::wstring name;  // as the type library spells it
    DISPID id;
    INVOKEKIND kind;
    // Per parameter, the type that a by-reference parameter points to when a script's variable
    // may need pointing into or converting for it (see InvokeWithTypeInfo); VT_EMPTY otherwise.
    std::vector<VARTYPE> by_reference;
    bool takes_by_reference = false;  // any of the above is not VT_EMPTY
    // Per parameter, whether a caller must give it: neither optional nor the result.
    std::vector<bool> required;
  };

  // Reads the members of `vtable_info`, the interface half of a dual interface. Fails with the
  // type description's failure, or E_OUTOFMEMORY.
  static HRESULT Read(ITypeInfo* vtable_info, std::shared_ptr<const DispatchTable>* out) noexcept;

  // The identifier of the first member named `name`, compared as the type library's own lookup
  // compares (without regard to case), or DISPID_UNKNOWN when this table cannot tell: no such
  // member, or a name outside ASCII, which only the type library's lookup may judge.
  DISPID Find(const OLECHAR* name) const noexcept;

  // The first member with identifier `id` that `flags` may invoke, or null.
  const Member* Of(DISPID id, WORD flags) const noexcept;

 private:
  std::vector<Member> members_;  // in the type description's order, which decides the first
};

// The table of the dual interface `iid` from this DLL's type library, read on first need and
// kept with its type description (see TypeInfoOf); any thread may ask.
HRESULT DispatchTableOf(REFIID iid, std::shared_ptr<const DispatchTable>* out) noexcept;

}  // namespace velmo::binding

#endif  // VELMO_AUTOMATION_BASE_DISPATCH_TABLE_H_
