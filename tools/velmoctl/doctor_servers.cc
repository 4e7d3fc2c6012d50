// The COM registration of the add-in's three servers, read through the registry seam, so that it
// is the same code whatever registry stands behind it.
#include <optional>

#include "doctor.h"
#include "key_reader.h"
#include "platform/text.h"

namespace velmo::tools {

using namespace velmo::platform;

namespace {

struct ServerClass {
  const char16_t* name;
  const char16_t* clsid;
  const char16_t* prog_id;
  const char16_t* dll;
  const char16_t* library;  // the type library's identifier
  const char16_t* library_version;
};

constexpr ServerClass kClasses[] = {
    {u"MOLTRAGlobalClass", u"{1104EF27-D456-4708-83BA-C4B6968611C8}",
     u"VELMOSWGlobalLib.MOLTRAGlobalClass", u"VELMOSWGlobalLib.dll",
     u"{94111C8C-8F9F-461D-ABCA-894E24C47031}", u"1.9"},
    {u"classPP", u"{42F70839-C926-4A42-88E6-3427D2BCAE30}", u"VELMOSWGlobalLib.classPP",
     u"VELMOSWGlobalLib.dll", u"{94111C8C-8F9F-461D-ABCA-894E24C47031}", u"1.9"},
    {u"ConfigDocument", u"{BDEFF260-9DA4-43C2-BC65-7F4432FF75F7}", u"MOLConfigLib.ConfigDocument",
     u"MOLConfigLib.dll", u"{C36C53D1-D5F0-4237-90EB-19FC4C6A149A}", u"3.6"},
    {u"PPDocument", u"{3493E8BB-7DE7-4DB5-AD0C-51DE7578BC16}", u"MolGPP.PPDocument", u"MolGPP.dll",
     u"{5F0B8904-2422-4F05-8DD3-FF66C7D810DA}", u"1.9"},
};

std::string U8(std::u16string_view text) { return ToUtf8(text); }

std::u16string Upper(std::u16string_view text) { return ToUpper(text); }

// One scope's classes (the machine's or the user's own) in one registry view.
struct Classes {
  RegKey root;
  std::uint32_t view;
  const char* scope;  // "machine" or "user"

  std::optional<std::u16string> Read(const std::u16string& key, std::u16string_view name,
                                     RegistryApi& api) const {
    return ReadText(api, root, view, u"Software\\Classes\\" + key, name);
  }
};

// The registration of one class in one scope and view: a finding for its first flaw, and the
// server's file when it is whole. `seen` tells whether there was a registration at all.
std::optional<std::u16string> CheckClass(RegistryApi& api, FileSystem& files, const Classes& at,
                                         const ServerClass& c, const std::string& label,
                                         const std::string& mend, bool& seen,
                                         DoctorReport& report) {
  const std::u16string key = std::u16string(u"CLSID\\") + c.clsid;
  const std::string check = U8(c.name) + " " + label;
  const auto file = at.Read(key + u"\\InprocServer32", u"", api);
  if (!file) return std::nullopt;
  seen = true;
  const std::string where = std::string(at.scope) + "'s registration";
  if (file->empty() || !files.FileExists(*file)) {
    report.Add(Verdict::kFault, check,
               where + ": InprocServer32 names " + (file->empty() ? "nothing" : U8(*file)) +
                   ", which does not exist",
               mend);
    return std::nullopt;
  }
  const auto model = at.Read(key + u"\\InprocServer32", u"ThreadingModel", api);
  if (!model || Upper(*model) != u"APARTMENT") {
    report.Add(Verdict::kFault, check,
               where + ": ThreadingModel is " + (model ? "\"" + U8(*model) + "\"" : "missing") +
                   ", not Apartment",
               mend);
    return std::nullopt;
  }
  const auto prog_id = at.Read(key + u"\\ProgID", u"", api);
  const auto prog_clsid = at.Read(std::u16string(c.prog_id) + u"\\CLSID", u"", api);
  if (!prog_id || *prog_id != c.prog_id || !prog_clsid || Upper(*prog_clsid) != c.clsid) {
    report.Add(Verdict::kFault, check,
               where + ": the ProgID " + U8(c.prog_id) + " does not lead to " + U8(c.clsid), mend);
    return std::nullopt;
  }
  const auto library = at.Read(key + u"\\TypeLib", u"", api);
  if (!library || Upper(*library) != c.library) {
    report.Add(Verdict::kFault, check, where + ": its type library is not " + U8(c.library), mend);
    return std::nullopt;
  }
  // A type library's path is kept per platform, both in one key shared by the two views.
  const std::u16string platform = at.view == kKeyWow64_32Key ? u"win32" : u"win64";
  const std::u16string library_key =
      std::u16string(u"TypeLib\\") + c.library + u"\\" + c.library_version + u"\\0\\" + platform;
  const auto library_file = at.Read(library_key, u"", api);
  if (!library_file || !files.FileExists(*library_file)) {
    report.Add(Verdict::kFault, check,
               where + ": type library " + U8(c.library) + " " + U8(c.library_version) + " (" +
                   U8(platform) + ") " +
                   (library_file ? "names " + U8(*library_file) + ", which does not exist"
                                 : "is not registered"),
               mend);
    return std::nullopt;
  }
  return *file;
}

}  // namespace

void CheckServers(RegistryApi& registry, FileSystem& files, DoctorReport& report) {
  const bool native64 = sizeof(void*) == 8;
  const std::uint32_t this_view = native64 ? kKeyWow64_64Key : kKeyWow64_32Key;
  const std::uint32_t other_view = native64 ? kKeyWow64_32Key : kKeyWow64_64Key;
  const std::string this_bits = native64 ? "64-bit" : "32-bit";
  const std::string other_bits = native64 ? "32-bit" : "64-bit";
  for (const ServerClass& c : kClasses) {
    for (const bool same : {true, false}) {
      const std::uint32_t view = same ? this_view : other_view;
      const std::string bits = same ? this_bits : other_bits;
      const std::string label = "server (" + bits + ")";
      const std::string mend = "regsvr32 " + U8(c.dll) + " (the " + bits +
                               " copy, from the installation directory), or repair the package";
      const Classes machine{kHkeyLocalMachine, view, "machine"};
      const Classes user{kHkeyCurrentUser, view, "user"};
      bool seen = false;
      const auto machine_file = CheckClass(registry, files, machine, c, label, mend, seen, report);
      const auto user_file = CheckClass(registry, files, user, c, label, mend, seen, report);
      const std::string check = U8(c.name) + " " + label;
      if (user_file && machine_file && Upper(*user_file) != Upper(*machine_file)) {
        report.Add(Verdict::kWarning, check,
                   "the user's registration (" + U8(*user_file) + ") shadows the machine's (" +
                       U8(*machine_file) + ")",
                   "regsvr32 /u /n /i:user " + U8(*user_file));
      } else if (user_file || machine_file) {
        report.Add(Verdict::kOk, check, U8(user_file ? *user_file : *machine_file));
      } else if (same) {
        if (!seen)
          report.Add(Verdict::kFault, check, "not registered for " + bits + " hosts", mend);
      } else if (!seen) {
        // A package installs one bitness; the other is needed only by a host of that bitness.
        report.Add(Verdict::kOk, check, "not registered: only " + this_bits + " hosts can use it");
      }
    }
  }
}

}  // namespace velmo::tools
