' One feature-switch case, run by tests/wine/run in a new process after it
' has set the registry up (see cases beside this file).
' Arguments: a working folder (a Windows path), what the delete members must
' do ("allowed" or "denied"), what RegisterDLL must do.
Option Explicit
' @include lib/checks.vbs

Const E_ACCESSDENIED = &H80070005
Const REFUSAL = "This option has been disabled in the registry please see your administrator for more information."

' After a guarded call: refused by its switch, under the class that reports,
' or not refused by it.
Sub ExpectGuard(what, expected, source)
  Dim n, s, d
  n = Err.Number : s = Err.Source : d = Err.Description
  Err.Clear
  If expected = "denied" Then
    Check n = E_ACCESSDENIED, what & " is refused: number " & Hex(n)
    Check s = source, what & " is refused by " & source & ": source """ & s & """"
    Check d = REFUSAL, what & " is refused with the administrator text: """ & d & """"
  Else
    Check n = 0, what & " works: error " & Hex(n) & " " & d
  End If
End Sub

Dim deletes, registers, path
deletes = WScript.Arguments(1)
registers = WScript.Arguments(2)

On Error Resume Next
path = work & "\by-root.txt"
root.CreateFile path
ExpectOk "CreateFile " & path
root.DeleteFile path
ExpectGuard "DeleteFile", deletes, "Quennel.Tessary.1"
Check root.FileExists(path) = (deletes = "denied"), "DeleteFile left the file as the switch says"

path = work & "\by-file.txt"
root.CreateFile path
ExpectOk "CreateFile " & path
root.GetFile(path).Delete
ExpectGuard "File.Delete", deletes, "Tessary.File.1"
Check root.FileExists(path) = (deletes = "denied"), "File.Delete left the file as the switch says"

path = work & "\by-root"
root.CreateFolder path
ExpectOk "CreateFolder " & path
root.DeleteFolder path
If Not NotBuilt("DeleteFolder") Then
  ExpectGuard "DeleteFolder", deletes, "Quennel.Tessary.1"
  Check root.FolderExists(path) = (deletes = "denied"), "DeleteFolder left the folder as the switch says"
End If

path = work & "\by-folder"
root.CreateFolder path
ExpectOk "CreateFolder " & path
root.GetFolder(path).Delete
If Not NotBuilt("Folder.Delete") Then
  ExpectGuard "Folder.Delete", deletes, "Tessary.Folder.1"
  Check root.FolderExists(path) = (deletes = "denied"), "Folder.Delete left the folder as the switch says"
End If

' A text file is no module: when the switch lets the call through, it fails
' loading the file, never with the refusal.
path = work & "\not-a-module.txt"
root.CreateFile path
ExpectOk "CreateFile " & path
root.RegisterDLL path
If Not NotBuilt("RegisterDLL") Then
  If registers = "denied" Then
    ExpectGuard "RegisterDLL", registers, "Quennel.Tessary.1"
  Else
    Check Err.Number <> 0 And Err.Number <> E_ACCESSDENIED, _
      "RegisterDLL gets past the switch and fails loading a text file: " & Hex(Err.Number) & " " & Err.Description
    Err.Clear
  End If
End If

If failures > 0 Then WScript.Quit 1
