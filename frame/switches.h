// The administrator's feature switches, read once when the module is loaded
// (HKEY_LOCAL_MACHINE "SOFTWARE\Quennel\QN-Tessary\Parameters"). Each is 0
// (allowed) or non-zero (disabled); they never change while the module is
// loaded.
#pragma once

#include "platform/automation.h"

namespace tessary {

// The key may also hold DisableACL and DisableLogonUser; no member consults
// them, so they are not read.
struct FeatureSwitches {
  DWORD disable_register_dll = 0;
  DWORD disable_delete = 0;
};

extern const char kSwitchesKey[];
extern const char kDisabledMessage[];

// Reads the switches into the process-wide copy; called at process attach.
// Without the key every switch is off; with a key or store that cannot be
// read every switch is on (the store fails closed).
void LoadFeatureSwitches();
// The same read into a given structure, for tests.
void ReadFeatureSwitches(FeatureSwitches* out);
const FeatureSwitches& Switches();

// The refusal of a guarded member: E_ACCESSDENIED with the administrator
// text, through the error path of the member's class.
HRESULT RefuseDisabled(const CLSID* source_class);

}  // namespace tessary
