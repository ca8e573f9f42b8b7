// WScript.Arguments.Named and Unnamed split as the Windows host splits them.
// args: first '/Path:C:/dir/a b.txt' /Verbose+ '/quiet-' '/msg:x: y' / /flag 'two words' /path:again /empty: '/+'
eval(new ActiveXObject("Quennel.Tessary").OpenTextFile(WScript.ScriptFullName.replace(/[^\\]*$/, "lib\\checks.js")).ReadAll());

var args = WScript.Arguments;
assert(args.length == 11 && args(1) == "/Path:C:/dir/a b.txt", "Arguments unchanged");

var named = args.Named;
assert(named.length == 6 && named.Count() == 6, "six names, a repeated one once: " + named.length);
assert(named("path") == "again" && named.Item("PATH") == "again",
       "names in any case; the last value wins");
assert(named("msg") == "x: y", "the value runs from the first colon, spaces included");
assert(named("verbose") === true && named("Quiet") === false, "/name+ and /name-");
assert(named("flag") === "" && named("empty") === "", "a switch without a value");
assert(named.Exists("FLAG") && !named.Exists("first") && !named.Exists("two"), "Exists");
assert(named("missing") === undefined, "an absent name reads as empty");
var seen = [];
for (var e = new Enumerator(named); !e.atEnd(); e.moveNext()) seen.push(e.item());
assert(seen.join(",") == "Path,Verbose,quiet,msg,flag,empty", "names in order: " + seen);

var unnamed = args.Unnamed;
assert(unnamed.length == 4 && unnamed.Count() == 4, "four unnamed: " + unnamed.length);
assert(unnamed(0) == "first" && unnamed.Item(1) == "/" && unnamed(2) == "two words" &&
       unnamed(3) == "/+", "the unnamed in order");
seen = [];
for (var u = new Enumerator(unnamed); !u.atEnd(); u.moveNext()) seen.push(u.item());
assert(seen.length == 4 && seen[2] == "two words", "Enumerator over the unnamed");
failsWithNumber(function () { unnamed(4); }, 0x800A0009 | 0, "an index past the end");

// No class here loads an object from a file, and there are no running objects.
failsWithNumber(function () { GetObject(WScript.ScriptFullName); }, 0x800A01B0 | 0, "GetObject(path)");
failsWithNumber(function () { GetObject(undefined, "Quennel.Tessary"); }, 0x800A01AD | 0,
      "GetObject of a running object");
var root = GetObject("", "Quennel.Tessary");
assert(root.GetFileName("C:\\a\\b.txt") == "b.txt", "GetObject(\"\", class) creates the class");
WScript.Echo("switches ok");
