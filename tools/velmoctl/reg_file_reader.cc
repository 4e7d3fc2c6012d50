#include "reg_file_reader.h"

#include "platform/text.h"
#include "reg_file_writer.h"
#include "value_format.h"

namespace velmo::tools {

using namespace velmo::platform;

namespace {

constexpr char16_t kVersion5[] = u"Windows Registry Editor Version 5.00";
constexpr char16_t kVersion4[] = u"REGEDIT4";
// Limits of the Windows registry.
constexpr size_t kMaxKeyName = 255;
constexpr size_t kMaxValueName = 16383;
constexpr size_t kMaxDepth = 512;

bool Blank(char16_t c) { return c == u' ' || c == u'\t'; }

std::u16string_view TrimLeft(std::u16string_view text) {
  while (!text.empty() && Blank(text.front())) text.remove_prefix(1);
  return text;
}

std::u16string_view Trim(std::u16string_view text) {
  text = TrimLeft(text);
  while (!text.empty() && Blank(text.back())) text.remove_suffix(1);
  return text;
}

int HexDigit(char16_t c) {
  if (c >= u'0' && c <= u'9') return c - u'0';
  if (c >= u'a' && c <= u'f') return c - u'a' + 10;
  if (c >= u'A' && c <= u'F') return c - u'A' + 10;
  return -1;
}

bool StartsWithNoCase(std::u16string_view text, std::u16string_view prefix) {
  return text.size() >= prefix.size() && ToUpper(text.substr(0, prefix.size())) == ToUpper(prefix);
}

// Whether the stream from its position on is valid UTF-8; leaves it at the end.
bool ValidUtf8(std::istream& in) {
  int pending = 0;  // continuation bytes still expected
  char buffer[1 << 16];
  while (in.read(buffer, sizeof buffer) || in.gcount() > 0) {
    for (std::streamsize i = 0; i < in.gcount(); ++i) {
      const auto c = static_cast<unsigned char>(buffer[i]);
      if (pending > 0) {
        if ((c & 0xC0) != 0x80) return false;
        --pending;
      } else if (c >= 0xC2 && c <= 0xDF) {
        pending = 1;
      } else if (c >= 0xE0 && c <= 0xEF) {
        pending = 2;
      } else if (c >= 0xF0 && c <= 0xF4) {
        pending = 3;
      } else if (c >= 0x80) {
        return false;
      }
    }
  }
  return pending == 0;
}

}  // namespace

RegFileReader::RegFileReader(const std::filesystem::path& file) : file_(file) {
  in_.open(file, std::ios::binary);
  if (!in_) throw RegFileError(file_.string() + ": cannot open");
  Start();
}

void RegFileReader::Start() {
  char bom[3] = {};
  in_.read(bom, 3);
  const std::streamsize got = in_.gcount();
  in_.clear();
  if (got >= 2 && bom[0] == '\xFF' && bom[1] == '\xFE') {
    encoding_ = Encoding::kUtf16;
    body_ = 2;
  } else if (got == 3 && bom[0] == '\xEF' && bom[1] == '\xBB' && bom[2] == '\xBF') {
    encoding_ = Encoding::kUtf8;
    body_ = 3;
  } else {
    body_ = 0;
    in_.seekg(0);
    encoding_ = ValidUtf8(in_) ? Encoding::kUtf8 : Encoding::kLatin1;
    in_.clear();
  }
  in_.seekg(body_);
  line_number_ = 0;
  in_key_ = false;
  std::u16string header;
  if (!ReadLine(&header)) Fail("empty file, not a .reg file");
  const std::u16string_view first = Trim(header);
  if (first == kVersion5) {
    unicode_ = true;
  } else if (first == kVersion4) {
    unicode_ = false;
  } else {
    Fail(
        "not a .reg file: the first line is neither \"Windows Registry Editor Version 5.00\" "
        "nor \"REGEDIT4\"");
  }
}

void RegFileReader::Rewind() {
  in_.clear();
  in_.seekg(0);
  Start();
}

void RegFileReader::Fail(const std::string& what) const {
  throw RegFileError(file_.string() + ":" + std::to_string(line_number_) + ": " + what);
}

bool RegFileReader::ReadLine(std::u16string* line) {
  line->clear();
  bool any = false;
  if (encoding_ == Encoding::kUtf16) {
    char pair[2];
    while (in_.read(pair, 2)) {
      any = true;
      const auto unit = static_cast<char16_t>(static_cast<unsigned char>(pair[0]) |
                                              static_cast<unsigned char>(pair[1]) << 8);
      if (unit == u'\n') break;
      if (line->size() == kMaxLine) Fail("line longer than the limit of a .reg line");
      line->push_back(unit);
    }
    if (in_.gcount() == 1) Fail("the file ends in half a UTF-16 character");
  } else {
    std::string bytes;
    char c;
    while (in_.get(c)) {
      any = true;
      if (c == '\n') break;
      if (bytes.size() == kMaxLine) Fail("line longer than the limit of a .reg line");
      bytes.push_back(c);
    }
    if (encoding_ == Encoding::kUtf8) {
      *line = FromUtf8(bytes);
    } else {
      for (char b : bytes) line->push_back(static_cast<unsigned char>(b));
    }
  }
  if (!any) return false;
  ++line_number_;
  if (!line->empty() && line->back() == u'\r') line->pop_back();
  return true;
}

bool RegFileReader::Next(RegEntry* entry) {
  std::u16string line;
  while (ReadLine(&line)) {
    const std::u16string_view text = TrimLeft(line);
    if (text.empty() || text.front() == u';') continue;
    *entry = RegEntry{};
    entry->line = line_number_;
    if (text.front() == u'[') {
      ParseKey(text, entry);
      in_key_ = entry->kind == RegEntry::kKey;
      return true;
    }
    if (text.front() == u'"' || text.front() == u'@') {
      if (!in_key_) {
        Fail("a value line outside a key (before any key, or after a key deletion)");
      }
      ParseValue(text, entry);
      return true;
    }
    Fail("neither a key, a value nor a comment");
  }
  return false;
}

void RegFileReader::ParseKey(std::u16string_view text, RegEntry* entry) {
  const size_t close = text.rfind(u']');
  if (close == std::u16string_view::npos) Fail("a key line without its closing ]");
  const std::u16string_view after = Trim(text.substr(close + 1));
  if (!after.empty() && after.front() != u';') Fail("text after the key's closing ]");
  std::u16string_view name = text.substr(1, close - 1);
  entry->kind = RegEntry::kKey;
  if (!name.empty() && name.front() == u'-') {
    entry->kind = RegEntry::kDeleteKey;
    name.remove_prefix(1);
  }
  const size_t slash = name.find(u'\\');
  const std::u16string_view root = name.substr(0, slash);
  const std::u16string upper = ToUpper(root);
  if (upper == u"HKEY_CURRENT_USER" || upper == u"HKCU") {
    entry->root = kHkeyCurrentUser;
  } else if (upper == u"HKEY_LOCAL_MACHINE" || upper == u"HKLM") {
    entry->root = kHkeyLocalMachine;
  } else {
    Fail("unknown root " + ToUtf8(root) +
         " (only HKEY_CURRENT_USER and HKEY_LOCAL_MACHINE can be imported)");
  }
  std::u16string_view path =
      slash == std::u16string_view::npos ? std::u16string_view() : name.substr(slash + 1);
  if (!path.empty() && path.back() == u'\\') path.remove_suffix(1);
  if (path.empty() && entry->kind == RegEntry::kDeleteKey) Fail("refusing to delete a whole hive");
  size_t depth = 0;
  for (size_t start = 0; !path.empty();) {
    const size_t end = path.find(u'\\', start);
    const std::u16string_view part = path.substr(start, end - start);
    if (part.empty()) Fail("an empty key name in the path");
    if (part.size() > kMaxKeyName) Fail("a key name longer than 255 characters");
    if (++depth > kMaxDepth) Fail("a key deeper than 512 levels");
    if (end == std::u16string_view::npos) break;
    start = end + 1;
  }
  if (path.find(u'\0') != std::u16string_view::npos) Fail("a key name holding NUL");
  // A bare CR inside a line: no key of a .reg file holds a line break.
  if (HoldsLineBreak(path)) {
    Fail("a key name holding a line break (CR or LF): \"" + ShownName(name) + "\"");
  }
  entry->path = path;
}

namespace {

// Reads a quoted string from `text` (which starts at its opening quote); the escapes are those
// of .reg files: \\ and \", and the \n and \r that Wine writes.
std::u16string_view Quoted(std::u16string_view text, std::u16string* out, const char** error) {
  out->clear();
  for (size_t i = 1; i < text.size(); ++i) {
    char16_t c = text[i];
    if (c == u'"') return text.substr(i + 1);
    if (c == u'\\') {
      if (++i == text.size()) break;
      switch (text[i]) {
        case u'\\':
        case u'"':
          c = text[i];
          break;
        case u'n':
          c = u'\n';
          break;
        case u'r':
          c = u'\r';
          break;
        default:
          *error = "an unknown escape in a string";
          return {};
      }
    }
    out->push_back(c);
  }
  *error = "an unterminated string";
  return {};
}

}  // namespace

void RegFileReader::ParseValue(std::u16string_view text, RegEntry* entry) {
  const char* error = nullptr;
  if (text.front() == u'@') {
    text.remove_prefix(1);
  } else {
    text = Quoted(text, &entry->name, &error);
    if (error != nullptr) Fail(error);
    if (entry->name.find(u'\0') != std::u16string::npos) Fail("a value name holding NUL");
    // Written as \n or \r, or a bare CR: no value of a .reg file has a line break in its name.
    if (HoldsLineBreak(entry->name)) {
      Fail("a value name holding a line break (CR or LF): \"" + ShownName(entry->name) + "\"");
    }
    if (entry->name.size() > kMaxValueName) Fail("a value name longer than 16383 characters");
  }
  text = TrimLeft(text);
  if (text.empty() || text.front() != u'=') Fail("no = after the value's name");
  text = TrimLeft(text.substr(1));
  auto rest_is_blank = [&](std::u16string_view rest) {
    rest = Trim(rest);
    if (!rest.empty() && rest.front() != u';') Fail("unexpected text after the value");
  };
  entry->kind = RegEntry::kValue;
  if (!text.empty() && text.front() == u'-') {
    entry->kind = RegEntry::kDeleteValue;
    rest_is_blank(text.substr(1));
  } else if (!text.empty() && text.front() == u'"') {
    std::u16string value;
    const std::u16string_view rest = Quoted(text, &value, &error);
    if (error != nullptr) Fail(error);
    rest_is_blank(rest);
    value.push_back(u'\0');
    entry->type = kRegSz;
    entry->data = Utf16Bytes(value);
    if (entry->data.size() > kMaxData) Fail("a value larger than 16 MiB");
  } else if (StartsWithNoCase(text, u"dword:")) {
    text.remove_prefix(6);
    std::uint32_t v = 0;
    size_t digits = 0;
    for (; digits < text.size() && HexDigit(text[digits]) >= 0; ++digits) {
      if (digits == 8) Fail("a dword of more than 8 hex digits");
      v = v << 4 | static_cast<std::uint32_t>(HexDigit(text[digits]));
    }
    if (digits == 0) Fail("a dword without hex digits");
    rest_is_blank(text.substr(digits));
    entry->type = kRegDword;
    for (int i = 0; i < 4; ++i, v >>= 8) entry->data.push_back(static_cast<char>(v & 0xFF));
  } else if (StartsWithNoCase(text, u"hex:")) {
    entry->type = kRegBinary;
    ParseHex(text.substr(4), entry);
  } else if (StartsWithNoCase(text, u"hex(")) {
    text.remove_prefix(4);
    std::uint64_t type = 0;
    size_t digits = 0;
    for (; digits < text.size() && HexDigit(text[digits]) >= 0; ++digits) {
      type = type << 4 | static_cast<std::uint64_t>(HexDigit(text[digits]));
      if (type > 0xFFFFFFFFu) Fail("a value type beyond 32 bits");
    }
    if (digits == 0 || text.substr(digits, 2) != u"):") Fail("a malformed hex(N): type");
    entry->type = static_cast<std::uint32_t>(type);
    ParseHex(text.substr(digits + 2), entry);
  } else {
    Fail("an unknown kind of value (neither a string, dword:, hex: nor hex(N):)");
  }
}

void RegFileReader::ParseHex(std::u16string_view text, RegEntry* entry) {
  std::u16string continued;
  size_t i = 0;
  while (true) {
    while (i < text.size() && Blank(text[i])) ++i;
    if (i == text.size() || text[i] == u';') break;
    if (text[i] == u'\\') {
      if (!Trim(text.substr(i + 1)).empty()) Fail("text after a line's continuation \\");
      if (!ReadLine(&continued)) Fail("the file ends inside a continued hex value");
      text = continued;
      i = 0;
      continue;
    }
    const int high = HexDigit(text[i]);
    if (high < 0) Fail("bad hex data");
    int byte = high;
    if (++i < text.size() && HexDigit(text[i]) >= 0) byte = byte << 4 | HexDigit(text[i++]);
    if (entry->data.size() == kMaxData) Fail("a value larger than 16 MiB");
    entry->data.push_back(static_cast<char>(byte));
    while (i < text.size() && Blank(text[i])) ++i;
    if (i < text.size() && text[i] == u',') {
      ++i;
    } else if (i < text.size() && text[i] != u'\\' && text[i] != u';') {
      Fail("bad hex data");
    }
  }
  if (!unicode_ && (entry->type == kRegExpandSz || entry->type == kRegMultiSz)) {
    // REGEDIT4 keeps these strings one byte a character, in the file's own encoding.
    std::u16string wide;
    if (encoding_ == Encoding::kLatin1) {
      for (char c : entry->data) wide.push_back(static_cast<unsigned char>(c));
    } else {
      wide = FromUtf8(entry->data);
    }
    entry->data = Utf16Bytes(wide);
  }
}

}  // namespace velmo::tools
