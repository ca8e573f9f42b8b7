// tessary-regsvr: registers or unregisters a server module in the store, as
// regsvr32 does on Windows. The library package runs it from its maintainer
// scripts, which cannot rely on the host: the host's package depends on the
// library's.
//
//   tessary-regsvr [/u] MODULE
//
// Exit status 0 on success, 1 when the module cannot be loaded or its entry
// point fails (the HRESULT is printed), 2 for a usage error.
#include <cstdio>
#include <cstring>

#include "platform/modules.h"
#include "platform/system.h"

int main(int argc, char** argv) {
  bool install = true;
  int arg = 1;
  if (arg < argc && !std::strcmp(argv[arg], "/u")) {
    install = false;
    ++arg;
  }
  if (arg + 1 != argc) {
    std::fputs("usage: tessary-regsvr [/u] MODULE\n", stderr);
    return 2;
  }
  const char* module = argv[arg];
  const char* entry_name = install ? "DllRegisterServer" : "DllUnregisterServer";
  // The store records the path as given: the scripts pass the installed one.
  HRESULT hr = S_OK;
  SetLastError(0);
  HMODULE handle = LoadLibraryA(module);
  if (!handle) {
    DWORD error = GetLastError();
    hr = error ? HRESULT_FROM_WIN32(error) : E_FAIL;
  } else {
    FARPROC entry = GetProcAddress(handle, entry_name);
    if (!entry) {
      hr = HRESULT_FROM_WIN32(ERROR_PROC_NOT_FOUND);
    } else {
      hr = reinterpret_cast<HRESULT (*)()>(reinterpret_cast<void (*)()>(entry))();
    }
    FreeLibrary(handle);
  }
  if (FAILED(hr)) {
    std::fprintf(stderr, "tessary-regsvr: %s: %s failed: 0x%08X\n", module, entry_name,
                 static_cast<unsigned>(hr));
    return 1;
  }
  return 0;
}
