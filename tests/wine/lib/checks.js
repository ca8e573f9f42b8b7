// What every JScript Wine test shares; tests/wine/run puts this file where a
// test says "// @include lib/checks.js", as it does for VBScript.
// The object under test, the working folder (argument 0), the failure count.
var root = new ActiveXObject("Quennel.Tessary");
var work = WScript.Arguments(0);
var failures = 0;

function check(ok, what) {
  if (!ok) {
    ++failures;
    WScript.Echo("FAIL " + what);
  }
}

function hex(n) {
  return (n < 0 ? n + 0x100000000 : n).toString(16).toUpperCase();
}
