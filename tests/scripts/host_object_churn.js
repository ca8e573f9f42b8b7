// Creating and dropping many objects releases each one: under the leak
// checker this run ends clean, and the module can unload at exit.
eval(new ActiveXObject("Quennel.Tessary").OpenTextFile(WScript.ScriptFullName.replace(/[^\\]*$/, "lib\\checks.js")).ReadAll());

var progids = ["Quennel.Tessary", "Tessary.Dictionary", "Tessary.File", "Tessary.Folder"];
for (var i = 0; i < 10000; ++i) {
  var o = new ActiveXObject(progids[i % progids.length]);
  if (i % 4 == 0) o.OnEndPage();
  o = null;
}

// Errors thrown and caught in a loop leave nothing behind either.
var root = new ActiveXObject("Quennel.Tessary");
var failures = 0;
for (var j = 0; j < 1000; ++j) {
  try {
    root.RevertToSelf();
  } catch (e) {
    ++failures;
  }
}
assert(failures == 1000, "every call failed");
WScript.Echo("churn ok");
