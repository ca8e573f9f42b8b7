// args: €€€€€€€€€€€€€€€€€€€€€€€€€€€€€€€€€€€€€€€€€€€€€€€€€€€€€€€€€€€€€€€€€€€€€€€€€€€€€€€€€€€€€€€€€€€€€€€€€€€€€€€€€€€€€€€€€€€€€€€€
// A long non-ASCII argument arrives whole (engine strings longer than a
// small buffer take another path).
eval(new ActiveXObject("Quennel.Tessary").OpenTextFile(WScript.ScriptFullName.replace(/[^\\]*$/, "lib\\checks.js")).ReadAll());

var arg = WScript.Arguments(0);
assert(arg.length == 120, "length " + arg.length);
for (var i = 0; i < arg.length; ++i) assert(arg.charCodeAt(i) == 0x20ac, "character " + i);
var built = "";
for (var j = 0; j < 120; ++j) built += "\u20ac";
assert(arg === built, "equal to the same text built in the script");
WScript.Echo("long strings ok");
