// Values crossing between the script and the module: strings (every UTF-16
// unit, surrogate pairs included), numbers coerced by the module, booleans,
// omitted optional arguments, objects and their default values.
eval(new ActiveXObject("Quennel.Tessary").OpenTextFile(WScript.ScriptFullName.replace(/[^\\]*$/, "lib\\checks.js")).ReadAll());

var root = new ActiveXObject("Quennel.Tessary");

// Strings round-trip unchanged.
var names = ["plain.txt", "caf\u00e9.txt", "\u20ac and \u00a3", "\uD83D\uDE00.txt",
             "a\uD83D\uDE00b\u00e9\uD834\uDD1E", "x y  z"];
for (var i = 0; i < names.length; ++i) {
  var back = root.GetFileName("C:\\folder\\" + names[i]);
  assert(back === names[i], "string round trip of " + names[i] + ", got " + back);
  assert(back.length == names[i].length, "length kept for " + names[i]);
}
assert(root.GetFileName("") === "", "an empty string");

// A whole number goes in as an integer; the module turns it into text.
assert(root.GetFileName(12) === "12", "number coerced to text");
assert(root.GetFileName(-7) === "-7", "negative number coerced to text");

// Booleans come back as booleans; an optional argument may be left out.
root.CreateFile("probe.txt");
var exists = root.FileExists("probe.txt");
assert(typeof exists == "boolean" && exists === true, "FileExists is a boolean true");
assert(root.FolderExists("probe.txt") === false, "FolderExists is a boolean false");

// A failing member carries the module's text and source.
var failed = false;
try {
  root.CreateFile("probe.txt", false);
} catch (e) {
  failed = true;
  assert(e.number < 0, "an HRESULT");
  assert(typeof e.description == "string" && e.description.length > 0, "a description");
  assert(e.message == e.description, "message is the description");
  assert(typeof e.source == "string" && e.source.length > 0, "a source");
}
assert(failed, "creating an existing file without overwriting fails");
root.DeleteFile("probe.txt");
assert(root.FileExists("probe.txt") === false, "the file is gone");

// Objects come back as objects; their default value is their path.
var folder = root.GetFolder(".");
assert(folder != null, "GetFolder returns an object");
var path = folder.Path;
assert(typeof path == "string" && path.length > 0, "Folder.Path");
assert("" + folder == path, "default value in string concatenation");
assert(folder == path, "default value in comparison");
var same = root.GetFolder(path);
assert(same.Path == path, "an object's path passes back in");

// A Date goes in as an automation date in local time: the module's text for
// it shows the same wall-clock time in every time zone. (The text's format
// is this system's; the Windows one follows the user's locale.)
if (WScript.Name == "tessary-run") {
  var text = root.GetFileName(new Date(2000, 0, 2, 3, 4, 5));
  assert(text == "2000 3:04:05 AM", "date as local time: " + text);
  text = root.GetFileName(new Date(1500, 6, 1, 23, 59, 58));
  assert(text == "1500 11:59:58 PM", "an early date as local time: " + text);
  failed = false;
  try {
    root.GetFileName(new Date(NaN));
  } catch (e) {
    failed = true;
    assert(e.number == -2147352566, "an invalid date has no automation form: " + e.number);
  }
  assert(failed, "an invalid date fails");
}
WScript.Echo(folder.Name);
