#include "config/builtin_documents.h"

#include <stdexcept>

#include "platform/file_system.h"
#include "platform/text.h"

namespace velmo {
namespace {

bool IsBlank(char16_t c) { return c == u' ' || c == u'\t' || c == u'\r' || c == 0xFEFF; }

std::u16string Trim(std::u16string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return std::u16string(text);
}

bool SameName(std::u16string_view a, std::u16string_view b) {
  return a.size() == b.size() && platform::ToUpper(a) == platform::ToUpper(b);
}

// A "name=value" line, or nothing for a line that is not one.
std::optional<std::pair<std::u16string, std::u16string>> Assignment(std::u16string_view line) {
  const size_t equals = line.find(u'=');
  if (equals == std::u16string_view::npos) return std::nullopt;
  std::u16string name = Trim(line.substr(0, equals));
  if (name.empty()) return std::nullopt;
  return std::make_pair(std::move(name), Trim(line.substr(equals + 1)));
}

bool IsComment(std::u16string_view line) { return line.empty() || line.front() == u';'; }

// A path with a NUL in it would name some other file to the file API.
std::optional<std::string> ReadText(std::u16string_view path) {
  if (path.find(u'\0') != std::u16string_view::npos) return std::nullopt;
  std::optional<std::string> bytes = platform::ReadWholeFile(path);
  if (bytes && !IsText(*bytes)) return std::nullopt;
  return bytes;
}

bool HasUtf16Mark(const std::string& bytes) {
  return bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
         static_cast<unsigned char>(bytes[1]) == 0xFE;
}

}  // namespace

bool IsText(const std::string& bytes) {
  if (HasUtf16Mark(bytes)) {
    if (bytes.size() % 2 != 0) return false;
    for (size_t i = 2; i < bytes.size(); i += 2) {
      if (bytes[i] == 0 && bytes[i + 1] == 0) return false;
    }
    return true;
  }
  return bytes.find('\0') == std::string::npos && platform::IsUtf8(bytes);
}

std::vector<std::u16string> DecodeLines(const std::string& bytes) {
  std::u16string text;
  if (HasUtf16Mark(bytes)) {
    for (size_t i = 2; i + 1 < bytes.size(); i += 2) {
      text.push_back(static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) |
                                           static_cast<unsigned char>(bytes[i + 1]) << 8));
    }
  } else {
    text = platform::FromUtf8(bytes);  // a UTF-8 byte-order mark becomes U+FEFF, a blank
  }
  std::vector<std::u16string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find(u'\n', start);
    if (end == std::u16string::npos) end = text.size();
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

// ---- IniDocument

bool IniDocument::Load(std::u16string_view path) {
  const std::optional<std::string> bytes = ReadText(path);
  if (!bytes) return false;
  Parse(*bytes);
  return true;
}

void IniDocument::Parse(const std::string& bytes) {
  sections_.clear();
  Section* current = nullptr;
  for (const std::u16string& raw : DecodeLines(bytes)) {
    const std::u16string line = Trim(raw);
    if (IsComment(line)) continue;
    if (line.front() == u'[' && line.back() == u']') {
      const std::u16string name = Trim(std::u16string_view(line).substr(1, line.size() - 2));
      current = Find(name);
      if (current == nullptr) current = &sections_.emplace_back(Section{name, {}});
      continue;
    }
    auto assignment = Assignment(line);
    if (!assignment) continue;
    if (current == nullptr) {
      current = Find(u"");
      if (current == nullptr) current = &sections_.emplace_back(Section{u"", {}});
    }
    bool known = false;
    for (const auto& [name, value] : current->values)
      known = known || SameName(name, assignment->first);
    if (!known) current->values.push_back(std::move(*assignment));
  }
}

void IniDocument::Merge(ConfigDocument& other) {
  if (&other == this) return;
  if (const auto* from = dynamic_cast<const IniDocument*>(&other)) {
    for (const Section& section : from->sections_) {
      for (const auto& [name, value] : section.values) Add(section.name, name, value);
      if (section.values.empty() && Find(section.name) == nullptr) sections_.push_back(section);
    }
    return;
  }
  // Another library's document: read through its interface, all of it before anything changes.
  IniDocument read;
  for (const std::u16string& section : other.Sections()) {
    read.sections_.push_back(Section{section, {}});
    for (const std::u16string& name : other.Names(section)) {
      std::optional<std::u16string> value = other.Value(section, name);
      if (value) read.sections_.back().values.emplace_back(name, std::move(*value));
    }
  }
  Merge(read);
}

void IniDocument::Add(std::u16string_view section, std::u16string_view name,
                      std::u16string_view value) {
  Section* into = Find(section);
  if (into == nullptr) into = &sections_.emplace_back(Section{std::u16string(section), {}});
  for (const auto& entry : into->values) {
    if (SameName(entry.first, name)) return;
  }
  into->values.emplace_back(name, value);
}

std::optional<std::u16string> IniDocument::Value(std::u16string_view section,
                                                 std::u16string_view name) const {
  const Section* found = Find(section);
  if (found == nullptr) return std::nullopt;
  for (const auto& [key, value] : found->values) {
    if (SameName(key, name)) return value;
  }
  return std::nullopt;
}

std::vector<std::u16string> IniDocument::Sections() const {
  std::vector<std::u16string> names;
  for (const Section& section : sections_) names.push_back(section.name);
  return names;
}

std::vector<std::u16string> IniDocument::Names(std::u16string_view section) const {
  std::vector<std::u16string> names;
  if (const Section* found = Find(section)) {
    for (const auto& entry : found->values) names.push_back(entry.first);
  }
  return names;
}

IniDocument::Section* IniDocument::Find(std::u16string_view section) {
  for (Section& s : sections_) {
    if (SameName(s.name, section)) return &s;
  }
  return nullptr;
}

const IniDocument::Section* IniDocument::Find(std::u16string_view section) const {
  return const_cast<IniDocument*>(this)->Find(section);
}

// ---- ParameterDocument

bool ParameterDocument::Load(std::u16string_view path) {
  const std::optional<std::string> bytes = ReadText(path);
  if (!bytes) return false;
  Parse(*bytes);
  return true;
}

void ParameterDocument::Parse(const std::string& bytes) {
  values_.clear();
  for (const std::u16string& raw : DecodeLines(bytes)) {
    const std::u16string line = Trim(raw);
    if (IsComment(line)) continue;
    auto assignment = Assignment(line);
    if (!assignment || Value(assignment->first)) continue;
    values_.push_back(std::move(*assignment));
  }
}

std::optional<std::u16string> ParameterDocument::Value(std::u16string_view name) const {
  for (const auto& [key, value] : values_) {
    if (SameName(key, name)) return value;
  }
  return std::nullopt;
}

std::vector<std::u16string> ParameterDocument::Names() const {
  std::vector<std::u16string> names;
  for (const auto& entry : values_) names.push_back(entry.first);
  return names;
}

// ---- the factory

namespace {

class BuiltInDocuments final : public DocumentFactory {
 public:
  std::shared_ptr<ConfigDocument> NewConfigDocument() override {
    return std::make_shared<IniDocument>();
  }
  std::shared_ptr<PPDocument> NewPPDocument() override {
    return std::make_shared<ParameterDocument>();
  }
};

}  // namespace

std::shared_ptr<DocumentFactory> NewBuiltInDocuments() {
  return std::make_shared<BuiltInDocuments>();
}

}  // namespace velmo
