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

#include "host/module_entry.h"

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
  const HRESULT hr = tessary::CallRegistrationEntry(module, install);
  if (FAILED(hr)) {
    std::fprintf(stderr, "tessary-regsvr: %s: %s failed: 0x%08X\n", module, entry_name,
                 static_cast<unsigned>(hr));
    return 1;
  }
  return 0;
}
