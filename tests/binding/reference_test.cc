// What a module's developer is told about each member, read from the built type libraries: every
// interface and member carries a helpstring, and every member has an entry in the reference.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <string>

#include "com_caller.h"

namespace velmo::testing {
namespace {

// The reference's headings: a member's name, or "Class.Name" where two classes share a name.
std::set<std::wstring> ReferenceHeadings() {
  std::set<std::wstring> headings;
  std::ifstream file{std::filesystem::path(VELMO_AUTOMATION_REFERENCE)};
  EXPECT_TRUE(file.is_open()) << "cannot read the reference";
  for (std::string line; std::getline(file, line);) {
    if (!line.starts_with('#')) continue;
    const std::size_t start = line.find_first_not_of("# `");
    if (start == std::string::npos) continue;
    const std::string title = line.substr(start, line.find_first_of(" `", start) - start);
    headings.emplace(title.begin(), title.end());
  }
  return headings;
}

std::wstring Help(ITypeInfo* info, MEMBERID member, std::wstring* name) {
  Bstr text;
  Bstr own_name;
  EXPECT_EQ(info->GetDocumentation(member, own_name.put(), text.put(), nullptr, nullptr), S_OK);
  *name = own_name.text();
  return text.text();
}

TEST(ReferenceTest, EveryMemberIsDescribedInTheTypeLibraryAndTheReference) {
  const std::set<std::wstring> headings = ReferenceHeadings();
  for (const wchar_t* dll : {kServerDll, kConfigDll, kPPDll}) {
    SCOPED_TRACE(::testing::Message() << dll);
    Ref<ITypeLib> library;
    ASSERT_EQ(LoadTypeLibEx(dll, REGKIND_NONE, library.put()), S_OK);
    int members = 0;
    for (UINT index = 0; index < library->GetTypeInfoCount(); ++index) {
      Ref<ITypeInfo> info;
      ASSERT_EQ(library->GetTypeInfo(index, info.put()), S_OK);
      TYPEATTR* attr = nullptr;
      ASSERT_EQ(info->GetTypeAttr(&attr), S_OK);
      const TYPEKIND kind = attr->typekind;
      const WORD flags = attr->wTypeFlags;
      info->ReleaseTypeAttr(attr);
      if (kind == TKIND_ALIAS) continue;  // the earlier identifiers of the class interface
      std::wstring type_name;
      EXPECT_NE(Help(info.get(), MEMBERID_NIL, &type_name), L"") << type_name;
      // A dual interface's own members are those of its vtable half, without IDispatch's.
      if (kind == TKIND_DISPATCH && (flags & TYPEFLAG_FDUAL) != 0) {
        HREFTYPE half = 0;
        ASSERT_EQ(info->GetRefTypeOfImplType(-1, &half), S_OK);
        Ref<ITypeInfo> vtable;
        ASSERT_EQ(info->GetRefTypeInfo(half, vtable.put()), S_OK);
        info = vtable;
      } else if (kind != TKIND_DISPATCH && kind != TKIND_INTERFACE) {
        continue;
      }
      ASSERT_EQ(info->GetTypeAttr(&attr), S_OK);
      const WORD functions = attr->cFuncs;
      info->ReleaseTypeAttr(attr);
      for (WORD f = 0; f < functions; ++f) {
        FUNCDESC* function = nullptr;
        ASSERT_EQ(info->GetFuncDesc(f, &function), S_OK);
        const MEMBERID id = function->memid;
        info->ReleaseFuncDesc(function);
        std::wstring name;
        const std::wstring help = Help(info.get(), id, &name);
        EXPECT_NE(help, L"") << type_name << "." << name << " has no helpstring";
        const std::wstring owner = type_name.substr(type_name.find_first_not_of(L'_'));
        EXPECT_TRUE(headings.contains(name) || headings.contains(owner + L"." + name))
            << type_name << "." << name << " has no entry";
        ++members;
      }
    }
    EXPECT_GT(members, 0);
  }
}

}  // namespace
}  // namespace velmo::testing
