#include "frame/typeinfo_cache.h"

#include "frame/class_table.h"
#include "frame/module.h"

namespace tessary {
namespace {

struct Cached {
  IID iid;
  ITypeInfo* info;
};

ITypeLib* g_library = nullptr;
Cached g_cache[32];
size_t g_cached = 0;

}  // namespace

HRESULT TypeInfoFor(REFIID iid, LCID lcid, ITypeInfo** out) {
  *out = nullptr;
  EnterCriticalSection(ModuleCriticalSection());
  HRESULT hr = S_OK;
  for (size_t i = 0; i < g_cached; ++i) {
    if (IsEqualIID(g_cache[i].iid, iid)) {
      *out = g_cache[i].info;
      (*out)->AddRef();
      LeaveCriticalSection(ModuleCriticalSection());
      return S_OK;
    }
  }
  if (!g_library) {
    hr = LoadRegTypeLib(*kLibrary.libid, kLibrary.major, kLibrary.minor, lcid, &g_library);
    if (FAILED(hr)) g_library = nullptr;
  }
  if (SUCCEEDED(hr)) {
    ITypeInfo* info = nullptr;
    hr = g_library->GetTypeInfoOfGuid(iid, &info);
    if (SUCCEEDED(hr) && g_cached < sizeof g_cache / sizeof g_cache[0]) {
      g_cache[g_cached++] = {iid, info};
      info->AddRef();
    }
    if (SUCCEEDED(hr)) *out = info;
  }
  LeaveCriticalSection(ModuleCriticalSection());
  return FAILED(hr) && hr != E_OUTOFMEMORY && HRESULT_FACILITY(hr) == 0 ? E_FAIL : hr;
}

void ReleaseTypeInfoCache() {
  for (size_t i = 0; i < g_cached; ++i) g_cache[i].info->Release();
  g_cached = 0;
  if (g_library) g_library->Release();
  g_library = nullptr;
}

}  // namespace tessary
