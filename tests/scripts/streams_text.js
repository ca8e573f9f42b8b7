// TextStream from a script: both encodings, lines and counters, the
// look-ahead, modes, and the failures a script sees.
eval(new ActiveXObject("Quennel.Tessary").OpenTextFile(WScript.ScriptFullName.replace(/[^\\]*$/, "lib\\checks.js")).ReadAll());

var DISP_E_EXCEPTION = -2147352567;  // 0x80020009
var E_ACCESSDENIED = -2147024891;    // 0x80070005
var INVALID_HANDLE = -2147024890;    // 0x80070006
var E_INVALIDARG = -2147024809;      // 0x80070057
var FILE_EXISTS = -2147024816;       // 0x80070050
var ForReading = 1, ForWriting = 2, ForAppending = 8;
var TristateTrue = -1, TristateFalse = 0, TristateUseDefault = -2;

var root = new ActiveXObject("Quennel.Tessary");

// The bytes of a file, through a variant array.
function bytesOf(name) {
  var b = root.OpenBinaryFile(name);
  var all = new VBArray(b.ReadVarAll()).toArray();
  b.Close();
  return all;
}

function write(name, text) {
  var t = root.CreateTextFile(name);
  t.Write(text);
  t.Close();
}

// --- Unicode: every character back unchanged, through lines longer than
// one request and through the look-ahead.
var wide = "caf\u00e9 \u20ac \u4e2d\u6587 \uD83D\uDE00 \u0410\u0411";
var long_line = "";
for (var i = 0; i < 40; ++i) long_line += wide;
var t = root.CreateTextFile("unicode.txt", true, true);
t.WriteLine(wide);
t.WriteLine(long_line);
t.Write("last");
t.Close();
var bytes = bytesOf("unicode.txt");
assert(bytes[0] == 255 && bytes[1] == 254, "a Unicode file starts with FF FE");
assert(bytes[2] == 99 && bytes[3] == 0, "text follows as UTF-16LE");

t = root.OpenTextFile("unicode.txt", ForReading, false, TristateUseDefault);
assert(t.AtEndOfLine === false, "a peek at the first line");
assert(t.ReadLine() === wide, "first Unicode line unchanged");
assert(t.ReadLine() === long_line, "long Unicode line unchanged");
assert(t.Line == 3, "Line after two lines: " + t.Line);
assert(t.ReadLine() === "last", "last line");
assert(t.AtEndOfStream === true, "at the end");
t.Close();

// --- ANSI: text in the system code page. Where that code page is UTF-8
// (POSIX) every character survives; elsewhere only those it holds.
var probe = root.CreateTextFile("probe.txt");
probe.Write("\u20ac");
probe.Close();
var utf8 = bytesOf("probe.txt").length == 3;
var ansi_text = utf8 ? wide + " " + long_line : "caf\u00e9 na\u00efve";
write("ansi.txt", ansi_text + "\r\nsecond");
t = root.OpenTextFile("ansi.txt");
assert(t.ReadLine() === ansi_text, "ANSI line round trip");
assert(t.ReadLine() === "second", "second ANSI line");
assert(t.AtEndOfStream, "ANSI at the end");
t.Close();
if (!utf8) WScript.Echo("note: the ANSI code page is not UTF-8; non-Latin text not tried");

// --- Lines and counters.
write("lines.txt", "abc\r\n");
t = root.OpenTextFile("lines.txt");
assert(t.ReadLine() === "abc", "one line");
assert(t.AtEndOfStream === false, "a final break leaves an empty line");
assert(t.ReadLine() === "", "the empty line");
assert(t.AtEndOfStream === true, "then the end");
t.Close();

write("lf.txt", "a\nb\nc");
t = root.OpenTextFile("lf.txt");
assert(t.ReadLine() === "a\nb\nc", "lone LF is no line break");
t.Close();

