// INI files from a script: the eight entries, and the bytes each write
// leaves in the file (printed, so that the Windows run compares them).
eval(new ActiveXObject("Quennel.Tessary").OpenTextFile(WScript.ScriptFullName.replace(/[^\\]*$/, "lib\\checks.js")).ReadAll());
var fso = new ActiveXObject("Quennel.Tessary");
var ini = fso.BuildPath(fso.GetAbsolutePathName(""), "ini_test.ini");
if (fso.FileExists(ini)) fso.DeleteFile(ini);

function bytes() {
  var s = fso.OpenTextFile(ini, 1).ReadAll();
  return s.replace(/\r/g, "\\r").replace(/\n/g, "\\n");
}

assert(fso.INIReadString(ini, "s", "k", "dflt") == "dflt", "missing file gives the default");
assert(fso.INIReadInteger(ini, "s", "k") == -1, "integer default");
assert(fso.INIReadBoolean(ini, "s", "k") == 0, "boolean default");

fso.INIWriteString(ini, "Main", "Name", "value");
fso.INIWriteInteger(ini, "Main", "Count", -42);
fso.INIWriteBoolean(ini, "Main", "On", -1);
fso.INIWriteString(ini, "Other", "Empty", "");
WScript.Echo("written: " + bytes());

fso.INIWriteString(ini, "MAIN", "name", "changed");
WScript.Echo("changed: " + bytes());

var long = new Array(5001).join("x");
fso.INIWriteString(ini, "main", "long", long);
assert(fso.INIReadString(ini, "main", "LONG") == long, "5000 characters read whole");
assert(fso.INIReadString(ini, "main", "name") == "changed", "names ignore case");
assert(fso.INIReadInteger(ini, "main", "count") == -42, "integer read");
assert(fso.INIReadInteger(ini, "main", "name", 7) == 7, "text is no integer");
assert(fso.INIReadInteger(ini, "other", "empty", 7) == 7, "empty is no integer");
assert(fso.INIReadBoolean(ini, "main", "on") == 1, "boolean read");
assert(fso.INIReadBoolean(ini, "main", "name", -1) == -1, "text is no boolean");
assert(fso.INIReadBoolean(ini, "main", "missing", -1) == 1, "a missing boolean takes its default's truth");

fso.INIDeleteKey(ini, "main", "long");
fso.INIDeleteKey(ini, "main", "no such key");
fso.INIDeleteSection(ini, "no such section");
fso.INIDeleteSection(ini, "other");
WScript.Echo("deleted: " + bytes());

var e = null;
try {
  fso.INIWriteString(fso.GetAbsolutePathName(""), "s", "k", "v");
} catch (x) {
  e = x;
}
assert(e != null && hex(e.number) == "80070005", "a folder cannot be written as an INI file");
WScript.Echo("folder: " + hex(e.number));
fso.DeleteFile(ini);
