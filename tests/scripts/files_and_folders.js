// File and Folder objects, their collections and whole trees from a script.
eval(new ActiveXObject("Quennel.Tessary").OpenTextFile(WScript.ScriptFullName.replace(/[^\\]*$/, "lib\\checks.js")).ReadAll());
function write(path, text) {
  var t = fso.CreateTextFile(path, true);
  t.Write(text);
  t.Close();
}

var fso = new ActiveXObject("Quennel.Tessary");
var base = fso.CreateFolder(fso.BuildPath(fso.GetAbsolutePathName(""), "ff")).Path;
write(base + "\\b.txt", "bb");
write(base + "\\A.txt", "a");
write(base + "\\c.txt", "ccc");
fso.CreateFolder(base + "\\sub");
fso.CreateFolder(base + "\\.cache");
write(base + "\\sub\\deep.txt", "1234567");

var folder = fso.GetFolder(base);
var e = failure(function () { fso.GetFile(base); });
assert(e.number == -2147024891 && e.source == "Tessary.File.1", "GetFile of a folder");
e = failure(function () { fso.GetFolder(base + "\\A.txt"); });
assert(e.description == "Argument must be a directory." && e.source == "Tessary.Folder.1", "GetFolder of a file");

// Collections: name order without regard to case, positions from 1, the
// default member called directly.
var files = folder.Files;
assert(files.Count == 3, "three files");
assert(files.Item(1).Name == "A.txt" && files(3).Name == "c.txt", "positions");
assert(files("C.TXT").Size == 3, "by name");
e = failure(function () { files.Item(4); });
assert(e.description == "Index out of range.", e.description);
var names = [];
for (var it = new Enumerator(files); !it.atEnd(); it.moveNext()) names.push(it.item().Name);
assert(names.join() == "A.txt,b.txt,c.txt", names.join());
assert(folder.SubFolders.Count == 1, ".cache is left out");
folder.SearchWildCard = "?.txt";
assert(folder.Files.Count == 3 && folder.SubFolders.Count == 0, "the wildcard filters both");

// A File keeps its path after a rename; a Folder follows its own.
var file = fso.GetFile(base + "\\b.txt");
file.Name = "renamed.txt";
assert(file.Name == "b.txt" && fso.FileExists(base + "\\renamed.txt"), "File rename");
var sub = fso.GetFolder(base + "\\sub");
sub.Name = "moved";
assert(sub.Name == "moved" && sub.Path == base + "\\moved", "Folder rename");
assert(sub.ParentFolder.Path == base && !sub.IsRootFolder, "parent");
assert(fso.GetFolder("C:\\").ParentFolder == null && fso.GetFolder("C:\\").IsRootFolder, "root");

// Attributes and a read-only delete.
var c = fso.GetFile(base + "\\c.txt");
assert(c.DateLastModified instanceof Date || typeof c.DateLastModified == "date", "a date");
e = failure(function () { c.Attributes = 16; });
assert(e.number == -2147024809, "directory bit refused");
c.Attributes = 1;
e = failure(function () { c.Delete(); });
assert(e.number == -2147024891, "read-only needs Force");
c.Delete(true);
assert(!fso.FileExists(base + "\\c.txt"), "deleted with Force");

// Whole trees: size, copy, move, delete.
assert(fso.GetFolder(base).Size == 1 + 2 + 7, "Size, got " + fso.GetFolder(base).Size);
fso.CopyFolder(base, base + "-copy");
assert(fso.GetFolder(base + "-copy").Size == 10, "copy size");
e = failure(function () { fso.CopyFolder(base, base + "\\moved\\inside"); });
assert(e.description != "", "no copy into itself");
fso.MoveFolder(base + "-copy", base + "-moved");
fso.DeleteFolder(base + "-moved");
fso.DeleteFolder(base);
assert(!fso.FolderExists(base), "gone");
WScript.Echo("files and folders ok");
