// The File and Folder producers of streams: a bare name is a file in the
// folder, a path is used as given, and File opens the file it stands for.
eval(new ActiveXObject("Quennel.Tessary").OpenTextFile(WScript.ScriptFullName.replace(/[^\\]*$/, "lib\\checks.js")).ReadAll());

var root = new ActiveXObject("Quennel.Tessary");
var here = root.GetFolder(root.GetAbsolutePathName(""));
var sub = root.CreateFolder(root.BuildPath(here.Path, "producers"));

// Folder.CreateTextFile with a bare name lands in the folder.
var out = sub.CreateTextFile("notes.txt");
out.WriteLine("one");
out.Write("two");
out.Close();
assert(root.FileExists(root.BuildPath(sub.Path, "notes.txt")), "bare name inside the folder");

// With a path, the path is used unchanged.
var elsewhere = root.BuildPath(here.Path, "elsewhere.txt");
sub.CreateTextFile(elsewhere, true, true).Close();
assert(root.FileExists(elsewhere), "a path is used as given");
assert(root.GetFile(elsewhere).Size == 2, "a Unicode file starts with its byte-order mark");

// Overwrite false refuses an existing file.
var refused = false;
try {
  sub.CreateTextFile("notes.txt", false);
} catch (e) {
  refused = e.number == -2147024816;  // 0x80070050
}
assert(refused, "no overwrite");

// File.OpenAsTextStream reads what was written.
var file = root.GetFile(root.BuildPath(sub.Path, "notes.txt"));
var text = file.OpenAsTextStream();
assert(text.ReadLine() == "one", "first line");
assert(text.ReadLine() == "two", "second line");
assert(text.AtEndOfStream, "at the end");
text.Close();

// Appending through the File, then reading bytes through OpenAsBinaryStream.
var append = file.OpenAsTextStream(8);
append.Write("!");
append.Close();
var bytes = file.OpenAsBinaryStream();
var all = new VBArray(bytes.ReadVarAll()).toArray();
bytes.Close();
assert(all.length == 9 && all[8] == 33, "appended byte, got " + all.length);

// Folder.CreateBinaryFile and writing a byte array read back from a file.
var copy = sub.CreateBinaryFile("copy.bin");
var source = file.OpenAsBinaryStream();
copy.Write(source.ReadAll());
source.Close();
copy.Close();
assert(root.GetFile(root.BuildPath(sub.Path, "copy.bin")).Size == 9, "binary copy size");

root.DeleteFolder(sub.Path);
WScript.Echo("producers ok");
