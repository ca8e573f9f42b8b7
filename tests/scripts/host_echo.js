// WScript.Echo joins its arguments with one space and ends the line.
//> one 2 3.5 four
//>
//> é € 😀
//> 10
WScript.Echo("one", 2, 3.5, "four");
WScript.Echo();
WScript.Echo("\u00e9", "\u20ac", "\uD83D\uDE00");
WScript.Echo(new Array(1, 2, 3).length + 7);
