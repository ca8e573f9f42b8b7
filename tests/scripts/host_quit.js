// expect-exit: 7
// WScript.Quit ends the script at once with its code, even inside try, and
// releases the objects the script still holds.
var root = new ActiveXObject("Quennel.Tessary");
var method = root.OnEndPage;
var dictionary = new ActiveXObject("Tessary.Dictionary");
try {
  WScript.Quit(7);
} catch (e) {
  WScript.Quit(3);
} finally {
  WScript.Quit(4);
}
throw new Error("still running after Quit");
