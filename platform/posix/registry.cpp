// The registry on POSIX: handles and the exported calls over the
// configuration store, one REGEDIT4 text file that registry_store.cpp reads,
// caches and rewrites.
//
// Policy, where Windows gives no model to copy:
// - No access checks beyond the file's own permissions: samDesired is
//   ignored, and a refused write reports ERROR_ACCESS_DENIED. Volatile keys
//   are stored like the others. HKEY_CURRENT_USER is one tree for all users.
// - HKEY_CLASSES_ROOT\.ext and HKEY_CLASSES_ROOT\<MIME type>, where the
//   store lacks them or their values, are answered read-only from the
//   system's file-type databases (classes_database.h), as Windows answers
//   them from its own; the store's keys and values win.
// - A handle names a key by path. When the key is deleted behind it,
//   operations through it fail with ERROR_KEY_DELETED; if a key of the same
//   path is created again, the handle reaches the new key.
#include "platform/registry.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include "platform/guard.h"
#include "platform/posix/classes_database.h"
#include "platform/posix/regedit_format.h"
#include "platform/posix/registry_store.h"
#include "platform/system.h"

namespace {

using tessary::regedit::Key;
using tessary::regedit::Root;
using tessary::regedit::Store;
using tessary::regedit::Value;
using tessary::regstore::FlushStore;
using tessary::regstore::LoadSnapshot;
using tessary::regstore::Snapshot;
using tessary::regstore::Transact;
namespace regedit = tessary::regedit;

// Windows' limits on key names and nesting.
constexpr size_t kMaxKeyNameLength = 255;
constexpr size_t kMaxKeyDepth = 512;
constexpr size_t kMaxValueNameLength = 16383;

struct KeyHandle {
  Root root;
  std::vector<std::string> path;
};

struct HandleTable {
  std::mutex mutex;
  std::unordered_set<const KeyHandle*> live;
};

HandleTable& Handles() {
  static HandleTable* table = new HandleTable;
  return *table;
}

bool PredefinedRoot(HKEY key, Root* root) {
  if (key == HKEY_CLASSES_ROOT) {
    *root = Root::kClassesRoot;
  } else if (key == HKEY_CURRENT_USER) {
    *root = Root::kCurrentUser;
  } else if (key == HKEY_LOCAL_MACHINE) {
    *root = Root::kLocalMachine;
  } else if (key == HKEY_USERS) {
    *root = Root::kUsers;
  } else {
    return false;
  }
  return true;
}

// The key a handle names; the handle pointer is never followed unless we handed it out.
LSTATUS ResolveHandle(HKEY key, KeyHandle* out) {
  if (PredefinedRoot(key, &out->root)) {
    out->path.clear();
    return ERROR_SUCCESS;
  }
  HandleTable& table = Handles();
  std::lock_guard<std::mutex> lock(table.mutex);
  auto it = table.live.find(reinterpret_cast<const KeyHandle*>(key));
  if (it == table.live.end()) return ERROR_INVALID_HANDLE;
  *out = **it;
  return ERROR_SUCCESS;
}

HKEY NewHandle(KeyHandle key) {
  auto* handle = new KeyHandle(std::move(key));
  HandleTable& table = Handles();
  std::lock_guard<std::mutex> lock(table.mutex);
  table.live.insert(handle);
  return reinterpret_cast<HKEY>(handle);
}

// The handle's key with `subkey` appended; names the file could not hold are refused.
LSTATUS Target(HKEY key, LPCSTR subkey, KeyHandle* out) {
  LSTATUS rc = ResolveHandle(key, out);
  if (rc != ERROR_SUCCESS) return rc;
  if (!subkey) return ERROR_SUCCESS;
  for (std::string& part : regedit::SplitKeyPath(subkey)) {
    if (part.size() > kMaxKeyNameLength || !regedit::NameIsWritable(part)) {
      return ERROR_INVALID_PARAMETER;
    }
    out->path.push_back(std::move(part));
  }
  if (out->path.size() > kMaxKeyDepth) return ERROR_INVALID_PARAMETER;
  return ERROR_SUCCESS;
}

// Why a key is missing: the handle's own key went away, or only the subkey is not there.
LSTATUS MissingKey(const Store& store, HKEY key) {
  KeyHandle base;
  if (ResolveHandle(key, &base) != ERROR_SUCCESS) return ERROR_INVALID_HANDLE;
  return store.Find(base.root, base.path) ? ERROR_FILE_NOT_FOUND : ERROR_KEY_DELETED;
}

// The key of a handle, for the calls that work on the key itself.
LSTATUS KeyOf(HKEY key, Snapshot* snapshot, const Key** out) {
  KeyHandle handle;
  LSTATUS rc = ResolveHandle(key, &handle);
  if (rc != ERROR_SUCCESS) return rc;
  rc = LoadSnapshot(snapshot);
  if (rc != ERROR_SUCCESS) return rc;
  *out = snapshot->store->Find(handle.root, handle.path);
  return *out ? ERROR_SUCCESS : ERROR_KEY_DELETED;
}

// Keys and values of HKEY_CLASSES_ROOT that the store lacks come from the
// system's file-type databases (classes_database.h); the store's own win.
bool SystemClassKey(const KeyHandle& key) {
  return key.root == Root::kClassesRoot && key.path.size() == 1 &&
         tessary::classes::Database::System()->HasKey(key.path[0]);
}

bool SystemClassValue(HKEY key, LPCSTR value_name, std::string* text) {
  KeyHandle handle;
  return ResolveHandle(key, &handle) == ERROR_SUCCESS && SystemClassKey(handle) &&
         tessary::classes::Database::System()->Value(handle.path[0], value_name ? value_name : "",
                                                     text);
}

// RegQueryValueEx's buffer protocol: size only without a buffer, the needed
// size and ERROR_MORE_DATA when the buffer is short.
LSTATUS CopyOut(DWORD type, const uint8_t* bytes, size_t size, LPDWORD lpType, LPBYTE lpData,
                LPDWORD lpcbData) {
  if (lpType) *lpType = type;
  if (size > 0xFFFFFFFFu) return ERROR_NOT_ENOUGH_MEMORY;
  DWORD needed = static_cast<DWORD>(size);
  if (!lpData) {
    if (lpcbData) *lpcbData = needed;
    return ERROR_SUCCESS;
  }
  if (*lpcbData < needed) {
    *lpcbData = needed;
    return ERROR_MORE_DATA;
  }
  if (size) memcpy(lpData, bytes, size);
  *lpcbData = needed;
  return ERROR_SUCCESS;
}

bool IsStringType(DWORD type) {
  return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
}

bool ValueNameAcceptable(const char* name) {
  std::string_view n = name ? name : "";
  return n.size() <= kMaxValueNameLength && regedit::NameIsWritable(n);
}

LSTATUS CopyName(const std::string& name, LPSTR buffer, LPDWORD cch) {
  if (name.size() + 1 > *cch) return ERROR_MORE_DATA;
  memcpy(buffer, name.c_str(), name.size() + 1);
  *cch = static_cast<DWORD>(name.size());
  return ERROR_SUCCESS;
}

FILETIME FileTimeFromNanoseconds(int64_t ns) {
  // 100 ns units since 1601-01-01; 0 stays 0 (no file yet).
  uint64_t ticks = ns == 0 ? 0 : static_cast<uint64_t>(ns / 100) + 116444736000000000ull;
  return FILETIME{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
}

}  // namespace

EXTERN_C {
  LSTATUS RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions, REGSAM samDesired,
                        PHKEY phkResult) {
    return tessary::GuardStatus([&]() -> LSTATUS {
      if (!phkResult) return ERROR_INVALID_PARAMETER;
      *phkResult = nullptr;
      KeyHandle target;
      LSTATUS rc = Target(hKey, lpSubKey, &target);
      if (rc != ERROR_SUCCESS) return rc;
      Snapshot snapshot;
      rc = LoadSnapshot(&snapshot);
      if (rc != ERROR_SUCCESS) return rc;
      if (!snapshot.store->Find(target.root, target.path) && !SystemClassKey(target))
        return MissingKey(*snapshot.store, hKey);
      *phkResult = NewHandle(std::move(target));
      return ERROR_SUCCESS;
    });
  }

