// Conversions between script values and automation values.
//
// Script to automation: undefined -> VT_EMPTY, null -> VT_NULL, boolean ->
// VT_BOOL, an integral number in int32 range -> VT_I4 and any other number ->
// VT_R8, string -> VT_BSTR, a dispatch object -> VT_DISPATCH, Uint8Array (any
// buffer) -> VT_ARRAY|VT_UI1, Date -> VT_DATE, an array value received
// earlier (or its VBArray) -> that array again, any other object (arrays and
// functions too) -> VT_DISPATCH over the script object (host/script_object.h).
//
// Automation to script: VT_EMPTY -> undefined, VT_NULL -> null, numbers (I1..
// UI8, R4, R8, INT, UINT, CY, DECIMAL) -> number, VT_BOOL -> boolean, VT_BSTR
// -> string (a null BSTR is ""), VT_DATE -> Date, VT_DISPATCH -> the script
// object it stands for, else a dispatch object, the same one while the
// script holds it (null -> null), VT_UNKNOWN -> dispatch object when it has IDispatch,
// else an opaque value Enumerator accepts, a one-dimensional VT_UI1 array ->
// Uint8Array, any other array -> an opaque value for `new VBArray(v)`,
// VT_BYREF -> the value referred to, VT_ERROR -> undefined for a missing
// argument, else its code.
//
// Dates are automation dates in local time, converted as the Windows engine
// does: the Date's local calendar fields to and from a SYSTEMTIME, through
// SystemTimeToVariantTime and VariantTimeToSystemTime (whole seconds, years
// 100 to 9999; a date outside them fails with DISP_E_OVERFLOW).
#pragma once

#include "host/engine.h"

namespace tessary::host {

void InstallValues(duk_context* ctx);

// Pushes the value of `v` without taking it over.
void PushVariant(duk_context* ctx, const VARIANT* v);
// Pushes the value of `v` and clears `v`, also when pushing fails.
void PushAndClear(duk_context* ctx, VARIANT* v);

// Converts the `count` stack values from `first` into `out` in DISPPARAMS
// order (last value first). `out` must be zeroed; on failure every element
// is cleared and the error rethrown.
void ToVariants(duk_context* ctx, duk_idx_t first, duk_idx_t count, VARIANT* out);
void ClearVariants(VARIANT* values, size_t count);

// Pushes an opaque array value that owns `array` (destroyed on failure).
void PushArrayValue(duk_context* ctx, SAFEARRAY* array, VARTYPE vt);
// Reads one element of an array as a shallow VARIANT (nothing to clear).
bool ElementAsVariant(VARTYPE vt, const void* element, VARIANT* out);

}  // namespace tessary::host
