// Any text, converted to each value type a script argument may need: the
// conversion must fail cleanly or succeed, never crash, leak or read past
// the string, and a successful result must survive the trip back to text.
#include <stddef.h>
#include <stdint.h>

#include "platform/system.h"

namespace {

const VARTYPE kTargets[] = {VT_I4, VT_R8, VT_BOOL, VT_DATE, VT_UI1, VT_I2};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 4096) return 0;
  const int bytes = static_cast<int>(size);
  const LPCSTR text = reinterpret_cast<LPCSTR>(data);
  // An empty input is a valid (empty) string; the code page call refuses
  // length 0, so it is made directly.
  BSTR bstr = nullptr;
  if (bytes == 0) {
    bstr = SysAllocStringLen(nullptr, 0);
  } else {
    const int wide = MultiByteToWideChar(CP_UTF8, 0, text, bytes, nullptr, 0);
    if (wide <= 0) return 0;
    bstr = SysAllocStringLen(nullptr, static_cast<UINT>(wide));
    if (bstr == nullptr) return 0;
    if (MultiByteToWideChar(CP_UTF8, 0, text, bytes, bstr, wide) != wide) __builtin_trap();
  }
  if (bstr == nullptr) return 0;

  VARIANT source;
  VariantInit(&source);
  source.vt = VT_BSTR;
  source.bstrVal = bstr;

  for (VARTYPE vt : kTargets) {
    VARIANT converted;
    VariantInit(&converted);
    const HRESULT hr = VariantChangeType(&converted, &source, 0, vt);
    if (SUCCEEDED(hr)) {
      if (converted.vt != vt) __builtin_trap();
      VARIANT back;
      VariantInit(&back);
      if (FAILED(VariantChangeType(&back, &converted, 0, VT_BSTR))) {
        __builtin_trap();
      }
      VariantClear(&back);
    } else if (hr != DISP_E_TYPEMISMATCH && hr != DISP_E_OVERFLOW) {
      __builtin_trap();
    }
    VariantClear(&converted);

    // In place, on a copy: the source must stay intact when it fails.
    VARIANT in_place;
    VariantInit(&in_place);
    if (SUCCEEDED(VariantCopy(&in_place, &source))) {
      if (FAILED(VariantChangeType(&in_place, &in_place, 0, vt)) && in_place.vt != VT_BSTR) {
        __builtin_trap();
      }
      VariantClear(&in_place);
    }
  }
  VariantClear(&source);
  return 0;
}
