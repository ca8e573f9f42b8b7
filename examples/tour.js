// A tour of the Tessary object model from a script.
//
// Runs unchanged under tessary-run on Linux and under the Windows script
// host (cscript examples\tour.js) once the module is registered:
//
//   tessary-run --register build/lib/libtessary.so
//   tessary-run examples/tour.js
//
// Each stop is one function; a stop whose members are not built yet says so
// and the tour goes on, so the tour grows with the object model.

function hex(number) {
  // An HRESULT arrives as a signed 32-bit number; show it as Windows does.
  var text = (number < 0 ? number + 0x100000000 : number).toString(16).toUpperCase();
  while (text.length < 8) text = "0" + text;
  return "0x" + text;
}

function describe(e) {
  return hex(e.number) + " description=\"" + e.description + "\" source=\"" + e.source + "\"";
}

function heading(title) {
  WScript.Echo("");
  WScript.Echo("== " + title);
}

// Runs one stop; a failure is shown, not fatal.
function stop(title, body) {
  heading(title);
  try {
    body();
  } catch (e) {
    WScript.Echo("  (not available yet: " + describe(e) + ")");
  }
}

var E_NOTIMPL = -2147467263;

stop("The root object", function () {
  var root = new ActiveXObject("Quennel.Tessary");
  WScript.Echo("  created Quennel.Tessary");
  root.OnEndPage();
  WScript.Echo("  OnEndPage() answered: the page hooks are in place");
});

stop("Every class that can be created", function () {
  var progids = [
    "Quennel.Tessary", "Tessary.File", "Tessary.FileCollection", "Tessary.Folder",
    "Tessary.Dictionary", "Tessary.FolderCollection", "Tessary.Drive",
    "Tessary.DriveCollection", "Tessary.TextStream", "Tessary.BinaryStream"
  ];
  for (var i = 0; i < progids.length; ++i) {
    var line = "  " + progids[i];
    try {
      new ActiveXObject(progids[i]);
      line += ": ok";
    } catch (e) {
      line += ": " + describe(e);
    }
    WScript.Echo(line);
  }
});

stop("How a failure reaches the script", function () {
  var root = new ActiveXObject("Quennel.Tessary");
  try {
    // RevertToSelf is kept for scripts that bind to it; it does nothing.
    root.RevertToSelf();
  } catch (e) {
    WScript.Echo("  RevertToSelf(): number " + e.number + " (" + hex(e.number) + ")" +
                 (e.number == E_NOTIMPL ? ", E_NOTIMPL" : ""));
    WScript.Echo("  description \"" + e.description + "\", source \"" + e.source + "\"");
  }
  try {
    root.NoSuchMember();
  } catch (e) {
    WScript.Echo("  NoSuchMember(): " + hex(e.number) + " " + e.description);
  }
  try {
    new ActiveXObject("Tessary.NoSuchClass");
  } catch (e) {
    WScript.Echo("  new ActiveXObject(\"Tessary.NoSuchClass\"): " + hex(e.number));
  }
});

stop("Paths", function () {
  var root = new ActiveXObject("Quennel.Tessary");
  WScript.Echo("  BuildPath: " + root.BuildPath("C:\\Data", "report.txt"));
  WScript.Echo("  GetFileName: " + root.GetFileName("C:\\Data\\report.txt"));
  WScript.Echo("  GetExtensionName: " + root.GetExtensionName("C:\\Data\\report.txt"));
});

// A scratch folder inside the temporary folder, removed at the end.
var scratch = null;

stop("Files and folders", function () {
  var root = new ActiveXObject("Quennel.Tessary");
  var temp = root.GetSpecialFolder(2);
  scratch = root.BuildPath(temp.Path, "tessary-tour-" + new Date().getTime());
  var folder = root.CreateFolder(root.BuildPath(scratch, "reports\\2026\\"));
  WScript.Echo("  created " + folder.Path + " (" + folder.Type + ")");
  root.CreateFile(root.BuildPath(folder.Path, "b.txt"));
  root.CreateFile(root.BuildPath(folder.Path, "A.txt"));
  root.ConcatFiles(root.BuildPath(folder.Path, "c.txt"), root.BuildPath(folder.Path, "A.txt"),
                   root.BuildPath(folder.Path, "b.txt"));
  var file = root.GetFile(root.BuildPath(folder.Path, "c.txt"));
  WScript.Echo("  " + file.Name + ": " + file.Size + " bytes, parent " + file.ParentFolder.Name);
  var names = [];
  for (var e = new Enumerator(folder.Files); !e.atEnd(); e.moveNext()) names.push(e.item().Name);
  WScript.Echo("  Files, in name order: " + names.join(", "));
  root.CopyFolder(root.BuildPath(scratch, "reports"), root.BuildPath(scratch, "copy"));
  WScript.Echo("  the copy holds " + root.GetFolder(root.BuildPath(scratch, "copy")).Size + " bytes");
  try {
    root.GetFile(folder.Path);
  } catch (e) {
    WScript.Echo("  GetFile on a folder: " + describe(e));
  }
});

stop("A dictionary", function () {
  var d = new ActiveXObject("Tessary.Dictionary");
  d.Add("one", 1);
  d.Add("two", new Date(2000, 0, 1));
  WScript.Echo("  Count: " + d.Count + ", Item(\"one\"): " + d.Item("one"));
  // Enumerating a dictionary yields its items in key order.
  for (var e = new Enumerator(d); !e.atEnd(); e.moveNext()) WScript.Echo("  item " + e.item());
});

stop("Drives", function () {
  var root = new ActiveXObject("Quennel.Tessary");
  for (var e = new Enumerator(root.Drives); !e.atEnd(); e.moveNext()) {
    var drive = e.item();
    WScript.Echo("  " + drive.Path + " " + drive.FileSystem);
  }
});

stop("Streams", function () {
  var root = new ActiveXObject("Quennel.Tessary");
  var name = root.BuildPath(scratch, "notes.txt");
  var out = root.CreateTextFile(name, true);
  out.WriteLine("first line");
  out.WriteLine("zweite Zeile: gr\u00fc\u00df");
  out.Close();
  var text = root.OpenTextFile(name);
  while (!text.AtEndOfStream) WScript.Echo("  line " + text.Line + ": " + text.ReadLine());
  text.Close();
  var bytes = root.OpenBinaryFile(name).Read(5);
  WScript.Echo("  the first five bytes: " + new VBArray(bytes).toArray().join(" "));
});

stop("Cleaning up", function () {
  if (scratch) new ActiveXObject("Quennel.Tessary").DeleteFolder(scratch, true);
  WScript.Echo("  removed the scratch folder");
});

stop("The script's arguments", function () {
  var args = WScript.Arguments;
  WScript.Echo("  " + WScript.ScriptName + " was given " + args.length + " argument(s)");
  for (var e = new Enumerator(args); !e.atEnd(); e.moveNext()) WScript.Echo("  - " + e.item());
});
