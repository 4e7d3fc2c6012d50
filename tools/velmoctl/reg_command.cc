#include "reg_command.h"

#include <charconv>
#include <cstdint>
#include <iomanip>
#include <ostream>
#include <sstream>

#include "platform/text.h"

namespace velmo::tools {

using namespace velmo::platform;

const char kRegUsage[] =
    "usage: velmoctl reg get    ROOT KEY NAME [--32]\n"
    "       velmoctl reg set    ROOT KEY NAME VALUE [--type TYPE] [--32]\n"
    "       velmoctl reg delete ROOT KEY NAME [--32]\n"
    "       velmoctl reg delete ROOT KEY --key [--32]\n"
    "       velmoctl reg list   ROOT KEY [--32]\n"
    "\n"
    "ROOT is HKCU (HKEY_CURRENT_USER) or HKLM (HKEY_LOCAL_MACHINE). KEY is a path such as\n"
    "'SOFTWARE\\MOLTRA'; quote it so that the shell keeps the backslashes. An empty NAME ('')\n"
    "is the key's default value. --32 uses the 32-bit view of HKLM. TYPE is one of sz\n"
    "(the default), expand_sz, multi_sz (VALUE's lines become the strings), dword, qword or\n"
    "binary (VALUE in hexadecimal). 'delete --key' removes the key and everything below it.\n";

namespace {

struct TypeName {
  std::uint32_t type;
  const char* option;
  const char* shown;
};

constexpr TypeName kTypes[] = {
    {kRegSz, "sz", "REG_SZ"},
    {kRegExpandSz, "expand_sz", "REG_EXPAND_SZ"},
    {kRegMultiSz, "multi_sz", "REG_MULTI_SZ"},
    {kRegDword, "dword", "REG_DWORD"},
    {kRegQword, "qword", "REG_QWORD"},
    {kRegBinary, "binary", "REG_BINARY"},
    {kRegNone, "none", "REG_NONE"},
};

std::string ShownType(std::uint32_t type) {
  for (const TypeName& t : kTypes) {
    if (t.type == type) return t.shown;
  }
  return "type " + std::to_string(type);
}

std::string Upper(std::string text) {
  for (char& c : text) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return text;
}

struct Usage {
  std::string message;
};

class Command {
 public:
  Command(RegistryApi& registry, const HivePaths& paths, std::ostream& out, std::ostream& err)
      : registry_(registry), paths_(paths), out_(out), err_(err) {}

  int Run(const std::vector<std::string>& words) {
    std::vector<std::string> args;
    for (size_t i = 0; i < words.size(); ++i) {
      if (words[i] == "--32") {
        view_ = kKeyWow64_32Key;
      } else if (words[i] == "--key") {
        whole_key_ = true;
      } else if (words[i] == "--type") {
        if (++i == words.size()) throw Usage{"--type needs a value"};
        type_ = ParseType(words[i]);
      } else if (words[i].starts_with("--")) {
        throw Usage{"unknown option " + words[i]};
      } else {
        args.push_back(words[i]);
      }
    }
    if (args.empty()) throw Usage{"missing the action (get, set, delete or list)"};
    const std::string action = args[0];
    args.erase(args.begin());
    if (args.empty()) throw Usage{"missing ROOT"};
    SetRoot(args[0]);
    if (args.size() < 2) throw Usage{"missing KEY"};
    key_path_ = FromUtf8(args[1]);
    args.erase(args.begin(), args.begin() + 2);

    writing_ = action == "set" || action == "delete";
    if (action == "get") return Get(Expect(args, 1, "NAME"));
    if (action == "set") return Set(Expect(args, 2, "NAME VALUE"));
    if (action == "list") return List(Expect(args, 0, ""));
    if (action == "delete")
      return whole_key_ ? DeleteKey(Expect(args, 0, ""))
                        : DeleteValue(Expect(args, 1, "NAME (or --key)"));
    throw Usage{"unknown action " + action};
  }

 private:
  static std::vector<std::string> Expect(const std::vector<std::string>& args, size_t count,
                                         const char* what) {
    if (args.size() < count) throw Usage{std::string("missing ") + what};
    if (args.size() > count) throw Usage{"unexpected argument " + args[count]};
    return args;
  }

  static std::uint32_t ParseType(const std::string& word) {
    for (const TypeName& t : kTypes) {
      if (word == t.option) return t.type;
    }
    throw Usage{"unknown type " + word};
  }

  void SetRoot(const std::string& word) {
    const std::string root = Upper(word);
    if (root == "HKCU" || root == "HKEY_CURRENT_USER") {
      root_ = kHkeyCurrentUser;
      root_name_ = "HKCU";
    } else if (root == "HKLM" || root == "HKEY_LOCAL_MACHINE") {
      root_ = kHkeyLocalMachine;
      root_name_ = "HKLM";
    } else {
      throw Usage{"unknown root " + word + " (use HKCU or HKLM)"};
    }
  }

