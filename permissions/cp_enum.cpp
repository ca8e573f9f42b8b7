#include "permissions/cp_enum.h"

#include <new>

#include "permissions/permission_engine.h"

namespace tessary {

CPEnum::CPEnum() { InitializeCriticalSection(&lock_); }

CPEnum::~CPEnum() { DeleteCriticalSection(&lock_); }

HRESULT CPEnum::Create(CPEnum** out) {
  *out = new (std::nothrow) CPEnum();
  if (!*out) return E_OUTOFMEMORY;
  (*out)->AddRef();
  return S_OK;
}

HRESULT CPEnum::QueryInterface(REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IEnumVARIANT)) {
    *ppv = static_cast<IEnumVARIANT*>(this);
  } else if (IsEqualIID(riid, IID_ISupportErrorInfo)) {
    *ppv = static_cast<ISupportErrorInfo*>(this);
  } else if (IsEqualIID(riid, IID_ICPEnumInit)) {
    *ppv = static_cast<ICPEnumInit*>(this);
  } else {
    return E_NOINTERFACE;
  }
  AddRef();
  return S_OK;
}

HRESULT CPEnum::Next(ULONG celt, VARIANT* rgvar, ULONG* fetched) {
  if (!rgvar || (celt != 1 && !fetched)) return E_POINTER;
  ObjectLock hold(&lock_);
  if (!access_list_) return E_FAIL;
  // Entries would be PermItems, which this system does not make.
  if (fetched) *fetched = 0;
  return E_NOTIMPL;
}

HRESULT CPEnum::Skip(ULONG celt) {
  ObjectLock hold(&lock_);
  // Without a list there is nothing to count the skip against.
  if (!access_list_) return E_FAIL;
  return E_NOTIMPL;
}

HRESULT CPEnum::Reset() {
  ObjectLock hold(&lock_);
  position_ = 0;
  return S_OK;
}

HRESULT CPEnum::Clone(IEnumVARIANT** ppenum) {
  if (!ppenum) return E_POINTER;
  *ppenum = nullptr;
  CPEnum* copy = nullptr;
  HRESULT hr = Create(&copy);
  if (FAILED(hr)) return hr;
  {
    ObjectLock hold(&lock_);
    copy->access_list_ = access_list_;
    copy->engine_ = engine_;
    copy->kind_ = kind_;
  }
  *ppenum = static_cast<IEnumVARIANT*>(copy);
  return S_OK;
}

HRESULT CPEnum::InterfaceSupportsErrorInfo(REFIID) { return S_FALSE; }

HRESULT CPEnum::Init(void* access_list, void* engine, LONG kind) {
  std::shared_ptr<void> list;
  if (access_list) {
    try {
      list.reset(access_list, [](void* p) { ::LocalFree(p); });
    } catch (...) {
      // The deleter has already given the list back.
      return E_OUTOFMEMORY;
    }
  }
  ObjectLock hold(&lock_);
  access_list_ = std::move(list);
  engine_ = static_cast<PermissionEngine*>(engine);
  kind_ = kind;
  position_ = 0;
  return S_OK;
}

const char kNoAccessListText[] =
    "This item has no ACL, check it can be secured (e.g. not a FAT formated drive)";

HRESULT EnumeratePermissions(PermissionEngine* engine, const std::string& path,
                             const std::string& account_server, LONG kind, IUnknown** out,
                             bool* no_access_list) {
  *out = nullptr;
  *no_access_list = false;
  CPEnum* enumerator = nullptr;
  HRESULT hr = CPEnum::Create(&enumerator);
  if (FAILED(hr)) return hr;
  // What the load answers does not matter: only a list it leaves counts.
  engine->Load(path.c_str(), account_server.c_str());
  if (!engine->AccessList()) {
    enumerator->Release();
    *no_access_list = true;
    return S_OK;
  }
  void* copy = nullptr;
  if (engine->CopyAccessList(&copy) == ERROR_SUCCESS) enumerator->Init(copy, engine, kind);
  *out = static_cast<IEnumVARIANT*>(enumerator);
  return S_OK;
}

}  // namespace tessary
