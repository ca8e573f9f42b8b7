// What the host remembers between member look-ups never mixes up objects,
// names or arguments: methods of two objects of one class called in turn,
// method values kept and called later, objects dropped and new ones made in
// their place, and arguments of every kind.
eval(new ActiveXObject("Quennel.Tessary").OpenTextFile(WScript.ScriptFullName.replace(/[^\\]*$/, "lib\\checks.js")).ReadAll());

var root = new ActiveXObject("Quennel.Tessary");

// Two objects of one class, the same methods called in turn on each.
var a = new ActiveXObject("Tessary.Dictionary");
var b = new ActiveXObject("Tessary.Dictionary");
a.Add("in a", 1);
b.Add("in b", 2);
for (var i = 0; i < 3; ++i) {
  assert(a.Exists("in a") && !a.Exists("in b"), "a's own Exists");
  assert(b.Exists("in b") && !b.Exists("in a"), "b's own Exists");
  assert(a.Count == 1 && b.Count == 1, "a property between method calls");
  assert(a.Item("in a") == 1 && b.Item("in b") == 2, "each object's own item");
}

// A method value keeps calling its own object's member, whatever was looked
// up since, and one object and name give one method value.
var exists_in_a = a.Exists;
var add_to_b = b.Add;
assert(exists_in_a !== b.Exists, "two objects, two method values");
assert(a.Exists === exists_in_a, "one method value per object and name");
a.Count;
b.Exists("x");
assert(a.Exists === exists_in_a, "the same value after other look-ups");
add_to_b("added", 3);
assert(b.Exists("added") && !a.Exists("added"), "the kept value adds to b");
assert(exists_in_a("in a") && !exists_in_a("added"), "the kept value asks a");
assert(root.getfilename("C:\\x\\y.txt") === "y.txt" && root.GETFILENAME("C:\\z.txt") === "z.txt",
       "names in any case, one after the other");

// Objects dropped and new ones made, often at the same addresses: each new
// object answers for itself, with fresh methods.
for (var j = 0; j < 3000; ++j) {
  var d = new ActiveXObject("Tessary.Dictionary");
  d.Add("k" + j, j);
  assert(d.Exists("k" + j) && !d.Exists("k" + (j - 1)), "a new object's own Exists " + j);
  assert(d.Item("k" + j) === j && d.Count === 1, "a new object's own item " + j);
  // New objects of other kinds, at addresses the dropped ones had, passed
  // as arguments.
  var made = j % 2 ? root.GetFolder(".") : { n: j };
  d.Add("made", made);
  assert(d.Item("made") === made, "an argument made after others were dropped " + j);
  if (j % 3 == 0) {
    // Garbage in a cycle, freed by the collector rather than at once.
    var cycle = { dictionary: d, self: null };
    cycle.self = cycle;
    cycle.call = function () { return cycle; };
  }
  d = null;
}

// Arguments of every kind: strings, numbers, booleans, missing values and
// objects, alone and together, and more than a handful.
var c = new ActiveXObject("Tessary.Dictionary");
var folder = root.GetFolder(".");
c.Add("caf\u00e9 \uD83D\uDE00", folder);
c.Add("seven", 7);
c.Add("flag", true);
c.Add("none", null);
assert(c.Item("caf\u00e9 \uD83D\uDE00") === folder, "an object argument keeps its identity");
assert(c.Item("seven") === 7 && c.Item("flag") === true && c.Item("none") === null, "plain keys");
assert(root.GetFileName("C:\\d\\caf\u00e9.txt") === "caf\u00e9.txt", "a string beyond ASCII");
var many = failure(function () { root.GetFileName("a", "b", "c", "d", "e", "f", "g", "h", "i"); });
var few = failure(function () { root.GetFileName("a", "b"); });
assert(many.number === few.number && many.description === few.description,
       "too many arguments fail alike, however many: " + hex(many.number));
var symbol = failure(function () { root.GetFileName(Symbol("s")); });
assert(symbol instanceof TypeError, "a symbol argument is the script's error");
WScript.Echo("member cache ok");
