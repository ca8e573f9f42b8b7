#include "frame/module.h"

#include <cstdio>
#include <string>

#include "frame/class_table.h"
#include "frame/com_object.h"
#include "platform/guard.h"
#include "platform/modules.h"
#include "platform/registry.h"
#ifdef _WIN32
#include "frame/typeinfo_cache.h"
#endif

namespace tessary {
namespace {

LONG volatile g_lock_count = 0;
HMODULE g_module = nullptr;
CRITICAL_SECTION g_module_lock;

// One class factory object per request; it creates instances of one class.
class ClassFactory : public IClassFactory, public RefCounted<ClassFactory> {
 public:
  explicit ClassFactory(const ClassEntry* entry) : entry_(entry) {}

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (!IsEqualIID(riid, IID_IUnknown) && !IsEqualIID(riid, IID_IClassFactory))
      return E_NOINTERFACE;
    *ppv = static_cast<IClassFactory*>(this);
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return AddRefImpl(); }
  ULONG STDMETHODCALLTYPE Release() override { return ReleaseImpl(); }

  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (outer) return CLASS_E_NOAGGREGATION;
    return GuardHr([&] { return entry_->create(riid, ppv); });
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override {
    if (lock) {
      ModuleLock();
    } else {
      ModuleUnlock();
    }
    return S_OK;
  }

