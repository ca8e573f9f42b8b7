// A script starts in interactive mode unless the host was started in batch
// mode; a script can switch Echo off and on again.
//> -1
//> back
WScript.Echo(WScript.Interactive);
WScript.Interactive = false;
WScript.Echo("not shown");
WScript.Interactive = true;
WScript.Echo("back");