  int Failed(const std::string& what, RegStatus status) {
    const std::string& file = (root_ == kHkeyCurrentUser ? paths_.user : paths_.machine).string();
    err_ << "velmoctl: " << what << ": ";
    switch (status) {
      case kErrorFileNotFound:
        err_ << "not found";
        break;
      case kErrorAccessDenied:
        err_ << "access denied (may not " << (writing_ ? "write " : "read ") << file << ")";
        break;
      case kErrorBadDb:
        err_ << "cannot open " << file << ": not a registry hive";
        break;
      case kErrorRegistryCorrupt:
        err_ << file << " is damaged";
        break;
      case kErrorBusy:
        err_ << file << " is busy: another process kept it locked too long";
        break;
      case kErrorBadPathname:
      case kErrorInvalidParameter:
        err_ << "invalid key path or name";
        break;
      default:
        err_ << "registry error " << status;
    }
    err_ << "\n";
    return kExitFailed;
  }

  std::string KeyName() const { return root_name_ + "\\" + ToUtf8(key_path_); }

  int Get(const std::vector<std::string>& args) {
    const std::u16string name = FromUtf8(args[0]);
    RegKey key = 0;
    RegStatus status = registry_.OpenKey(root_, key_path_, kKeyRead | view_, &key);
    if (status != kErrorSuccess) return Failed(KeyName(), status);
    std::uint32_t type = 0;
    std::string data;
    status = Query(key, name, &type, &data);
    registry_.CloseKey(key);
    if (status != kErrorSuccess) return Failed(KeyName() + " " + args[0], status);
    out_ << Shown(type, data) << "\n";
    return kExitOk;
  }

  int Set(const std::vector<std::string>& args) {
    const std::u16string name = FromUtf8(args[0]);
    const std::string data = Encode(type_, args[1]);
    RegKey key = 0;
    RegStatus status = registry_.CreateKey(root_, key_path_, kKeyWrite | view_, &key);
    if (status != kErrorSuccess) return Failed(KeyName(), status);
    status =
        registry_.SetValue(key, name, type_, reinterpret_cast<const std::uint8_t*>(data.data()),
                           static_cast<std::uint32_t>(data.size()));
    registry_.CloseKey(key);
    if (status != kErrorSuccess) return Failed(KeyName() + " " + args[0], status);
    return kExitOk;
  }

  int DeleteValue(const std::vector<std::string>& args) {
    RegKey key = 0;
    RegStatus status = registry_.OpenKey(root_, key_path_, kKeyWrite | view_, &key);
    if (status != kErrorSuccess) return Failed(KeyName(), status);
    status = registry_.DeleteValue(key, FromUtf8(args[0]));
    registry_.CloseKey(key);
    if (status != kErrorSuccess) return Failed(KeyName() + " " + args[0], status);
    return kExitOk;
  }

  int DeleteKey(const std::vector<std::string>&) {
    if (key_path_.empty()) throw Usage{"refusing to delete a whole hive"};
    const RegStatus status = registry_.DeleteKeyTree(root_, key_path_, view_);
    if (status != kErrorSuccess) return Failed(KeyName(), status);
    return kExitOk;
  }

  int List(const std::vector<std::string>&) {
    RegKey key = 0;
    RegStatus status = registry_.OpenKey(root_, key_path_, kKeyRead | view_, &key);
    if (status != kErrorSuccess) return Failed(KeyName(), status);
    std::uint32_t count = 0;
    std::uint32_t longest = 0;
    status = registry_.QueryInfoKey(key, &count, &longest);
    std::u16string name(longest + 1, u'\0');
    for (std::uint32_t index = 0; status == kErrorSuccess; ++index) {
      std::uint32_t length = static_cast<std::uint32_t>(name.size());
      status = registry_.EnumValueName(key, index, name.data(), &length);
      if (status == kErrorMoreData) {  // a longer name arrived since the count was taken
        name.resize(name.size() * 2 + 256);
        --index;
        status = kErrorSuccess;
        continue;
      }
      if (status != kErrorSuccess) break;
      const std::u16string value_name(name.data(), length);
      std::uint32_t type = 0;
      std::string data;
      if (Query(key, value_name, &type, &data) != kErrorSuccess) continue;  // deleted meanwhile
      out_ << (value_name.empty() ? "(default)" : ToUtf8(value_name)) << "\t" << ShownType(type)
           << "\t" << Shown(type, data) << "\n";
    }
    registry_.CloseKey(key);
    if (status != kErrorNoMoreItems) return Failed(KeyName(), status);
    return kExitOk;
  }

