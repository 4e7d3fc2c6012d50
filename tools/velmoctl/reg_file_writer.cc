#include "reg_file_writer.h"

#include "platform/registry_api.h"
#include "platform/text.h"
#include "value_format.h"

namespace velmo::tools {

using namespace velmo::platform;

namespace {

// Where Windows' registry editor breaks a hex line.
constexpr size_t kMaxHexColumns = 77;

std::u16string HexNumber(std::uint64_t v, int width) {
  static const char kDigits[] = "0123456789abcdef";
  std::u16string digits;
  do {
    digits.insert(digits.begin(), static_cast<char16_t>(kDigits[v & 0xF]));
    v >>= 4;
  } while (v != 0 || static_cast<int>(digits.size()) < width);
  return digits;
}

bool FitsString(const std::string& data) {
  if (data.size() < 2 || data.size() % 2 != 0) return false;
  const std::u16string text = FromUtf16Bytes(data);
  if (text.back() != u'\0') return false;
  return text.find_first_of(std::u16string_view(u"\0\r\n", 3)) == text.size() - 1;
}

}  // namespace

bool HoldsLineBreak(std::u16string_view name) {
  return name.find_first_of(u"\r\n") != std::u16string_view::npos;
}

std::string ShownName(std::u16string_view name) {
  std::u16string shown;
  for (char16_t c : name) {
    if (c == u'\r') {
      shown += u"\\r";
    } else if (c == u'\n') {
      shown += u"\\n";
    } else {
      shown.push_back(c);
    }
  }
  return ToUtf8(shown);
}

std::u16string EscapeRegString(std::u16string_view text) {
  std::u16string escaped;
  escaped.reserve(text.size());
  for (char16_t c : text) {
    if (c == u'\\' || c == u'"') escaped.push_back(u'\\');
    escaped.push_back(c);
  }
  return escaped;
}

RegFileWriter::RegFileWriter(std::ostream& out) : out_(out) {
  out_.write("\xFF\xFE", 2);
  Write(u"Windows Registry Editor Version 5.00\r\n");
}

void RegFileWriter::Key(std::u16string_view full_name) {
  if (HoldsLineBreak(full_name)) {
    throw RegNameError(ShownName(full_name) +
                       ": a key name holding a line break (CR or LF) cannot be written to a .reg "
                       "file, whose reader would take what follows it for lines of their own");
  }
  key_ = full_name;
  Write(u"\r\n[");
  Write(full_name);
  Write(u"]\r\n");
}

void RegFileWriter::Entry(const Value& value) {
  if (HoldsLineBreak(value.name)) {
    throw RegNameError(ShownName(key_) + ": the value name \"" + ShownName(value.name) +
                       "\" holds a line break (CR or LF), which a .reg file cannot carry");
  }
  std::u16string line = value.name.empty() ? u"@=" : u"\"" + EscapeRegString(value.name) + u"\"=";
  if (value.type == kRegSz && FitsString(value.data)) {
    std::u16string text = FromUtf16Bytes(value.data);
    text.pop_back();
    Write(line + u"\"" + EscapeRegString(text) + u"\"\r\n");
  } else if (value.type == kRegDword && value.data.size() == 4) {
    std::uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = v << 8 | static_cast<unsigned char>(value.data[i]);
    Write(line + u"dword:" + HexNumber(v, 8) + u"\r\n");
  } else if (value.type == kRegBinary) {
    Hex(line + u"hex:", value.data);
  } else {
    Hex(line + u"hex(" + HexNumber(value.type, 1) + u"):", value.data);
  }
}

void RegFileWriter::Hex(std::u16string line, const std::string& data) {
  size_t columns = line.size();
  for (size_t i = 0; i < data.size(); ++i) {
    const auto byte = static_cast<unsigned char>(data[i]);
    line += HexNumber(byte, 2);
    if (i + 1 == data.size()) break;
    line.push_back(u',');
    columns += 3;
    if (columns >= kMaxHexColumns) {
      Write(line + u"\\\r\n");
      line = u"  ";
      columns = 2;
    }
  }
  Write(line + u"\r\n");
}

void RegFileWriter::Finish() { Write(u"\r\n"); }

void RegFileWriter::Write(std::u16string_view text) {
  const std::string bytes = Utf16Bytes(text);
  out_.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

}  // namespace velmo::tools
