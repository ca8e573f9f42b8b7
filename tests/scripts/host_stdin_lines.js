// The usual filter loop over a pipe, and a last line without its LF.
//< alpha
//< beta\r
//<| gamma
//> 1 alpha
//> 2 beta
//> 3 gamma
while (!WScript.StdIn.AtEndOfStream) {
  var n = WScript.StdIn.Line;
  WScript.Echo(n, WScript.StdIn.ReadLine());
}
