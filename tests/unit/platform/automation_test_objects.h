// Test doubles for the automation tests: an object that counts its
// references and answers its default member, and a variant that clears
// itself.
#pragma once

#include "fake_dispatch.h"
#include "platform/automation.h"

namespace tessary::testing {

// Answers its default member with the value it was made with.
class CountingDispatch final : public FakeDispatch<> {
 public:
  explicit CountingDispatch(LONG value = 0) : value_(value) {}

  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override {
    *count = 0;
    return S_OK;
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

  int invokes() const { return invokes_; }

 private:
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
