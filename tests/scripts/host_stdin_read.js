// WScript.StdIn over a pipe: CR LF and LF both end a line, text is UTF-8,
// counts are UTF-16 code units, and reading past the end fails.
//< first\r
//< café 😀
//<
//< abc\rdef
//< tail1\r
//<| last
eval(new ActiveXObject("Quennel.Tessary").OpenTextFile(WScript.ScriptFullName.replace(/[^\\]*$/, "lib\\checks.js")).ReadAll());

var input = WScript.StdIn;
assert(input.Line == 1 && input.Column == 1, "starts at line 1, column 1");
assert(!input.AtEndOfStream && !input.AtEndOfLine, "text waits");
assert(input.ReadLine() == "first", "CR LF ends a line and is not part of it");
assert(input.Line == 2 && input.Column == 1, "the line end moves to the next line");

assert(input.Read(3) == "caf", "Read counts characters");
assert(input.Column == 4, "Column after Read");
assert(input.Read(1) == "\u00e9", "a two-byte character is one unit");
input.Skip(1);
assert(input.Read(2) == "\uD83D\uDE00", "a supplementary character is two units");
assert(input.AtEndOfLine, "before LF");
assert(input.ReadLine() == "", "the rest of a line");

assert(input.AtEndOfLine, "an empty line");
input.SkipLine();
assert(input.Line == 4, "SkipLine passes one line");

assert(input.ReadLine() == "abc\rdef", "a CR inside a line is text");
assert(input.Read(5) == "tail1" && input.AtEndOfLine, "before CR LF");
failsWithNumber(function () { input.Read(-1); }, 0x800A0005 | 0, "a negative count");
assert(input.Read(0) == "", "Read(0)");
assert(input.ReadAll() == "\r\nlast", "ReadAll takes the rest as it is");
assert(input.AtEndOfStream && input.AtEndOfLine, "at the end");
assert(input.Line == 6 && input.Column == 5, "position at the end: " + input.Line + "," +
       input.Column);

failsWithNumber(function () { input.ReadLine(); }, 0x800A003E | 0, "ReadLine at the end");
failsWithNumber(function () { input.Read(1); }, 0x800A003E | 0, "Read at the end");
failsWithNumber(function () { input.ReadAll(); }, 0x800A003E | 0, "ReadAll at the end");
failsWithNumber(function () { input.SkipLine(); }, 0x800A003E | 0, "SkipLine at the end");
failsWithNumber(function () { input.Write("x"); }, 0x800A0036 | 0, "writing standard input");
failsWithNumber(function () { return WScript.StdOut.AtEndOfStream; }, 0x800A0036 | 0,
      "reading standard output");
WScript.Echo("stdin ok");
