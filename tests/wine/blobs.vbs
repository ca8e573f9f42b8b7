' ExportToBlob and ImportFromBlob with fields that are VBScript classes: the
' chunk sizes a field is given, the end markers and other answers it may
' give back, and fields that are no object or lack the method.
' Argument 0: an empty working folder (a Windows path).
Option Explicit
' @include lib/checks.vbs
Const DISP_E_TYPEMISMATCH = &H80020005
Const ROOT_SOURCE = "Quennel.Tessary.1"

' A field: AppendChunk keeps each chunk in a file of its own (through a
' BinaryStream, which takes byte arrays whole), GetChunk answers from a list
' and then with Null. A field that fails midway is left to the unit tests:
' an error raised in a class method reaches the host as an uncaught script
' error even when the component handles the failure.
Class BlobField
  Public Calls
  Public Sizes
  Public Asked
  Public Answers
  Private Sub Class_Initialize
    Calls = 0 : Sizes = "" : Asked = "" : Answers = Array()
  End Sub
  Public Sub AppendChunk(chunk)
    Dim stream, name
    Calls = Calls + 1
    name = work & "\chunk" & Calls & ".bin"
    Set stream = root.CreateBinaryFile(name)
    stream.Write chunk
    stream.Close
    Sizes = Sizes & root.GetFile(name).Size & " "
  End Sub
  Public Function GetChunk(size)
    Calls = Calls + 1
    Asked = Asked & size & " "
    If Calls > UBound(Answers) + 1 Then
      GetChunk = Null
    Else
      GetChunk = Answers(Calls - 1)
    End If
  End Function
End Class

Class NoMethods
  Public Value
End Class

' A field goes in as an expression's value, as a recordset's field does; a
' variable would go by reference, which the entries refuse.
Function AsValue(object)
  Set AsValue = object
End Function

Function FileBytes(path)
  Dim stream
  Set stream = root.OpenBinaryFile(path)
  FileBytes = stream.ReadAll
  stream.Close
End Function

Function Filled(name, count)
  Dim stream
  Filled = work & "\" & name
  Set stream = root.CreateBinaryFile(Filled)
  If count > 0 Then stream.Fill 65, count
  stream.Close
End Function

On Error Resume Next
Dim fso, big, field, target, bytes, plain
Set fso = CreateObject("Scripting.FileSystemObject")
fso.CreateFolder work
Err.Clear

big = Filled("big.bin", 100000)
ExpectOk "a 100000-byte file"
Set field = New BlobField
root.ExportToBlob big, AsValue(field)
If Not NotBuilt("ExportToBlob") Then
  ExpectOk "ExportToBlob of 100000 bytes"
  Check field.Sizes = "49152 49152 1696 ", "three chunks of 49152, 49152, 1696: " & field.Sizes

  ' The chunks back, with a text chunk and more bytes than asked for.
  Set field = New BlobField
  field.Answers = Array(FileBytes(work & "\chunk1.bin"), FileBytes(work & "\chunk2.bin"), _
                        FileBytes(work & "\chunk3.bin"), "AB", FileBytes(Filled("more.bin", 60000)))
  target = work & "\back.bin"
  root.ImportFromBlob AsValue(field), target
  ExpectOk "ImportFromBlob of the chunks"
  Check field.Asked = "49152 49152 49152 49152 49152 49152 ", "each call asks for 49152: " & field.Asked
  Check root.GetFile(target).Size = 100000 + 2 + 60000, "all bytes written: " & root.GetFile(target).Size

  Set field = New BlobField
  root.ExportToBlob Filled("empty.bin", 0), AsValue(field)
  ExpectOk "ExportToBlob of an empty file"
  Check field.Calls = 0, "an empty file makes no AppendChunk call: " & field.Calls

  Set field = New BlobField
  field.Answers = Array(Null, "never")
  target = work & "\null.bin"
  root.ImportFromBlob AsValue(field), target
  ExpectOk "ImportFromBlob ended by Null"
  Check root.GetFile(target).Size = 0, "Null first leaves an empty file"
  Check field.Calls = 1, "nothing is asked after Null: " & field.Calls

  ' What is no object is refused before anything is created.
  plain = "not an object"
  root.ExportToBlob big, plain
  ExpectError "ExportToBlob of a string", DISP_E_EXCEPTION, ROOT_SOURCE, "Incorrect parameter"
  target = work & "\never.bin"
  root.ImportFromBlob plain, target
  ExpectError "ImportFromBlob of a string", DISP_E_EXCEPTION, ROOT_SOURCE, "Incorrect parameter"
  Check Not root.FileExists(target), "no target for a string"
  root.ImportFromBlob 42, target
  ExpectError "ImportFromBlob of a number", DISP_E_EXCEPTION, ROOT_SOURCE, "Incorrect parameter"
  ' A variable holding the field goes by reference, and is judged as received.
  Set field = New BlobField
  root.ExportToBlob big, field
  ExpectError "ExportToBlob of a field by reference", DISP_E_EXCEPTION, ROOT_SOURCE, _
    "Incorrect parameter"

  root.ExportToBlob big, AsValue(New NoMethods)
  ExpectError "ExportToBlob without AppendChunk", DISP_E_EXCEPTION, ROOT_SOURCE, _
    "Parameter does not support the AppendChunk method"
  target = work & "\stays.bin"
  root.ImportFromBlob AsValue(New NoMethods), target
  ExpectError "ImportFromBlob without GetChunk", DISP_E_EXCEPTION, ROOT_SOURCE, _
    "Parameter does not support the GetChunk method"
  Check root.FileExists(target), "the target stays, empty"
  root.ExportToBlob work & "\missing.bin", AsValue(New BlobField)
  ExpectError "ExportToBlob of a missing file", DISP_E_EXCEPTION, ROOT_SOURCE, _
    "ExportToBlob failed - unable to open file"

  Set field = New BlobField
  field.Answers = Array("AB", 12)
  target = work & "\odd.bin"
  root.ImportFromBlob AsValue(field), target
  ExpectError "GetChunk answering a number", DISP_E_TYPEMISMATCH, ROOT_SOURCE, ""
  Check root.GetFile(target).Size = 2, "what came before stays"

End If

If failures > 0 Then WScript.Quit 1
