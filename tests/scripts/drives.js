// Drives from a script: C: is listed, ready and answers every question; the
// items are found by root string in either case and by position.
//> C: C 2 ready true not-ready false
//> sizes agree
//> Item not found.
//> Device Unavailable.
//> c: C: C:\ C:
eval(new ActiveXObject("Quennel.Tessary").OpenTextFile(WScript.ScriptFullName.replace(/[^\\]*$/, "lib\\checks.js")).ReadAll());
var fso = new ActiveXObject("Quennel.Tessary");
var drives = fso.Drives;
assert(drives.Count >= 1, "at least one drive, got " + drives.Count);
var c = drives.Item("c:\\");
WScript.Echo(c.Path + " " + c.DriveLetter + " " + c.DriveType + " ready " + c.IsReady +
             " not-ready " + !c.IsReady);
assert(drives.Item("C:\\").SerialNumber == c.SerialNumber, "one serial for C:");
assert(drives.Item(1).Path <= c.Path, "the first item sorts first");
for (var i = 1; i <= drives.Count; i++) {
  assert(drives.Item(i).DriveLetter != "", "every listed drive has a letter");
}

// Other programs change the disk's free space between two reads: the order
// of the sizes is checked on the first of a few readings that agree.
var total, free, available;
for (var tries = 0; tries < 5; tries++) {
  total = c.TotalSize; free = c.FreeSpace; available = c.AvailableSpace;
  if (free <= total && available <= free) break;
}
assert(typeof total == "number" && total > 0, "TotalSize is a number, got " + total);
assert(free <= total && available <= free, "free " + free + " available " + available);
WScript.Echo("sizes agree");
assert(typeof c.FileSystem == "string" && c.FileSystem != "", "a file system name");
assert(typeof c.VolumeName == "string", "a label, maybe empty");
assert(c.ShareName == "", "C: is no network drive");

// The value is used: a statement of a property alone is a method call to
// some engines.
WScript.Echo(failure(function () { return drives.Item("C:").Path; }).description);
WScript.Echo(failure(function () { fso.GetDrive("Q:"); }).description);
assert(fso.DriveExists("c") && !fso.DriveExists("Q:"), "DriveExists");

fso.CreateFile("drives.txt");
WScript.Echo(fso.GetDrive("c").Path + " " + fso.GetDrive("C:\\").Path + " " +
             fso.GetDrive("C:").RootFolder.Path + " " + fso.GetFile("drives.txt").Drive.Path);
