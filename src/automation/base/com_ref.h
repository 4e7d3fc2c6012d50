// An owned reference to a COM object: released when the holder goes. The one way this layer
// holds an interface pointer; Bstr and Variant are its counterparts for strings and values.
#ifndef VELMO_AUTOMATION_BASE_COM_REF_H_
#define VELMO_AUTOMATION_BASE_COM_REF_H_

#include <utility>

namespace velmo::binding {

template <class T>
class ComRef {
 public:
  ComRef() = default;
  // Takes over the reference `adopted` carries (one a call handed out, or a new object's first).
  explicit ComRef(T* adopted) : pointer_(adopted) {}
  // A reference of its own to an object someone else holds.
  static ComRef Retain(T* shared) {
    if (shared != nullptr) shared->AddRef();
    return ComRef(shared);
  }
  ComRef(const ComRef&) = delete;
  ComRef& operator=(const ComRef&) = delete;
  ComRef(ComRef&& other) noexcept : pointer_(std::exchange(other.pointer_, nullptr)) {}
  ComRef& operator=(ComRef&& other) noexcept {
    std::swap(pointer_, other.pointer_);
    return *this;
  }
  ~ComRef() {
    if (pointer_ != nullptr) pointer_->Release();
  }

  T* get() const { return pointer_; }
  T* operator->() const { return pointer_; }
  explicit operator bool() const { return pointer_ != nullptr; }
  // A new reference for a caller to own.
  T* share() const {
    if (pointer_ != nullptr) pointer_->AddRef();
    return pointer_;
  }
  T* release() { return std::exchange(pointer_, nullptr); }
  // Where an out-parameter writes the reference this holder is to own.
  T** put() {
    ComRef().swap(*this);
    return &pointer_;
  }
  void** put_void() { return reinterpret_cast<void**>(put()); }
  // For a parameter passed by reference: the callee reads the reference held and may replace it;
  // whatever it leaves there is owned here.
  T** in_out() { return &pointer_; }
  void swap(ComRef& other) noexcept { std::swap(pointer_, other.pointer_); }

 private:
  T* pointer_ = nullptr;
};

}  // namespace velmo::binding

#endif  // VELMO_AUTOMATION_BASE_COM_REF_H_
