// BinaryStream from a script: byte arrays in and out, Fill, Skip, the
// at-end flag, modes, and what Write refuses.
eval(new ActiveXObject("Quennel.Tessary").OpenTextFile(WScript.ScriptFullName.replace(/[^\\]*$/, "lib\\checks.js")).ReadAll());

var DISP_E_EXCEPTION = -2147352567;  // 0x80020009
var E_ACCESSDENIED = -2147024891;    // 0x80070005
var INVALID_HANDLE = -2147024890;    // 0x80070006
var E_INVALIDARG = -2147024809;      // 0x80070057
var NEGATIVE_SEEK = -2147024765;     // 0x80070083
var ForReading = 1, ForWriting = 2, ForAppending = 8;

var root = new ActiveXObject("Quennel.Tessary");

function bytes(v) { return new VBArray(v).toArray(); }
function same(a, b) {
  if (a.length != b.length) return false;
  for (var i = 0; i < a.length; ++i) if (a[i] != b[i]) return false;
  return true;
}
function contents(name) {
  var s = root.OpenBinaryFile(name);
  var all = bytes(s.ReadVarAll());
  s.Close();
  return all;
}

// Strings are written as their UTF-16LE bytes; Fill writes the low byte.
var s = root.CreateBinaryFile("b.bin");
s.Write("A\u20ac");
s.Fill(0x141, 3);
s.Fill(0, 0);
s.Close();
assert(same(contents("b.bin"), [65, 0, 0xAC, 0x20, 65, 65, 65]), "written bytes " + contents("b.bin"));

// Reaching the last byte is not the end; the next, empty read is.
s = root.OpenBinaryFile("b.bin");
assert(s.AtEndOfStream === false, "not at the end at first");
assert(same(bytes(s.ReadVar(7)), [65, 0, 0xAC, 0x20, 65, 65, 65]), "ReadVar(7)");
assert(s.AtEndOfStream === false, "still not at the end");
assert(bytes(s.ReadVar(7)).length == 0, "nothing more");
assert(s.AtEndOfStream === true, "now at the end");
s.Skip(-3);
assert(same(bytes(s.ReadVar(10)), [65, 65, 65]), "ReadVar near the end after Skip(-3)");
var e = failure(function () { s.Skip(-100); });
assert(e.number == NEGATIVE_SEEK, "skipping before the start " + e.number);
s.Close();
e = failure(function () { s.Read(1); });
assert(e.number == INVALID_HANDLE, "reading after Close " + e.number);
s.Close();

// A byte array read from one stream writes to another unchanged; a file
// copied in 4 KiB pieces comes out the same.
var src = root.CreateBinaryFile("src.bin");
for (var i = 0; i < 64; ++i) src.Fill(i * 7, 1000 + i);
src.Close();
var from = root.OpenBinaryFile("src.bin");
var to = root.CreateBinaryFile("copy.bin");
while (!from.AtEndOfStream) to.Write(from.Read(4096));
from.Close();
to.Close();
assert(same(contents("copy.bin"), contents("src.bin")), "copy in pieces");
var whole = root.OpenBinaryFile("src.bin");
to = root.CreateBinaryFile("copy2.bin");
to.Write(whole.ReadAll());
to.Close();
whole.Close();
assert(same(contents("copy2.bin"), contents("src.bin")), "copy with ReadAll");

// Modes: ForWriting overwrites without truncating, ForAppending adds.
s = root.OpenBinaryFile("b.bin", ForWriting);
s.Fill(1, 2);
s.Close();
s = root.OpenBinaryFile("b.bin", ForAppending);
s.Fill(2, 1);
s.Close();
assert(same(contents("b.bin"), [1, 1, 0xAC, 0x20, 65, 65, 65, 2]), "ForWriting then ForAppending");

// What Write refuses, and misuse of modes and counts.
s = root.OpenBinaryFile("b.bin", ForWriting);
e = failure(function () { s.Write(12345); });
assert(e.number == DISP_E_EXCEPTION, "Write(number) " + e.number);
assert(e.description == "Couldn't convert type to Array of bytes.", "Write text: " + e.description);
e = failure(function () { s.Write([1, 2, 3]); });
assert(e.number == DISP_E_EXCEPTION, "Write(array of variants) " + e.number);
e = failure(function () { s.Write(root); });
assert(e.number == DISP_E_EXCEPTION, "Write(object) " + e.number);
e = failure(function () { s.Read(1); });
assert(e.number == E_ACCESSDENIED, "reading a write-only stream " + e.number);
e = failure(function () { s.Fill(0, -1); });
assert(e.number == E_INVALIDARG, "negative Fill " + e.number);
s.Close();
s = root.OpenBinaryFile("b.bin");
e = failure(function () { s.Write("x"); });
assert(e.number == E_ACCESSDENIED, "writing a read-only stream " + e.number);
e = failure(function () { s.Read(-1); });
assert(e.number == E_INVALIDARG, "negative Read " + e.number);
assert(bytes(s.ReadVar(2147483647)).length == 8, "a huge count reads what there is");
s.Close();
assert(same(contents("b.bin"), [1, 1, 0xAC, 0x20, 65, 65, 65, 2]), "failures changed nothing");

e = failure(function () { root.OpenBinaryFile("never.bin", 4, true); });
assert(e.number == DISP_E_EXCEPTION && e.description == "Unknown Mode.", "unknown mode");
assert(root.FileExists("never.bin") === false, "an unknown mode creates nothing");

WScript.Echo("binary streams ok");
