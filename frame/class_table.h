// The module's creatable classes, generated from the coclasses of
// typelib/tessary.idl in the order they are declared there.
#pragma once

#include <cstddef>

#include "platform/automation.h"

namespace tessary {

struct ClassEntry {
  const CLSID* clsid;
  const char* class_name;
  const char* progid;     // versioned, e.g. "Tessary.File.1"
  const char* vi_progid;  // version-independent, e.g. "Tessary.File"
  const char* display_name;
  const char* threading_model;
  const IID* dispatch_iid;
  HRESULT (*create)(REFIID riid, void** ppv);
};

struct LibraryInfo {
  const GUID* libid;
  const char* help;
  unsigned short major;
  unsigned short minor;
};

extern const ClassEntry kClassTable[];
extern const LibraryInfo kLibrary;
extern const size_t kClassCount;

const ClassEntry* FindClass(REFCLSID clsid);

}  // namespace tessary
