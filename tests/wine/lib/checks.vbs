' The checks every Wine test shares. tests/wine/run puts this file where a
' test says "' @include lib/checks.vbs" (VBScript has no include of its own).
' A test includes it right after Option Explicit: the object under test,
' the working folder (argument 0) and the failure count come from here.
Dim root, work, failures
Set root = CreateObject("Quennel.Tessary")
work = WScript.Arguments(0)
failures = 0

Const DISP_E_EXCEPTION = &H80020009

' The body runs under On Error Resume Next, so each statement that calls the
' component is followed by ExpectOk or ExpectError, which read Err and clear it.
Sub Check(ok, what)
  If Not ok Then
    failures = failures + 1
    WScript.Echo "FAIL " & what
  End If
End Sub

Sub ExpectOk(what)
  If Err.Number <> 0 Then Check False, what & ": error " & Hex(Err.Number) & " " & Err.Description
  Err.Clear
End Sub

' text "" accepts any non-empty text: system texts differ between Windows
' versions and Wine.
Sub ExpectError(what, number, source, text)
  Dim n, s, d
  n = Err.Number : s = Err.Source : d = Err.Description
  Err.Clear
  If n = 0 Then
    Check False, what & ": no error"
  Else
    Check n = number, what & ": number " & Hex(n) & ", expected " & Hex(number)
    Check s = source, what & ": source """ & s & """, expected """ & source & """"
    If text = "" Then
      Check d <> "", what & ": an error text"
    Else
      Check d = text, what & ": text """ & d & """, expected """ & text & """"
    End If
  End If
End Sub

' A member whose object is still being built answers E_NOTIMPL (VBScript's
' error 445); the test says so instead of failing.
Function NotBuilt(what)
  NotBuilt = (Err.Number = 445 Or Err.Number = &H80004001)
  If NotBuilt Then
    WScript.Echo "pending: " & what & " is not built yet"
    Err.Clear
  End If
End Function
