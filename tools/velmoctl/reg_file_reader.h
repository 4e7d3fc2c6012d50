// Reads .reg files one entry at a time: "Windows Registry Editor Version 5.00" files (UTF-16LE
// with a byte-order mark, or UTF-8) and "REGEDIT4" files (UTF-8 when the whole file is valid
// UTF-8, Latin-1 otherwise).
//
// Memory stays bounded whatever the file's size: one physical line and one value's data at a
// time, each refused beyond a fixed size.
#ifndef VELMO_TOOLS_VELMOCTL_REG_FILE_READER_H_
#define VELMO_TOOLS_VELMOCTL_REG_FILE_READER_H_

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>

#include "platform/registry_api.h"

namespace velmo::tools {

struct RegEntry {
  enum Kind { kKey, kDeleteKey, kValue, kDeleteValue };
  Kind kind = kKey;
  std::uint64_t line = 0;  // where the entry starts, from 1
  // kKey and kDeleteKey: the root (kHkeyCurrentUser or kHkeyLocalMachine) and the path below it.
  platform::RegKey root = 0;
  std::u16string path;
  // kValue and kDeleteValue: the name, empty for the default value; kValue: type and data.
  std::u16string name;
  std::uint32_t type = 0;
  std::string data;
};

// What is wrong with the file, and where: "FILE:LINE: what".
struct RegFileError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Not thread-safe. Every failure, of reading or of syntax, throws RegFileError.
class RegFileReader {
 public:
  static constexpr size_t kMaxLine = size_t{16} << 20;  // code units of one physical line
  static constexpr size_t kMaxData = size_t{16} << 20;  // bytes of one value

  // Opens the file and reads its header.
  explicit RegFileReader(const std::filesystem::path& file);

  // The next entry, or false at the end of the file. A value before any key, or after a key
  // deletion, is an error.
  bool Next(RegEntry* entry);

  // Back to the first entry, to read the file a second time.
  void Rewind();

 private:
  enum class Encoding { kUtf16, kUtf8, kLatin1 };

  bool ReadLine(std::u16string* line);  // false at the end of the file
  [[noreturn]] void Fail(const std::string& what) const;
  void Start();
  void ParseKey(std::u16string_view text, RegEntry* entry);
  void ParseValue(std::u16string_view text, RegEntry* entry);
  void ParseHex(std::u16string_view text, RegEntry* entry);

  std::filesystem::path file_;
  std::ifstream in_;
  Encoding encoding_ = Encoding::kUtf8;
  bool unicode_ = false;  // version 5.00: hex(2) and hex(7) hold UTF-16LE
  std::uint64_t line_number_ = 0;
  std::streampos body_;  // just after the byte-order mark
  bool in_key_ = false;
};

}  // namespace velmo::tools

#endif  // VELMO_TOOLS_VELMOCTL_REG_FILE_READER_H_
