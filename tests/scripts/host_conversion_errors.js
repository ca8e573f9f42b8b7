// A value that cannot be converted fails the call with the script's own
// error, and what was converted before it is released (the leak checker
// sees every partial argument list).
eval(new ActiveXObject("Quennel.Tessary").OpenTextFile(WScript.ScriptFullName.replace(/[^\\]*$/, "lib\\checks.js")).ReadAll());

var root = new ActiveXObject("Quennel.Tessary");
var bad = { toString: function () { throw new Error("no text"); } };

// Arrays pass as objects, as with the Windows engine.
if (WScript.Name == "tessary-run") {
  var e = failure(function () { root.GetFileName("first", new Date(NaN)); });
  assert(e.number == -2147352566, "the conversion's error: " + e.number);

  e = failure(function () { new VBArray(5); });
  assert(e.number == -2146823275, "VBArray expected: " + e.number);

  if (typeof Uint8Array != "undefined") {
    var bytes = new VBArray(new Uint8Array([1, 2, 255]));
    assert(bytes.dimensions() == 1 && bytes.lbound() == 0 && bytes.ubound() == 2, "bounds");
    assert(bytes.getItem(2) === 255, "getItem");
    assert(bytes.toArray().join(",") == "1,2,255", "toArray");
    e = failure(function () { bytes.getItem(3); });
    assert(e.number == -2146828279, "index out of range: " + e.number);
  }

  e = failure(function () { new Enumerator(root); });
  assert(e.number == -2146827837, "the root is no collection: " + e.number);
}

// After all that the object still works.
assert(root.GetFileName("C:\\x\\y.txt") == "y.txt", "still usable");
WScript.Echo("conversion errors ok");
