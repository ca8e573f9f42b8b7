// mode: stdin
// args: 😀
//> - 1 2
WScript.Echo(WScript.ScriptName, WScript.Arguments.length, WScript.Arguments(0).length);
