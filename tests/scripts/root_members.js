// Blobs, RegisterDLL and the permission members from a script, as far as a
// script can reach them without a field object of its own.
eval(new ActiveXObject("Quennel.Tessary").OpenTextFile(WScript.ScriptFullName.replace(/[^\\]*$/, "lib\\checks.js")).ReadAll());
var NO_ACL = "This item has no ACL, check it can be secured (e.g. not a FAT formated drive)";

var fso = new ActiveXObject("Quennel.Tessary");
var base = fso.BuildPath(fso.GetAbsolutePathName(""), "root_members");
fso.CreateFolder(base);
var text = fso.BuildPath(base, "text.txt");
fso.CreateFile(text);

// A field must be an object: text is refused before a target is made. (The
// number of a failure with a text is the engine's own choice, so only the
// text is compared.)
var e = failure(function () { fso.ExportToBlob(text, "field"); });
assert(e.description == "Incorrect parameter", "ExportToBlob of text: " + e.description);
var target = fso.BuildPath(base, "target.bin");
e = failure(function () { fso.ImportFromBlob(42, target); });
assert(e.description == "Incorrect parameter", "ImportFromBlob of a number: " + e.description);
assert(!fso.FileExists(target), "no target for a refused field");

// A text file is no module; a missing file cannot be loaded.
e = failure(function () { fso.RegisterDLL(text); });
assert(hex(e.number) == "800700c1", "RegisterDLL of a text file: " + hex(e.number));
e = failure(function () { fso.RegisterDLL(fso.BuildPath(base, "missing.dll"), false); });
assert(hex(e.number) == "8007007e", "RegisterDLL of a missing file: " + hex(e.number));

var items = [fso.GetFile(text), fso.GetFolder(base)];
for (var i = 0; i < items.length; i++) {
  var item = items[i];
  // Not every engine passes the text of a failing enumerator request on.
  e = failure(function () { new Enumerator(item); });
  assert(e.description == NO_ACL || e.description == "",
         "the entries of " + item.Name + ": " + e.description);
  e = failure(function () { item.AllowAccess("Everyone", 2); });
  assert(hex(e.number) == "80004001", "AllowAccess is not provided: " + hex(e.number));
  item.AccountServer = "\\\\server";
  assert(item.AccountServer == "\\\\server", "AccountServer keeps the text: " + item.AccountServer);
}
WScript.Echo("done");
