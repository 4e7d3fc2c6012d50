#include "automation/documents/com_documents.h"

#include <windows.h>

#include <oleauto.h>

#include <climits>
#include <cstdio>
#include <memory>
#include <new>
#include <string>
#include <utility>

#include "automation/base/bstr.h"
#include "automation/base/com_ref.h"
#include "automation/base/variant.h"
#include "mol_config_lib.h"
#include "mol_gpp.h"
#include "platform/text.h"

namespace velmo::binding {
namespace {

// The object's own account of a failed call, when it keeps one for this interface.
std::string Description(IUnknown* object, REFIID iid) {
  ComRef<ISupportErrorInfo> support;
  if (FAILED(object->QueryInterface(IID_ISupportErrorInfo, support.put_void())) ||
      support->InterfaceSupportsErrorInfo(iid) != S_OK) {
    return {};
  }
  ComRef<IErrorInfo> info;
  if (GetErrorInfo(0, info.put()) != S_OK || !info) return {};
  Bstr text;
  if (FAILED(info->GetDescription(text.put()))) return {};
  return platform::ToUtf8(text.text());
}

void Check(HRESULT hr, IUnknown* object, REFIID iid, const char* member) {
  if (SUCCEEDED(hr)) return;
  if (hr == E_OUTOFMEMORY) throw std::bad_alloc();
  char code[16];
  std::snprintf(code, sizeof code, "0x%08lX", static_cast<unsigned long>(hr));
  std::string message = std::string(member) + " failed with " + code;
  const std::string description = Description(object, iid);
  if (!description.empty()) message += ": " + description;
  throw std::runtime_error(message);
}

template <class Interface>
ComRef<Interface> Query(IUnknown* object, REFIID iid, const char* what) {
  ComRef<Interface> typed;
  if (FAILED(object->QueryInterface(iid, typed.put_void())) || !typed) {
    throw NotADocument(what);
  }
  return typed;
}

class ComConfigDocument final : public ConfigDocument {
 public:
  explicit ComConfigDocument(ComRef<_ConfigDocument> object) : object_(std::move(object)) {}

  _ConfigDocument* object() const { return object_.get(); }

  bool Load(std::u16string_view path) override {
    Bstr text(path);
    VARIANT_BOOL loaded = VARIANT_FALSE;
    Check(object_->Load(text.get(), &loaded), "Load");
    return loaded != VARIANT_FALSE;
  }

  void Merge(ConfigDocument& other) override {
    auto* from = dynamic_cast<ComConfigDocument*>(&other);
    if (from == nullptr) throw NotADocument("Merge: a document without an object");
    // By reference: whatever the callee leaves there is released here.
    ComRef<_ConfigDocument> passed = ComRef<_ConfigDocument>::Retain(from->object_.get());
    Check(object_->Merge(passed.in_out()), "Merge");
  }

  std::optional<std::u16string> Value(std::u16string_view section,
                                      std::u16string_view name) const override {
    Bstr section_text(section);
    Bstr name_text(name);
    Variant value;
    Check(object_->Value(section_text.get(), name_text.get(), value.put()), "Value");
    return ValueFrom(value.value());
  }

  std::vector<std::u16string> Sections() const override {
    Variant names;
    Check(object_->Sections(names.put()), "Sections");
    return NamesFrom(names.value());
  }

  std::vector<std::u16string> Names(std::u16string_view section) const override {
    Bstr section_text(section);
    Variant names;
    Check(object_->Names(section_text.get(), names.put()), "Names");
    return NamesFrom(names.value());
  }

 private:
  void Check(HRESULT hr, const char* member) const {
    binding::Check(hr, object_.get(), IID__ConfigDocument, member);
  }

  ComRef<_ConfigDocument> object_;
};

class ComPPDocument final : public PPDocument {
 public:
  explicit ComPPDocument(ComRef<_PPDocument> object) : object_(std::move(object)) {}

  _PPDocument* object() const { return object_.get(); }

  bool Load(std::u16string_view path) override {
    // By reference; whatever the callee leaves there is freed with the holder.
    Bstr text(path);
    VARIANT_BOOL loaded = VARIANT_FALSE;
    Check(object_->Load(text.in_out(), &loaded), "Load");
    return loaded != VARIANT_FALSE;
  }

  std::optional<std::u16string> Value(std::u16string_view name) const override {
    Bstr text(name);
    Variant value;
    Check(object_->Value(text.get(), value.put()), "Value");
    return ValueFrom(value.value());
  }

  std::vector<std::u16string> Names() const override {
    Variant names;
    Check(object_->Names(names.put()), "Names");
    return NamesFrom(names.value());
  }

 private:
  void Check(HRESULT hr, const char* member) const {
    binding::Check(hr, object_.get(), IID__PPDocument, member);
  }

  ComRef<_PPDocument> object_;
};

template <class Interface>
ComRef<Interface> Create(REFCLSID clsid, REFIID iid, const char* prog_id) {
  ComRef<Interface> made;
  const HRESULT hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, iid, made.put_void());
  if (FAILED(hr) || !made) {
    if (hr == E_OUTOFMEMORY) throw std::bad_alloc();
    char code[16];
    std::snprintf(code, sizeof code, "0x%08lX", static_cast<unsigned long>(hr));
    throw std::runtime_error(std::string(prog_id) + " could not be created: " + code);
  }
  return made;
}

class ComDocuments final : public DocumentFactory {
 public:
  std::shared_ptr<ConfigDocument> NewConfigDocument() override {
    return std::make_shared<ComConfigDocument>(Create<_ConfigDocument>(
        CLSID_ConfigDocument, IID__ConfigDocument, "MOLConfigLib.ConfigDocument"));
  }
  std::shared_ptr<PPDocument> NewPPDocument() override {
    return std::make_shared<ComPPDocument>(
        Create<_PPDocument>(CLSID_PPDocument, IID__PPDocument, "MolGPP.PPDocument"));
  }
};

}  // namespace

