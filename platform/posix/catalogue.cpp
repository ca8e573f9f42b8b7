// The class catalogue and object creation on POSIX, read from the
// configuration store's HKEY_CLASSES_ROOT laid out as Windows lays it out:
//   <ProgID>\CLSID = {clsid}, <ProgID>\CurVer = <versioned ProgID>,
//   CLSID\{clsid}\ProgID = <ProgID>, CLSID\{clsid}\InprocServer32 = <module>.
//
// A server module is loaded once per process and kept, keyed by the path the
// catalogue names; its class objects are asked for afresh at every creation
// (DllGetClassObject is cheap and the module owns their lifetime).
#include <cstdlib>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/automation.h"
#include "platform/guard.h"
#include "platform/modules.h"
#include "platform/registry.h"
#include "platform/system.h"

namespace {

// A ProgID's CurVer chain is one hop in practice; this only stops a loop.
constexpr int kMaxCurVerHops = 8;

typedef HRESULT (*GetClassObjectProc)(REFCLSID rclsid, REFIID riid, LPVOID* ppv);
typedef HRESULT (*CanUnloadNowProc)(void);

struct Server {
  HMODULE module = nullptr;
  GetClassObjectProc get_class_object = nullptr;
  CanUnloadNowProc can_unload_now = nullptr;
  int calls_in_progress = 0;  // a module is never unloaded under a running call
};

struct ServerTable {
  std::mutex mutex;
  std::map<std::string, Server> by_path;
};

ServerTable& Servers() {
  static ServerTable* table = new ServerTable;
  return *table;
}

std::string Narrow(LPCOLESTR text) {
  int n = WideCharToMultiByte(CP_ACP, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (n <= 1) return std::string();
  std::string out(static_cast<size_t>(n), '\0');
  n = WideCharToMultiByte(CP_ACP, 0, text, -1, out.data(), n, nullptr, nullptr);
  out.resize(n > 0 ? static_cast<size_t>(n) - 1 : 0);
  return out;
}

std::u16string Widen(const std::string& text) {
  int n = MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, nullptr, 0);
  if (n <= 1) return std::u16string();
  std::u16string out(static_cast<size_t>(n), u'\0');
  n = MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, out.data(), n);
  out.resize(n > 0 ? static_cast<size_t>(n) - 1 : 0);
  return out;
}

std::string GuidText(REFGUID guid) {
  OLECHAR text[40];
  if (StringFromGUID2(guid, text, 40) == 0) return std::string();
  return Narrow(text);
}

// The default value of HKEY_CLASSES_ROOT\<key> as text.
LSTATUS ReadDefaultString(const std::string& key, std::string* out, DWORD* type = nullptr) {
  out->clear();
  HKEY handle = nullptr;
  LSTATUS rc = RegOpenKeyExA(HKEY_CLASSES_ROOT, key.c_str(), 0, KEY_READ, &handle);
  if (rc != ERROR_SUCCESS) return rc;
  DWORD value_type = 0;
  DWORD size = 0;
  rc = RegQueryValueExA(handle, nullptr, nullptr, &value_type, nullptr, &size);
  std::vector<BYTE> data;
  // The value may grow between the two reads; ask again with the new size.
  while (rc == ERROR_SUCCESS || rc == ERROR_MORE_DATA) {
    data.resize(size);
    rc = RegQueryValueExA(handle, nullptr, nullptr, &value_type, data.data(), &size);
    if (rc == ERROR_SUCCESS) break;
  }
  RegCloseKey(handle);
  if (rc != ERROR_SUCCESS) return rc;
  if (value_type != REG_SZ && value_type != REG_EXPAND_SZ) return ERROR_FILE_NOT_FOUND;
  data.resize(size);
  out->assign(data.begin(), data.end());
  while (!out->empty() && out->back() == '\0') out->pop_back();
  if (type) *type = value_type;
  return ERROR_SUCCESS;
}

bool Missing(LSTATUS rc) { return rc == ERROR_FILE_NOT_FOUND || rc == ERROR_KEY_DELETED; }

