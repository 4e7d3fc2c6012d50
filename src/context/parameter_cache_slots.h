// The slots of the parameter-file cache behind MOLTRAG_GetPP.
#ifndef VELMO_CONTEXT_PARAMETER_CACHE_SLOTS_H_
#define VELMO_CONTEXT_PARAMETER_CACHE_SLOTS_H_

#include <array>
#include <cstddef>
#include <memory>
#include <optional>
#include <string_view>

#include "velmo/class_pp.h"

namespace velmo {

// Five slots, each empty or holding an entry. The cache does not exist before the first
// start-up (open() is false): then it finds nothing and cannot be emptied.
class ParameterCache {
 public:
  static constexpr size_t kSlots = 5;

  bool open() const { return open_; }
  // Makes the cache exist, every entry it held gone; what each start-up does.
  void Open();
  // Back to not existing, as before the first start-up.
  void Close();
  // Empties every slot; false, doing nothing, when the cache does not exist.
  bool Clear();

  // The slot of the entry whose file is `name` (compared in upper case; the first in slot order
  // wins), or none.
  std::optional<size_t> Find(std::u16string_view name) const;
  // The first empty slot, or none.
  std::optional<size_t> FreeSlot() const;
  // With every slot taken: the one whose entry was asked for least, the lowest among equals.
  size_t LeastUsedSlot() const;

  // The entry in `slot` (below kSlots), null when it is empty.
  const std::shared_ptr<classPP>& at(size_t slot) const { return slots_[slot]; }
  void Insert(size_t slot, std::shared_ptr<classPP> entry) { slots_[slot] = std::move(entry); }
  void Remove(size_t slot) { slots_[slot].reset(); }

 private:
  std::array<std::shared_ptr<classPP>, kSlots> slots_;
  bool open_ = false;
};

}  // namespace velmo

#endif  // VELMO_CONTEXT_PARAMETER_CACHE_SLOTS_H_
