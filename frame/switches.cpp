#include "frame/switches.h"

#include "frame/errors.h"
#include "platform/guard.h"
#include "platform/registry.h"

namespace tessary {
namespace {

FeatureSwitches g_switches;

// Reads one value straight into its switch, whatever its registry type; data
// longer than the four bytes cannot be read, and the default applies.
void ReadSwitch(HKEY key, const OLECHAR* name, DWORD* value, DWORD unreadable_default) {
  DWORD size = sizeof(DWORD);
  if (RegQueryValueExW(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(value), &size) !=
      ERROR_SUCCESS) {
    *value = unreadable_default;
  }
}

}  // namespace

const char kSwitchesKey[] = "SOFTWARE\\Quennel\\QN-Tessary\\Parameters";
const char kDisabledMessage[] =
    "This option has been disabled in the registry please see your administrator for more "
    "information.";

void ReadFeatureSwitches(FeatureSwitches* out) {
  *out = FeatureSwitches{};
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSwitchesKey, 0, KEY_READ, &key) != ERROR_SUCCESS) return;
  // Once the key exists, registering modules needs an explicit 0.
  ReadSwitch(key, OLESTR("DisableACL"), &out->disable_acl, 0);
  ReadSwitch(key, OLESTR("DisableLogonUser"), &out->disable_logon_user, 0);
  ReadSwitch(key, OLESTR("DisableRegisterDLL"), &out->disable_register_dll, 1);
  ReadSwitch(key, OLESTR("DisableDelete"), &out->disable_delete, 0);
  RegCloseKey(key);
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
