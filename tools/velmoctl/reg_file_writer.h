// Writes a key tree as a "Windows Registry Editor Version 5.00" file, laid out as Windows'
// registry editor lays it out: UTF-16LE with a byte-order mark, CRLF line ends, "@" for the
// default value, hex lines continued with "\" before 80 columns.
#ifndef VELMO_TOOLS_VELMOCTL_REG_FILE_WRITER_H_
#define VELMO_TOOLS_VELMOCTL_REG_FILE_WRITER_H_

#include <ostream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "key_reader.h"

namespace velmo::tools {

// A name that a .reg file cannot carry: one holding a line break (CR or LF), which the
// registry editor takes for the end of the name's line, and what follows it for lines of their
// own (a section of another hive, say). The message names the key, line breaks shown as \r, \n.
struct RegNameError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Whether `name` holds a line break.
bool HoldsLineBreak(std::u16string_view name);
// `name` in UTF-8 for a message, its line breaks shown as \r and \n.
std::string ShownName(std::u16string_view name);

// Writes to `out`, which the caller owns and checks for errors. Key and Entry throw
// RegNameError, and write nothing, for a name holding a line break.
class RegFileWriter {
 public:
  explicit RegFileWriter(std::ostream& out);  // writes the header

  // `full_name` is the key's name with its root, such as "HKEY_CURRENT_USER\Software\T".
  void Key(std::u16string_view full_name);

  // Data a .reg string cannot hold exactly (no terminating NUL, a NUL inside, a line break) is
  // written as hex(1) so that it comes back byte for byte.
  void Entry(const Value& value);

  void Finish();  // the blank line that ends the file

 private:
  void Write(std::u16string_view text);

  std::u16string key_;  // the key written last, for messages
  void Hex(std::u16string prefix, const std::string& data);

  std::ostream& out_;
};

// `text` with "\" and '"' escaped as a .reg file escapes them.
std::u16string EscapeRegString(std::u16string_view text);

}  // namespace velmo::tools

#endif  // VELMO_TOOLS_VELMOCTL_REG_FILE_WRITER_H_
