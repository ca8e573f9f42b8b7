// Safe arrays with the Windows descriptor layout.
//
// As on Windows, 16 bytes sit in front of every descriptor we allocate: an
// array of interfaces keeps its interface id there (FADF_HAVEIID), any other
// array its VARTYPE in the last four of them (FADF_HAVEVARTYPE), which is
// where SafeArrayGetVartype looks. The bounds are stored in reverse order:
// rgsabound[cDims - 1] describes the leftmost index (rgIndices[0]), which
// varies fastest in memory, and SafeArrayRedim changes rgsabound[0], the
// rightmost and slowest one, so growing or shrinking moves no element.
#include <stdlib.h>
#include <string.h>

#include "platform/automation.h"
#include "platform/byte_arrays.h"
#include "platform/posix/vartype_size.h"

namespace {

constexpr size_t kHeaderBytes = 16;
constexpr USHORT kMaxDims = 0xFFFF / sizeof(SAFEARRAYBOUND);
constexpr ULONG kMaxLocks = 0xFFFF;

// The element size Windows uses for each vartype a safe array may hold, or 0
// for a type it refuses.
ULONG ElementSize(VARTYPE vt) {
  if (size_t plain = tessary::posix::PlainValueSize(vt)) return static_cast<ULONG>(plain);
  switch (vt) {
    case VT_BSTR:
    case VT_UNKNOWN:
    case VT_DISPATCH:
      return sizeof(void*);
    case VT_VARIANT:
      return sizeof(VARIANT);
    case VT_DECIMAL:
      return sizeof(DECIMAL);
    default:
      return 0;
  }
}

USHORT FeaturesFor(VARTYPE vt) {
  switch (vt) {
    case VT_BSTR:
      return FADF_BSTR | FADF_HAVEVARTYPE;
    case VT_VARIANT:
      return FADF_VARIANT | FADF_HAVEVARTYPE;
    case VT_UNKNOWN:
      return FADF_UNKNOWN | FADF_HAVEIID;
    case VT_DISPATCH:
      return FADF_DISPATCH | FADF_HAVEIID;
    default:
      return FADF_HAVEVARTYPE;
  }
}

unsigned char* HeaderOf(SAFEARRAY* psa) {
  return reinterpret_cast<unsigned char*>(psa) - kHeaderBytes;
}

size_t DescriptorBytes(UINT dims) {
  return sizeof(SAFEARRAY) + (dims - 1) * sizeof(SAFEARRAYBOUND);
}

// The descriptor with its leading header, zeroed, features and vartype set.
SAFEARRAY* AllocateDescriptor(VARTYPE vt, UINT dims) {
  unsigned char* block =
      static_cast<unsigned char*>(calloc(1, kHeaderBytes + DescriptorBytes(dims)));
  if (block == nullptr) return nullptr;
  SAFEARRAY* psa = reinterpret_cast<SAFEARRAY*>(block + kHeaderBytes);
  psa->cDims = static_cast<USHORT>(dims);
  psa->fFeatures = FeaturesFor(vt);
  psa->cbElements = ElementSize(vt);
  if (psa->fFeatures & FADF_HAVEIID) {
    const GUID& iid = vt == VT_DISPATCH ? IID_IDispatch : IID_IUnknown;
    memcpy(block, &iid, sizeof(GUID));
  } else {
    const DWORD vartype = vt;
    memcpy(block + kHeaderBytes - sizeof(DWORD), &vartype, sizeof(vartype));
  }
  return psa;
}

void FreeDescriptor(SAFEARRAY* psa) { free(HeaderOf(psa)); }

// Number of elements, or false when the product or the byte size overflows.
bool CountElements(const SAFEARRAY* psa, size_t* count) {
  size_t n = 1;
  for (USHORT i = 0; i < psa->cDims; ++i) {
    if (__builtin_mul_overflow(n, static_cast<size_t>(psa->rgsabound[i].cElements), &n))
      return false;
  }
  size_t bytes;
  if (__builtin_mul_overflow(n, static_cast<size_t>(psa->cbElements), &bytes)) return false;
  // Windows sizes its allocations with 32-bit arithmetic; so do we.
  if (bytes > 0x7FFFFFFF) return false;
  *count = n;
  return true;
}

// Never null, even for an empty array, so AccessData always hands out memory.
void* AllocateData(size_t bytes, bool zeroed = true) {
  if (bytes == 0) bytes = 1;
  return zeroed ? calloc(bytes, 1) : malloc(bytes);
}

// Releases what the elements own (plain numbers need nothing) and zeroes
// them, unless the memory is freed straight after: zeroing the bytes of a
// large array on its way back to the allocator cost a tenth of reading a
// file into arrays.
enum class Afterwards { kKept, kFreed };
void ReleaseElements(SAFEARRAY* psa, void* data, size_t first, size_t count,
                     Afterwards afterwards = Afterwards::kKept) {
  unsigned char* base = static_cast<unsigned char*>(data) + first * psa->cbElements;
  if (psa->fFeatures & FADF_BSTR) {
    BSTR* items = reinterpret_cast<BSTR*>(base);
    for (size_t i = 0; i < count; ++i) SysFreeString(items[i]);
  } else if (psa->fFeatures & (FADF_UNKNOWN | FADF_DISPATCH)) {
    IUnknown** items = reinterpret_cast<IUnknown**>(base);
    for (size_t i = 0; i < count; ++i) {
      if (items[i] != nullptr) items[i]->Release();
    }
  } else if (psa->fFeatures & FADF_VARIANT) {
    VARIANT* items = reinterpret_cast<VARIANT*>(base);
    for (size_t i = 0; i < count; ++i) VariantClear(&items[i]);
  }
  if (afterwards == Afterwards::kKept) memset(base, 0, count * psa->cbElements);
}

// Deep copy of `count` elements into zeroed memory; on failure what was
// copied is released again.
HRESULT CopyElements(const SAFEARRAY* psa, const void* from, void* to, size_t count) {
  if (psa->fFeatures & FADF_BSTR) {
    const BSTR* src = static_cast<const BSTR*>(from);
    BSTR* dst = static_cast<BSTR*>(to);
    for (size_t i = 0; i < count; ++i) {
      if (src[i] == nullptr) continue;
      dst[i] = SysAllocStringByteLen(reinterpret_cast<LPCSTR>(src[i]), SysStringByteLen(src[i]));
      if (dst[i] == nullptr) {
        for (size_t j = 0; j < i; ++j) SysFreeString(dst[j]);
        return E_OUTOFMEMORY;
      }
    }
  } else if (psa->fFeatures & (FADF_UNKNOWN | FADF_DISPATCH)) {
    memcpy(to, from, count * psa->cbElements);
    IUnknown* const* items = static_cast<IUnknown* const*>(to);
    for (size_t i = 0; i < count; ++i) {
      if (items[i] != nullptr) items[i]->AddRef();
    }
  } else if (psa->fFeatures & FADF_VARIANT) {
    const VARIANT* src = static_cast<const VARIANT*>(from);
    VARIANT* dst = static_cast<VARIANT*>(to);
    for (size_t i = 0; i < count; ++i) {
      const HRESULT hr = VariantCopy(&dst[i], const_cast<VARIANT*>(&src[i]));
      if (FAILED(hr)) {
        for (size_t j = 0; j < i; ++j) VariantClear(&dst[j]);
        return hr;
      }
    }
  } else {
    memcpy(to, from, count * psa->cbElements);
  }
  return S_OK;
}

// The element for a list of indices, leftmost index first.
HRESULT CellOffset(SAFEARRAY* psa, const LONG* indices, size_t* offset) {
  size_t cell = 0;
  size_t stride = 1;
  for (USHORT dim = 0; dim < psa->cDims; ++dim) {
    const SAFEARRAYBOUND& bound = psa->rgsabound[psa->cDims - 1 - dim];
    const int64_t pos = static_cast<int64_t>(indices[dim]) - bound.lLbound;
    if (pos < 0 || pos >= static_cast<int64_t>(bound.cElements)) return DISP_E_BADINDEX;
    cell += static_cast<size_t>(pos) * stride;
    stride *= bound.cElements;
  }
  *offset = cell * psa->cbElements;
  return S_OK;
}

SAFEARRAY* CreateWithBounds(VARTYPE vt, UINT dims, const SAFEARRAYBOUND* bounds_in_order,
                            bool zeroed = true) {
  if (dims == 0 || dims > kMaxDims || ElementSize(vt) == 0) return nullptr;
  SAFEARRAY* psa = AllocateDescriptor(vt, dims);
  if (psa == nullptr) return nullptr;
  for (UINT i = 0; i < dims; ++i) psa->rgsabound[dims - 1 - i] = bounds_in_order[i];
  size_t count;
  if (!CountElements(psa, &count)) {
    FreeDescriptor(psa);
    return nullptr;
  }
  psa->pvData = AllocateData(count * psa->cbElements, zeroed);
  if (psa->pvData == nullptr) {
    FreeDescriptor(psa);
    return nullptr;
  }
  return psa;
}

}  // namespace

