// Loadable modules on POSIX: LoadLibrary and friends over dlopen.
//
// An HMODULE is the dlopen handle. We hand out and accept only handles we
// know (loaded here, or found by TessaryModuleFromAddress), so a stray value
// gives an error instead of a crash inside the dynamic loader.
#include "platform/modules.h"

#include <dlfcn.h>
#include <errno.h>
#include <limits.h>
#include <link.h>
#include <strings.h>

#include <cstring>
#include <map>
#include <mutex>
#include <string>

#include "platform/guard.h"
#include "platform/posix/errno_map.h"
#include "platform/posix/files_internal.h"
#include "platform/posix/syscalls.h"
#include "platform/system.h"

namespace {

namespace sys = tessary::sys;

// The system modules the platform library stands in for: a module that
// looks up, say, "SHGetFileInfoA" in "SHELL32.DLL" at run time finds ours.
bool IsSystemModule(const char* name) {
  static const char* const kSystem[] = {"shell32.dll",  "shell32",  "oleaut32.dll", "oleaut32",
                                        "kernel32.dll", "kernel32", "advapi32.dll", "advapi32"};
  for (const char* system : kSystem) {
    if (strcasecmp(name, system) == 0) return true;
  }
  return false;
}

std::string PlatformLibraryPath() {
  Dl_info info;
  struct link_map* map = nullptr;
  if (sys::dladdr_rc(reinterpret_cast<const void*>(&PlatformLibraryPath), &info,
                     reinterpret_cast<void**>(&map), RTLD_DL_LINKMAP) != 0 ||
      !info.dli_fname)
    return std::string();
  return info.dli_fname;
}

// How a module name given to LoadLibrary names a host file. A Windows path
// (a drive, a share, or backslashes) goes through the drive map as any file
// name does; a host path or a bare library name is used as it is, so the
// host's own registration keeps naming modules by their host paths.
bool IsWindowsPath(const char* name) {
  const bool drive =
      ((name[0] >= 'A' && name[0] <= 'Z') || (name[0] >= 'a' && name[0] <= 'z')) && name[1] == ':';
  return drive || strchr(name, '\\') != nullptr;
}

DWORD HostModulePath(const char* name, std::string* out) {
  if (IsSystemModule(name)) {
    *out = PlatformLibraryPath();
    return ERROR_SUCCESS;
  }
  if (!IsWindowsPath(name)) {
    *out = name;
    return ERROR_SUCCESS;
  }
  tessary::files::HostPath resolved;
  const DWORD error = tessary::files::ResolvePath(name, tessary::files::PathUse::kName, &resolved);
  if (error != ERROR_SUCCESS) return error;
  *out = resolved.host;
  return ERROR_SUCCESS;
}

// The other direction, for GetModuleFileNameA.
std::string ModulePathFromHost(std::string path) { return path; }

struct Entry {
  long references = 0;  // taken by LoadLibrary and not yet given back by FreeLibrary
};

struct ModuleTable {
  std::mutex mutex;
  std::map<void*, Entry> known;
};

ModuleTable& Modules() {
  static ModuleTable* table = new ModuleTable;  // modules may be freed from static destructors
  return *table;
}

bool Known(HMODULE module) {
  ModuleTable& table = Modules();
  std::lock_guard<std::mutex> lock(table.mutex);
  return table.known.count(module) != 0;
}

// Why dlopen refused, as the Win32 code LoadLibrary would set. The loader's
// message is the only witness of the reason, so its wording is matched.
DWORD LoadError(const std::string& path, int err, const char* message) {
  if (path.find('/') != std::string::npos) {
    struct stat st;
    if (sys::stat(path.c_str(), &st) != 0) {
      return errno == EACCES ? ERROR_ACCESS_DENIED : ERROR_MOD_NOT_FOUND;
    }
    if (S_ISDIR(st.st_mode)) return ERROR_ACCESS_DENIED;
  }
  if (!message) return tessary::sys::Win32ErrorFromErrno(err, tessary::sys::ErrnoOp::kLoadModule);
  if (strstr(message, "undefined symbol")) return ERROR_PROC_NOT_FOUND;  // a missing import
  if (strstr(message, "Permission denied")) return ERROR_ACCESS_DENIED;
  // The module itself or one it depends on; Windows says 126 for both.
  if (strstr(message, "cannot open shared object file")) return ERROR_MOD_NOT_FOUND;
  return ERROR_BAD_EXE_FORMAT;
}

std::string MainProgramPath() {
  char buf[PATH_MAX + 1];
  ssize_t n = sys::readlink("/proc/self/exe", buf, PATH_MAX);
  if (n <= 0) return std::string();
  return std::string(buf, static_cast<size_t>(n));
}

struct link_map* LinkMapOf(HMODULE module) {
  struct link_map* map = nullptr;
  if (sys::dlinfo(module, RTLD_DI_LINKMAP, &map) != 0) return nullptr;
  return map;
}

}  // namespace