// %NAME% references of a REG_EXPAND_SZ path; unknown names stay as written.
std::string ExpandEnvironment(const std::string& text) {
  std::string out;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t open = text.find('%', pos);
    size_t close = open == std::string::npos ? open : text.find('%', open + 1);
    if (close == std::string::npos) break;
    const char* value = getenv(text.substr(open + 1, close - open - 1).c_str());
    out.append(text, pos, open - pos);
    if (value && close > open + 1) {
      out.append(value);
    } else {
      out.append(text, open, close - open + 1);
    }
    pos = close + 1;
  }
  out.append(text, pos, std::string::npos);
  return out;
}

HRESULT ClsidFromText(const std::string& text, CLSID* clsid) {
  // Only braced text is parsed: unbraced text would be taken for another ProgID.
  if (text.empty() || text[0] != '{') return CO_E_CLASSSTRING;
  std::u16string wide = Widen(text);
  return SUCCEEDED(CLSIDFromString(wide.c_str(), clsid)) ? S_OK : CO_E_CLASSSTRING;
}

// The loaded server module for `path`, loading it the first time; the caller
// must hand it back with ReleaseServer.
HRESULT AcquireServer(const std::string& path, GetClassObjectProc* get_class_object) {
  ServerTable& table = Servers();
  {
    std::lock_guard<std::mutex> lock(table.mutex);
    auto it = table.by_path.find(path);
    if (it != table.by_path.end()) {
      ++it->second.calls_in_progress;
      *get_class_object = it->second.get_class_object;
      return S_OK;
    }
  }
  // Loaded outside the lock: the module's initialisation may itself create objects.
  HMODULE module = LoadLibraryExA(path.c_str(), nullptr, 0);
  if (!module) {
    DWORD err = GetLastError();
    return err == ERROR_MOD_NOT_FOUND ? CO_E_DLLNOTFOUND : HRESULT_FROM_WIN32(err);
  }
  Server server;
  server.module = module;
  server.get_class_object = reinterpret_cast<GetClassObjectProc>(
      reinterpret_cast<void*>(GetProcAddress(module, "DllGetClassObject")));
  server.can_unload_now = reinterpret_cast<CanUnloadNowProc>(
      reinterpret_cast<void*>(GetProcAddress(module, "DllCanUnloadNow")));
  if (!server.get_class_object) {
    FreeLibrary(module);
    return CO_E_ERRORINDLL;
  }
  HMODULE duplicate = nullptr;
  {
    std::lock_guard<std::mutex> lock(table.mutex);
    auto [it, inserted] = table.by_path.emplace(path, server);
    if (!inserted) duplicate = module;  // another thread won the race; its copy stays
    ++it->second.calls_in_progress;
    *get_class_object = it->second.get_class_object;
  }
  if (duplicate) FreeLibrary(duplicate);
  return S_OK;
}

void ReleaseServer(const std::string& path) {
  ServerTable& table = Servers();
  std::lock_guard<std::mutex> lock(table.mutex);
  auto it = table.by_path.find(path);
  if (it != table.by_path.end()) --it->second.calls_in_progress;
}

}  // namespace

