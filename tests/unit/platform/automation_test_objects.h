// Test doubles for the automation tests: an object that counts its
// references and answers its default member, and a variant that clears
// itself.
#pragma once

#include <atomic>

#include "platform/automation.h"

namespace tessary::testing {

// Lives on the test's stack; the test checks the count instead of relying on
// the object deleting itself.
class CountingDispatch final : public IDispatch {
 public:
  explicit CountingDispatch(LONG value = 0) : value_(value) {}

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (riid == IID_IUnknown || riid == IID_IDispatch) {
      *ppv = static_cast<IDispatch*>(this);
      AddRef();
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
  ULONG STDMETHODCALLTYPE Release() override { return --refs_; }
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override {
    *count = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params,
                                   VARIANT* result, EXCEPINFO*, UINT*) override {
    ++invokes_;
    if (id != DISPID_VALUE || !(flags & DISPATCH_PROPERTYGET) || params->cArgs != 0) {
      return DISP_E_MEMBERNOTFOUND;
    }
    if (result == nullptr) return E_POINTER;
    result->vt = VT_I4;
    result->lVal = value_;
    return S_OK;
  }

  ULONG refs() const { return refs_; }
  int invokes() const { return invokes_; }

 private:
  std::atomic<ULONG> refs_{1};
  int invokes_ = 0;
  LONG value_;
};

struct Var {
  Var() { VariantInit(&v); }
  ~Var() { VariantClear(&v); }
  Var(const Var&) = delete;
  Var& operator=(const Var&) = delete;
  VARIANT* get() { return &v; }
  VARIANT v;
};

}  // namespace tessary::testing