extern "C" {
SAFEARRAY* SafeArrayCreate(VARTYPE vt, UINT cDims, SAFEARRAYBOUND* rgsabound) {
  if (rgsabound == nullptr) return nullptr;
  return CreateWithBounds(vt, cDims, rgsabound);
}

SAFEARRAY* SafeArrayCreateVector(VARTYPE vt, LONG lLbound, ULONG cElements) {
  SAFEARRAYBOUND bound = {cElements, lLbound};
  return CreateWithBounds(vt, 1, &bound);
}

SAFEARRAY* SafeArrayCreateBytesToFill(ULONG cElements) {
  SAFEARRAYBOUND bound = {cElements, 0};
  return CreateWithBounds(VT_UI1, 1, &bound, false);
}

HRESULT SafeArrayDestroy(SAFEARRAY* psa) {
  if (psa == nullptr) return S_OK;
  if (psa->cLocks > 0) return DISP_E_ARRAYISLOCKED;
  // Memory the caller supplied (static, on the stack or inside another
  // structure) is the caller's to free, and is left zeroed.
  const bool ours = !(psa->fFeatures & (FADF_AUTO | FADF_STATIC | FADF_EMBEDDED));
  size_t count;
  if (psa->pvData != nullptr && CountElements(psa, &count)) {
    ReleaseElements(psa, psa->pvData, 0, count, ours ? Afterwards::kFreed : Afterwards::kKept);
  }
  if (ours) {
    free(psa->pvData);
    FreeDescriptor(psa);
  }
  return S_OK;
}

HRESULT SafeArrayLock(SAFEARRAY* psa) {
  if (psa == nullptr) return E_INVALIDARG;
  const ULONG locks = __atomic_add_fetch(&psa->cLocks, 1, __ATOMIC_SEQ_CST);
  if (locks > kMaxLocks) {
    __atomic_sub_fetch(&psa->cLocks, 1, __ATOMIC_SEQ_CST);
    return E_UNEXPECTED;
  }
  return S_OK;
}

HRESULT SafeArrayUnlock(SAFEARRAY* psa) {
  if (psa == nullptr) return E_INVALIDARG;
  ULONG locks = __atomic_load_n(&psa->cLocks, __ATOMIC_SEQ_CST);
  do {
    if (locks == 0) return E_UNEXPECTED;
  } while (!__atomic_compare_exchange_n(&psa->cLocks, &locks, locks - 1, false, __ATOMIC_SEQ_CST,
                                        __ATOMIC_SEQ_CST));
  return S_OK;
}

HRESULT SafeArrayAccessData(SAFEARRAY* psa, void** ppvData) {
  if (psa == nullptr || ppvData == nullptr) return E_INVALIDARG;
  const HRESULT hr = SafeArrayLock(psa);
  if (FAILED(hr)) {
    *ppvData = nullptr;
    return hr;
  }
  *ppvData = psa->pvData;
  return S_OK;
}

HRESULT SafeArrayUnaccessData(SAFEARRAY* psa) { return SafeArrayUnlock(psa); }

UINT SafeArrayGetDim(SAFEARRAY* psa) { return psa != nullptr ? psa->cDims : 0; }

UINT SafeArrayGetElemsize(SAFEARRAY* psa) { return psa != nullptr ? psa->cbElements : 0; }

HRESULT SafeArrayGetLBound(SAFEARRAY* psa, UINT nDim, LONG* plLbound) {
  if (psa == nullptr || plLbound == nullptr) return E_INVALIDARG;
  if (nDim < 1 || nDim > psa->cDims) return DISP_E_BADINDEX;
  *plLbound = psa->rgsabound[psa->cDims - nDim].lLbound;
  return S_OK;
}

HRESULT SafeArrayGetUBound(SAFEARRAY* psa, UINT nDim, LONG* plUbound) {
  if (psa == nullptr || plUbound == nullptr) return E_INVALIDARG;
  if (nDim < 1 || nDim > psa->cDims) return DISP_E_BADINDEX;
  const SAFEARRAYBOUND& bound = psa->rgsabound[psa->cDims - nDim];
  // An empty dimension has an upper bound one below its lower bound.
  *plUbound = static_cast<LONG>(static_cast<int64_t>(bound.lLbound) + bound.cElements - 1);
  return S_OK;
}

HRESULT SafeArrayGetVartype(SAFEARRAY* psa, VARTYPE* pvt) {
  if (psa == nullptr || pvt == nullptr) return E_INVALIDARG;
  if (psa->fFeatures & FADF_HAVEVARTYPE) {
    DWORD vartype;
    memcpy(&vartype, HeaderOf(psa) + kHeaderBytes - sizeof(DWORD), sizeof(vartype));
    *pvt = static_cast<VARTYPE>(vartype);
  } else if (psa->fFeatures & FADF_HAVEIID) {
    *pvt = (psa->fFeatures & FADF_DISPATCH) ? VT_DISPATCH : VT_UNKNOWN;
  } else if (psa->fFeatures & FADF_BSTR) {
    *pvt = VT_BSTR;
  } else if (psa->fFeatures & FADF_UNKNOWN) {
    *pvt = VT_UNKNOWN;
  } else if (psa->fFeatures & FADF_DISPATCH) {
    *pvt = VT_DISPATCH;
  } else if (psa->fFeatures & FADF_VARIANT) {
    *pvt = VT_VARIANT;
  } else {
    *pvt = VT_EMPTY;
    return E_INVALIDARG;
  }
  return S_OK;
}

HRESULT SafeArrayGetElement(SAFEARRAY* psa, LONG* rgIndices, void* pv) {
  if (psa == nullptr || rgIndices == nullptr || pv == nullptr) return E_INVALIDARG;
  size_t offset;
  HRESULT hr = CellOffset(psa, rgIndices, &offset);
  if (FAILED(hr)) return hr;
  hr = SafeArrayLock(psa);
  if (FAILED(hr)) return hr;
  void* cell = static_cast<unsigned char*>(psa->pvData) + offset;
  if (psa->fFeatures & FADF_VARIANT) {
    // The caller's variant is treated as uninitialised, as Windows does.
    VariantInit(static_cast<VARIANT*>(pv));
    hr = VariantCopy(static_cast<VARIANT*>(pv), static_cast<VARIANT*>(cell));
  } else {
    memset(pv, 0, psa->cbElements);
    hr = CopyElements(psa, cell, pv, 1);
  }
  SafeArrayUnlock(psa);
  return hr;
}

HRESULT SafeArrayPutElement(SAFEARRAY* psa, LONG* rgIndices, void* pv) {
  if (psa == nullptr || rgIndices == nullptr) return E_INVALIDARG;
  // Strings and interfaces are passed as the pointer itself, everything else
  // by address; a null string or interface is a legitimate value.
  const bool by_value = (psa->fFeatures & (FADF_BSTR | FADF_UNKNOWN | FADF_DISPATCH)) != 0;
  if (pv == nullptr && !by_value) return E_INVALIDARG;
  size_t offset;
  HRESULT hr = CellOffset(psa, rgIndices, &offset);
  if (FAILED(hr)) return hr;
  hr = SafeArrayLock(psa);
  if (FAILED(hr)) return hr;
  void* cell = static_cast<unsigned char*>(psa->pvData) + offset;
  if (psa->fFeatures & FADF_VARIANT) {
    hr = VariantCopy(static_cast<VARIANT*>(cell), static_cast<VARIANT*>(pv));
  } else if (psa->fFeatures & FADF_BSTR) {
    BSTR source = static_cast<BSTR>(pv);
    BSTR copy = nullptr;
    if (source != nullptr) {
      copy = SysAllocStringByteLen(reinterpret_cast<LPCSTR>(source), SysStringByteLen(source));
      if (copy == nullptr) hr = E_OUTOFMEMORY;
    }
    if (SUCCEEDED(hr)) {
      BSTR* slot = static_cast<BSTR*>(cell);
      SysFreeString(*slot);
      *slot = copy;
    }
  } else if (psa->fFeatures & (FADF_UNKNOWN | FADF_DISPATCH)) {
    IUnknown* item = static_cast<IUnknown*>(pv);
    if (item != nullptr) item->AddRef();
    IUnknown** slot = static_cast<IUnknown**>(cell);
    if (*slot != nullptr) (*slot)->Release();
    *slot = item;
  } else {
    memcpy(cell, pv, psa->cbElements);
  }
  SafeArrayUnlock(psa);
  return hr;
}

HRESULT SafeArrayCopy(SAFEARRAY* psa, SAFEARRAY** ppsaOut) {
  if (ppsaOut == nullptr) return E_INVALIDARG;
  *ppsaOut = nullptr;
  if (psa == nullptr) return S_OK;
  if (psa->cDims == 0) return E_INVALIDARG;
  size_t count;
  if (!CountElements(psa, &count)) return E_OUTOFMEMORY;
  unsigned char* block =
      static_cast<unsigned char*>(malloc(kHeaderBytes + DescriptorBytes(psa->cDims)));
  if (block == nullptr) return E_OUTOFMEMORY;
  memcpy(block, HeaderOf(psa), kHeaderBytes + DescriptorBytes(psa->cDims));
  SAFEARRAY* copy = reinterpret_cast<SAFEARRAY*>(block + kHeaderBytes);
  copy->cLocks = 0;
  // The copy always owns its memory, whatever the source's storage was.
  copy->fFeatures &= ~(FADF_AUTO | FADF_STATIC | FADF_EMBEDDED | FADF_FIXEDSIZE);
  copy->pvData = AllocateData(count * psa->cbElements);
  if (copy->pvData == nullptr) {
    free(block);
    return E_OUTOFMEMORY;
  }
  if (count > 0) {
    const HRESULT hr = CopyElements(psa, psa->pvData, copy->pvData, count);
    if (FAILED(hr)) {
      free(copy->pvData);
      free(block);
      return hr;
    }
  }
  *ppsaOut = copy;
  return S_OK;
}

HRESULT SafeArrayRedim(SAFEARRAY* psa, SAFEARRAYBOUND* psaboundNew) {
  if (psa == nullptr || psaboundNew == nullptr || psa->cDims == 0) return E_INVALIDARG;
  if (psa->cLocks > 0) return DISP_E_ARRAYISLOCKED;
  // Memory the array does not own cannot be moved.
  if (psa->fFeatures & (FADF_FIXEDSIZE | FADF_AUTO | FADF_STATIC | FADF_EMBEDDED))
    return E_INVALIDARG;
  size_t old_count;
  if (!CountElements(psa, &old_count)) return E_UNEXPECTED;
  const SAFEARRAYBOUND old_bound = psa->rgsabound[0];
  psa->rgsabound[0] = *psaboundNew;
  size_t new_count;
  if (!CountElements(psa, &new_count)) {
    psa->rgsabound[0] = old_bound;
    return E_OUTOFMEMORY;
  }
  if (new_count < old_count) {
    // Elements past the new end are released before the memory shrinks.
    ReleaseElements(psa, psa->pvData, new_count, old_count - new_count);
  }
  if (new_count != old_count) {
    const size_t bytes = new_count * psa->cbElements;
    void* data = realloc(psa->pvData, bytes == 0 ? 1 : bytes);
    if (data == nullptr) {
      // A smaller array still fits the old block.
      if (new_count < old_count) return S_OK;
      psa->rgsabound[0] = old_bound;
      return E_OUTOFMEMORY;
    }
    if (new_count > old_count) {
      memset(static_cast<unsigned char*>(data) + old_count * psa->cbElements, 0,
             (new_count - old_count) * psa->cbElements);
    }
    psa->pvData = data;
  }
  return S_OK;
}

}  // extern "C"
