#include "automation/global/connection_point.h"

#include <atomic>
#include <new>
#include <string>
#include <vector>

#include "automation/base/boundary.h"
#include "automation/base/com_object.h"
#include "automation/base/com_ref.h"
#include "automation/base/server.h"
#include "velmo.h"

namespace velmo::binding {
namespace {

constexpr DISPID kUserChanging = 1;
constexpr DISPID kUserChanged = 2;

// A sink seen by the plain class as one of its listeners.
class Sink final : public UserEvents {
 public:
  Sink(IUnknown* unknown, IDispatch* dispatch) : unknown_(unknown), dispatch_(dispatch) {
    unknown_->AddRef();
    dispatch_->AddRef();
  }
  ~Sink() override {
    dispatch_->Release();
    unknown_->Release();
  }
  Sink(const Sink&) = delete;
  Sink& operator=(const Sink&) = delete;

  IUnknown* unknown() const { return unknown_; }

  void UserChanging(std::u16string_view new_user, bool& cancel) override {
    VARIANT_BOOL flag = cancel ? VARIANT_TRUE : VARIANT_FALSE;
    VARIANT args[2];
    VariantInit(&args[0]);
    VariantInit(&args[1]);
    V_VT(&args[1]) = VT_BSTR;  // arguments go last first
    ToBstr(new_user, &V_BSTR(&args[1]));
    V_VT(&args[0]) = VT_BOOL | VT_BYREF;
    V_BOOLREF(&args[0]) = &flag;
    Raise(kUserChanging, args);
    VariantClear(&args[1]);
    cancel = flag != VARIANT_FALSE;
  }

  void UserChanged(std::u16string_view old_user, std::u16string_view new_user) override {
    VARIANT args[2];
    V_VT(&args[1]) = VT_BSTR;
    ToBstr(old_user, &V_BSTR(&args[1]));
    V_VT(&args[0]) = VT_BSTR;
    ToBstr(new_user, &V_BSTR(&args[0]));
    Raise(kUserChanged, args);
    VariantClear(&args[0]);
    VariantClear(&args[1]);
  }

 private:
  // What a sink answers is its own affair: the switch goes on for the others.
  void Raise(DISPID event, VARIANT* args) {
    DISPPARAMS params{args, nullptr, 2, 0};
    dispatch_->Invoke(event, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, nullptr,
                      nullptr, nullptr);
  }

  IUnknown* unknown_;
  IDispatch* dispatch_;
};

class ConnectionEnumerator final : public ComObject<ConnectionEnumerator, IEnumConnections> {
 public:
  explicit ConnectionEnumerator(std::vector<CONNECTDATA> connections, size_t at = 0)
      : connections_(std::move(connections)), at_(at) {
    for (CONNECTDATA& c : connections_) c.pUnk->AddRef();
  }
  ~ConnectionEnumerator() {
    for (CONNECTDATA& c : connections_) c.pUnk->Release();
  }

  void* Interface(REFIID riid) {
    return IsEqualIID(riid, IID_IEnumConnections) ? static_cast<IEnumConnections*>(this) : nullptr;
  }

  HRESULT STDMETHODCALLTYPE Next(ULONG count, CONNECTDATA* out, ULONG* fetched) override {
    if (out == nullptr || (count > 1 && fetched == nullptr)) return E_POINTER;
    ULONG n = 0;
    for (; n < count && at_ < connections_.size(); ++n, ++at_) {
      out[n] = connections_[at_];
      out[n].pUnk->AddRef();
    }
    if (fetched != nullptr) *fetched = n;
    return n == count ? S_OK : S_FALSE;
  }
  HRESULT STDMETHODCALLTYPE Skip(ULONG count) override {
    const size_t left = connections_.size() - at_;
    at_ += count < left ? count : left;
    return count <= left ? S_OK : S_FALSE;
  }
  HRESULT STDMETHODCALLTYPE Reset() override {
    at_ = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Clone(IEnumConnections** out) override {
    if (out == nullptr) return E_POINTER;
    *out = nullptr;
    return Guard([&] {
      *out = new ConnectionEnumerator(connections_, at_);
      return S_OK;
    });
  }

 private:
  std::vector<CONNECTDATA> connections_;
  size_t at_;
};

class PointEnumerator final : public ComObject<PointEnumerator, IEnumConnectionPoints> {
 public:
  PointEnumerator(IConnectionPoint* point, bool done) : point_(point), done_(done) {
    point_->AddRef();
  }
  ~PointEnumerator() { point_->Release(); }

