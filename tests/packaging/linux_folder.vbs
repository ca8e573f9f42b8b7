' Run under Wine's cscript with the DLL the installer registered: the root
' object by its ProgID, a Linux folder reached through Wine's drive letter
' (argument 0, e.g. Z:\tmp\work), a text file written and read back there.
' Prints one line, which the caller compares; Wine's cscript gives no exit
' status for an uncaught error, so a failure prints its number instead.
Option Explicit
Dim root, path, stream, text
On Error Resume Next
Set root = CreateObject("Quennel.Tessary")
path = WScript.Arguments(0) & "\from-vbscript.txt"
Set stream = root.CreateTextFile(path, True)
stream.WriteLine "written by VBScript"
stream.Close
Set stream = root.OpenTextFile(path, 1)
text = stream.ReadLine
stream.Close
If Err.Number <> 0 Then
  WScript.Echo "error 0x" & Hex(Err.Number) & ": " & Err.Description
Else
  WScript.Echo text & " " & root.GetFile(path).Size & " " & root.FileExists(path)
End If
