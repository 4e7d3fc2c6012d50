// An owned VARIANT: cleared when the holder goes, with whatever string, array or reference it
// holds.
#ifndef VELMO_AUTOMATION_BASE_VARIANT_H_
#define VELMO_AUTOMATION_BASE_VARIANT_H_

#include <windows.h>

#include <oleauto.h>

#include <utility>

namespace velmo::binding {

class Variant {
 public:
  // Empty, and zeroed whole rather than by VariantInit, which on Windows sets only the type: a
  // value read from it before it was written is the zero of any type.
  Variant() : value_{} {}
  Variant(const Variant&) = delete;
  Variant& operator=(const Variant&) = delete;
  Variant(Variant&& other) noexcept : value_(std::exchange(other.value_, VARIANT{})) {}
  Variant& operator=(Variant&& other) noexcept {
    std::swap(value_, other.value_);
    return *this;
  }
  ~Variant() { VariantClear(&value_); }

  const VARIANT& value() const { return value_; }
  // For a callee to write into; what the holder had is cleared first.
  VARIANT* put() {
    VariantClear(&value_);
    return &value_;
  }
  // The value itself, for a callee that reads it or changes it in place.
  VARIANT* get() { return &value_; }
  // The value for a caller to own; the holder is left empty.
  VARIANT release() { return std::exchange(value_, VARIANT{}); }

 private:
  VARIANT value_;
};

}  // namespace velmo::binding

#endif  // VELMO_AUTOMATION_BASE_VARIANT_H_
