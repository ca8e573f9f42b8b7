' RegisterDLL against real modules: our own DLL registers again, a file that
' is no module and a missing file fail with the loader's code, a module
' without the entries with ERROR_PROC_NOT_FOUND. (The switch is tried in
' tests/wine/switches.) Our DLL is never unregistered here: the tests after
' this one still need it.
' Argument 0: an empty working folder (a Windows path).
Option Explicit
' @include lib/checks.vbs

Const ROOT_SOURCE = "Quennel.Tessary.1"

On Error Resume Next
Dim fso, shell, dll, text
Set fso = CreateObject("Scripting.FileSystemObject")
Set shell = CreateObject("WScript.Shell")
fso.CreateFolder work
Err.Clear

dll = shell.RegRead("HKCR\CLSID\{E7B62F4E-82F4-11D2-BD41-00105A0A7E89}\InprocServer32\")
ExpectOk "the registered module's path"
root.RegisterDLL dll
If Not NotBuilt("RegisterDLL") Then
  ExpectOk "RegisterDLL of our own module"
  root.RegisterDLL dll, True
  ExpectOk "RegisterDLL of our own module, Register true"

  text = work & "\not-a-module.txt"
  root.CreateFile text
  ExpectOk "CreateFile"
  ' The system's text for this code has an insert the error path leaves
  ' unfilled, so only the number and source are certain.
  root.RegisterDLL text
  Check Err.Number = &H800700C1, "RegisterDLL of a text file: " & Hex(Err.Number)
  Check Err.Source = ROOT_SOURCE, "reported by the root: " & Err.Source
  Err.Clear
  root.RegisterDLL work & "\missing.dll"
  ExpectError "RegisterDLL of a missing file", &H8007007E, ROOT_SOURCE, ""
  root.RegisterDLL fso.GetSpecialFolder(1) & "\kernel32.dll"
  ExpectError "RegisterDLL of a module without the entry", &H8007007F, ROOT_SOURCE, ""
  root.RegisterDLL fso.GetSpecialFolder(1) & "\kernel32.dll", False
  ExpectError "RegisterDLL False of a module without the entry", &H8007007F, ROOT_SOURCE, ""
End If

If failures > 0 Then WScript.Quit 1