  LSTATUS RegCreateKeyExA(
      HKEY hKey, LPCSTR lpSubKey, DWORD Reserved, LPSTR lpClass, DWORD dwOptions, REGSAM samDesired,
      LPSECURITY_ATTRIBUTES lpSecurityAttributes, PHKEY phkResult, LPDWORD lpdwDisposition) {
    return tessary::GuardStatus([&]() -> LSTATUS {
      if (!phkResult || !lpSubKey) return ERROR_INVALID_PARAMETER;
      *phkResult = nullptr;
      KeyHandle target;
      LSTATUS rc = Target(hKey, lpSubKey, &target);
      if (rc != ERROR_SUCCESS) return rc;
      KeyHandle base;
      rc = ResolveHandle(hKey, &base);
      if (rc != ERROR_SUCCESS) return rc;

      // Opening what exists needs no write, so no lock and no rewrite of the file.
      Snapshot snapshot;
      rc = LoadSnapshot(&snapshot);
      if (rc != ERROR_SUCCESS) return rc;
      DWORD disposition = REG_OPENED_EXISTING_KEY;
      if (!snapshot.store->Find(target.root, target.path)) {
        rc = Transact([&](Store& store, bool* changed) -> LSTATUS {
          Key* key = store.Find(base.root, base.path);
          if (!key) return ERROR_KEY_DELETED;
          for (size_t i = base.path.size(); i < target.path.size(); ++i) {
            bool created = false;
            key = key->AddSubkey(target.path[i], &created);
            *changed = *changed || created;
          }
          if (*changed) disposition = REG_CREATED_NEW_KEY;
          return ERROR_SUCCESS;
        });
        if (rc != ERROR_SUCCESS) return rc;
      }
      if (lpdwDisposition) *lpdwDisposition = disposition;
      *phkResult = NewHandle(std::move(target));
      return ERROR_SUCCESS;
    });
  }

