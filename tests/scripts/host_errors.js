// How failures reach a script: number (the HRESULT as a signed 32-bit
// integer), description, message and source.
eval(new ActiveXObject("Quennel.Tessary").OpenTextFile(WScript.ScriptFullName.replace(/[^\\]*$/, "lib\\checks.js")).ReadAll());

var E_NOTIMPL = -2147467263;       // 0x80004001
var E_NOINTERFACE = -2147467262;   // 0x80004002
var UNKNOWN_MEMBER = -2146827850;  // 0x800A01B6

var root = new ActiveXObject("Quennel.Tessary");

// A member that exists and succeeds.
assert(root.OnEndPage() === undefined, "OnEndPage returns nothing");
// Names bind without regard to case, and again from what was learned.
for (var i = 0; i < 3; ++i) {
  root.onendpage();
  root.ONENDPAGE();
}

// Placeholder members answer E_NOTIMPL without an error text.
var e = failure(function () { root.RevertToSelf(); });
assert(e instanceof Error, "an Error object");
assert(e.number == E_NOTIMPL, "RevertToSelf number " + e.number);
assert(e.description === "", "E_NOTIMPL description is empty: " + e.description);
assert(e.message === "", "E_NOTIMPL message is empty: " + e.message);
assert(typeof e.source == "string", "source is a string");

e = failure(function () { return root.CurrentUser; });
assert(e.number == E_NOTIMPL, "CurrentUser number " + e.number);
e = failure(function () { return root.ProcessUser; });
assert(e.number == E_NOTIMPL, "ProcessUser number " + e.number);

// A method value keeps its object; calling it later still reaches it.
var revert = root.RevertToSelf;
e = failure(function () { revert(); });
assert(e.number == E_NOTIMPL, "detached method number " + e.number);

// Objects pass as arguments: the root is no page context.
e = failure(function () { root.OnStartPage(new ActiveXObject("Tessary.Dictionary")); });
assert(e.number == E_NOINTERFACE, "OnStartPage(object) number " + e.number);

// Unknown names: get, call and put.
e = failure(function () { return root.NoSuchProperty; });
assert(e.number == UNKNOWN_MEMBER, "unknown get number " + e.number);
assert(e.message == "Object doesn't support this property or method", "unknown get message");
assert(e.description == e.message, "description matches message");
e = failure(function () { root.NoSuchMethod(1, 2); });
assert(e.number == UNKNOWN_MEMBER, "unknown call number " + e.number);
e = failure(function () { root.NoSuchProperty = 5; });
assert(e.number == UNKNOWN_MEMBER, "unknown put number " + e.number);

// A missing argument is an error, not a crash.
failure(function () { root.OnStartPage(); });

// The script engine's own errors carry a description too.
e = failure(function () { var nothing = null; return nothing.x; });
assert(e.description == e.message, "engine error description");

WScript.Echo("errors ok");
