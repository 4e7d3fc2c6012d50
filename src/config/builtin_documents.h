// The documents this library brings when the outside libraries are not there.
//
// A configuration file is INI text: "[section]" lines open a section, "name=value" lines give a
// value in it (lines before any section belong to the section ""), lines starting with ";" are
// comments; blanks around names and values do not count, and section and value names compare
// without regard to case. A parameter file is "name=value" lines with the same rules and no
// sections. Files are UTF-8, with or without a byte-order mark, or UTF-16LE with one. The first
// line that names a value wins over later ones.
#ifndef VELMO_CONFIG_BUILTIN_DOCUMENTS_H_
#define VELMO_CONFIG_BUILTIN_DOCUMENTS_H_

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "config/config_document.h"

namespace velmo {

class IniDocument final : public ConfigDocument {
 public:
  bool Load(std::u16string_view path) override;
  // Takes the sections and values that this document lacks; `other` must be an IniDocument.
  void Merge(ConfigDocument& other) override;

  std::optional<std::u16string> Value(std::u16string_view section, std::u16string_view name) const;
  std::vector<std::u16string> Sections() const;
  // Parses text already read; what Load does after reading the file.
  void Parse(const std::string& bytes);

 private:
  struct Section {
    std::u16string name;
    std::vector<std::pair<std::u16string, std::u16string>> values;
  };
  Section* Find(std::u16string_view section);
  const Section* Find(std::u16string_view section) const;

  std::vector<Section> sections_;
};

class ParameterDocument final : public PPDocument {
 public:
  bool Load(std::u16string_view path) override;
  std::optional<std::u16string> Value(std::u16string_view name) const;
  size_t size() const { return values_.size(); }
  void Parse(const std::string& bytes);

 private:
  std::vector<std::pair<std::u16string, std::u16string>> values_;
};

// The lines of a text file in one of the encodings above.
std::vector<std::u16string> DecodeLines(const std::string& bytes);

}  // namespace velmo

#endif  // VELMO_CONFIG_BUILTIN_DOCUMENTS_H_
