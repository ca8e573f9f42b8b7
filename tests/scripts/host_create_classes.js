// Every registered class can be created by its ProgID, version-independent
// or versioned, and an unknown ProgID fails with CO_E_CLASSSTRING.
eval(new ActiveXObject("Quennel.Tessary").OpenTextFile(WScript.ScriptFullName.replace(/[^\\]*$/, "lib\\checks.js")).ReadAll());

var progids = [
  "Quennel.Tessary", "Tessary.File", "Tessary.FileCollection", "Tessary.Folder",
  "Tessary.Dictionary", "Tessary.FolderCollection", "Tessary.Drive",
  "Tessary.DriveCollection", "Tessary.TextStream", "Tessary.BinaryStream"
];
for (var i = 0; i < progids.length; ++i) {
  var plain = new ActiveXObject(progids[i]);
  assert(plain != null, progids[i]);
  var versioned = new ActiveXObject(progids[i] + ".1");
  assert(versioned != null, progids[i] + ".1");
  plain = null;
  versioned = null;
}

// ProgIDs are not case-sensitive.
assert(new ActiveXObject("quennel.tessary") != null, "ProgID case");

var failed = false;
try {
  new ActiveXObject("Tessary.NoSuchClass");
} catch (e) {
  failed = true;
  assert(e.number == -2147221005, "unknown ProgID number " + e.number);
}
assert(failed, "an unknown ProgID throws");

// WScript.CreateObject is the same call.
assert(WScript.CreateObject("Quennel.Tessary") != null, "WScript.CreateObject");
WScript.Echo("created " + progids.length + " classes");
