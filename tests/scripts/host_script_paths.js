// What the host tells a script about itself: the folder of the script in the
// form every other path has, the host's own path and the engine.
eval(new ActiveXObject("Quennel.Tessary").OpenTextFile(WScript.ScriptFullName.replace(/[^\\]*$/, "lib\\checks.js")).ReadAll());
var root = new ActiveXObject("Quennel.Tessary");
var full = WScript.ScriptFullName;
var folder = root.GetParentFolderName(full);
assert(/^[A-Za-z]:\\/.test(full), "a Windows full path: " + full);
assert(folder + "\\" + WScript.ScriptName == full, "the script's folder: " + folder);
assert(root.FolderExists(folder) && root.FileExists(full), "the script is where it says");
var host = WScript.FullName;
var path = WScript.Path;
assert(/^[A-Za-z]:\\/.test(host) && host.substring(0, path.length + 1) == path + "\\",
       "Path is the folder of FullName: " + path + " " + host);
assert(root.FileExists(host), "the host is where it says");
WScript.Echo(ScriptEngine(), ScriptEngineMajorVersion(), ScriptEngineMinorVersion(),
             typeof ScriptEngineBuildVersion());
