#include "frame/switches.h"

#include "frame/errors.h"
#include "platform/guard.h"
#include "platform/registry.h"

namespace tessary {
namespace {

FeatureSwitches g_switches;

// Every switch on: what the administrator wrote cannot be known, and a
// switch that should have been on must not come out off.
void DisableAll(FeatureSwitches* out) {
  out->disable_register_dll = 1;
  out->disable_delete = 1;
}

// Reads one value straight into its switch, whatever its registry type; a
// missing value, or data longer than the four bytes, takes the default.
// False when the registry itself failed, which says nothing about the value.
bool ReadSwitch(HKEY key, const OLECHAR* name, DWORD* value, DWORD unreadable_default) {
  DWORD size = sizeof(DWORD);
  const LONG rc =
      RegQueryValueExW(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(value), &size);
  if (rc == ERROR_SUCCESS) return true;
  *value = unreadable_default;
  return rc == ERROR_FILE_NOT_FOUND || rc == ERROR_MORE_DATA;
}

}  // namespace

const char kSwitchesKey[] = "SOFTWARE\\Quennel\\QN-Tessary\\Parameters";
const char kDisabledMessage[] =
    "This option has been disabled in the registry please see your administrator for more "
    "information.";

void ReadFeatureSwitches(FeatureSwitches* out) {
  *out = FeatureSwitches{};
  HKEY key = nullptr;
  const LONG rc = RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSwitchesKey, 0, KEY_READ, &key);
  // Only a key that is not there means "no switches"; a key or store that
  // cannot be read (refused, damaged, failing disk) may hold any of them.
  if (rc == ERROR_FILE_NOT_FOUND) return;
  if (rc != ERROR_SUCCESS) {
    DisableAll(out);
    return;
  }
  // Once the key exists, registering modules needs an explicit 0.
  bool read = ReadSwitch(key, OLESTR("DisableRegisterDLL"), &out->disable_register_dll, 1);
  read = ReadSwitch(key, OLESTR("DisableDelete"), &out->disable_delete, 0) && read;
  RegCloseKey(key);
  if (!read) DisableAll(out);
}

void LoadFeatureSwitches() {
  // A read cut short says nothing about what the administrator set, so the
  // switches that guard dangerous operations stay on rather than default to
  // allowing them.
  Guard([] { ReadFeatureSwitches(&g_switches); },
        [](HRESULT) {
          g_switches = FeatureSwitches{};
          g_switches.disable_register_dll = 1;
          g_switches.disable_delete = 1;
        });
}

const FeatureSwitches& Switches() { return g_switches; }

HRESULT RefuseDisabled(const CLSID* source_class) {
  return ReportError(source_class, kDisabledMessage, E_ACCESSDENIED);
}

}  // namespace tessary
