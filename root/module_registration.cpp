// RegisterDLL: another component's self-registration, as a command-line
// registration tool does it. What the module's entry writes is its own; the
// root only loads it, finds the entry by name, calls it and unloads it.
#include <string>

#include "frame/switches.h"
#include "frame/values.h"
#include "platform/modules.h"
#include "root/tessary.h"

namespace {

typedef HRESULT(STDAPICALLTYPE* RegistrationEntry)(void);

// Gives a loaded module back on every way out.
class LoadedModule {
 public:
  explicit LoadedModule(HMODULE module) : module_(module) {}
  ~LoadedModule() {
    if (module_) ::FreeLibrary(module_);
  }
  LoadedModule(const LoadedModule&) = delete;
  LoadedModule& operator=(const LoadedModule&) = delete;
  HMODULE get() const { return module_; }

 private:
  HMODULE module_;
};

}  // namespace

HRESULT Tessary::RegisterDLL(BSTR dll_file_name, VARIANT_BOOL do_register) {
  // The administrator's refusal comes before the file is even looked at.
  if (tessary::Switches().disable_register_dll) return tessary::RefuseDisabled(kErrorClass);
  const char* entry_name =
      tessary::FromVariantBool(do_register) ? "DllRegisterServer" : "DllUnregisterServer";
  std::string name;
  HRESULT hr = PathArgument(dll_file_name, &name);
  if (FAILED(hr)) return hr;
  // The module's own folder is searched first for what it depends on.
  HMODULE handle = ::LoadLibraryExA(name.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
  if (reinterpret_cast<UINT_PTR>(handle) < 32) return ReportLastWin32Error();
  DWORD error = ERROR_SUCCESS;
  {
    LoadedModule module(handle);
    FARPROC found = ::GetProcAddress(module.get(), entry_name);
    if (!found) {
      error = GetLastError();
      if (error == ERROR_SUCCESS) error = ERROR_PROC_NOT_FOUND;
    } else {
      RegistrationEntry entry =
          reinterpret_cast<RegistrationEntry>(reinterpret_cast<void (*)(void)>(found));
      hr = entry();
    }
  }
  if (error != ERROR_SUCCESS) return ReportWin32Error(error);
  // The entry's own code is not passed on.
  if (FAILED(hr)) return ReportError("Call to DllEntryPoint DllEntryPoint failed.", 0);
  return S_OK;
}
