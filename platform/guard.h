// Where C++ ends. Callers of the module, of the platform services and of the
// script engine's native functions are C or COM code that knows nothing of
// C++ exceptions: an exception leaving such a function either ends the
// process or unwinds frames that were never built to be unwound. Every entry
// from outside therefore runs its body through one of these, which turn an
// escaping exception into the failure the entry's convention has:
//
//   std::bad_alloc     E_OUTOFMEMORY     ERROR_NOT_ENOUGH_MEMORY
//   anything else      E_UNEXPECTED      ERROR_INTERNAL_ERROR
//
// The same header serves both systems; it adds no system dependence.
#pragma once

#include <new>

#include "platform/system.h"

namespace tessary {

// Runs `body`; when it throws, returns `on_exception(hr)` instead, `hr`
// naming what was thrown as above. `on_exception` must not throw itself.
template <class Body, class OnException>
auto Guard(Body&& body, OnException&& on_exception) noexcept -> decltype(body()) {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return on_exception(E_OUTOFMEMORY);
  } catch (...) {
    return on_exception(E_UNEXPECTED);
  }
}

// For entries that return an HRESULT.
template <class Body>
HRESULT GuardHr(Body&& body) noexcept {
  return Guard(body, [](HRESULT hr) { return hr; });
}

// For the Win32-style services: the thread's last error tells what happened
// and the service answers its own failure value (FALSE, 0, null, ...).
inline DWORD Win32ErrorFor(HRESULT hr) {
  return hr == E_OUTOFMEMORY ? ERROR_NOT_ENOUGH_MEMORY : ERROR_INTERNAL_ERROR;
}

template <class Result, class Body>
Result GuardWin32(Result failure, Body&& body) noexcept {
  return Guard(body, [&failure](HRESULT hr) {
    SetLastError(Win32ErrorFor(hr));
    return failure;
  });
}

// For services that return their error instead of setting it (the
// registry's LSTATUS).
template <class Body>
LONG GuardStatus(Body&& body) noexcept {
  return Guard(body, [](HRESULT hr) { return static_cast<LONG>(Win32ErrorFor(hr)); });
}

// For services without a result.
template <class Body>
void GuardVoid(Body&& body) noexcept {
  Guard(body, [](HRESULT hr) { SetLastError(Win32ErrorFor(hr)); });
}

}  // namespace tessary
