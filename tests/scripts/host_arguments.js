// args: one "two words" ü 😀
// WScript.Arguments and the script's names.
eval(new ActiveXObject("Quennel.Tessary").OpenTextFile(WScript.ScriptFullName.replace(/[^\\]*$/, "lib\\checks.js")).ReadAll());

var args = WScript.Arguments;
assert(args.length == 4, "length " + args.length);
assert(args.Count() == 4, "Count " + args.Count());
assert(args.Item(0) == "one", "Item(0)");
assert(args(1) == "two words", "Arguments(1)");
assert(args(2) == "\u00fc", "non-ASCII argument");
assert(args(3) == "\uD83D\uDE00", "supplementary character argument");
assert(args(3).length == 2, "a surrogate pair counts two");

var seen = [];
for (var e = new Enumerator(args); !e.atEnd(); e.moveNext()) seen.push(e.item());
assert(seen.length == 4 && seen[1] == "two words", "Enumerator over the arguments");

var failed = false;
try {
  args.Item(4);
} catch (err) {
  failed = true;
}
assert(failed, "an index past the end throws");

assert(WScript.ScriptName == "host_arguments.js", "ScriptName " + WScript.ScriptName);
var full = WScript.ScriptFullName;
assert(full.length > WScript.ScriptName.length &&
       full.substring(full.length - WScript.ScriptName.length) == WScript.ScriptName,
       "ScriptFullName " + full);
WScript.Echo("arguments ok");
