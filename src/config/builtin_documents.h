// The configuration and parameter documents: linked into the core on Linux, and served on
// Windows by MOLConfigLib.dll and MolGPP.dll, which wrap these same classes.
//
// A configuration file is INI text: "[section]" lines open a section, "name=value" lines give a
// value in it (lines before any section belong to the section ""), lines starting with ";" are
// comments; blanks around names and values do not count, and section and value names compare
// without regard to case. A parameter file is "name=value" lines with the same rules and no
// sections. Files are UTF-8, with or without a byte-order mark, or UTF-16LE with one. The first
// line that names a value wins over later ones. A file in none of these encodings, or holding a
// NUL character, is not text and does not load.
#ifndef VELMO_CONFIG_BUILTIN_DOCUMENTS_H_
#define VELMO_CONFIG_BUILTIN_DOCUMENTS_H_

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "velmo/config_document.h"

namespace velmo {

class IniDocument final : public ConfigDocument {
 public:
  bool Load(std::u16string_view path) override;
  // Takes the sections and values that this document lacks, from a document of any kind.
  void Merge(ConfigDocument& other) override;

  std::optional<std::u16string> Value(std::u16string_view section,
                                      std::u16string_view name) const override;
  std::vector<std::u16string> Sections() const override;
  std::vector<std::u16string> Names(std::u16string_view section) const override;
  // Adds the value unless the section already has one by that name.
  void Add(std::u16string_view section, std::u16string_view name, std::u16string_view value);
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
  std::optional<std::u16string> Value(std::u16string_view name) const override;
  std::vector<std::u16string> Names() const override;
  size_t size() const { return values_.size(); }
  void Parse(const std::string& bytes);

 private:
  std::vector<std::pair<std::u16string, std::u16string>> values_;
};

// The lines of a text file in one of the encodings above; malformed UTF-8 becomes U+FFFD.
std::vector<std::u16string> DecodeLines(const std::string& bytes);
// Whether `bytes` are text in one of the encodings above, as Load requires.
bool IsText(const std::string& bytes);

}  // namespace velmo

#endif  // VELMO_CONFIG_BUILTIN_DOCUMENTS_H_
