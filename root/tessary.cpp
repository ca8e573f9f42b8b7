#include "root/tessary.h"

#ifdef _WIN32
// The page context interface of the web server.
EXTERN_C const IID IID_IScriptingContext = {
    0xD97A6DA0, 0xA868, 0x11CF, {0x83, 0xAE, 0x00, 0xB0, 0xC9, 0x0C, 0x2B, 0xD8}};
#endif

Tessary::~Tessary() { ReleasePageObjects(); }

void Tessary::ReleasePageObjects() {
  for (IDispatch*& object : page_objects_) {
    if (object) object->Release();
    object = nullptr;
  }
}

HRESULT Tessary::OnStartPage(IUnknown* context) {
  if (!context) return E_POINTER;
  IScriptingContext* page = nullptr;
  if (FAILED(context->QueryInterface(IID_IScriptingContext, reinterpret_cast<void**>(&page))) ||
      !page) {
    return E_NOINTERFACE;
  }
  ReleasePageObjects();
  HRESULT hr = page->get_Request(&page_objects_[0]);
  if (SUCCEEDED(hr)) hr = page->get_Response(&page_objects_[1]);
  if (SUCCEEDED(hr)) hr = page->get_Server(&page_objects_[2]);
  if (FAILED(hr)) ReleasePageObjects();
  page->Release();
  return hr;
}

HRESULT Tessary::OnEndPage() {
  ReleasePageObjects();
  return S_OK;
}

HRESULT Tessary::GetInterfaceSafetyOptions(REFIID riid, DWORD* supported, DWORD* enabled) {
  if (!supported || !enabled) return E_POINTER;
  IUnknown* itf = nullptr;
  HRESULT hr = QueryInterface(riid, reinterpret_cast<void**>(&itf));
  if (FAILED(hr)) {
    *supported = 0;
    *enabled = 0;
    return hr;
  }
  itf->Release();
  *supported = INTERFACESAFE_FOR_UNTRUSTED_CALLER;
  *enabled = safety_options_;
  return S_OK;
}

HRESULT Tessary::SetInterfaceSafetyOptions(REFIID riid, DWORD mask, DWORD enabled) {
  IUnknown* itf = nullptr;
  if (FAILED(QueryInterface(riid, reinterpret_cast<void**>(&itf)))) return E_NOINTERFACE;
  itf->Release();
  if (mask & ~static_cast<DWORD>(INTERFACESAFE_FOR_UNTRUSTED_CALLER)) return E_FAIL;
  // Only the options named in the mask change, each to its enabled bit; a
  // caller clearing the option gets it cleared.
  safety_options_ = (safety_options_ & ~mask) | (enabled & mask);
  return S_OK;
}

TESSARY_CREATABLE(Tessary)
