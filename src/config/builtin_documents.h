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

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "velmo/config_document.h"

namespace velmo {

// Name-value pairs in the order they were first named, each found by its name without regard to
// case in constant time, so that a document of n lines loads in time linear in n. Names and values
// are kept end to end in one string, each entry as four offsets and the index as an open-addressed
// table of entry numbers: a value costs its text and about 24 bytes, not the three strings and a
// hash node it would as separate objects.
class NamedValues {
 public:
  // Adds the pair unless a value by that name is there; false then, and nothing changes.
  bool Add(std::u16string_view name, std::u16string_view value);
  // The value, valid until the next Add; nothing when no value has that name.
  std::optional<std::u16string_view> Find(std::u16string_view name) const;
  // Room for `count` pairs; nothing else changes.
  void Reserve(std::size_t count);
  // Gives back the room that Reserve or growth left unused.
  void ShrinkToFit();
  std::size_t size() const { return entries_.size(); }
  // Calls `each(name, value)` for every pair, in order.
  template <typename Each>
  void ForEach(Each&& each) const {
    for (const Entry& entry : entries_) each(NameOf(entry), ValueOf(entry));
  }
  std::vector<std::u16string> Names() const;

 private:
  struct Entry {
    std::uint32_t name, name_size, value, value_size;  // offsets into text_, in units
  };
  std::u16string_view NameOf(const Entry& entry) const {
    return std::u16string_view(text_).substr(entry.name, entry.name_size);
  }
  std::u16string_view ValueOf(const Entry& entry) const {
    return std::u16string_view(text_).substr(entry.value, entry.value_size);
  }
  // The slot that holds the entry named `upper`, or the empty one where it would go.
  std::size_t SlotOf(std::u16string_view upper) const;
  void Rehash(std::size_t slots);

  std::u16string text_;
  std::vector<Entry> entries_;
  std::vector<std::uint32_t> slots_;  // entry number + 1, or 0; a power of two, at most half full
};

// Both documents may be read from any number of threads while one of them loads, merges or adds:
// a change builds the new content aside and swaps it in whole, so a reader sees the content
// before it or after it, never a mix. Two changes at once are safe too; the last one stands.
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
    NamedValues values;
  };
  struct Content {
    // The section, made at the end when `make` and it is not there; null when it is not.
    Section* Find(std::u16string_view section, bool make = false);
    const Section* Find(std::u16string_view section) const;
    // Takes what it lacks from `from`.
    void Merge(const Content& from);

    std::vector<Section> sections;
    std::unordered_map<std::u16string, std::size_t> index;  // upper-cased name → section
  };
  std::shared_ptr<const Content> Current() const { return content_.load(); }

  std::atomic<std::shared_ptr<const Content>> content_{std::make_shared<const Content>()};
};

class ParameterDocument final : public PPDocument {
 public:
  bool Load(std::u16string_view path) override;
  std::optional<std::u16string> Value(std::u16string_view name) const override;
  std::vector<std::u16string> Names() const override;
  size_t size() const { return values_.load()->size(); }
  void Parse(const std::string& bytes);

 private:
  std::atomic<std::shared_ptr<const NamedValues>> values_{std::make_shared<const NamedValues>()};
};

// Files longer than this do not load: no configuration is, and reading one is bounded so.
inline constexpr std::size_t kMaxDocumentBytes = 64 << 20;

// The text of a file in one of the encodings above; malformed UTF-8 becomes U+FFFD.
std::u16string DecodeText(const std::string& bytes);
// Whether `bytes` are text in one of the encodings above, as Load requires.
bool IsText(const std::string& bytes);

}  // namespace velmo

#endif  // VELMO_CONFIG_BUILTIN_DOCUMENTS_H_
