// The module's entry points: load and unload handling and the four exports
// a host calls. This file and platform/ are the only places that know which
// system they are built for.
#include "frame/module.h"
#include "frame/switches.h"
#include "platform/guard.h"
#include "platform/modules.h"

#ifdef _WIN32

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) {
    tessary::ModuleAttach(instance);
    DisableThreadLibraryCalls(instance);
    tessary::LoadFeatureSwitches();
  } else if (reason == DLL_PROCESS_DETACH) {
    tessary::ModuleDetach();
  }
  return TRUE;
}

#define TESSARY_ENTRY extern "C" HRESULT STDAPICALLTYPE

#else

namespace {

// The loader runs these when the module is loaded into and unloaded from a
// process, as process attach and detach.
__attribute__((constructor)) void OnLoad() {
  tessary::ModuleAttach(TessaryModuleFromAddress(reinterpret_cast<const void*>(&OnLoad)));
  tessary::LoadFeatureSwitches();
}

__attribute__((destructor)) void OnUnload() { tessary::ModuleDetach(); }

}  // namespace

#define TESSARY_ENTRY extern "C" TESSARY_EXPORT HRESULT

#endif

// The host calls these from C; nothing thrown below may reach it.
TESSARY_ENTRY DllGetClassObject(REFCLSID clsid, REFIID riid, LPVOID* ppv) {
  return tessary::GuardHr([&] { return tessary::GetClassObject(clsid, riid, ppv); });
}

TESSARY_ENTRY DllCanUnloadNow() {
  return tessary::GuardHr([&] { return tessary::CanUnloadNow(); });
}

TESSARY_ENTRY DllRegisterServer() {
  return tessary::GuardHr([&] { return tessary::RegisterServer(); });
}

TESSARY_ENTRY DllUnregisterServer() {
  return tessary::GuardHr([&] { return tessary::UnregisterServer(); });
}
