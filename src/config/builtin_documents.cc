#include "config/builtin_documents.h"

#include <algorithm>
#include <stdexcept>

#include "platform/file_system.h"
#include "platform/text.h"

namespace velmo {
namespace {

bool IsBlank(char16_t c) { return c == u' ' || c == u'\t' || c == u'\r' || c == 0xFEFF; }

std::u16string_view Trim(std::u16string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return text;
}

// A "name=value" line, or nothing for a line that is not one.
std::optional<std::pair<std::u16string_view, std::u16string_view>> Assignment(
    std::u16string_view line) {
  const size_t equals = line.find(u'=');
  if (equals == std::u16string_view::npos) return std::nullopt;
  const std::u16string_view name = Trim(line.substr(0, equals));
  if (name.empty()) return std::nullopt;
  return std::make_pair(name, Trim(line.substr(equals + 1)));
}

// Calls `line` with each line of `text`, trimmed, that is neither empty nor a comment.
template <typename Line>
void ForEachLine(std::u16string_view text, Line&& line) {
  while (!text.empty()) {
    const size_t end = std::min(text.find(u'\n'), text.size());
    const std::u16string_view trimmed = Trim(text.substr(0, end));
    if (!trimmed.empty() && trimmed.front() != u';') line(trimmed);
    text.remove_prefix(std::min(end + 1, text.size()));
  }
}

// A path with a NUL in it would name some other file to the file API.
std::optional<std::string> ReadText(std::u16string_view path) {
  if (path.find(u'\0') != std::u16string_view::npos) return std::nullopt;
  std::optional<std::string> bytes = platform::ReadWholeFile(path, kMaxDocumentBytes);
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

std::u16string DecodeText(const std::string& bytes) {
  if (!HasUtf16Mark(bytes)) return platform::FromUtf8(bytes);  // a UTF-8 mark becomes a blank
  std::u16string text;
  text.reserve(bytes.size() / 2);
  for (size_t i = 2; i + 1 < bytes.size(); i += 2) {
    text.push_back(static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) |
                                         static_cast<unsigned char>(bytes[i + 1]) << 8));
  }
  return text;
}

// ---- NamedValues

bool NamedValues::Add(std::u16string_view name, std::u16string_view value) {
  const std::u16string upper = platform::ToUpper(name);
  if (slots_.empty() || (entries_.size() + 1) * 2 > slots_.size()) {
    Rehash(std::max<std::size_t>(16, slots_.size() * 2));
  }
  const std::size_t slot = SlotOf(upper);
  if (slots_[slot] != 0) return false;
  // Documents are at most 64 MiB, so offsets and counts fit in 32 bits.
  const auto at = [](std::size_t n) { return static_cast<std::uint32_t>(n); };
  entries_.push_back(
      Entry{at(text_.size()), at(name.size()), at(text_.size() + name.size()), at(value.size())});
  text_.append(name).append(value);
  slots_[slot] = at(entries_.size());
  return true;
}

std::optional<std::u16string_view> NamedValues::Find(std::u16string_view name) const {
  if (slots_.empty()) return std::nullopt;
  const std::uint32_t found = slots_[SlotOf(platform::ToUpper(name))];
  if (found == 0) return std::nullopt;
  return ValueOf(entries_[found - 1]);
}

namespace {

// Whether `name` upper-cases to `upper`, without making the upper case of a name in ASCII.
bool UpperCasesTo(std::u16string_view name, std::u16string_view upper) {
  if (name.size() != upper.size()) return false;
  for (std::size_t i = 0; i < name.size(); ++i) {
    const char16_t c = name[i];
    if (c >= 0x80) return platform::ToUpper(name) == upper;
    if ((c >= u'a' && c <= u'z' ? c - u'a' + u'A' : c) != upper[i]) return false;
  }
  return true;
}

}  // namespace

std::size_t NamedValues::SlotOf(std::u16string_view upper) const {
  const std::size_t mask = slots_.size() - 1;
  for (std::size_t slot = std::hash<std::u16string_view>()(upper) & mask;;
       slot = (slot + 1) & mask) {
    const std::uint32_t entry = slots_[slot];
    if (entry == 0) return slot;
    if (UpperCasesTo(NameOf(entries_[entry - 1]), upper)) return slot;
  }
}

void NamedValues::Rehash(std::size_t slots) {
  slots_.assign(slots, 0);
  const std::size_t mask = slots - 1;
  for (std::size_t i = 0; i < entries_.size(); ++i) {
    std::size_t slot = std::hash<std::u16string_view>()(platform::ToUpper(NameOf(entries_[i])));
    for (slot &= mask; slots_[slot] != 0; slot = (slot + 1) & mask) {
    }
    slots_[slot] = static_cast<std::uint32_t>(i + 1);
  }
}

void NamedValues::Reserve(std::size_t count) {
  entries_.reserve(count);
  std::size_t slots = 16;
  while (slots < count * 2) slots *= 2;
  if (slots > slots_.size()) Rehash(slots);
}

void NamedValues::ShrinkToFit() {
  text_.shrink_to_fit();
  entries_.shrink_to_fit();
  std::size_t slots = 16;
  while (slots < entries_.size() * 2) slots *= 2;
  if (slots < slots_.size()) Rehash(slots);
}

std::vector<std::u16string> NamedValues::Names() const {
  std::vector<std::u16string> names;
  names.reserve(entries_.size());
  ForEach([&](std::u16string_view name, std::u16string_view) { names.emplace_back(name); });
  return names;
}

// ---- IniDocument

bool IniDocument::Load(std::u16string_view path) {
  const std::optional<std::string> bytes = ReadText(path);
  if (!bytes) return false;
  Parse(*bytes);
  return true;
}

void IniDocument::Parse(const std::string& bytes) {
  auto content = std::make_shared<Content>();
  std::u16string current;  // lines before any section belong to ""
  ForEachLine(DecodeText(bytes), [&](std::u16string_view line) {
    if (line.front() == u'[' && line.back() == u']') {
      current = Trim(line.substr(1, line.size() - 2));
      content->Find(current, /*make=*/true);
      return;
    }
    auto assignment = Assignment(line);
    if (!assignment) return;
    content->Find(current, /*make=*/true)->values.Add(assignment->first, assignment->second);
  });
  for (Section& section : content->sections) section.values.ShrinkToFit();
  content_.store(std::move(content));
}

void IniDocument::Content::Merge(const Content& from) {
  for (const Section& section : from.sections) {
    Section* into = Find(section.name, /*make=*/true);
    section.values.ForEach([&](std::u16string_view name, std::u16string_view value) {
      into->values.Add(name, value);
    });
  }
}

void IniDocument::Merge(ConfigDocument& other) {
  if (&other == this) return;
  auto merged = std::make_shared<Content>(*Current());
  if (const auto* from = dynamic_cast<const IniDocument*>(&other)) {
    merged->Merge(*from->Current());
  } else {
    // Another library's document: read through its interface, all of it before anything changes.
    Content read;
    for (const std::u16string& section : other.Sections()) {
      Section* into = read.Find(section, /*make=*/true);
      for (const std::u16string& name : other.Names(section)) {
        std::optional<std::u16string> value = other.Value(section, name);
        if (value) into->values.Add(name, *value);
      }
    }
    merged->Merge(read);
  }
  content_.store(std::move(merged));
}

void IniDocument::Add(std::u16string_view section, std::u16string_view name,
                      std::u16string_view value) {
  auto added = std::make_shared<Content>(*Current());
  added->Find(section, /*make=*/true)->values.Add(name, value);
  content_.store(std::move(added));
}

std::optional<std::u16string> IniDocument::Value(std::u16string_view section,
                                                 std::u16string_view name) const {
  const std::shared_ptr<const Content> content = Current();
  const Section* found = content->Find(section);
  if (found == nullptr) return std::nullopt;
  const std::optional<std::u16string_view> value = found->values.Find(name);
  if (!value) return std::nullopt;
  return std::u16string(*value);
}

std::vector<std::u16string> IniDocument::Sections() const {
  const std::shared_ptr<const Content> content = Current();
  std::vector<std::u16string> names;
  names.reserve(content->sections.size());
  for (const Section& section : content->sections) names.push_back(section.name);
  return names;
}

std::vector<std::u16string> IniDocument::Names(std::u16string_view section) const {
  const std::shared_ptr<const Content> content = Current();
  const Section* found = content->Find(section);
  return found == nullptr ? std::vector<std::u16string>() : found->values.Names();
}

IniDocument::Section* IniDocument::Content::Find(std::u16string_view section, bool make) {
  std::u16string key = platform::ToUpper(section);
  if (const auto found = index.find(key); found != index.end()) {
    return &sections[found->second];
  }
  if (!make) return nullptr;
  sections.push_back(Section{std::u16string(section), {}});
  index.emplace(std::move(key), sections.size() - 1);
  return &sections.back();
}

const IniDocument::Section* IniDocument::Content::Find(std::u16string_view section) const {
  return const_cast<Content*>(this)->Find(section);
}

// ---- ParameterDocument

bool ParameterDocument::Load(std::u16string_view path) {
  const std::optional<std::string> bytes = ReadText(path);
  if (!bytes) return false;
  Parse(*bytes);
  return true;
}

void ParameterDocument::Parse(const std::string& bytes) {
  auto values = std::make_shared<NamedValues>();
  const std::u16string text = DecodeText(bytes);
  // Sized once: growing the entries and the index as they fill costs as much again as the load.
  // Only a line with an '=' can hold a value, and one takes at least a few bytes, so a file of
  // empty or '='-only lines reserves little.
  const auto count = [&](char16_t c) {
    return static_cast<std::size_t>(std::count(text.begin(), text.end(), c));
  };
  values->Reserve(std::min({count(u'='), count(u'\n') + 1, bytes.size() / 8}));
  ForEachLine(text, [&](std::u16string_view line) {
    auto assignment = Assignment(line);
    if (assignment) values->Add(assignment->first, assignment->second);
  });
  values->ShrinkToFit();
  values_.store(std::move(values));
}

std::optional<std::u16string> ParameterDocument::Value(std::u16string_view name) const {
  const std::shared_ptr<const NamedValues> values = values_.load();
  const std::optional<std::u16string_view> value = values->Find(name);
  if (!value) return std::nullopt;
  return std::u16string(*value);
}

std::vector<std::u16string> ParameterDocument::Names() const { return values_.load()->Names(); }

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
