#include "reg_command.h"

#include <iostream>
#include <memory>
#include <stdexcept>

#include "file_replacement.h"
#include "key_reader.h"
#ifndef _WIN32
#include "platform/hive_paths.h"
#include "platform/sqlite_registry.h"
#endif
#include "platform/text.h"
#include "reg_file_writer.h"
#include "reg_import.h"
#include "store_access.h"
#include "value_format.h"

namespace velmo::tools {

using namespace velmo::platform;

namespace {

struct RegOptions {
  std::string root;  // "HKCU" or "HKLM" once parsed
  std::string key;
  std::string name;
  std::string value;
  std::string file;
  std::uint32_t type = kRegSz;
  bool view32 = false;
  bool view64 = false;
  bool whole_key = false;
  bool recursive = false;
};

const char kViewHelp[] =
    "--32 and --64 pick the 32-bit or the 64-bit view of HKLM; without either the 64-bit\n"
    "(native) view is used. In the 32-bit view SOFTWARE stands for SOFTWARE\\WOW6432Node; the\n"
    "library looks there first.";

std::string Upper(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

// "HKCU" or "HKLM" for any spelling of the two roots; empty for anything else.
std::string RootOf(const std::string& word) {
  const std::string upper = Upper(word);
  if (upper == "HKCU" || upper == "HKEY_CURRENT_USER") return "HKCU";
  if (upper == "HKLM" || upper == "HKEY_LOCAL_MACHINE") return "HKLM";
  return {};
}

#ifndef _WIN32
// For the commands that take a whole hive.
CLI::Validator RootValidator() {
  return CLI::Validator(
      [](std::string& word) -> std::string {
        const std::string root = RootOf(word);
        if (root.empty()) return "unknown root " + word + " (use HKCU or HKLM)";
        word = root;
        return {};
      },
      "HKCU|HKLM");
}
#endif

class Reg {
 public:
  explicit Reg(const RegOptions& o)
      : o_(o),
        registry_(OpenRegistry()),
        reader_(*registry_),
        root_(o.root == "HKCU" ? kHkeyCurrentUser : kHkeyLocalMachine),
        view_(o.view32   ? kKeyWow64_32Key
              : o.view64 ? kKeyWow64_64Key
                         : 0),
        key_path_(FromUtf8(o.key)) {
    if (!key_path_.empty() && key_path_.back() == u'\\') key_path_.pop_back();
  }

  int Get() {
    RegKey key = 0;
    RegStatus status = registry_->OpenKey(root_, key_path_, kKeyRead | view_, &key);
    if (status != kErrorSuccess) return Failed(KeyName(), status);
    Value value;
    status = ReadValue(*registry_, key, FromUtf8(o_.name), &value);
    registry_->CloseKey(key);
    if (status != kErrorSuccess) return Failed(KeyName() + " " + o_.name, status);
    std::cout << ShownData(value.type, value.data, Style::kList) << "\n";
    return kExitOk;
  }

  int Set() {
    writing_ = true;
    const std::string data = EncodeData(o_.type, o_.value);
    RegKey key = 0;
    RegStatus status = registry_->CreateKey(root_, key_path_, kKeyWrite | view_, &key);
    if (status != kErrorSuccess) return Failed(KeyName(), status);
    status = registry_->SetValue(key, FromUtf8(o_.name), o_.type,
                                 reinterpret_cast<const std::uint8_t*>(data.data()),
                                 static_cast<std::uint32_t>(data.size()));
    registry_->CloseKey(key);
    if (status != kErrorSuccess) return Failed(KeyName() + " " + o_.name, status);
    return kExitOk;
  }

  int Delete() {
    writing_ = true;
    if (o_.whole_key) {
      const RegStatus status = registry_->DeleteKeyTree(root_, key_path_, view_);
      return status == kErrorSuccess ? kExitOk : Failed(KeyName(), status);
    }
    RegKey key = 0;
    RegStatus status = registry_->OpenKey(root_, key_path_, kKeyWrite | view_, &key);
    if (status != kErrorSuccess) return Failed(KeyName(), status);
    status = registry_->DeleteValue(key, FromUtf8(o_.name));
    registry_->CloseKey(key);
    return status == kErrorSuccess ? kExitOk : Failed(KeyName() + " " + o_.name, status);
  }

  int List() {
    std::vector<std::u16string> subkeys;
    std::vector<Value> values;
    RegStatus status = reader_.Subkeys(root_, key_path_, view_, &subkeys);
    if (status == kErrorSuccess) status = reader_.Values(root_, key_path_, view_, &values);
    if (status != kErrorSuccess) return Failed(KeyName(), status);
    for (const std::u16string& subkey : subkeys) std::cout << ToUtf8(subkey) << "\\\n";
    for (const Value& value : values) {
      std::cout << (value.name.empty() ? "(default)" : ToUtf8(value.name)) << "\t"
                << TypeName(value.type) << "\t" << ShownData(value.type, value.data, Style::kList)
                << "\n";
    }
    return kExitOk;
  }

  // As Windows' `reg query`, and with --recursive as `reg query /s`.
  int Query() {
    const RegStatus status =
        Walk(key_path_, [&](const std::u16string& path, const std::vector<Value>& values,
                            const std::vector<std::u16string>& subkeys) {
          std::cout << "\n" << ToUtf8(FullName(path)) << "\n";
          for (const Value& value : values) {
            std::cout << "    " << (value.name.empty() ? "(Default)" : ToUtf8(value.name)) << "    "
                      << TypeName(value.type) << "    "
                      << ShownData(value.type, value.data, Style::kQuery) << "\n";
          }
          if (!o_.recursive) {
            if (!subkeys.empty()) std::cout << "\n";
            for (const std::u16string& subkey : subkeys) {
              std::cout << ToUtf8(FullName(Child(path, subkey))) << "\n";
            }
          }
        });
    return status == kErrorSuccess ? kExitOk : Failed(KeyName(), status);
  }

  int Export() {
    // The file is made before anything is read, so that an unwritable path fails first.
    FileReplacement file;
    std::string error;
    if (!file.Begin(o_.file, &error)) return Refused(o_.file + ": " + error);
    whole_tree_ = true;
    RegFileWriter writer(file.out());
    RegStatus status = kErrorSuccess;
    try {
      status = Walk(key_path_, [&](const std::u16string& path, const std::vector<Value>& values,
                                   const std::vector<std::u16string>&) {
        writer.Key(FullName(path));
        for (const Value& value : values) writer.Entry(value);
      });
    } catch (const RegNameError& failure) {
      return Refused(std::string(failure.what()) + "; nothing was exported");
    }
    writer.Finish();
    if (status != kErrorSuccess) return Failed(KeyName(), status);
    if (!file.Commit(&error)) return Refused(o_.file + ": " + error);
    return kExitOk;
  }

#ifndef _WIN32
  // The portable store's own: Windows keeps hives otherwise.
  int Backup() {
    const RegStatus status = BackupHive(DefaultHivePaths(), root_, o_.file);
    if (status == kErrorSuccess) return kExitOk;
    if (status == kErrorAccessDenied) return Refused(o_.file + ": cannot write there");
    return Failed(o_.root, status);
  }

  int Restore() {
    writing_ = true;
    const RegStatus status = RestoreHive(DefaultHivePaths(), root_, o_.file);
    if (status == kErrorSuccess) return kExitOk;
    if (status == kErrorBadDb || status == kErrorRegistryCorrupt) {
      return Refused(o_.file + (status == kErrorBadDb ? ": not a registry hive" : " is damaged") +
                     "; " + o_.root + " is unchanged");
    }
    if (status == kErrorFileNotFound) return Refused(o_.file + ": not found");
    return Failed(o_.root, status);
  }

#endif

  int Import() {
    writing_ = true;
    const ImportResult result = ImportRegFile(*registry_, o_.file, view_);
    if (!result.ok) return Refused(result.error);
    std::cout << "imported " << o_.file << ": " << result.changes << " changes\n";
    return kExitOk;
  }

 private:
  using Visit = std::function<void(const std::u16string& path, const std::vector<Value>& values,
                                   const std::vector<std::u16string>& subkeys)>;

  // Visits `path` and, with --recursive or for an export, every key below it; a subkey deleted
  // while the walk runs is left out.
  RegStatus Walk(const std::u16string& path, const Visit& visit, bool top = true) {
    std::vector<Value> values;
    std::vector<std::u16string> subkeys;
    RegStatus status = reader_.Values(root_, path, view_, &values);
    if (status == kErrorSuccess) status = reader_.Subkeys(root_, path, view_, &subkeys);
    if (status == kErrorFileNotFound && !top) return kErrorSuccess;
    if (status != kErrorSuccess) return status;
    visit(path, values, subkeys);
    if (!o_.recursive && !whole_tree_) return kErrorSuccess;
    values.clear();
    for (const std::u16string& subkey : subkeys) {
      status = Walk(Child(path, subkey), visit, false);
      if (status != kErrorSuccess) return status;
    }
    return kErrorSuccess;
  }

  static std::u16string Child(const std::u16string& path, const std::u16string& name) {
    return path.empty() ? name : path + u"\\" + name;
  }

  std::u16string FullName(const std::u16string& path) const {
    std::u16string name = root_ == kHkeyCurrentUser ? u"HKEY_CURRENT_USER" : u"HKEY_LOCAL_MACHINE";
    return path.empty() ? name : name + u"\\" + path;
  }

  std::string KeyName() const { return o_.root + "\\" + ToUtf8(key_path_); }

  int Refused(const std::string& message) {
    std::cerr << "velmoctl: " << message << "\n";
    return kExitFailed;
  }

  int Failed(const std::string& what, RegStatus status) {
    return Refused(what + ": " + FailureText(root_, status, writing_));
  }

  const RegOptions& o_;
  std::unique_ptr<RegistryApi> registry_;
  KeyReader reader_;
  const RegKey root_;
  const std::uint32_t view_;
  bool writing_ = false;  // the command changes the hive
  std::u16string key_path_;
  bool whole_tree_ = false;  // an export walks the whole tree
};

CLI::Validator TypeValidator() {
  return CLI::Validator(
      [](std::string& word) -> std::string {
        const auto& names = TypesByName();
        const auto found = names.find(Upper(word));
        if (found == names.end()) return "unknown type " + word;
        word = std::to_string(found->second);
        return {};
      },
      "TYPE");
}

// No NUL can arrive through argv; names are otherwise taken as given.
void AddView(CLI::App* command, RegOptions* o) {
  CLI::Option* view32 = command->add_flag("--32", o->view32, "the 32-bit view of HKLM");
  CLI::Option* view64 = command->add_flag("--64", o->view64, "the 64-bit view of HKLM (default)");
  view32->excludes(view64);
  command->footer(kViewHelp);
}

// The words after the root and key that a command takes, in order.
struct Words {
  std::vector<std::string RegOptions::*> after;
  size_t required = 0;  // how many of `after` must be given
  bool key_required = true;
};

void AddRootKey(CLI::App* command, RegOptions* o) {
  command->add_option("ROOT", o->root,
                      "HKCU (HKEY_CURRENT_USER) or HKLM (HKEY_LOCAL_MACHINE); or the whole key "
                      "as reg.exe writes it, 'HKCU\\Software\\MOLTRA', and then no KEY");
  command->add_option("KEY", o->key, "a key path such as 'SOFTWARE\\MOLTRA'; quote it");
}

// Reads the words CLI11 put in ROOT, KEY and `words.after` as the person meant them: a first word
// holding "\\" is the whole key, so each later word belongs one place further on. Returns how many
// words followed the key.
size_t ResolveKeyWords(CLI::App* command, RegOptions* o, const Words& words) {
  std::vector<std::string> given;
  if (command->count("ROOT") > 0) given.push_back(o->root);
  if (command->count("KEY") > 0) given.push_back(o->key);
  for (std::string RegOptions::*slot : words.after) {
    const std::string name = slot == &RegOptions::name ? "NAME" : "VALUE";
    if (command->count(name) > 0) given.push_back(o->*slot);
  }
  if (given.empty()) throw CLI::RequiredError("ROOT");
  std::vector<std::string> split{given[0]};
  bool key_given = given.size() > 1;
  if (const size_t slash = given[0].find('\\'); slash != std::string::npos) {
    split = {given[0].substr(0, slash), given[0].substr(slash + 1)};
    key_given = true;
  }
  split.insert(split.end(), given.begin() + 1, given.end());
  o->root = RootOf(split[0]);
  if (o->root.empty()) {
    throw CLI::ValidationError("ROOT", "unknown root " + split[0] + " (use HKCU or HKLM)");
  }
  if (!key_given && words.key_required) throw CLI::RequiredError("KEY");
  o->key = split.size() > 1 ? split[1] : "";
  const size_t rest = split.size() > 2 ? split.size() - 2 : 0;
  if (rest > words.after.size()) {
    throw CLI::ExtrasError(
        {split.begin() + 2 + static_cast<long>(words.after.size()), split.end()});
  }
  for (size_t i = 0; i < words.after.size(); ++i) {
    if (i < rest) {
      o->*words.after[i] = split[2 + i];
    } else if (i < words.required) {
      throw CLI::RequiredError(words.after[i] == &RegOptions::name ? "NAME" : "VALUE");
    } else {
      o->*words.after[i] = "";
    }
  }
  return rest;
}

}  // namespace

void AddRegCommands(CLI::App& app, Action* action) {
  auto o = std::make_shared<RegOptions>();
  CLI::App* reg = app.add_subcommand("reg", "read and write the registry, hive by hive");
  reg->require_subcommand(1);
  auto run = [o, action](int (Reg::*method)()) {
    return [o, action, method] {
      *action = [o, method] {
        try {
          Reg command(*o);
          return (command.*method)();
        } catch (const std::invalid_argument& bad) {
          std::cerr << "velmoctl reg: " << bad.what() << "\n";
          return kExitUsage;
        }
      };
    };
  };

  CLI::App* get = reg->add_subcommand("get", "print one value's data");
  AddRootKey(get, o.get());
  get->add_option("NAME", o->name, "the value's name; '' is the key's default value");
  AddView(get, o.get());
  get->callback([run, o, get] {
    ResolveKeyWords(get, o.get(), {{&RegOptions::name}, 1});
    run (&Reg::Get)();
  });

  CLI::App* set = reg->add_subcommand("set", "store a value, creating its key");
  AddRootKey(set, o.get());
  set->add_option("NAME", o->name, "the value's name; '' is the key's default value");
  set->add_option("VALUE", o->value,
                  "the data: text for string types (a multi-string's strings on lines of their "
                  "own), a number in decimal or 0x hex for REG_DWORD and REG_QWORD, hex digits "
                  "for the others");
  set->add_option("--type,-t", o->type,
                  "REG_SZ (default), REG_EXPAND_SZ, REG_MULTI_SZ, REG_DWORD, REG_QWORD, "
                  "REG_BINARY or REG_NONE, also without REG_, in any case")
      ->transform(TypeValidator());
  AddView(set, o.get());
  set->callback([run, o, set] {
    ResolveKeyWords(set, o.get(), {{&RegOptions::name, &RegOptions::value}, 2});
    run (&Reg::Set)();
  });

  CLI::App* del = reg->add_subcommand("delete", "delete a value, or with --key a whole key");
  AddRootKey(del, o.get());
  del->add_option("NAME", o->name, "the value to delete");
  del->add_flag("--key", o->whole_key, "delete the key and all below it");
  AddView(del, o.get());
  del->callback([run, o, del] {
    const bool named = ResolveKeyWords(del, o.get(), {{&RegOptions::name}, 0}) > 0;
    if (o->whole_key && named) throw CLI::ExcludesError("--key", "NAME");
    if (!o->whole_key && !named) throw CLI::RequiredError("NAME (or --key)");
    if (o->whole_key && o->key.empty()) {
      throw CLI::ValidationError("KEY", "refusing to delete a whole hive");
    }
    run (&Reg::Delete)();
  });

  CLI::App* list = reg->add_subcommand("list", "the key's subkeys (ending in \\), then its values");
  AddRootKey(list, o.get());
  AddView(list, o.get());
  list->callback([run, o, list] {
    ResolveKeyWords(list, o.get(), {{}, 0, false});
    run (&Reg::List)();
  });

  CLI::App* query =
      reg->add_subcommand("query", "the key's values and subkeys as Windows' reg query shows them");
  AddRootKey(query, o.get());
  query->add_flag("--recursive,-s", o->recursive, "the whole tree below the key, as reg query /s");
  AddView(query, o.get());
  query->callback([run, o, query] {
    ResolveKeyWords(query, o.get(), {{}, 0, false});
    run (&Reg::Query)();
  });

  CLI::App* exp = reg->add_subcommand(
      "export", "write a key and all below it to a .reg file (version 5.00, UTF-16LE)");
  exp->add_option("FILE", o->file, "the .reg file to write; replaced when complete")->required();
  AddRootKey(exp, o.get());
  AddView(exp, o.get());
  exp->callback([run, o, exp] {
    ResolveKeyWords(exp, o.get(), {{}, 0, false});
    run (&Reg::Export)();
  });

#ifndef _WIN32
  CLI::App* backup = reg->add_subcommand(
      "backup", "copy a hive, as one committed state, while other processes may use it");
  backup->add_option("ROOT", o->root, "HKCU or HKLM")->required()->transform(RootValidator());
  backup->add_option("FILE", o->file, "the copy to write (0600); replaced when complete")
      ->required();
  backup->callback(run(&Reg::Backup));

  CLI::App* restore = reg->add_subcommand(
      "restore", "replace a hive's content with a copy, in one write, while others may use it");
  restore->add_option("ROOT", o->root, "HKCU or HKLM")->required()->transform(RootValidator());
  restore->add_option("FILE", o->file, "a copy made by backup; checked before anything is written")
      ->required();
  restore->callback(run(&Reg::Restore));
#endif

  CLI::App* imp = reg->add_subcommand(
      "import",
      "apply a .reg file (version 5.00 or REGEDIT4); a file with an error changes nothing");
  imp->add_option("FILE", o->file, "the .reg file to read")->required();
  AddView(imp, o.get());
  imp->callback(run(&Reg::Import));
}

}  // namespace velmo::tools
