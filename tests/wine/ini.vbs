' The INI entries of the Windows DLL over the system's own profile services:
' the buffer policy, the number and boolean texts, deletes, and the bytes
' the calls leave in a file (the Linux build writes the same for the same
' calls; tests/scripts/ini.js compares them line by line).
' Argument 0: an empty working folder (a Windows path).
Option Explicit
' @include lib/checks.vbs

On Error Resume Next
Dim fso, ini, value, longValue, stream
Set fso = CreateObject("Scripting.FileSystemObject")
fso.CreateFolder work
Err.Clear
ini = work & "\test.ini"

value = root.INIReadString(ini, "s", "k", "dflt")
If Not NotBuilt("INIReadString") Then
  ExpectOk "INIReadString of a missing file"
  Check value = "dflt", "a missing file gives the default, got " & value

  longValue = String(5000, "x")
  root.INIWriteString ini, "Main", "Long", longValue
  ExpectOk "INIWriteString of 5000 characters"
  value = root.INIReadString(ini, "main", "LONG")
  ExpectOk "INIReadString of 5000 characters"
  Check value = longValue, "5000 characters read whole, got " & Len(value)

  root.INIWriteInteger ini, "Main", "Count", -42
  ExpectOk "INIWriteInteger"
  Check root.INIReadInteger(ini, "main", "count") = -42, "integer read"
  root.INIWriteString ini, "Main", "Text", "abc"
  ExpectOk "INIWriteString"
  root.INIWriteString ini, "Main", "Empty", ""
  ExpectOk "INIWriteString of an empty value"
  root.INIWriteString ini, "Main", "Five", "5"
  ExpectOk "INIWriteString"
  Check root.INIReadInteger(ini, "main", "text", 7) = 7, "text is no integer"
  Check root.INIReadInteger(ini, "main", "empty", 7) = 7, "empty is no integer"
  Check root.INIReadInteger(ini, "main", "missing", 7) = 7, "missing integer"
  Check root.INIReadBoolean(ini, "main", "five") = 1, "5 is true"
  Check root.INIReadBoolean(ini, "main", "text", -1) = -1, "text keeps the default"
  Check root.INIReadBoolean(ini, "main", "missing", -1) = 1, "a missing key takes the default's truth"
  root.INIWriteBoolean ini, "Main", "On", -1
  ExpectOk "INIWriteBoolean"
  Check root.INIReadString(ini, "main", "on") = "1", "true is stored as 1"
  ExpectOk "reads"

  root.INIDeleteKey ini, "main", "no such key"
  ExpectOk "INIDeleteKey of a missing key"
  root.INIDeleteKey ini, "main", "long"
  ExpectOk "INIDeleteKey"
  root.INIWriteString ini, "Other", "k", "v"
  ExpectOk "INIWriteString"
  root.INIDeleteSection ini, "other"
  ExpectOk "INIDeleteSection"
  Set stream = fso.OpenTextFile(ini, 1)
  value = stream.ReadAll
  stream.Close
  Check value = "[Main]" & vbCrLf & "Count=-42" & vbCrLf & "Text=abc" & vbCrLf & "Empty=" & _
        vbCrLf & "Five=5" & vbCrLf & "On=1" & vbCrLf, "the file's bytes, got " & _
        Replace(Replace(value, vbCr, "\r"), vbLf, "\n")

  root.INIWriteString work, "s", "k", "v"
  ExpectError "INIWriteString to a folder", &H80070005, "Quennel.Tessary.1", ""
End If

If failures = 0 Then WScript.Echo "ok"
WScript.Quit failures
