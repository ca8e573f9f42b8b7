// mode: eval
// args: x y
//> -e 2 x
WScript.Echo(WScript.ScriptName, WScript.Arguments.length, WScript.Arguments(0));
