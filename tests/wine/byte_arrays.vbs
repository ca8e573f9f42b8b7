' Byte arrays (VT_ARRAY | VT_UI1) from VBScript: what BinaryStream reads
' comes back as one and writes back unchanged; variant arrays of bytes from
' ReadVar can be taken apart element by element; what is not a byte array or
' a string is refused.
' Argument 0: an empty working folder (a Windows path).
Option Explicit
' @include lib/checks.vbs
Const VT_ARRAY_UI1 = 8209      ' vbArray + vbByte
Const VT_ARRAY_VARIANT = 8204  ' vbArray + vbVariant

Function Bytes(path)
  Dim stream, list, i, values
  list = ""
  Set stream = root.OpenBinaryFile(path)
  ExpectOk "OpenBinaryFile " & path
  values = stream.ReadVarAll
  ExpectOk "ReadVarAll " & path
  stream.Close
  For i = 0 To UBound(values)
    list = list & values(i) & ","
  Next
  Bytes = list
End Function

On Error Resume Next
Dim first, copy, stream, data, values, at_end

first = work & "\first.bin"
copy = work & "\copy.bin"
Set stream = root.CreateBinaryFile(first)
If NotBuilt("CreateBinaryFile") Then WScript.Quit 0
ExpectOk "CreateBinaryFile"
stream.Fill 1, 2
ExpectOk "Fill 1, 2"
stream.Fill &H1FF, 1
ExpectOk "Fill &H1FF, 1 writes the low byte"
stream.Write "AB"
ExpectOk "Write ""AB"""
stream.Close
Check Bytes(first) = "1,1,255,65,0,66,0,", "the bytes written: " & Bytes(first)

' ReadAll gives a byte array; writing it back copies the file.
Set stream = root.OpenBinaryFile(first)
data = stream.ReadAll
ExpectOk "ReadAll"
stream.Close
Check VarType(data) = VT_ARRAY_UI1, "ReadAll is a byte array: VarType " & VarType(data)
Check IsArray(data), "IsArray of the byte array"
Set stream = root.CreateBinaryFile(copy)
ExpectOk "CreateBinaryFile copy"
stream.Write data
ExpectOk "Write of the byte array"
stream.Close
Check Bytes(copy) = Bytes(first), "the copy has the same bytes: " & Bytes(copy)

' ReadVar gives variants holding bytes; a read at the end sets AtEndOfStream.
Set stream = root.OpenBinaryFile(first)
values = stream.ReadVar(3)
ExpectOk "ReadVar(3)"
Check VarType(values) = VT_ARRAY_VARIANT, "ReadVar is a variant array: VarType " & VarType(values)
Check UBound(values) = 2, "ReadVar(3) has 3 elements"
Check VarType(values(2)) = vbByte And values(2) = 255, "element 2 is the byte 255"
values = stream.ReadVarAll
ExpectOk "ReadVarAll after ReadVar(3)"
Check UBound(values) = 3, "the rest is 4 bytes"
data = stream.Read(1)
ExpectOk "Read(1) at the end"
at_end = stream.AtEndOfStream
ExpectOk "AtEndOfStream"
Check at_end, "a read that gets nothing sets AtEndOfStream"
stream.Close

' A variant array or a number is no byte array.
Set stream = root.OpenBinaryFile(copy, 2)
ExpectOk "OpenBinaryFile(copy, ForWriting)"
stream.Write Array(1, 2, 3)
ExpectError "Write Array(1, 2, 3)", DISP_E_EXCEPTION, "Tessary.BinaryStream.1", _
  "Couldn't convert type to Array of bytes."
stream.Write 7
ExpectError "Write 7", DISP_E_EXCEPTION, "Tessary.BinaryStream.1", _
  "Couldn't convert type to Array of bytes."
stream.Close
Check Bytes(copy) = Bytes(first), "the refused writes changed nothing"

root.DeleteFolder work, True
If Not NotBuilt("DeleteFolder") Then ExpectOk "DeleteFolder " & work

If failures > 0 Then WScript.Quit 1
