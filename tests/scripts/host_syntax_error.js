// expect-exit: 1
//! @SCRIPT@(5, 1) compilation error:
//! (0x800A03EA)
// A syntax error is reported with its line before anything runs.
var broken = ;
WScript.Echo("not reached");