var x127 = "";
for (i = 0; i < 127; ++i) x127 += "x";
write("boundary.txt", x127 + "\r\nnext");
t = root.OpenTextFile("boundary.txt");
assert(t.ReadLine() === x127, "CR LF across the 128th character");
assert(t.ReadLine() === "next", "line after the boundary");
t.Close();

write("read3.txt", "xy\r\nzw");
t = root.OpenTextFile("read3.txt");
assert(t.Read(3) === "xy\r", "first Read(3)");
assert(t.Line == 1 && t.Column == 4, "after first Read(3): " + t.Line + "," + t.Column);
assert(t.Read(3) === "\nzw", "second Read(3)");
assert(t.Line == 2, "the split pair counts as a break: " + t.Line);
t.Close();

write("peek.txt", "xyz\r\n");
t = root.OpenTextFile("peek.txt");
assert(t.AtEndOfLine === false, "peek x y");
assert(t.Read(1) === "x", "Read(1) after the peek");
assert(t.AtEndOfLine === false, "peek y z");
assert(t.ReadLine() === "yz", "nothing duplicated by the peeks");
t.Close();

write("skip.txt", "abcdef");
t = root.OpenTextFile("skip.txt");
t.Skip(2);
assert(t.Read(1) === "c", "Skip then Read");
t.Close();
// Skip moves in the file: what the line search already took comes first.
write("skip.txt", "1\r\n2\r\n3");
t = root.OpenTextFile("skip.txt");
t.SkipLine();
t.Skip(1);
assert(t.Line == 2, "SkipLine counts a line");
assert(t.ReadAll() === "2\r\n3", "SkipLine, Skip, ReadAll");
t.Close();

// --- Modes: ForWriting does not truncate; ForAppending adds at the end.
write("modes.txt", "0123456789");
t = root.OpenTextFile("modes.txt", ForWriting);
t.Write("ab");
t.Close();
t = root.OpenTextFile("modes.txt", ForAppending);
t.WriteLine("!");
t.WriteBlankLines(2);
t.Close();
t = root.OpenTextFile("modes.txt");
assert(t.ReadAll() === "ab23456789!\r\n\r\n\r\n", "ForWriting then ForAppending");
t.Close();

t = root.OpenTextFile("created.txt", ForWriting, true, TristateTrue);
t.Write("\u4e2d");
t.Close();
t = root.OpenTextFile("created.txt", ForReading, false, TristateUseDefault);
assert(t.ReadAll() === "\u4e2d", "a Unicode file made by OpenTextFile reads back");
t.Close();

// --- Failures.
var e = failure(function () { root.OpenTextFile("never.txt", 4, true); });
assert(e.number == DISP_E_EXCEPTION, "unknown mode number " + e.number);
assert(e.description == "Unknown Mode.", "unknown mode text: " + e.description);
assert(root.FileExists("never.txt") === false, "an unknown mode creates nothing");

e = failure(function () { root.CreateTextFile("modes.txt", false); });
assert(e.number == FILE_EXISTS, "CreateTextFile without overwrite " + e.number);

t = root.OpenTextFile("modes.txt", ForWriting);
e = failure(function () { t.ReadLine(); });
assert(e.number == E_ACCESSDENIED, "reading a write-only stream " + e.number);
t.Close();
e = failure(function () { t.WriteLine("late"); });
assert(e.number == INVALID_HANDLE, "writing after Close " + e.number);

t = root.OpenTextFile("modes.txt");
e = failure(function () { t.Write("x"); });
assert(e.number == E_ACCESSDENIED, "writing a read-only stream " + e.number);
e = failure(function () { t.Read(-1); });
assert(e.number == E_INVALIDARG, "negative Read " + e.number);
e = failure(function () { t.Skip(-1); });
assert(e.number == E_INVALIDARG, "negative Skip " + e.number);
e = failure(function () { t.WriteBlankLines(-1); });
assert(e.number == E_INVALIDARG, "negative WriteBlankLines " + e.number);
t.Close();
assert(bytesOf("modes.txt").length == 17, "no failure changed the file");

WScript.Echo("text streams ok");