std::shared_ptr<DocumentFactory> NewComDocuments() { return std::make_shared<ComDocuments>(); }

std::shared_ptr<ConfigDocument> ConfigFromCom(IUnknown* object) {
  if (object == nullptr) return nullptr;
  return std::make_shared<ComConfigDocument>(
      Query<_ConfigDocument>(object, IID__ConfigDocument, "not a ConfigDocument"));
}

std::shared_ptr<PPDocument> PPFromCom(IUnknown* object) {
  if (object == nullptr) return nullptr;
  return std::make_shared<ComPPDocument>(
      Query<_PPDocument>(object, IID__PPDocument, "not a PPDocument"));
}

ComRef<_ConfigDocument> ToCom(const std::shared_ptr<ConfigDocument>& document) {
  if (!document) return {};
  auto* adapter = dynamic_cast<const ComConfigDocument*>(document.get());
  if (adapter == nullptr) throw NotADocument("a configuration document without an object");
  return ComRef<_ConfigDocument>::Retain(adapter->object());
}

ComRef<_PPDocument> ToCom(const std::shared_ptr<PPDocument>& document) {
  if (!document) return {};
  auto* adapter = dynamic_cast<const ComPPDocument*>(document.get());
  if (adapter == nullptr) throw NotADocument("a parameter document without an object");
  return ComRef<_PPDocument>::Retain(adapter->object());
}

void ValueTo(const std::optional<std::u16string>& value, VARIANT* out) {
  VariantInit(out);
  if (!value) return;
  V_BSTR(out) = Bstr(*value).release();
  V_VT(out) = VT_BSTR;
}

void NamesTo(const std::vector<std::u16string>& names, VARIANT* out) {
  VariantInit(out);
  if (names.size() > ULONG_MAX) throw std::length_error("too many names");
  // On a failure the holder destroys the array with the strings already in it.
  Variant list;
  SAFEARRAY* const array = SafeArrayCreateVector(VT_VARIANT, 0, static_cast<ULONG>(names.size()));
  if (array == nullptr) throw std::bad_alloc();
  V_VT(list.get()) = VT_ARRAY | VT_VARIANT;
  V_ARRAY(list.get()) = array;
  {
    VARIANT* elements = nullptr;
    if (FAILED(SafeArrayAccessData(array, reinterpret_cast<void**>(&elements)))) {
      throw std::bad_alloc();
    }
    // A locked array cannot be destroyed: unlocked before the holder goes.
    const std::unique_ptr<SAFEARRAY, decltype(&SafeArrayUnaccessData)> access(
        array, SafeArrayUnaccessData);
    for (std::size_t i = 0; i < names.size(); ++i) {
      V_BSTR(&elements[i]) = Bstr(names[i]).release();
      V_VT(&elements[i]) = VT_BSTR;
    }
  }
  *out = list.release();
}

std::optional<std::u16string> ValueFrom(const VARIANT& value) {
  if (V_VT(&value) == VT_EMPTY || V_VT(&value) == VT_NULL) return std::nullopt;
  if (V_VT(&value) == VT_BSTR) return FromBstr(V_BSTR(&value));
  Variant text;
  const HRESULT hr = VariantChangeType(text.put(), const_cast<VARIANT*>(&value), 0, VT_BSTR);
  if (hr == E_OUTOFMEMORY) throw std::bad_alloc();
  if (FAILED(hr)) throw std::invalid_argument("a value that is not text");
  return FromBstr(V_BSTR(&text.value()));
}

std::vector<std::u16string> NamesFrom(const VARIANT& names) {
  const VARTYPE element = V_VT(&names) & ~VT_ARRAY;
  if ((V_VT(&names) & VT_ARRAY) == 0 || (element != VT_VARIANT && element != VT_BSTR) ||
      V_ARRAY(&names) == nullptr || SafeArrayGetDim(V_ARRAY(&names)) != 1) {
    throw std::invalid_argument("a list of names that is not an array");
  }
  SAFEARRAY* array = V_ARRAY(&names);
  LONG low = 0;
  LONG high = -1;
  if (FAILED(SafeArrayGetLBound(array, 1, &low)) || FAILED(SafeArrayGetUBound(array, 1, &high))) {
    throw std::invalid_argument("a list of names without bounds");
  }
  std::vector<std::u16string> result;
  for (LONG i = low; i <= high; ++i) {
    if (element == VT_BSTR) {
      Bstr text;
      if (FAILED(SafeArrayGetElement(array, &i, text.put()))) throw std::bad_alloc();
      result.push_back(text.text());
    } else {
      Variant item;
      if (FAILED(SafeArrayGetElement(array, &i, item.put()))) throw std::bad_alloc();
      std::optional<std::u16string> text = ValueFrom(item.value());
      if (!text) throw std::invalid_argument("a list of names with a hole in it");
      result.push_back(std::move(*text));
    }
  }
  return result;
}

}  // namespace velmo::binding