  LSTATUS RegFlushKey(HKEY hKey) {
    return tessary::GuardStatus([&]() -> LSTATUS {
      KeyHandle handle;
      LSTATUS rc = ResolveHandle(hKey, &handle);
      if (rc != ERROR_SUCCESS) return rc;
      return FlushStore();
    });
  }

  LSTATUS RegCloseKey(HKEY hKey) {
    return tessary::GuardStatus([&]() -> LSTATUS {
      Root root;
      if (PredefinedRoot(hKey, &root)) return ERROR_SUCCESS;
      const KeyHandle* handle = reinterpret_cast<const KeyHandle*>(hKey);
      {
        HandleTable& table = Handles();
        std::lock_guard<std::mutex> lock(table.mutex);
        if (table.live.erase(handle) == 0) return ERROR_INVALID_HANDLE;
      }
      delete handle;
      return ERROR_SUCCESS;
    });
  }

  LSTATUS RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType,
                           LPBYTE lpData, LPDWORD lpcbData) {
    return tessary::GuardStatus([&]() -> LSTATUS {
      if (lpReserved || (lpData && !lpcbData)) return ERROR_INVALID_PARAMETER;
      Snapshot snapshot;
      const Key* key = nullptr;
      LSTATUS rc = KeyOf(hKey, &snapshot, &key);
      if (rc != ERROR_SUCCESS && rc != ERROR_KEY_DELETED) return rc;
      const Value* value = key ? key->FindValue(lpValueName ? lpValueName : "") : nullptr;
      if (!value) {
        std::string text;
        if (!SystemClassValue(hKey, lpValueName, &text))
          return rc != ERROR_SUCCESS ? rc : ERROR_FILE_NOT_FOUND;
        return CopyOut(REG_SZ, reinterpret_cast<const uint8_t*>(text.c_str()), text.size() + 1,
                       lpType, lpData, lpcbData);
      }
      return CopyOut(value->type, value->data.data(), value->data.size(), lpType, lpData, lpcbData);
    });
  }

  LSTATUS RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType,
                           LPBYTE lpData, LPDWORD lpcbData) {
    return tessary::GuardStatus([&]() -> LSTATUS {
      if (lpReserved || (lpData && !lpcbData)) return ERROR_INVALID_PARAMETER;
      // The converters set the last error when they fail; registry calls never do.
      struct KeepLastError {
        DWORD saved = GetLastError();
        ~KeepLastError() { SetLastError(saved); }
      } keep;
      std::string name;
      if (lpValueName && *lpValueName) {
        int n = WideCharToMultiByte(CP_ACP, 0, lpValueName, -1, nullptr, 0, nullptr, nullptr);
        if (n <= 0) return ERROR_INVALID_PARAMETER;
        name.resize(static_cast<size_t>(n));
        if (WideCharToMultiByte(CP_ACP, 0, lpValueName, -1, name.data(), n, nullptr, nullptr) !=
            n) {
          return ERROR_INVALID_PARAMETER;
        }
        name.resize(static_cast<size_t>(n) - 1);
      }
      Snapshot snapshot;
      const Key* key = nullptr;
      LSTATUS rc = KeyOf(hKey, &snapshot, &key);
      if (rc != ERROR_SUCCESS) return rc;
      const Value* value = key->FindValue(name);
      if (!value) return ERROR_FILE_NOT_FOUND;
      if (!IsStringType(value->type) || value->data.empty()) {
        return CopyOut(value->type, value->data.data(), value->data.size(), lpType, lpData,
                       lpcbData);
      }
      // As Windows hands W callers strings in UTF-16, terminators and all.
      if (value->data.size() > 0x7fffffff) return ERROR_NOT_ENOUGH_MEMORY;
      const char* bytes = reinterpret_cast<const char*>(value->data.data());
      int size = static_cast<int>(value->data.size());
      int units = MultiByteToWideChar(CP_ACP, 0, bytes, size, nullptr, 0);
      std::u16string wide(units > 0 ? static_cast<size_t>(units) : 0, u'\0');
      if (units > 0 && MultiByteToWideChar(CP_ACP, 0, bytes, size, wide.data(), units) != units) {
        return ERROR_NOT_ENOUGH_MEMORY;
      }
      return CopyOut(value->type, reinterpret_cast<const uint8_t*>(wide.data()),
                     wide.size() * sizeof(char16_t), lpType, lpData, lpcbData);
    });
  }

  LSTATUS RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD Reserved, DWORD dwType,
                         const BYTE* lpData, DWORD cbData) {
    return tessary::GuardStatus([&]() -> LSTATUS {
      if ((!lpData && cbData) || !ValueNameAcceptable(lpValueName)) return ERROR_INVALID_PARAMETER;
      KeyHandle handle;
      LSTATUS rc = ResolveHandle(hKey, &handle);
      if (rc != ERROR_SUCCESS) return rc;
      Value value;
      value.name = lpValueName ? lpValueName : "";
      value.type = dwType;
      if (cbData) value.data.assign(lpData, lpData + cbData);
      // Stored terminated whatever the caller counted, so every reader gets a
      // terminated string (a multi-string ends with an empty one).
      if (IsStringType(dwType)) {
        if (value.data.empty() || value.data.back() != 0) value.data.push_back(0);
        if (dwType == REG_MULTI_SZ && value.data.size() >= 2 && value.data[value.data.size() - 2]) {
          value.data.push_back(0);
        }
      }
      return Transact([&](Store& store, bool* changed) -> LSTATUS {
        Key* key = store.Find(handle.root, handle.path);
        if (!key) return ERROR_KEY_DELETED;
        const Value* old = key->FindValue(value.name);
        *changed = !old || old->type != value.type || old->data != value.data;
        if (*changed) key->SetValue(value);
        return ERROR_SUCCESS;
      });
    });
  }

  LSTATUS RegDeleteValueA(HKEY hKey, LPCSTR lpValueName) {
    return tessary::GuardStatus([&]() -> LSTATUS {
      KeyHandle handle;
      LSTATUS rc = ResolveHandle(hKey, &handle);
      if (rc != ERROR_SUCCESS) return rc;
      std::string name = lpValueName ? lpValueName : "";
      return Transact([&](Store& store, bool* changed) -> LSTATUS {
        Key* key = store.Find(handle.root, handle.path);
        if (!key) return ERROR_KEY_DELETED;
        *changed = key->RemoveValue(name);
        return *changed ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
      });
    });
  }

  LSTATUS RegDeleteKeyA(HKEY hKey, LPCSTR lpSubKey) {
    return tessary::GuardStatus([&]() -> LSTATUS {
      if (!lpSubKey) return ERROR_INVALID_PARAMETER;
      KeyHandle target;
      LSTATUS rc = Target(hKey, lpSubKey, &target);
      if (rc != ERROR_SUCCESS) return rc;
      if (target.path.empty()) return ERROR_ACCESS_DENIED;  // the roots cannot go
      return Transact([&](Store& store, bool* changed) -> LSTATUS {
        Key* key = store.Find(target.root, target.path);
        if (!key) return MissingKey(store, hKey);
        // As on Windows: only a leaf key can be deleted this way.
        if (!key->subkeys.empty()) return ERROR_ACCESS_DENIED;
        std::string leaf = target.path.back();
        target.path.pop_back();
        store.Find(target.root, target.path)->RemoveSubkey(leaf);
        *changed = true;
        return ERROR_SUCCESS;
      });
    });
  }

  LSTATUS RegDeleteTreeA(HKEY hKey, LPCSTR lpSubKey) {
    return tessary::GuardStatus([&]() -> LSTATUS {
      KeyHandle target;
      LSTATUS rc = Target(hKey, lpSubKey, &target);
      if (rc != ERROR_SUCCESS) return rc;
      bool contents_only = !lpSubKey || regedit::SplitKeyPath(lpSubKey).empty();
      return Transact([&](Store& store, bool* changed) -> LSTATUS {
        Key* key = store.Find(target.root, target.path);
        if (!key) return contents_only ? ERROR_KEY_DELETED : MissingKey(store, hKey);
        if (contents_only) {
          *changed = !key->values.empty() || !key->subkeys.empty();
          key->values.clear();
          key->subkeys.clear();
          return ERROR_SUCCESS;
        }
        std::string leaf = target.path.back();
        target.path.pop_back();
        store.Find(target.root, target.path)->RemoveSubkey(leaf);
        *changed = true;
        return ERROR_SUCCESS;
      });
    });
  }

  LSTATUS RegEnumKeyExA(HKEY hKey, DWORD dwIndex, LPSTR lpName, LPDWORD lpcchName,
                        LPDWORD lpReserved, LPSTR lpClass, LPDWORD lpcchClass,
                        PFILETIME lpftLastWriteTime) {
    return tessary::GuardStatus([&]() -> LSTATUS {
      if (!lpName || !lpcchName || lpReserved) return ERROR_INVALID_PARAMETER;
      Snapshot snapshot;
      const Key* key = nullptr;
      LSTATUS rc = KeyOf(hKey, &snapshot, &key);
      if (rc != ERROR_SUCCESS) return rc;
      if (dwIndex >= key->subkeys.size()) return ERROR_NO_MORE_ITEMS;
      rc = CopyName(key->subkeys[dwIndex].name, lpName, lpcchName);
      if (rc != ERROR_SUCCESS) return rc;
      // Keys have no classes here; the store file's time stands for every key's.
      if (lpClass && lpcchClass && *lpcchClass > 0) *lpClass = '\0';
      if (lpcchClass) *lpcchClass = 0;
      if (lpftLastWriteTime) *lpftLastWriteTime = FileTimeFromNanoseconds(snapshot.mtime_ns);
      return ERROR_SUCCESS;
    });
  }

  LSTATUS RegEnumValueA(HKEY hKey, DWORD dwIndex, LPSTR lpValueName, LPDWORD lpcchValueName,
                        LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
    return tessary::GuardStatus([&]() -> LSTATUS {
      if (!lpValueName || !lpcchValueName || lpReserved || (lpData && !lpcbData)) {
        return ERROR_INVALID_PARAMETER;
      }
      Snapshot snapshot;
      const Key* key = nullptr;
      LSTATUS rc = KeyOf(hKey, &snapshot, &key);
      if (rc != ERROR_SUCCESS) return rc;
      if (dwIndex >= key->values.size()) return ERROR_NO_MORE_ITEMS;
      const Value& value = key->values[dwIndex];
      rc = CopyName(value.name, lpValueName, lpcchValueName);
      if (rc != ERROR_SUCCESS) return rc;
      return CopyOut(value.type, value.data.data(), value.data.size(), lpType, lpData, lpcbData);
    });
  }

}  // EXTERN_C
