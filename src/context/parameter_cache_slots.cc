#include "context/parameter_cache_slots.h"

#include <cstring>
#include <string>

#include "platform/text.h"

namespace velmo {
namespace {

// The same spelling, the usual case, needs no conversion.
bool Same(std::u16string_view a, std::u16string_view b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(char16_t)) == 0;
}

}  // namespace

void ParameterCache::Open() {
  for (auto& slot : slots_) slot.reset();
  open_ = true;
}

void ParameterCache::Close() {
  for (auto& slot : slots_) slot.reset();
  open_ = false;
}

bool ParameterCache::Clear() {
  if (!open_) return false;
  for (auto& slot : slots_) slot.reset();
  return true;
}

std::optional<size_t> ParameterCache::Find(std::u16string_view name) const {
  std::optional<std::u16string> upper;
  for (size_t slot = 0; slot < slots_.size(); ++slot) {
    if (!slots_[slot]) continue;
    if (Same(slots_[slot]->fichier(), name)) return slot;
    if (!upper) upper = platform::ToUpper(name);
    if (Same(slots_[slot]->upper_fichier(), *upper)) return slot;
  }
  return std::nullopt;
}

std::optional<size_t> ParameterCache::FreeSlot() const {
  for (size_t slot = 0; slot < slots_.size(); ++slot) {
    if (!slots_[slot]) return slot;
  }
  return std::nullopt;
}

size_t ParameterCache::LeastUsedSlot() const {
  if (!slots_[0]) return 0;
  size_t least = 0;
  for (size_t slot = 1; slot < slots_.size(); ++slot) {
    if (!slots_[slot]) return slot;
    if (slots_[slot]->nbAcces() < slots_[least]->nbAcces()) least = slot;
  }
  return least;
}

}  // namespace velmo
