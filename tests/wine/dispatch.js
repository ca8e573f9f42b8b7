// What JScript makes of a failing member, through the module's own
// dispatcher: the number is the member's HRESULT from EXCEPINFO, except that
// the engine turns DISP_E_EXCEPTION into E_FAIL; the text always arrives. A
// call whose value the script drops reaches a property get as a method call,
// so the member's own failure shows, not DISP_E_MEMBERNOTFOUND.
// Argument 0: an empty working folder (a Windows path).
// @include lib/checks.js

function failure(what, f) {
  try {
    f();
  } catch (e) {
    return e;
  }
  check(false, what + ": no error");
  return { number: 0, description: "" };
}

function expect(what, e, number, text) {
  check(hex(e.number) == number && e.description == text,
        what + ": got " + hex(e.number) + " '" + e.description + "', want " + number + " '" + text + "'");
}

var d = new ActiveXObject("Tessary.Dictionary");
expect("Item with its value used", failure("Item used", function () { var x = d.Item(5); }),
       "80004005", "Index out of range.");
expect("Item on a line of its own", failure("Item dropped", function () { d.Item(5); }),
       "80004005", "Index out of range.");

var missing = work + "\\absent.txt";
var e = failure("GetFile", function () { root.GetFile(missing); });
check(hex(e.number) == "80070002" && e.description.length > 0,
      "a Win32 failure keeps its own number and text: " + hex(e.number) + " '" + e.description + "'");

WScript.Quit(failures ? 1 : 0);