 private:
  const ClassEntry* entry_;
};

std::string GuidText(const GUID& g) {
  char text[40];
  std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                static_cast<unsigned>(g.Data1), g.Data2, g.Data3, g.Data4[0], g.Data4[1],
                g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
  return text;
}

// Writes the default value (name null) or a named string value of a key
// under HKEY_CLASSES_ROOT, creating the key.
LONG SetString(const std::string& key, const char* name, const std::string& value) {
  HKEY handle = nullptr;
  LONG rc = RegCreateKeyExA(HKEY_CLASSES_ROOT, key.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                            KEY_WRITE, nullptr, &handle, nullptr);
  if (rc != ERROR_SUCCESS) return rc;
  rc = RegSetValueExA(handle, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                      static_cast<DWORD>(value.size() + 1));
  RegCloseKey(handle);
  return rc;
}

LONG DeleteTree(const std::string& key) {
  LONG rc = RegDeleteTreeA(HKEY_CLASSES_ROOT, key.c_str());
  if (rc == ERROR_SUCCESS || rc == ERROR_FILE_NOT_FOUND) {
    rc = RegDeleteKeyA(HKEY_CLASSES_ROOT, key.c_str());
  }
  return rc == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : rc;
}

HRESULT RegisterOneClass(const ClassEntry& c, const std::string& module_path) {
  const std::string clsid = GuidText(*c.clsid);
  const std::string class_key = "CLSID\\" + clsid;
  // Stale subkeys of an earlier registration go first.
  LONG rc = DeleteTree(class_key + "\\Programmable");
  if (rc == ERROR_SUCCESS) rc = DeleteTree(class_key);
  const struct {
    std::string key;
    const char* name;
    std::string value;
  } writes[] = {
      {c.progid, nullptr, c.display_name},
      {std::string(c.progid) + "\\CLSID", nullptr, clsid},
      {c.vi_progid, nullptr, c.display_name},
      {std::string(c.vi_progid) + "\\CLSID", nullptr, clsid},
      {std::string(c.vi_progid) + "\\CurVer", nullptr, c.progid},
      {class_key, nullptr, c.display_name},
      {class_key + "\\ProgID", nullptr, c.progid},
      {class_key + "\\VersionIndependentProgID", nullptr, c.vi_progid},
      {class_key + "\\Programmable", nullptr, ""},
      {class_key + "\\InprocServer32", nullptr, module_path},
      {class_key + "\\InprocServer32", "ThreadingModel", c.threading_model},
      {class_key + "\\TypeLib", nullptr, GuidText(*kLibrary.libid)},
  };
  for (const auto& w : writes) {
    if (rc != ERROR_SUCCESS) break;
    rc = SetString(w.key, w.name, w.value);
  }
  return rc == ERROR_SUCCESS ? S_OK : HResultFromWin32(static_cast<DWORD>(rc));
}

HRESULT UnregisterOneClass(const ClassEntry& c) {
  const std::string class_key = "CLSID\\" + GuidText(*c.clsid);
  LONG rc = DeleteTree(class_key + "\\Programmable");
  if (rc == ERROR_SUCCESS) rc = DeleteTree(class_key);
  if (rc == ERROR_SUCCESS) rc = DeleteTree(c.progid);
  if (rc == ERROR_SUCCESS) rc = DeleteTree(c.vi_progid);
  return rc == ERROR_SUCCESS ? S_OK : HResultFromWin32(static_cast<DWORD>(rc));
}

std::string ModulePath() {
  char path[MAX_PATH] = {0};
  DWORD length = GetModuleFileNameA(g_module, path, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return std::string();
  return std::string(path, length);
}

#ifdef _WIN32
std::wstring Widen(const std::string& s) {
  int n = MultiByteToWideChar(CP_ACP, 0, s.c_str(), -1, nullptr, 0);
  std::wstring w(n > 0 ? n - 1 : 0, L'\0');
  if (n > 1) MultiByteToWideChar(CP_ACP, 0, s.c_str(), -1, &w[0], n);
  return w;
}

// The type library lives in the module itself; a .tlb beside it serves when
// the module carries none.
HRESULT RegisterTypeLibrary(const std::string& module_path) {
  std::wstring path = Widen(module_path);
  ITypeLib* lib = nullptr;
  HRESULT hr = LoadTypeLib(path.c_str(), &lib);
  if (FAILED(hr)) {
    size_t dot = path.rfind(L'.');
    path = (dot == std::wstring::npos ? path : path.substr(0, dot)) + L".tlb";
    hr = LoadTypeLib(path.c_str(), &lib);
  }
  if (FAILED(hr)) return hr;
  hr = RegisterTypeLib(lib, &path[0], nullptr);
  lib->Release();
  return hr;
}

HRESULT UnregisterTypeLibrary() {
  typedef HRESULT(WINAPI * UnRegisterFn)(REFGUID, WORD, WORD, LCID, SYSKIND);
  HMODULE oleaut = LoadLibraryA("oleaut32.dll");
  if (!oleaut) return S_OK;
  auto unregister = reinterpret_cast<UnRegisterFn>(
      reinterpret_cast<void*>(GetProcAddress(oleaut, "UnRegisterTypeLib")));
  HRESULT hr = S_OK;
  if (unregister) {
    hr = unregister(*kLibrary.libid, kLibrary.major, kLibrary.minor, 0,
                    sizeof(void*) == 8 ? SYS_WIN64 : SYS_WIN32);
    if (hr == TYPE_E_REGISTRYACCESS || hr == TYPE_E_LIBNOTREGISTERED) hr = S_OK;
  }
  FreeLibrary(oleaut);
  return hr;
}
#else
// POSIX has no type library file; the catalogue records the library the way
// the system registers one, naming the module that carries its tables.
std::string TypeLibKey() {
  char version[16];
  std::snprintf(version, sizeof version, "%u.%u", kLibrary.major, kLibrary.minor);
  return "TypeLib\\" + GuidText(*kLibrary.libid) + "\\" + version;
}

HRESULT RegisterTypeLibrary(const std::string& module_path) {
  LONG rc = SetString(TypeLibKey(), nullptr, kLibrary.help);
  if (rc == ERROR_SUCCESS) rc = SetString(TypeLibKey() + "\\0\\posix", nullptr, module_path);
  if (rc == ERROR_SUCCESS) rc = SetString(TypeLibKey() + "\\FLAGS", nullptr, "0");
  return rc == ERROR_SUCCESS ? S_OK : HResultFromWin32(static_cast<DWORD>(rc));
}

HRESULT UnregisterTypeLibrary() {
  LONG rc = DeleteTree("TypeLib\\" + GuidText(*kLibrary.libid));
  return rc == ERROR_SUCCESS ? S_OK : HResultFromWin32(static_cast<DWORD>(rc));
}
#endif

}  // namespace

void ModuleLock() { InterlockedIncrement(&g_lock_count); }
void ModuleUnlock() { InterlockedDecrement(&g_lock_count); }
LONG ModuleLockCount() { return g_lock_count; }

void ModuleAttach(HMODULE module) {
  g_module = module;
  InitializeCriticalSection(&g_module_lock);
}

void ModuleDetach() {
#ifdef _WIN32
  ReleaseTypeInfoCache();
#endif
  DeleteCriticalSection(&g_module_lock);
}

CRITICAL_SECTION* ModuleCriticalSection() { return &g_module_lock; }

const ClassEntry* FindClass(REFCLSID clsid) {
  for (size_t i = 0; i < kClassCount; ++i)
    if (IsEqualCLSID(*kClassTable[i].clsid, clsid)) return &kClassTable[i];
  return nullptr;
}

HRESULT GetClassObject(REFCLSID clsid, REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  const ClassEntry* entry = FindClass(clsid);
  if (!entry) return CLASS_E_CLASSNOTAVAILABLE;
  ClassFactory* factory = new (std::nothrow) ClassFactory(entry);
  if (!factory) return E_OUTOFMEMORY;
  factory->AddRef();
  HRESULT hr = factory->QueryInterface(riid, ppv);
  factory->Release();
  return hr;
}

HRESULT CanUnloadNow() { return ModuleLockCount() == 0 ? S_OK : S_FALSE; }

namespace {

// Registry writes reach the disk lazily; a registration is made durable once,
// at its end, whether or not it got that far. A registration that may not
// survive a restart has not succeeded, so a failed flush is the result when
// nothing failed before it.
HRESULT FlushRegistration(HRESULT result) {
  const LONG rc = RegFlushKey(HKEY_CLASSES_ROOT);
  if (FAILED(result) || rc == ERROR_SUCCESS) return result;
  return HResultFromWin32(static_cast<DWORD>(rc));
}

}  // namespace

HRESULT RegisterServer() {
  const std::string path = ModulePath();
  if (path.empty()) return HResultFromWin32(ERROR_FILENAME_EXCED_RANGE);
  HRESULT hr = S_OK;
  for (size_t i = 0; i < kClassCount && SUCCEEDED(hr); ++i) {
    hr = RegisterOneClass(kClassTable[i], path);
  }
  if (SUCCEEDED(hr)) hr = RegisterTypeLibrary(path);
  return FlushRegistration(hr);
}

HRESULT UnregisterServer() {
  HRESULT first = S_OK;
  for (size_t i = 0; i < kClassCount; ++i) {
    HRESULT hr = UnregisterOneClass(kClassTable[i]);
    if (FAILED(hr) && SUCCEEDED(first)) first = hr;
  }
  HRESULT hr = UnregisterTypeLibrary();
  return FlushRegistration(FAILED(first) ? first : hr);
}

}  // namespace tessary
