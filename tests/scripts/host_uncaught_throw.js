// expect-exit: 1
//! @SCRIPT@(6, 1) runtime error: boom (0x800A139E)
// A thrown Error without a number reports the generic uncaught code.
function fail() {
  var unused = 0;
  throw new Error("boom");
}
fail();