  RegStatus Query(RegKey key, std::u16string_view name, std::uint32_t* type, std::string* data) {
    std::uint32_t size = 0;
    RegStatus status = registry_.QueryValue(key, name, type, nullptr, &size);
    while (status == kErrorSuccess || status == kErrorMoreData) {
      data->resize(size);
      status = registry_.QueryValue(key, name, type, reinterpret_cast<std::uint8_t*>(data->data()),
                                    &size);
      if (status == kErrorSuccess) {
        data->resize(size);
        break;
      }
    }
    return status;
  }

  static std::u16string Utf16(const std::string& bytes) {
    std::u16string text(bytes.size() / 2, u'\0');
    for (size_t i = 0; i < text.size(); ++i) {
      text[i] = static_cast<char16_t>(static_cast<unsigned char>(bytes[2 * i]) |
                                      static_cast<unsigned char>(bytes[2 * i + 1]) << 8);
    }
    return text;
  }

  static std::string Bytes(std::u16string_view text) {
    std::string bytes;
    for (char16_t c : text) {
      bytes.push_back(static_cast<char>(c & 0xFF));
      bytes.push_back(static_cast<char>(c >> 8));
    }
    return bytes;
  }

  static std::string Shown(std::uint32_t type, const std::string& data) {
    if ((type == kRegSz || type == kRegExpandSz || type == kRegMultiSz) && data.size() % 2 == 0) {
      std::u16string text = Utf16(data);
      if (!text.empty() && text.back() == u'\0') text.pop_back();
      if (type == kRegMultiSz) {
        if (!text.empty() && text.back() == u'\0') text.pop_back();
        for (char16_t& c : text) {
          if (c == u'\0') c = u'\n';
        }
      }
      return ToUtf8(text);
    }
    if (type == kRegDword && data.size() == 4) {
      std::uint32_t v = 0;
      for (int i = 3; i >= 0; --i) v = v << 8 | static_cast<unsigned char>(data[i]);
      return std::to_string(v);
    }
    if (type == kRegQword && data.size() == 8) {
      std::uint64_t v = 0;
      for (int i = 7; i >= 0; --i) v = v << 8 | static_cast<unsigned char>(data[i]);
      return std::to_string(v);
    }
    std::ostringstream hex;
    for (unsigned char c : data) hex << std::hex << std::setw(2) << std::setfill('0') << +c;
    return hex.str();
  }

  static std::uint64_t Number(const std::string& text, std::uint64_t max) {
    std::uint64_t v = 0;
    const int base = text.starts_with("0x") ? 16 : 10;
    const char* begin = text.data() + (base == 16 ? 2 : 0);
    const auto [end, ec] = std::from_chars(begin, text.data() + text.size(), v, base);
    if (ec != std::errc() || end != text.data() + text.size() || begin == end || v > max) {
      throw Usage{"not a number in range: " + text};
    }
    return v;
  }

  static std::string Encode(std::uint32_t type, const std::string& value) {
    std::string bytes;
    if (type == kRegDword || type == kRegQword) {
      const int size = type == kRegDword ? 4 : 8;
      std::uint64_t v = Number(value, type == kRegDword ? 0xFFFFFFFFu : UINT64_MAX);
      for (int i = 0; i < size; ++i, v >>= 8) bytes.push_back(static_cast<char>(v & 0xFF));
      return bytes;
    }
    if (type == kRegBinary || type == kRegNone) {
      if (value.size() % 2 != 0) throw Usage{"binary data needs an even number of hex digits"};
      for (size_t i = 0; i < value.size(); i += 2) {
        bytes.push_back(static_cast<char>(Number("0x" + value.substr(i, 2), 0xFF)));
      }
      return bytes;
    }
    std::u16string text = FromUtf8(value);
    if (type == kRegMultiSz) {
      for (char16_t& c : text) {
        if (c == u'\n') c = u'\0';
      }
      text.push_back(u'\0');
    }
    return Bytes(text) + std::string(2, '\0');  // stored with its NUL, as Windows tools do
  }

  RegistryApi& registry_;
  const HivePaths& paths_;
  std::ostream& out_;
  std::ostream& err_;
  RegKey root_ = 0;
  std::string root_name_;
  std::u16string key_path_;
  std::uint32_t view_ = 0;
  std::uint32_t type_ = kRegSz;
  bool whole_key_ = false;
  bool writing_ = false;  // the action changes the hive
};

}  // namespace

int RunRegCommand(RegistryApi& registry, const HivePaths& paths,
                  const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  try {
    return Command(registry, paths, out, err).Run(args);
  } catch (const Usage& usage) {
    err << "velmoctl reg: " << usage.message << " (see 'velmoctl reg --help')\n";
    return kExitUsage;
  }
}

}  // namespace velmo::tools
