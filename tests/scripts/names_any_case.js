// A script that spells names differently from the disk finds them as on Windows.
eval(new ActiveXObject("Quennel.Tessary").OpenTextFile(WScript.ScriptFullName.replace(/[^\\]*$/, "lib\\checks.js")).ReadAll());
function names(collection) {
  var out = [];
  for (var e = new Enumerator(collection); !e.atEnd(); e.moveNext()) out.push(e.item().Name);
  return out.sort().join(",");
}

var fso = new ActiveXObject("Quennel.Tessary");
var base = fso.BuildPath(fso.GetAbsolutePathName(""), "names_any_case");
var data = base + "\\Data\\Émile";
fso.CreateFolder(data);
var stream = fso.CreateTextFile(data + "\\café.txt");
stream.Write("hello");
stream.Close();

var other = base + "\\DATA\\ÉMILE\\CAFÉ.TXT";
assert(fso.FileExists(other) && fso.FolderExists(base + "\\data\\émile"), "found in any case");
assert(fso.GetFile(other).Size == 5, "the file's size");
assert(fso.OpenTextFile(other).ReadAll() == "hello", "read through another spelling");

// Creation through another spelling meets the existing file.
var e = failure(function () { fso.CreateTextFile(base + "\\data\\ÉMILE\\Café.Txt", false); });
assert(hex(e.number) == "80070050", "CreateTextFile without overwrite, got " + hex(e.number));
stream = fso.CreateTextFile(base + "\\data\\ÉMILE\\Café.Txt", true);
stream.Write("rewritten");
stream.Close();
assert(names(fso.GetFolder(data).Files) == "café.txt", "one file, got " + names(fso.GetFolder(data).Files));
assert(fso.OpenTextFile(data + "\\café.txt").ReadAll() == "rewritten", "the file was rewritten");

// A second spelling can only be made through another spelling's entry: the
// disk keeps one file (two entries differing in case are for the unit tests,
// which make them on the host).
fso.CreateFile(base + "\\two.txt");
fso.CreateFile(base + "\\TWO.txt");
assert(names(fso.GetFolder(base).Files) == "two.txt", "one file: " + names(fso.GetFolder(base).Files));

// Renames that change only the case rename.
fso.GetFile(other).Name = "CAFÉ.txt";
fso.GetFolder(base + "\\data").Name = "DATA";
fso.MoveFile(base + "\\two.txt", base + "\\Two.TXT", false);
assert(names(fso.GetFolder(base).SubFolders) == "DATA", "folder renamed");
assert(names(fso.GetFolder(base + "\\data\\émile").Files) == "CAFÉ.txt", "file renamed");
assert(names(fso.GetFolder(base).Files) == "Two.TXT", "moved: " + names(fso.GetFolder(base).Files));

fso.DeleteFolder(base + "\\Data");
assert(!fso.FolderExists(base + "\\DATA"), "deleted through another spelling");
WScript.Echo("ok");