EXTERN_C {
  HRESULT CoInitializeEx(LPVOID pvReserved, DWORD dwCoInit) { return S_OK; }

  void CoUninitialize(void) {}

  HRESULT CLSIDFromProgID(LPCOLESTR lpszProgID, LPCLSID lpclsid) {
    return tessary::GuardHr([&]() -> HRESULT {
      if (!lpszProgID || !lpclsid) return E_INVALIDARG;
      std::string name = Narrow(lpszProgID);
      if (!name.empty() && name[0] == '{') return ClsidFromText(name, lpclsid);
      // A backslash would walk into some other key of the catalogue.
      if (name.empty() || name.find('\\') != std::string::npos) return CO_E_CLASSSTRING;
      for (int hop = 0; hop < kMaxCurVerHops; ++hop) {
        std::string text;
        LSTATUS rc = ReadDefaultString(name + "\\CLSID", &text);
        if (rc == ERROR_SUCCESS) return ClsidFromText(text, lpclsid);
        if (!Missing(rc)) return REGDB_E_READREGDB;
        rc = ReadDefaultString(name + "\\CurVer", &text);
        if (Missing(rc)) return CO_E_CLASSSTRING;
        if (rc != ERROR_SUCCESS) return REGDB_E_READREGDB;
        if (text.empty() || text.find('\\') != std::string::npos) return CO_E_CLASSSTRING;
        name = text;
      }
      return CO_E_CLASSSTRING;
    });
  }

  HRESULT ProgIDFromCLSID(REFCLSID clsid, LPOLESTR * lplpszProgID) {
    return tessary::GuardHr([&]() -> HRESULT {
      if (!lplpszProgID) return E_INVALIDARG;
      *lplpszProgID = nullptr;
      std::string text;
      LSTATUS rc = ReadDefaultString("CLSID\\" + GuidText(clsid) + "\\ProgID", &text);
      if (Missing(rc)) return REGDB_E_CLASSNOTREG;
      if (rc != ERROR_SUCCESS) return REGDB_E_READREGDB;
      if (text.empty()) return REGDB_E_CLASSNOTREG;
      std::u16string wide = Widen(text);
      auto* out = static_cast<LPOLESTR>(CoTaskMemAlloc((wide.size() + 1) * sizeof(OLECHAR)));
      if (!out) return E_OUTOFMEMORY;
      std::char_traits<char16_t>::copy(out, wide.c_str(), wide.size() + 1);
      *lplpszProgID = out;
      return S_OK;
    });
  }

  HRESULT CoGetClassObject(REFCLSID rclsid, DWORD dwClsContext, LPVOID pvReserved, REFIID riid,
                           LPVOID * ppv) {
    return tessary::GuardHr([&]() -> HRESULT {
      if (!ppv) return E_INVALIDARG;
      *ppv = nullptr;
      // Only in-process servers exist here.
      if (!(dwClsContext & CLSCTX_INPROC_SERVER)) return REGDB_E_CLASSNOTREG;
      std::string path;
      DWORD type = REG_SZ;
      LSTATUS rc =
          ReadDefaultString("CLSID\\" + GuidText(rclsid) + "\\InprocServer32", &path, &type);
      if (Missing(rc)) return REGDB_E_CLASSNOTREG;
      if (rc != ERROR_SUCCESS) return REGDB_E_READREGDB;
      if (type == REG_EXPAND_SZ) path = ExpandEnvironment(path);
      if (path.empty()) return REGDB_E_CLASSNOTREG;

      GetClassObjectProc get_class_object = nullptr;
      HRESULT hr = AcquireServer(path, &get_class_object);
      if (FAILED(hr)) return hr;
      hr = get_class_object(rclsid, riid, ppv);
      ReleaseServer(path);
      return hr;
    });
  }

  HRESULT CoCreateInstance(REFCLSID rclsid, IUnknown * pUnkOuter, DWORD dwClsContext, REFIID riid,
                           LPVOID * ppv) {
    return tessary::GuardHr([&]() -> HRESULT {
      if (!ppv) return E_INVALIDARG;
      *ppv = nullptr;
      IClassFactory* factory = nullptr;
      HRESULT hr = CoGetClassObject(rclsid, dwClsContext, nullptr, IID_IClassFactory,
                                    reinterpret_cast<void**>(&factory));
      if (FAILED(hr)) return hr;
      hr = factory->CreateInstance(pUnkOuter, riid, ppv);
      factory->Release();
      if (FAILED(hr)) *ppv = nullptr;
      return hr;
    });
  }

  void CoFreeUnusedLibraries(void) {
    return tessary::GuardVoid([&]() -> void {
      std::vector<HMODULE> unload;
      {
        ServerTable& table = Servers();
        std::lock_guard<std::mutex> lock(table.mutex);
        for (auto it = table.by_path.begin(); it != table.by_path.end();) {
          Server& server = it->second;
          // A module without DllCanUnloadNow is never unloaded, as on Windows.
          if (server.calls_in_progress == 0 && server.can_unload_now &&
              server.can_unload_now() == S_OK) {
            unload.push_back(server.module);
            it = table.by_path.erase(it);
          } else {
            ++it;
          }
        }
      }
      for (HMODULE module : unload) FreeLibrary(module);
    });
  }

}  // EXTERN_C
