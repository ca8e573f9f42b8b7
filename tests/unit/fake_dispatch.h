// The base of the tests' fake dispatch objects. A fake lives on the test's
// stack and counts its references, so that a test checks the count instead
// of relying on the object deleting itself; every IDispatch member it does
// not override answers E_NOTIMPL. Also the VT_I4 argument the tests pass.
#pragma once

#include "platform/automation.h"

namespace tessary::testing {

// `Interface` is IDispatch or an interface derived from it; a fake that is
// one answers for `extra_iid` as well.
template <class Interface = IDispatch>
class FakeDispatch : public Interface {
 public:
  explicit FakeDispatch(const IID* extra_iid = nullptr) : extra_iid_(extra_iid) {}
  virtual ~FakeDispatch() = default;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    *ppv = nullptr;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IDispatch) ||
        (extra_iid_ && IsEqualIID(riid, *extra_iid_))) {
      *ppv = static_cast<Interface*>(this);
      this->AddRef();
      return S_OK;
    }
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs; }
  ULONG STDMETHODCALLTYPE Release() override { return --refs; }
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*,
                                   UINT*) override {
    return E_NOTIMPL;
  }

  int refs = 1;

 private:
  const IID* extra_iid_;
};

inline VARIANT I4(LONG v) {
  VARIANT x;
  VariantInit(&x);
  x.vt = VT_I4;
  x.lVal = v;
  return x;
}

}  // namespace tessary::testing
