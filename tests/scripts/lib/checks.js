// The checks every portable script test shares. A script loads this file
// with eval at global scope, so the functions become its own globals and its
// own lines keep their numbers in what the host reports.
function assert(condition, what) {
  if (!condition) throw new Error("assertion failed: " + what);
}

// The error f throws; a call that does not throw fails the script.
function failure(f) {
  try {
    f();
  } catch (e) {
    return e;
  }
  throw new Error("no error thrown");
}

// An HRESULT as the unsigned hexadecimal number it is written as.
function hex(n) {
  return (n < 0 ? n + 0x100000000 : n).toString(16);
}

// f must fail with the HRESULT `number`.
function failsWithNumber(f, number, what) {
  var e;
  try {
    f();
  } catch (caught) {
    e = caught;
  }
  assert(e !== undefined, what + " does not fail");
  assert(e.number == number, what + ": number " + hex(e.number));
}
