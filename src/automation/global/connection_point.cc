#include "automation/global/connection_point.h"

#include <string>
#include <utility>
#include <vector>

#include "automation/base/boundary.h"
#include "automation/base/bstr.h"
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
  Sink(IUnknown* unknown, IDispatch* dispatch)
      : unknown_(ComRef<IUnknown>::Retain(unknown)),
        dispatch_(ComRef<IDispatch>::Retain(dispatch)) {}

  IUnknown* unknown() const { return unknown_.get(); }

  // A string that cannot be made goes as the empty string: the switch does not wait on it.
  void UserChanging(std::u16string_view new_user, bool& cancel) override {
    VARIANT_BOOL flag = cancel ? VARIANT_TRUE : VARIANT_FALSE;
    Bstr text;
    ToBstr(new_user, text.put());
    VARIANT args[2] = {};  // arguments go last first; they borrow what the holders own
    V_VT(&args[1]) = VT_BSTR;
    V_BSTR(&args[1]) = text.get();
    V_VT(&args[0]) = VT_BOOL | VT_BYREF;
    V_BOOLREF(&args[0]) = &flag;
    Raise(kUserChanging, args);
    cancel = flag != VARIANT_FALSE;
  }

  void UserChanged(std::u16string_view old_user, std::u16string_view new_user) override {
    Bstr old_text;
    Bstr new_text;
    ToBstr(old_user, old_text.put());
    ToBstr(new_user, new_text.put());
    VARIANT args[2] = {};
    V_VT(&args[1]) = VT_BSTR;
    V_BSTR(&args[1]) = old_text.get();
    V_VT(&args[0]) = VT_BSTR;
    V_BSTR(&args[0]) = new_text.get();
    Raise(kUserChanged, args);
  }

 private:
  // What a sink answers is its own affair: the switch goes on for the others.
  void Raise(DISPID event, VARIANT* args) {
    DISPPARAMS params{args, nullptr, 2, 0};
    dispatch_->Invoke(event, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, nullptr,
                      nullptr, nullptr);
  }

  ComRef<IUnknown> unknown_;
  ComRef<IDispatch> dispatch_;
};

struct Connection {
  ComRef<IUnknown> sink;
  DWORD cookie;
};

class ConnectionEnumerator final : public ComObject<ConnectionEnumerator, IEnumConnections> {
 public:
  // Each sink held by a reference of its own.
  ConnectionEnumerator(const std::vector<CONNECTDATA>& connections, size_t at) : at_(at) {
    connections_.reserve(connections.size());
    for (const CONNECTDATA& c : connections) {
      connections_.push_back({ComRef<IUnknown>::Retain(c.pUnk), c.dwCookie});
    }
  }

  void* Interface(REFIID riid) {
    return IsEqualIID(riid, IID_IEnumConnections) ? static_cast<IEnumConnections*>(this) : nullptr;
  }

  HRESULT STDMETHODCALLTYPE Next(ULONG count, CONNECTDATA* out, ULONG* fetched) override {
    if (out == nullptr || (count > 1 && fetched == nullptr)) return E_POINTER;
    ULONG n = 0;
    for (; n < count && at_ < connections_.size(); ++n, ++at_) {
      out[n] = {connections_[at_].sink.share(), connections_[at_].cookie};
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
    return Guard([&] {
      std::vector<CONNECTDATA> connections;
      connections.reserve(connections_.size());
      for (const Connection& c : connections_) connections.push_back({c.sink.get(), c.cookie});
      return CreateObject<ConnectionEnumerator>(IID_IEnumConnections, reinterpret_cast<void**>(out),
                                                connections, at_);
    });
  }

 private:
  std::vector<Connection> connections_;
  size_t at_;
};

class PointEnumerator final : public ComObject<PointEnumerator, IEnumConnectionPoints> {
 public:
  PointEnumerator(IConnectionPoint* point, bool done)
      : point_(ComRef<IConnectionPoint>::Retain(point)), done_(done) {}

  void* Interface(REFIID riid) {
    return IsEqualIID(riid, IID_IEnumConnectionPoints) ? static_cast<IEnumConnectionPoints*>(this)
                                                       : nullptr;
  }

  HRESULT STDMETHODCALLTYPE Next(ULONG count, IConnectionPoint** out, ULONG* fetched) override {
    if (out == nullptr || (count > 1 && fetched == nullptr)) return E_POINTER;
    ULONG n = 0;
    if (count > 0 && !done_) {
      out[0] = point_.share();
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
    return CreateObject<PointEnumerator>(IID_IEnumConnectionPoints, reinterpret_cast<void**>(out),
                                         point_.get(), done_);
  }

 private:
  ComRef<IConnectionPoint> point_;
  bool done_;
};

}  // namespace

HRESULT EnumerateOnePoint(IConnectionPoint* point, IEnumConnectionPoints** out) {
  return CreateObject<PointEnumerator>(IID_IEnumConnectionPoints, reinterpret_cast<void**>(out),
                                       point, /*done=*/false);
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
  const ComRef<IConnectionPointContainer> hold =
      ComRef<IConnectionPointContainer>::Retain(&container_);
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
    return CreateObject<ConnectionEnumerator>(IID_IEnumConnections, reinterpret_cast<void**>(out),
                                              connections, size_t{0});
  });
}

}  // namespace velmo::binding
