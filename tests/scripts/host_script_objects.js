// Script objects, arrays and functions handed to the module cross as
// objects: the module keeps them, reads and calls them, and they come back
// as the same values. The module's own objects keep their identity as well.
eval(new ActiveXObject("Quennel.Tessary").OpenTextFile(WScript.ScriptFullName.replace(/[^\\]*$/, "lib\\checks.js")).ReadAll());

var root = new ActiveXObject("Quennel.Tessary");
var d = new ActiveXObject("Tessary.Dictionary");

var o = { a: 1, sum: function (x) { return this.a + x; } };
var list = [1, 2, 3];
var twice = function (x) { return x * 2; };
d.Add("o", o);
d.Add("list", list);
d.Add("twice", twice);
assert(d.Item("o") === o, "an object comes back as itself");
assert(d.Item("o").sum(2) === 3, "its method runs with this bound");
assert(d.Item("list") === list && d.Item("list").length === 3, "an array comes back as itself");
assert(d.Item("twice") === twice && d.Item("twice")(21) === 42, "a function comes back");
o.a = 10;
assert(d.Item("o").a === 10, "the stored object is the live object, not a copy");

// The module's objects keep their identity through the dictionary.
var folder = root.GetFolder(".");
d.Add("folder", folder);
assert(d.Item("folder") === folder, "a module object comes back as itself");

// The module reads an object's default value through a call back into the
// script while the script is inside the call.
var path = { toString: function () { return "C:\\a\\b.txt"; } };
assert(root.GetFileName(path) === "b.txt", "the default value read by the module");
// A callback that throws fails the call. (Wine's engine also reports the
// error to its host as uncaught, which ends the script there.)
if (WScript.Name == "tessary-run") {
  var failed = false;
  try {
    root.GetFileName({ toString: function () { throw new Error("no text"); } });
  } catch (e) {
    failed = true;
    assert(e.number < 0, "a failing callback fails the call: " + e.number);
  }
  assert(failed, "a callback's error reaches the script");
}

// An object is no byte array, whatever its default value: Write refuses a
// script array and a folder (whose default value is its path) alike.
root.CreateFile("w.bin", true);
var stream = root.OpenBinaryFile("w.bin", 2);
var refused = 0;
try { stream.Write([65, 66]); } catch (e) { ++refused; }
try { stream.Write(root.GetFolder(".")); } catch (e) { ++refused; }
stream.Close();
assert(refused == 2 && root.GetFile("w.bin").Size == 0, "objects are not written as bytes");

// Objects the module still holds when the script ends are released with it.
d.Add("cycle", { back: d });
WScript.Echo("script objects ok");
//> script objects ok
