' The Dictionary from VBScript: assignment through the default member, both
' d(k) = value and Set d(k) = object (the put-by-reference form only VBScript
' writes), object items that come back as objects, positions in key order,
' For Each over the items, and the members that edit the entries.
' Argument 0: an empty working folder (a Windows path).
Option Explicit
' @include lib/checks.vbs
Const SOURCE = "Tessary.Dictionary.1"

On Error Resume Next
Dim d, item, seen, obj, n
Set d = CreateObject("Tessary.Dictionary")
ExpectOk "CreateObject(""Tessary.Dictionary"")"

d("b") = 1
ExpectOk "d(""b"") = 1"
d.Add "A", 2
ExpectOk "d.Add ""A"", 2"
d("B") = 3
ExpectOk "d(""B"") = 3"
n = d.Count
ExpectOk "Count"
Check n = 2, "keys differ only in case are one key: Count " & n
item = d("b")
ExpectOk "d(""b"")"
Check item = 3, "d(""B"") = 3 replaced the item: " & item

' Positions count from 1 in key order, for every integer type.
item = d(1)
ExpectOk "d(1)"
Check item = 2, "position 1 is key A: " & item
item = d(CByte(2))
ExpectOk "d(CByte(2))"
Check item = 3, "position 2 as a byte is key b: " & item
item = d(CInt(1))
ExpectOk "d(CInt(1))"
Check item = 2, "position 1 as an integer: " & item

seen = ""
For Each item In d
  seen = seen & item & ","
Next
ExpectOk "For Each over the dictionary"
Check seen = "2,3,", "For Each yields the items in key order: " & seen

' An object stored with Add or with Set comes back as the same working object.
d.Add "root", root
ExpectOk "d.Add ""root"", root"
Set obj = d("ROOT")
ExpectOk "Set obj = d(""ROOT"")"
Check obj.GetFileName("C:\a\b.txt") = "b.txt", "the object added still answers"
ExpectOk "GetFileName through the object added"

Set d("set") = root
ExpectOk "Set d(""set"") = root"
n = d.Count
Check n = 4, "Set d(""set"") = root adds an entry: Count " & n
Set obj = Nothing
Set obj = d("set")
ExpectOk "Set obj = d(""set"")"
Check IsObject(obj), "the item stored by Set is an object"
Check obj.GetFileName("C:\a\c.txt") = "c.txt", "the object stored by Set still answers"
ExpectOk "GetFileName through the object stored by Set"
Set d("b") = root
ExpectOk "Set d(""b"") = root over a number"
Check IsObject(d("b")), "Set replaced the number with the object"
ExpectOk "d(""b"")"
d("b") = 3
ExpectOk "d(""b"") = 3 over the object"

item = d(0)
ExpectError "d(0)", DISP_E_EXCEPTION, SOURCE, "Index out of range."
item = d(5)
ExpectError "d(Count + 1)", DISP_E_EXCEPTION, SOURCE, "Index out of range."
item = d(1.5)
ExpectError "d(1.5)", DISP_E_EXCEPTION, SOURCE, "Type not supported."
item = d(True)
ExpectError "d(True)", DISP_E_EXCEPTION, SOURCE, "Type not supported."
item = d("absent")
ExpectError "d(""absent"")", DISP_E_EXCEPTION, SOURCE, "Item not found."

' Exists, Remove and RemoveAll do what their names say.
Check d.Exists("a") = True, "Exists(""a"")"
ExpectOk "Exists(""a"")"
Check d.Exists("absent") = False, "Exists(""absent"")"
ExpectOk "Exists(""absent"")"
d.Remove "A"
ExpectOk "Remove ""A"""
Check Not d.Exists("a"), "Remove took the key away"
n = d.Count
Check n = 3, "Count after Remove: " & n
d.Remove "absent"
ExpectError "Remove ""absent""", DISP_E_EXCEPTION, SOURCE, ""
d.RemoveAll
ExpectOk "RemoveAll"
n = d.Count
Check n = 0, "Count after RemoveAll: " & n

If failures > 0 Then WScript.Quit 1
