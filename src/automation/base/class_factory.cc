#include "automation/base/class_factory.h"

#include "automation/base/com_object.h"

namespace velmo::binding {
namespace {

class ClassFactory final : public ComObject<ClassFactory, IClassFactory> {
 public:
  explicit ClassFactory(Creator create) : create_(create) {}

  void* Interface(REFIID riid) {
    return IsEqualIID(riid, IID_IClassFactory) ? static_cast<IClassFactory*>(this) : nullptr;
  }

  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** object) override {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    if (outer != nullptr) return CLASS_E_NOAGGREGATION;
    return create_(riid, object);
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override {
    binding::LockServer(lock != FALSE);
    return S_OK;
  }

 private:
  Creator create_;
};

}  // namespace

HRESULT NewClassFactory(Creator create, REFIID riid, void** object) noexcept {
  return CreateObject<ClassFactory>(riid, object, create);
}

}  // namespace velmo::binding
