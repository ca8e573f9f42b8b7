// The root object's file entries and path strings from a script.
eval(new ActiveXObject("Quennel.Tessary").OpenTextFile(WScript.ScriptFullName.replace(/[^\\]*$/, "lib\\checks.js")).ReadAll());
var fso = new ActiveXObject("Quennel.Tessary");
var base = fso.BuildPath(fso.GetAbsolutePathName(""), "root_files");
var folder = fso.CreateFolder(base + "\\a\\b\\");
assert(folder.Name == "b", "CreateFolder returns the folder, got " + folder.Path);
assert(fso.FolderExists(base + "\\a") && !fso.FileExists(base + "\\a"), "folder tests");

var one = fso.BuildPath(base, "one.txt"), two = fso.BuildPath(base, "two.txt");
fso.CreateFile(one);
assert(fso.FileExists(one) && !fso.FolderExists(one), "file tests");
var e = failure(function () { fso.CreateFile(one, false); });
assert(hex(e.number) == "80070050" && e.description == "The file exists.", "CreateFile refuses");
assert(e.source == "Quennel.Tessary.1", "the root reports as itself, got " + e.source);

fso.CopyFile(one, two);
e = failure(function () { fso.MoveFile(one, two, false); });
assert(hex(e.number) == "800700b7", "MoveFile onto an existing file, got " + hex(e.number));

// ConcatFiles into one of its own sources is refused before anything is
// truncated.
e = failure(function () { fso.ConcatFiles(one, one, two); });
assert(hex(e.number) == "80070020", "sharing violation, got " + hex(e.number));
assert(e.description.indexOf(one + ": ") == 0, "prefixed with the destination");

var unique = fso.CreateUniqueFile(base, "tour");
assert(fso.GetFileName(unique).indexOf("tou") == 0 && fso.FileExists(unique), "unique file");

fso.DeleteFile(fso.BuildPath(base, "*.txt"));
assert(!fso.FileExists(one) && !fso.FileExists(two), "wildcard delete");
e = failure(function () { fso.DeleteFile(fso.BuildPath(base, "*.none")); });
assert(e.description == fso.BuildPath(base, "*.none") + " could not be found", e.description);

assert(fso.DriveExists("C") && fso.DriveExists("c:\\") && !fso.DriveExists("C:\\tmp"), "drives");
assert(fso.GetParentFolderName("C:\\a\\b.txt") == "C:\\a", "parent");
assert(fso.GetBaseName("C:\\a\\b.tar.gz") == "b.tar", "base name");
assert(fso.GetDriveName("\\\\server\\share\\dir") == "\\\\server\\share", "drive name");
e = failure(function () { fso.GetSpecialFolder(3); });
assert(e.description == "Invalid argument" && hex(e.number) == "80070057", "special folder 3");
assert(fso.GetSpecialFolder(2).Path.slice(-1) != "\\", "temporary folder without separator");

fso.DeleteFolder(base);
assert(!fso.FolderExists(base), "DeleteFolder");
WScript.Echo("root files ok");
