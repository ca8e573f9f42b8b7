// CPEnum: the enumerator of an item's permission entries, made by _NewEnum
// of File and Folder. It is in no class table; only those members create it.
// The engine never holds an access list here, so no enumerator is ever given
// one and none ever yields an entry.
#pragma once

#include <memory>
#include <string>

#include "frame/com_object.h"

namespace tessary {

class PermissionEngine;

class CPEnum : public IEnumVARIANT,
               public ISupportErrorInfo,
               public ICPEnumInit,
               public RefCounted<CPEnum> {
 public:
  CPEnum();
  ~CPEnum() override;

  // IUnknown
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
  ULONG STDMETHODCALLTYPE AddRef() override { return AddRefImpl(); }
  ULONG STDMETHODCALLTYPE Release() override { return ReleaseImpl(); }

  // IEnumVARIANT
  HRESULT STDMETHODCALLTYPE Next(ULONG celt, VARIANT* rgvar, ULONG* fetched) override;
  HRESULT STDMETHODCALLTYPE Skip(ULONG celt) override;
  HRESULT STDMETHODCALLTYPE Reset() override;
  HRESULT STDMETHODCALLTYPE Clone(IEnumVARIANT** ppenum) override;

  // ISupportErrorInfo: the enumerator has no dispatch interface, so no
  // interface of it describes errors.
  HRESULT STDMETHODCALLTYPE InterfaceSupportsErrorInfo(REFIID riid) override;

  // ICPEnumInit: takes ownership of `access_list` (freed with LocalFree).
  HRESULT STDMETHODCALLTYPE Init(void* access_list, void* engine, LONG kind) override;

  // A new enumerator with one reference, which the caller owns.
  static HRESULT Create(CPEnum** out);

 private:
  // Clones share one copy of the list; the last one frees it.
  std::shared_ptr<void> access_list_;
  // The owner's engine; kept for the entries an enumerator would make and
  // never followed, since the owner may be gone before its enumerator.
  PermissionEngine* engine_ = nullptr;
  LONG position_ = 0;
  LONG kind_ = 0;
  CRITICAL_SECTION lock_;
};

}  // namespace tessary

namespace tessary {

// The text an item without an access list is enumerated with.
extern const char kNoAccessListText[];

// _NewEnum of File and Folder: an enumerator over the item's entries, given
// a copy of the list `engine` loads for `path` (kind 1 for a file, 0 for a
// folder). When the engine holds no list afterwards, *out stays null and
// *no_access_list is set, for the owner to report under its own class.
HRESULT EnumeratePermissions(PermissionEngine* engine, const std::string& path,
                             const std::string& account_server, LONG kind, IUnknown** out,
                             bool* no_access_list);

}  // namespace tessary
