// Module state: the lock count that decides when the host may unload the
// module, the module's critical section and the class factories.
#pragma once

#include "platform/system.h"

namespace tessary {

void ModuleLock();
void ModuleUnlock();
LONG ModuleLockCount();

// Set once at process attach, before any object exists.
void ModuleAttach(HMODULE module);
void ModuleDetach();
CRITICAL_SECTION* ModuleCriticalSection();

// The four entry points' work.
HRESULT GetClassObject(REFCLSID clsid, REFIID riid, void** ppv);
HRESULT CanUnloadNow();
HRESULT RegisterServer();
HRESULT UnregisterServer();

}  // namespace tessary