EXTERN_C {
  HMODULE LoadLibraryExA(LPCSTR lpLibFileName, HANDLE hFile, DWORD dwFlags) {
    return tessary::GuardWin32<HMODULE>(nullptr, [&]() -> HMODULE {
      if (!lpLibFileName || !*lpLibFileName || hFile) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
      }
      std::string path;
      if (const DWORD error = HostModulePath(lpLibFileName, &path)) {
        SetLastError(error);
        return nullptr;
      }
      // Anchored now, so GetModuleFileNameA gives a full path, as on Windows,
      // whatever the current folder becomes later.
      if (path.find('/') != std::string::npos && path[0] != '/') {
        char cwd[PATH_MAX];
        if (sys::getcwd(cwd, sizeof cwd)) path = std::string(cwd) + "/" + path;
      }
      ::dlerror();
      void* handle = sys::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
      if (!handle) {
        int err = errno;
        const char* message = ::dlerror();
        SetLastError(LoadError(path, err, message));
        return nullptr;
      }
      ModuleTable& table = Modules();
      std::lock_guard<std::mutex> lock(table.mutex);
      ++table.known[handle].references;
      return reinterpret_cast<HMODULE>(handle);
    });
  }

  HMODULE LoadLibraryA(LPCSTR lpLibFileName) { return LoadLibraryExA(lpLibFileName, nullptr, 0); }

  FARPROC GetProcAddress(HMODULE hModule, LPCSTR lpProcName) {
    return tessary::GuardWin32<FARPROC>(nullptr, [&]() -> FARPROC {
      if (!hModule || !Known(hModule)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
      }
      // Small values are export ordinals on Windows; modules here have none.
      if (!lpProcName || reinterpret_cast<uintptr_t>(lpProcName) < 0x10000) {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return nullptr;
      }
      void* symbol = sys::dlsym(hModule, lpProcName);
      if (!symbol) {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return nullptr;
      }
      // dlsym also searches the libraries the module depends on; Windows answers
      // only from the module's own exports.
      struct link_map* own = LinkMapOf(hModule);
      struct link_map* holder = nullptr;
      Dl_info info;
      if (own &&
          sys::dladdr_rc(symbol, &info, reinterpret_cast<void**>(&holder), RTLD_DL_LINKMAP) == 0 &&
          holder && holder != own) {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return nullptr;
      }
      return reinterpret_cast<FARPROC>(symbol);
    });
  }

  BOOL FreeLibrary(HMODULE hLibModule) {
    return tessary::GuardWin32<BOOL>(FALSE, [&]() -> BOOL {
      {
        ModuleTable& table = Modules();
        std::lock_guard<std::mutex> lock(table.mutex);
        auto it = table.known.find(hLibModule);
        // A handle nobody loaded through us holds no reference we could give back.
        if (it == table.known.end() || it->second.references == 0) {
          SetLastError(ERROR_INVALID_HANDLE);
          return FALSE;
        }
        // At the last reference the module may be unmapped; forget its handle
        // rather than ever pass a dangling one to the loader.
        if (--it->second.references == 0) table.known.erase(it);
      }
      if (sys::dlclose(hLibModule) != 0) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
      }
      return TRUE;
    });
  }

  DWORD GetModuleFileNameA(HMODULE hModule, LPSTR lpFilename, DWORD nSize) {
    return tessary::GuardWin32<DWORD>(0, [&]() -> DWORD {
      if (!lpFilename && nSize) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
      }
      std::string path;
      if (hModule) {
        struct link_map* map = Known(hModule) ? LinkMapOf(hModule) : nullptr;
        if (!map) {
          SetLastError(ERROR_MOD_NOT_FOUND);
          return 0;
        }
        path = map->l_name ? map->l_name : "";
      }
      if (path.empty()) path = MainProgramPath();  // the main program's map has no name
      if (path.empty()) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return 0;
      }
      path = ModulePathFromHost(std::move(path));
      if (nSize == 0) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
      }
      // Windows truncates, terminates, and answers the buffer size.
      if (path.size() >= nSize) {
        memcpy(lpFilename, path.data(), nSize - 1);
        lpFilename[nSize - 1] = '\0';
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return nSize;
      }
      memcpy(lpFilename, path.c_str(), path.size() + 1);
      return static_cast<DWORD>(path.size());
    });
  }

  HMODULE TessaryModuleFromAddress(const void* address) {
    return tessary::GuardWin32<HMODULE>(nullptr, [&]() -> HMODULE {
      struct link_map* map = nullptr;
      Dl_info info;
      if (!address ||
          sys::dladdr_rc(address, &info, reinterpret_cast<void**>(&map), RTLD_DL_LINKMAP) != 0 ||
          !map) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
      }
      bool main_program = !map->l_name || !*map->l_name;
      void* handle = sys::dlopen(main_program ? nullptr : map->l_name, RTLD_NOW | RTLD_NOLOAD);
      if (!handle) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
      }
      // Like GetModuleHandle: no reference is kept, the handle is good while the
      // module stays loaded.
      sys::dlclose(handle);
      ModuleTable& table = Modules();
      std::lock_guard<std::mutex> lock(table.mutex);
      table.known.try_emplace(handle);
      return reinterpret_cast<HMODULE>(handle);
    });
  }

}  // EXTERN_C
