// The root object's path strings and special folders from JScript, answered
// by the system's own path services (the Linux build reproduces them), and
// the types JScript sees for the results.
// Argument 0: an empty working folder (a Windows path).
// @include lib/checks.js

// The value of f(), or undefined after reporting the error it threw.
function attempt(what, f) {
  try {
    return f();
  } catch (e) {
    check(false, what + ": error " + hex(e.number) + " " + e.description);
  }
}

function failure(what, f) {
  try {
    f();
  } catch (e) {
    return e;
  }
  check(false, what + ": no error");
  return { number: 0, description: "" };
}

function expect(what, f, want) {
  var got = attempt(what, f);
  check(got === want, what + ' gives "' + got + '", expected "' + want + '"');
}

var cases = [
  ["BuildPath", "C:\\dir\\", "\\file", "C:\\dir\\file"],
  ["BuildPath", "C:\\dir", "file", "C:\\dir\\file"],
  ["BuildPath", "", "file", "file"],
  ["BuildPath", "C:\\dir", "", "C:\\dir"],
  ["BuildPath", "C:", "x", "C:\\x"],
  ["BuildPath", "a/", "b", "a/\\b"],
  ["GetDriveName", "c:\\x", "c:"],
  ["GetDriveName", "\\\\server\\share", "\\\\server\\share"],
  ["GetDriveName", "\\\\server\\share\\dir", "\\\\server\\share"],
  ["GetDriveName", "\\\\server", ""],
  ["GetDriveName", "x", ""],
  ["GetParentFolderName", "C:\\", ""],
  ["GetParentFolderName", "C:\\a\\b.txt", "C:\\a"],
  ["GetParentFolderName", "C:\\a", "C:\\"],
  ["GetFileName", "C:\\a\\b.txt", "b.txt"],
  ["GetFileName", "C:\\a\\", ""],
  ["GetFileName", "C:/a/b.txt", "b.txt"],
  ["GetBaseName", "C:\\a\\b.tar.gz", "b.tar"],
  ["GetExtensionName", "C:\\a\\b.tar.gz", "gz"],
  ["GetExtensionName", "C:\\a\\readme", ""],
  ["GetAbsolutePathName", "C:\\a\\.\\b\\..\\c", "C:\\a\\c"]
];
// Members are called by name: reading one as a value is a property get,
// which the type library refuses for a method.
function call(name, a) {
  switch (name) {
    case "BuildPath": return root.BuildPath(a[0], a[1]);
    case "GetDriveName": return root.GetDriveName(a[0]);
    case "GetParentFolderName": return root.GetParentFolderName(a[0]);
    case "GetFileName": return root.GetFileName(a[0]);
    case "GetBaseName": return root.GetBaseName(a[0]);
    case "GetExtensionName": return root.GetExtensionName(a[0]);
    case "GetAbsolutePathName": return root.GetAbsolutePathName(a[0]);
  }
  throw new Error("no such member in this test: " + name);
}
for (var i = 0; i < cases.length; ++i) {
  var c = cases[i];
  var args = c.slice(1, c.length - 1);
  expect(c[0] + "(" + args.join(", ") + ")", function () { return call(c[0], args); },
         c[c.length - 1]);
}

// Special folders: no trailing backslash, E_INVALIDARG beyond 2.
expect("GetSpecialFolder(0).Path", function () { return root.GetSpecialFolder(0).Path.toLowerCase(); },
       "c:\\windows");
expect("GetSpecialFolder(1).Path", function () { return root.GetSpecialFolder(1).Path.toLowerCase(); },
       "c:\\windows\\system32");
var temp = attempt("GetSpecialFolder(2)", function () { return root.GetSpecialFolder(2).Path; });
check(typeof temp == "string" && temp.length > 3 && temp.charAt(temp.length - 1) != "\\",
      "the temporary folder has no trailing backslash: " + temp);
var e = failure("GetSpecialFolder(3)", function () { root.GetSpecialFolder(3); });
check(e.number == -2147024809, "GetSpecialFolder(3) number " + hex(e.number));
check(e.description == "Invalid argument", "GetSpecialFolder(3) text " + e.description);

// GetTempName leaves an empty "rad" file in the temporary folder.
var name = attempt("GetTempName", function () { return root.GetTempName(); });
check(/^rad.*\.tmp$/i.test(name), "GetTempName " + name);
check(root.FileExists(temp + "\\" + name), "GetTempName made " + temp + "\\" + name);
attempt("DeleteFile of the temporary name", function () { root.DeleteFile(temp + "\\" + name); });

// Result types as JScript sees them.
var file = work + "\\typed.txt";
attempt("CreateFile", function () { root.CreateFile(file); });
check(root.FileExists(file) === true, "FileExists is the boolean true");
check(root.FolderExists(file) === false, "FolderExists is the boolean false");
check(root.FileExists(work + "\\absent") === false, "FileExists of a missing file");
var size = attempt("Size", function () { return root.GetFile(file).Size; });
check(typeof size == "number" && size === 0, "Size is the number 0: " + size);
var modified = attempt("DateLastModified", function () {
  return new Date(root.GetFile(file).DateLastModified);
});
check(modified && modified.getFullYear() >= 2020, "DateLastModified converts to a Date: " + modified);
check(attempt("DriveExists", function () { return root.DriveExists("C:"); }) === true,
      "DriveExists(\"C:\") is true");
check(attempt("DriveExists", function () { return root.DriveExists("C:\\windows"); }) === false,
      "DriveExists of a folder path is false");
attempt("DeleteFile", function () { root.DeleteFile(file); });

WScript.Quit(failures ? 1 : 0);
