// A script that runs past its time limit is ended, with what it wrote kept.
// options: --timeout 1
// expect-exit: 1
//> before
//! Script execution time was exceeded on script "
//! Script execution terminated.
WScript.StdOut.WriteLine("before");
if (WScript.Timeout != 1) WScript.Quit(3);
for (;;) {
}
