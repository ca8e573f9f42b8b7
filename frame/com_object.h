// The one implementation of IUnknown, IDispatch and ISupportErrorInfo that
// every class of the module shares. A class names its dispatch interface and
// any private interfaces and writes only its members:
//
//   class File : public tessary::Object<File, IFile, IFileInit> {
//    public:
//     static constexpr const CLSID* kErrorClass = &CLSID_File;
//     HRESULT STDMETHODCALLTYPE get_Name(BSTR* name) override;
//     ...
//   };
//
// Members it does not override answer E_NOTIMPL (tessary::gen::NotImplemented).
// IDispatch comes from the member tables generated from the interface
// description, on both targets.
#pragma once

#include <new>

#include "frame/dispatch_table.h"
#include "frame/errors.h"
#include "frame/module.h"
#include "frame/name_index.h"
#include "platform/guard.h"
#include "platform/system.h"
#include "tessary_stubs.h"
#ifdef _WIN32
#include "frame/typeinfo_cache.h"
#endif

namespace tessary {

template <class T>
struct Iid {
  static const IID& Get() { return gen::InterfaceId<T>::Get(); }
};
template <>
struct Iid<IUnknown> {
  static const IID& Get() { return IID_IUnknown; }
};
template <>
struct Iid<IDispatch> {
  static const IID& Get() { return IID_IDispatch; }
};
template <>
struct Iid<IObjectSafety> {
  static const IID& Get() { return IID_IObjectSafety; }
};
template <>
struct Iid<IEnumVARIANT> {
  static const IID& Get() { return IID_IEnumVARIANT; }
};

// Holds a critical section for the rest of a scope. The sections are
// recursive, so a member may call another member of the same object.
class ObjectLock {
 public:
  explicit ObjectLock(CRITICAL_SECTION* section) : section_(section) {
    EnterCriticalSection(section_);
  }
  ~ObjectLock() { LeaveCriticalSection(section_); }
  ObjectLock(const ObjectLock&) = delete;
  ObjectLock& operator=(const ObjectLock&) = delete;

 private:
  CRITICAL_SECTION* section_;
};

// Reference counting and the module lock for every object. An object counts
// in the module lock count from construction to destruction, so the module
// is not unloaded under it.
template <class Derived>
class RefCounted {
 public:
  RefCounted() { ModuleLock(); }
  virtual ~RefCounted() { ModuleUnlock(); }
  RefCounted(const RefCounted&) = delete;
  RefCounted& operator=(const RefCounted&) = delete;

  ULONG AddRefImpl() { return static_cast<ULONG>(InterlockedIncrement(&refs_)); }
  ULONG ReleaseImpl() {
    LONG left = InterlockedDecrement(&refs_);
    if (left == 0) delete static_cast<Derived*>(this);
    return static_cast<ULONG>(left);
  }

