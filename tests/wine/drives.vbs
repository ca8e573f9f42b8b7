' Drive and Drives in VBScript: the booleans a script tests with Not, sizes
' beyond 32 bits, look-ups by root string and position, the drive of a file
' and of a folder, and the label of a drive.
' Argument 0: an empty working folder (a Windows path).
Option Explicit
' @include lib/checks.vbs

On Error Resume Next
Dim drives, c, d, n, total, free, available, serial, label, file

Set drives = root.Drives
ExpectOk "Drives"
n = drives.Count
ExpectOk "Drives.Count"
Check n >= 1, "at least one drive: " & n
Set c = drives("c:\")
ExpectOk "Drives(""c:\"")"
Check c.Path = "C:", "Path of C:\ is C:: " & c.Path
Check c.DriveLetter = "C", "DriveLetter: " & c.DriveLetter
Check c.ShareName = "", "C: is no network drive: " & c.ShareName
Check c.DriveType = 2, "C: is Fixed: " & c.DriveType
' Ready is True itself, so that Not of it is False.
Check c.IsReady = True, "IsReady = True: " & CStr(c.IsReady)
If Not c.IsReady Then Check False, "Not IsReady taken for a ready drive"
ExpectOk "C: properties"

Set d = drives(1)
ExpectOk "Drives(1)"
Check d.Path <= "C:", "the first drive sorts first: " & d.Path
Set d = drives("C:")
ExpectError "Drives(""C:"")", DISP_E_EXCEPTION, "Tessary.Dictionary.1", "Item not found."

' Other programs change the disk's free space between two reads, so the
' order of the sizes is checked on the first of a few readings that agree.
For n = 1 To 5
  total = c.TotalSize
  free = c.FreeSpace
  available = c.AvailableSpace
  If free <= total And available <= free Then Exit For
Next
ExpectOk "C: sizes"
Check VarType(total) = vbDouble, "TotalSize is a Double: " & VarType(total)
Check total > 0 And free <= total And available <= free, _
  "sizes: " & total & " " & free & " " & available
serial = c.SerialNumber
ExpectOk "SerialNumber"
Check serial = root.GetDrive("C").SerialNumber, "one serial for C:"
Check c.FileSystem <> "", "a file system name"
ExpectOk "FileSystem"

file = work & "\drives.txt"
root.CreateFile file
ExpectOk "CreateFile " & file
Check root.GetFile(file).Drive.Path = "C:", "the drive of a file"
Check root.GetFolder(work).Drive.RootFolder.Path = "C:\", "the root folder of a folder's drive"
ExpectOk "File.Drive and Folder.Drive"

Set d = root.GetDrive("Q:")
ExpectError "GetDrive(""Q:"")", DISP_E_EXCEPTION, "Tessary.Drive.1", "Device Unavailable."
Check root.DriveExists("c:") And Not root.DriveExists("Q"), "DriveExists"

root.DeleteFolder work, True
ExpectOk "DeleteFolder " & work

If failures > 0 Then WScript.Quit 1
