// expect-exit: 1
//! @SCRIPT@(7, 1) runtime error: Not implemented (0x80004001)
// An uncaught failure of a member is printed with the script's line and the
// HRESULT, and the script stops there.
var root = new ActiveXObject("Quennel.Tessary");
root.OnEndPage();
root.RevertToSelf();
WScript.Echo("not reached");
