// Calling a server module's registration entry, as regsvr32 does: load it,
// find DllRegisterServer or DllUnregisterServer, call it, unload it. Shared by
// tessary-run's --register and the packages' tessary-regsvr.
#pragma once

#include "platform/modules.h"
#include "platform/system.h"

namespace tessary {

// The entry's HRESULT, or the loader's failure as an HRESULT.
inline HRESULT CallRegistrationEntry(const char* module, bool install) {
  const char* entry_name = install ? "DllRegisterServer" : "DllUnregisterServer";
  SetLastError(0);
  HMODULE handle = LoadLibraryA(module);
  if (!handle) {
    const DWORD error = GetLastError();
    return error ? HRESULT_FROM_WIN32(error) : E_FAIL;
  }
  HRESULT hr = HRESULT_FROM_WIN32(ERROR_PROC_NOT_FOUND);
  if (FARPROC entry = GetProcAddress(handle, entry_name)) {
    hr = reinterpret_cast<HRESULT (*)()>(reinterpret_cast<void (*)()>(entry))();
  }
  FreeLibrary(handle);
  return hr;
}

}  // namespace tessary