  void* Interface(REFIID riid) {
    return IsEqualIID(riid, IID_IEnumConnectionPoints) ? static_cast<IEnumConnectionPoints*>(this)
                                                       : nullptr;
  }

  HRESULT STDMETHODCALLTYPE Next(ULONG count, IConnectionPoint** out, ULONG* fetched) override {
    if (out == nullptr || (count > 1 && fetched == nullptr)) return E_POINTER;
    ULONG n = 0;
    if (count > 0 && !done_) {
      out[0] = point_;
      point_->AddRef();
      done_ = true;
      n = 1;
    }
    if (fetched != nullptr) *fetched = n;
    return n == count ? S_OK : S_FALSE;
  }
  HRESULT STDMETHODCALLTYPE Skip(ULONG count) override {
    if (count == 0) return S_OK;
    const bool had = !done_;
    done_ = true;
    return had && count == 1 ? S_OK : S_FALSE;
  }
  HRESULT STDMETHODCALLTYPE Reset() override {
    done_ = false;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Clone(IEnumConnectionPoints** out) override {
    if (out == nullptr) return E_POINTER;
    *out = new (std::nothrow) PointEnumerator(point_, done_);
    return *out == nullptr ? E_OUTOFMEMORY : S_OK;
  }

 private:
  IConnectionPoint* point_;
  bool done_;
};

}  // namespace

HRESULT EnumerateOnePoint(IConnectionPoint* point, IEnumConnectionPoints** out) {
  if (out == nullptr) return E_POINTER;
  *out = new (std::nothrow) PointEnumerator(point, /*done=*/false);
  return *out == nullptr ? E_OUTOFMEMORY : S_OK;
}

HRESULT ConnectionPoint::QueryInterface(REFIID riid, void** object) {
  if (object == nullptr) return E_POINTER;
  if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IConnectionPoint)) {
    *object = static_cast<IConnectionPoint*>(this);
    AddRef();
    return S_OK;
  }
  *object = nullptr;
  return E_NOINTERFACE;
}

HRESULT ConnectionPoint::GetConnectionInterface(IID* iid) {
  if (iid == nullptr) return E_POINTER;
  *iid = DIID___MOLTRAGlobalClass;
  return S_OK;
}

HRESULT ConnectionPoint::GetConnectionPointContainer(IConnectionPointContainer** out) {
  if (out == nullptr) return E_POINTER;
  *out = &container_;
  container_.AddRef();
  return S_OK;
}

HRESULT ConnectionPoint::Advise(IUnknown* sink, DWORD* cookie) {
  if (cookie == nullptr) return E_POINTER;
  *cookie = 0;
  if (sink == nullptr) return E_POINTER;
  // The sink's own code runs here: the container stays until the call is over.
  container_.AddRef();
  // A sink's answer is believed only when it succeeds with a pointer; what a failed answer left
  // in the pointer is not this side's to release.
  const auto ask = [sink](REFIID iid) {
    IDispatch* answered = nullptr;
    if (FAILED(sink->QueryInterface(iid, reinterpret_cast<void**>(&answered)))) answered = nullptr;
    return ComRef<IDispatch>(answered);
  };
  ComRef<IDispatch> dispatch = ask(DIID___MOLTRAGlobalClass);
  if (!dispatch) dispatch = ask(IID_IDispatch);
  const HRESULT hr = !dispatch ? CONNECT_E_CANNOTCONNECT : Guard([&] {
    *cookie = listeners_.Advise(std::make_shared<Sink>(sink, dispatch.get()));
    return *cookie != 0 ? S_OK : CONNECT_E_ADVISELIMIT;
  });
  container_.Release();
  return hr;
}

HRESULT ConnectionPoint::Unadvise(DWORD cookie) {
  return Guard([&] { return listeners_.Unadvise(cookie) ? S_OK : CONNECT_E_NOCONNECTION; });
}

HRESULT ConnectionPoint::EnumConnections(IEnumConnections** out) {
  if (out == nullptr) return E_POINTER;
  *out = nullptr;
  return Guard([&] {
    std::vector<CONNECTDATA> connections;
    for (const auto& [cookie, listener] : listeners_.listeners()) {
      const auto* sink = dynamic_cast<const Sink*>(listener.get());
      if (sink != nullptr) connections.push_back({sink->unknown(), cookie});
    }
    *out = new ConnectionEnumerator(std::move(connections));
    return S_OK;
  });
}

}  // namespace velmo::binding
