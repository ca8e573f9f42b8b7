// How the Dictionary refuses what it cannot do: every failure is
// DISP_E_EXCEPTION with a text, and leaves the dictionary as it was.
//> dictionary errors ok
eval(new ActiveXObject("Quennel.Tessary").OpenTextFile(WScript.ScriptFullName.replace(/[^\\]*$/, "lib\\checks.js")).ReadAll());

var DISP_E_EXCEPTION = -2147352567;  // 0x80020009

function fails(text, f) {
  try {
    f();
  } catch (e) {
    assert(e.number == DISP_E_EXCEPTION, text + ": number " + e.number);
    assert(e.description == text, "expected '" + text + "', got '" + e.description + "'");
    return;
  }
  throw new Error("no error for: " + text);
}

var d = new ActiveXObject("Tessary.Dictionary");
fails("Index out of range.", function () { return d.Item(1); });
d.Add("a", 1);
d.Add("b", 2);

// Positions outside 1 to Count.
fails("Index out of range.", function () { return d.Item(0); });
fails("Index out of range.", function () { return d.Item(-1); });
fails("Index out of range.", function () { return d.Item(3); });

// Missing keys.
fails("Item not found.", function () { return d.Item("c"); });
fails("Item not found.", function () { d.Remove("c"); });

// Keys of types that are neither a position nor a string.
fails("Type not supported.", function () { return d.Item(1.5); });
fails("Type not supported.", function () { return d.Item(1.0e10); });
fails("Type not supported.", function () { return d.Item(true); });
fails("Type not supported.", function () { return d.Item(null); });
fails("Type not supported.", function () { return d.Item(undefined); });
fails("Type not supported.", function () { return d.Item([1, 2]); });
fails("Type not supported.", function () { return d.Item(new Date(0)); });
fails("Type not supported.", function () { return d.Item(d); });
fails("Type not supported.", function () { return d.Exists(2.5); });

// Add and HashVal take string keys only: a number is no position there.
fails("Type not supported.", function () { d.Add(3, "three"); });
fails("Type not supported.", function () { d.Add(null, "nothing"); });
fails("Type not supported.", function () { d.Add(d, "object"); });
fails("Type not supported.", function () { return d.HashVal(1); });

// CompareMode changes only while empty, and only to a known mode.
fails("CompareMode cannot be changed while the dictionary holds entries.",
      function () { d.CompareMode = 0; });
fails("CompareMode must be BinaryCompare (0), TextCompare (1) or DatabaseCompare (2).",
      function () { d.CompareMode = 7; });

assert(d.Count == 2 && d.Item(1) == 1 && d.Item(2) == 2, "failures changed nothing");
assert(d.CompareMode == 1, "the compare mode is unchanged");

// A string that looks like a number is a key, not a position.
fails("Item not found.", function () { return d.Item("1"); });
d.Add("1", "one");
assert(d.Item("1") == "one" && d.Item(1) == "one", "'1' sorts first and is also position 1");

WScript.Echo("dictionary errors ok");
