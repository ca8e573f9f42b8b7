// A script builds a Dictionary and walks it: key order with only A-Z folded,
// positions from 1 to Count, the enumerator's snapshot, and the members
// that inspect and edit it.
//> dictionary ok
eval(new ActiveXObject("Quennel.Tessary").OpenTextFile(WScript.ScriptFullName.replace(/[^\\]*$/, "lib\\checks.js")).ReadAll());

function items(d) {
  var out = [];
  for (var en = new Enumerator(d); !en.atEnd(); en.moveNext()) out.push(en.item());
  return out.join(",");
}

function keys(d) {
  return new VBArray(d.Keys()).toArray().join(",");
}

var d = new ActiveXObject("Tessary.Dictionary");
assert(d.Count == 0, "a new dictionary is empty");

// Keys that differ only in the case of A-Z are one key; the first item stays.
d.Add("B", "x");
assert(d.Item("b") == "x", "lookup ignores the case of A-Z");
d.Add("b", "y");
assert(d.Count == 1, "a second Add under the same key adds nothing");
assert(d("B") == "x", "the first item stays, and Item is the default member");

// Positions and enumeration follow key order, not the order of Add.
d.RemoveAll();
d.Add("b", 1);
d.Add("a", 2);
assert(d.Item(1) == 2 && d.Item(2) == 1, "positions follow key order");
assert(items(d) == "2,1", "enumeration yields the items in key order: " + items(d));

// Only A-Z fold, to lower case: '_' and '[' sort before the letters.
d.RemoveAll();
var added = ["b", "Ab", "_b", "[", "A"];
for (var i = 0; i < added.length; ++i) d.Add(added[i], i);
assert(keys(d) == "[,_b,A,Ab,b", "folding order: " + keys(d));
d.Add("\u00e9", "small");
d.Add("\u00c9", "capital");
assert(d.Item("\u00c9") == "capital" && d.Item("\u00e9") == "small",
       "letters outside A-Z keep their case");

// An enumerator works on the items as they were when it was made.
d.RemoveAll();
d.Add("one", 1);
var before = new Enumerator(d);
d.Add("two", 2);
d.Remove("one");
var seen = [];
for (; !before.atEnd(); before.moveNext()) seen.push(before.item());
assert(seen.join(",") == "1", "the old enumerator sees its snapshot: " + seen.join(","));
assert(items(d) == "2", "a new enumerator sees the change");

// Objects are stored as references.
var inner = new ActiveXObject("Tessary.Dictionary");
inner.Add("k", "v");
d.Add("inner", inner);
assert(d.Item("INNER").Item("k") == "v", "an object item is the object itself");
inner.Add("k2", "v2");
assert(d.Item("inner").Count == 2, "the stored reference sees the object's changes");

// Exists, Items, Keys, Remove, RemoveAll.
d.RemoveAll();
d.Add("a", "first");
d.Add("c", "third");
d.Add("B", "second");
assert(d.Exists("A") && d.Exists("b") && !d.Exists("d"), "Exists by key");
assert(d.Exists(3) && !d.Exists(4), "Exists by position");
var list = new VBArray(d.Items());
assert(list.lbound() == 0 && list.ubound() == 2, "Items is a zero-based array");
assert(list.toArray().join(",") == "first,second,third", "Items in key order");
assert(keys(d) == "a,B,c", "Keys keep their spelling, in key order: " + keys(d));
d.Remove("b");
d.Remove(2);
assert(keys(d) == "a", "Remove by key and by position: " + keys(d));
d.RemoveAll();
assert(d.Count == 0 && keys(d) == "", "RemoveAll empties it");

// CompareMode: text by default; binary chosen while empty.
assert(d.CompareMode == 1, "TextCompare by default");
d.CompareMode = 0;
assert(d.CompareMode == 0, "BinaryCompare chosen");
d.Add("a", 1);
d.Add("A", 2);
assert(d.Count == 2 && keys(d) == "A,a", "binary keys: " + keys(d));

// HashVal: a non-negative long, equal for keys the comparison finds equal.
var t = new ActiveXObject("Tessary.Dictionary");
assert(t.HashVal("abc") == 773757309, "HashVal of abc: " + t.HashVal("abc"));
assert(t.HashVal("ABC") == t.HashVal("abc"), "HashVal folds like the comparison");
assert(d.HashVal("ABC") != d.HashVal("abc"), "in binary mode it does not fold");

// Walking by position is not quadratic: 20000 entries take well under a
// second each way.
var big = new ActiveXObject("Tessary.Dictionary");
for (i = 0; i < 20000; ++i) big.Add("file" + (100000 + i), i);
var start = new Date().getTime();
var sum = 0;
for (i = 1; i <= big.Count; ++i) sum += big.Item(i);
assert(sum == 19999 * 20000 / 2, "positional walk sum " + sum);
assert(big.Item(20000) == 19999, "last position");
var elapsed = new Date().getTime() - start;
assert(elapsed < 5000, "positional walk took " + elapsed + " ms");

WScript.Echo("dictionary ok");
