// Error records and the per-thread slot that holds the current one.
//
// As with the system's implementation, the record a thread sets stays with
// that thread until it is fetched (GetErrorInfo hands it over and empties the
// slot), replaced, or the thread ends; a record left behind at thread exit is
// released then.
#include <atomic>
#include <new>
#include <string>

#include "platform/automation.h"

namespace {

class ErrorRecord final : public IErrorInfo, public ICreateErrorInfo {
 public:
  // IUnknown, shared by both interfaces.
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (ppv == nullptr) return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IErrorInfo) {
      *ppv = static_cast<IErrorInfo*>(this);
    } else if (riid == IID_ICreateErrorInfo) {
      *ppv = static_cast<ICreateErrorInfo*>(this);
    } else {
      *ppv = nullptr;
      return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG left = --refs_;
    if (left == 0) delete this;
    return left;
  }

  // IErrorInfo
  HRESULT STDMETHODCALLTYPE GetGUID(GUID* pGUID) override {
    if (pGUID == nullptr) return E_INVALIDARG;
    *pGUID = guid_;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetSource(BSTR* pBstrSource) override {
    return Hand(source_, pBstrSource);
  }
  HRESULT STDMETHODCALLTYPE GetDescription(BSTR* pBstrDescription) override {
    return Hand(description_, pBstrDescription);
  }
  HRESULT STDMETHODCALLTYPE GetHelpFile(BSTR* pBstrHelpFile) override {
    return Hand(help_file_, pBstrHelpFile);
  }
  HRESULT STDMETHODCALLTYPE GetHelpContext(DWORD* pdwHelpContext) override {
    if (pdwHelpContext == nullptr) return E_INVALIDARG;
    *pdwHelpContext = help_context_;
    return S_OK;
  }

  // ICreateErrorInfo
  HRESULT STDMETHODCALLTYPE SetGUID(REFGUID rguid) override {
    guid_ = rguid;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE SetSource(LPOLESTR szSource) override {
    return Keep(szSource, &source_);
  }
  HRESULT STDMETHODCALLTYPE SetDescription(LPOLESTR szDescription) override {
    return Keep(szDescription, &description_);
  }
  HRESULT STDMETHODCALLTYPE SetHelpFile(LPOLESTR szHelpFile) override {
    return Keep(szHelpFile, &help_file_);
  }
  HRESULT STDMETHODCALLTYPE SetHelpContext(DWORD dwHelpContext) override {
    help_context_ = dwHelpContext;
    return S_OK;
  }

 private:
  ~ErrorRecord() = default;

  // A field never set reads back as a null string, as from the system.
  static HRESULT Hand(const std::u16string& value, BSTR* out) {
    if (out == nullptr) return E_INVALIDARG;
    *out = nullptr;
    if (value.empty()) return S_OK;
    *out = SysAllocStringLen(value.data(), static_cast<UINT>(value.size()));
    return *out != nullptr ? S_OK : E_OUTOFMEMORY;
  }
  static HRESULT Keep(LPCOLESTR text, std::u16string* field) {
    try {
      if (text == nullptr) {
        field->clear();
      } else {
        field->assign(text);
      }
    } catch (const std::bad_alloc&) {
      return E_OUTOFMEMORY;
    }
    return S_OK;
  }

  std::atomic<ULONG> refs_{1};
  GUID guid_ = GUID_NULL;
  std::u16string source_;
  std::u16string description_;
  std::u16string help_file_;
  DWORD help_context_ = 0;
};

// The thread's current record; its destructor runs at thread exit.
struct ThreadSlot {
  IErrorInfo* record = nullptr;
  ~ThreadSlot() {
    if (record != nullptr) record->Release();
  }
};

thread_local ThreadSlot t_slot;

}  // namespace

extern "C" {
HRESULT CreateErrorInfo(ICreateErrorInfo** pperrinfo) {
  if (pperrinfo == nullptr) return E_INVALIDARG;
  ErrorRecord* record = new (std::nothrow) ErrorRecord();
  if (record == nullptr) {
    *pperrinfo = nullptr;
    return E_OUTOFMEMORY;
  }
  *pperrinfo = record;
  return S_OK;
}

HRESULT SetErrorInfo(ULONG dwReserved, IErrorInfo* perrinfo) {
  if (dwReserved != 0) return E_INVALIDARG;
  if (perrinfo != nullptr) perrinfo->AddRef();
  IErrorInfo* old = t_slot.record;
  t_slot.record = perrinfo;
  // Released last: the old record's destructor may itself report an error.
  if (old != nullptr) old->Release();
  return S_OK;
}

HRESULT GetErrorInfo(ULONG dwReserved, IErrorInfo** pperrinfo) {
  if (pperrinfo == nullptr || dwReserved != 0) return E_INVALIDARG;
  *pperrinfo = t_slot.record;
  t_slot.record = nullptr;
  return *pperrinfo != nullptr ? S_OK : S_FALSE;
}

}  // extern "C"
