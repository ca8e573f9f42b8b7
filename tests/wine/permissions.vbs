' The permission members of File and Folder: no item has an access list, so
' enumerating its entries fails with the no-ACL text; the editing members
' are not provided; AccountServer keeps what it is given.
' Argument 0: an empty working folder (a Windows path).
Option Explicit
' @include lib/checks.vbs

Const NO_ACL = "This item has no ACL, check it can be secured (e.g. not a FAT formated drive)"

Sub ExpectNotImplemented(what)
  Check Err.Number = 445 Or Err.Number = &H80004001, what & " is not provided: " & Hex(Err.Number)
  Err.Clear
End Sub

' For Each over an item's entries: the failure's number and text, and how
' many entries were seen. Resuming after a failing For Each enters the body,
' so the body looks at Err first.
Function EnumerationError(item, seen, text)
  Dim entry
  On Error Resume Next
  seen = 0
  For Each entry In item
    If Err.Number <> 0 Then Exit For
    seen = seen + 1
  Next
  EnumerationError = Err.Number
  text = Err.Description
  Err.Clear
End Function

On Error Resume Next
Dim fso, path, item, seen, number, text
Set fso = CreateObject("Scripting.FileSystemObject")
fso.CreateFolder work
Err.Clear
path = work & "\a.txt"
root.CreateFile path
ExpectOk "CreateFile"

For Each item In Array(root.GetFile(path), root.GetFolder(work))
  number = EnumerationError(item, seen, text)
  If number = 445 Or number = &H80004001 Then
    WScript.Echo "pending: _NewEnum is not built yet"
  Else
    Check number <> 0, "enumerating the entries of " & item.Path & " fails"
    ' The script engine may not pass the text of a failing enumeration on.
    Check text = NO_ACL Or text = "", "with the no-ACL text: """ & text & """"
    Check seen = 0, "no entry is seen: " & seen
  End If

  item.AllowAccess "Everyone", 2
  ExpectNotImplemented "AllowAccess"
  item.DenyAccess "Everyone", 2
  ExpectNotImplemented "DenyAccess"
  item.RevokeAllowance "Everyone"
  ExpectNotImplemented "RevokeAllowance"
  item.RevokeDenial "Everyone"
  ExpectNotImplemented "RevokeDenial"
  seen = item.Owner
  ExpectNotImplemented "Owner"

  item.AccountServer = "\\server"
  ExpectOk "AccountServer put"
  Check item.AccountServer = "\\server", "AccountServer keeps the text: " & item.AccountServer
  ExpectOk "AccountServer get"
Next

If failures > 0 Then WScript.Quit 1