 private:
  LONG volatile refs_ = 0;
};

// The construction step of a class; a failure destroys the object.
class Constructible {
 public:
  HRESULT FinalConstruct() { return S_OK; }
};

template <class Derived, class Dispatch, class... Private>
class Object : public gen::NotImplemented<Dispatch>,
               public ISupportErrorInfo,
               public Private...,
               public RefCounted<Derived>,
               public Constructible {
 public:
  using DispatchInterface = Dispatch;
  // The class reporting errors under no registered identity leaves the
  // record's source unset.
  static constexpr const CLSID* kErrorClass = nullptr;

  Object() { InitializeCriticalSection(&lock_); }
  ~Object() { DeleteCriticalSection(&lock_); }

  // IUnknown
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IDispatch) ||
        IsEqualIID(riid, Iid<Dispatch>::Get())) {
      *ppv = static_cast<Dispatch*>(this);
    } else if (IsEqualIID(riid, IID_ISupportErrorInfo)) {
      *ppv = static_cast<ISupportErrorInfo*>(this);
    } else {
      (void)(false || ... ||
             (IsEqualIID(riid, Iid<Private>::Get()) ? (*ppv = static_cast<Private*>(this), true)
                                                    : false));
    }
    if (!*ppv) return E_NOINTERFACE;
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return this->AddRefImpl(); }
  ULONG STDMETHODCALLTYPE Release() override { return this->ReleaseImpl(); }

  // ISupportErrorInfo: errors are described for the dispatch interface only.
  HRESULT STDMETHODCALLTYPE InterfaceSupportsErrorInfo(REFIID riid) override {
    return IsEqualIID(riid, Iid<Dispatch>::Get()) ? S_OK : S_FALSE;
  }

  // IDispatch. Both targets call members through the tables generated from
  // the interface description; Windows also hands out the registered type
  // information for tools and for the type names some engines print.
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override {
    if (!count) return E_POINTER;
#ifdef _WIN32
    *count = 1;
#else
    *count = 0;  // there is no type information object on POSIX
#endif
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT index, LCID lcid, ITypeInfo** info) override {
    if (!info) return E_POINTER;
    *info = nullptr;
    if (index != 0) return DISP_E_BADINDEX;
#ifdef _WIN32
    return TypeInfoFor(Iid<Dispatch>::Get(), lcid, info);
#else
    return E_NOTIMPL;
#endif
  }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID lcid,
                                          DISPID* ids) override {
    if (!IsEqualIID(riid, IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
    // The index is built on first use, and building it allocates.
    return GuardHr([&] {
      return dispatch::GetIDsOfNames(Index(), dispatch::InfoOf<Dispatch>(), names, count, ids);
    });
  }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID riid, LCID lcid, WORD flags,
                                   DISPPARAMS* params, VARIANT* result, EXCEPINFO* excep,
                                   UINT* arg_err) override {
    if (!IsEqualIID(riid, IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
    return dispatch::Invoke(dispatch::InfoOf<Dispatch>(), static_cast<Dispatch*>(this), id, flags,
                            params, result, excep, arg_err);
  }
  static const dispatch::NameIndex& Index() {
    static const dispatch::NameIndex index(dispatch::InfoOf<Dispatch>());
    return index;
  }

 protected:
  // The common error path under this class's identity.
  HRESULT ReportError(const char* text, HRESULT code) {
    return tessary::ReportError(Derived::kErrorClass, text, code);
  }
  HRESULT ReportLastWin32Error(const char* prefix = nullptr) {
    return tessary::ReportLastWin32Error(Derived::kErrorClass, prefix);
  }
  HRESULT ReportWin32Error(DWORD code, const char* prefix = nullptr) {
    return tessary::ReportWin32Error(Derived::kErrorClass, code, prefix);
  }

  // Serialises the members that read or change the object's state, since
  // objects registered "Both" may be called on several threads at once:
  //   auto hold = Lock();
  // What may run another object's teardown (a Release, a VariantClear of an
  // object) is done after the guard is gone: that teardown may take other
  // objects' locks, and holding this one meanwhile can deadlock against a
  // thread that holds those and calls in here.
  [[nodiscard]] ObjectLock Lock() { return ObjectLock(&lock_); }

  CRITICAL_SECTION lock_;
};

// Allocates an object and runs its construction step with one reference
// held; the caller owns that reference.
template <class T>
HRESULT CreateObject(T** out) {
  *out = nullptr;
  T* obj = new (std::nothrow) T();
  if (!obj) return E_OUTOFMEMORY;
  obj->AddRef();
  HRESULT hr = obj->FinalConstruct();
  if (FAILED(hr)) {
    obj->Release();
    return hr;
  }
  *out = obj;
  return S_OK;
}

// Hands out a child's public interface; the creator's reference is dropped
// whether or not that succeeds.
template <class T, class Itf>
HRESULT HandOut(T* obj, Itf** out) {
  HRESULT hr = obj->QueryInterface(Iid<Itf>::Get(), reinterpret_cast<void**>(out));
  obj->Release();
  return hr;
}

template <class T>
HRESULT CreateInstance(REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  T* obj = nullptr;
  HRESULT hr = CreateObject(&obj);
  if (FAILED(hr)) return hr;
  hr = obj->QueryInterface(riid, ppv);
  obj->Release();
  return hr;
}

}  // namespace tessary

// Defines the creator the class table names for a creatable class.
#define TESSARY_CREATABLE(Class)                            \
  HRESULT CreateInstance_##Class(REFIID riid, void** ppv) { \
    return tessary::CreateInstance<Class>(riid, ppv);       \
  }
