// An owned BSTR: freed when the holder goes. Null is the empty string, as automation has it.
#ifndef VELMO_AUTOMATION_BASE_BSTR_H_
#define VELMO_AUTOMATION_BASE_BSTR_H_

#include <windows.h>

#include <oleauto.h>

#include <climits>
#include <new>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>

namespace velmo::binding {

static_assert(sizeof(OLECHAR) == sizeof(char16_t), "BSTR text is UTF-16");

class Bstr {
 public:
  Bstr() = default;
  // A copy of `text`; throws std::bad_alloc when it cannot be made, std::length_error when
  // no BSTR is that long.
  explicit Bstr(std::u16string_view text) {
    if (text.size() > UINT_MAX / sizeof(OLECHAR)) throw std::length_error("text too long");
    text_ = SysAllocStringLen(reinterpret_cast<const OLECHAR*>(text.data()),
                              static_cast<UINT>(text.size()));
    if (text_ == nullptr) throw std::bad_alloc();
  }
  Bstr(const Bstr&) = delete;
  Bstr& operator=(const Bstr&) = delete;
  Bstr(Bstr&& other) noexcept : text_(std::exchange(other.text_, nullptr)) {}
  Bstr& operator=(Bstr&& other) noexcept {
    std::swap(text_, other.text_);
    return *this;
  }
  ~Bstr() { SysFreeString(text_); }

  BSTR get() const { return text_; }
  // Throws std::bad_alloc.
  std::u16string text() const {
    if (text_ == nullptr) return {};
    return std::u16string(reinterpret_cast<const char16_t*>(text_), SysStringLen(text_));
  }
  // Where an out-parameter writes the string this holder is to own.
  BSTR* put() {
    SysFreeString(std::exchange(text_, nullptr));
    return &text_;
  }
  // For a parameter passed by reference: whatever the callee leaves there is owned here.
  BSTR* in_out() { return &text_; }
  BSTR release() { return std::exchange(text_, nullptr); }

 private:
  BSTR text_ = nullptr;
};

}  // namespace velmo::binding

#endif  // VELMO_AUTOMATION_BASE_BSTR_H_
