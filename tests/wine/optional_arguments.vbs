' Optional arguments left out by position take their type-library defaults
' (the dispatch layer fills them in; the component never tests for a missing
' argument): trailing ones omitted, and middle ones skipped with an empty slot,
' which VBScript can write and JScript cannot.
' Argument 0: an empty working folder (a Windows path).
Option Explicit
' @include lib/checks.vbs

Const FILE_EXISTS = &H80070050

Function SizeOf(path)
  SizeOf = -1
  SizeOf = root.GetFile(path).Size
  ExpectOk "Size of " & path
End Function

' Writes one line through a new text stream.
Sub WriteLineTo(stream, text, what)
  stream.WriteLine text
  ExpectOk what & ": WriteLine"
  stream.Close
  ExpectOk what & ": Close"
End Sub

On Error Resume Next
Dim src, dst, moved, name, stream, text, file, bin

' CopyFile and MoveFile: OverWriteFiles defaults to true.
src = work & "\source.txt"
dst = work & "\target.txt"
Set stream = root.CreateTextFile(src)
If NotBuilt("CreateTextFile") Then
  root.CreateFile src
  ExpectOk "CreateFile " & src
Else
  ExpectOk "CreateTextFile(src)"
  WriteLineTo stream, "source", "source.txt"
End If
root.CreateFile dst
ExpectOk "CreateFile(dst), one argument"
root.CreateFile dst
ExpectOk "CreateFile(dst) again: overwriting is the default"
root.CreateFile dst, False
ExpectError "CreateFile(dst, False)", FILE_EXISTS, "Quennel.Tessary.1", ""

root.CopyFile src, dst
ExpectOk "CopyFile src, dst over an existing file"
Check SizeOf(dst) = SizeOf(src), "CopyFile replaced the target"
root.CopyFile src, dst, False
ExpectError "CopyFile src, dst, False", FILE_EXISTS, "Quennel.Tessary.1", ""

moved = work & "\moved.txt"
root.CopyFile src, moved
ExpectOk "CopyFile src, moved"
root.MoveFile moved, dst, False
Check Err.Number <> 0, "MoveFile moved, dst, False over an existing file fails"
Err.Clear
root.MoveFile moved, dst
ExpectOk "MoveFile moved, dst over an existing file"
Check Not root.FileExists(moved), "MoveFile took the source away"

' File.Copy: OverWriteFiles defaults to true.
Set file = root.GetFile(src)
ExpectOk "GetFile(src)"
file.Copy dst
ExpectOk "File.Copy dst over an existing file"
file.Copy dst, False
ExpectError "File.Copy dst, False", FILE_EXISTS, "Tessary.File.1", ""

' CreateTextFile(FileName, Overwrite = True, Unicode = False).
name = work & "\text.txt"
Set stream = root.CreateTextFile(name)
If Not NotBuilt("CreateTextFile") Then
  ExpectOk "CreateTextFile(name)"
  WriteLineTo stream, "x", "CreateTextFile(name)"
  Check SizeOf(name) = 3, "one argument: ANSI text, 3 bytes"
  Set stream = root.CreateTextFile(name)
  ExpectOk "CreateTextFile(name) over the file: overwriting is the default"
  stream.Close
  Check SizeOf(name) = 0, "overwriting truncated the file"
  Set stream = root.CreateTextFile(name, False)
  ExpectError "CreateTextFile(name, False)", FILE_EXISTS, "Tessary.BinaryStream.1", ""
  Set stream = root.CreateTextFile(work & "\new.txt", False)
  ExpectOk "CreateTextFile(new name, False)"
  WriteLineTo stream, "x", "CreateTextFile(new name, False)"
  Check SizeOf(work & "\new.txt") = 3, "two arguments: ANSI text, 3 bytes"

  ' Overwrite skipped, Unicode given: byte-order mark and two bytes a character.
  Set stream = root.CreateTextFile(name, , True)
  ExpectOk "CreateTextFile(name, , True)"
  WriteLineTo stream, "x", "CreateTextFile(name, , True)"
  Check SizeOf(name) = 8, "a skipped Overwrite with Unicode: 8 bytes, got " & SizeOf(name)

  ' OpenTextFile(FileName, IOMode = ForReading, Create = False, Format = TristateFalse).
  Set stream = root.OpenTextFile(name, , , -1)
  ExpectOk "OpenTextFile(name, , , TristateTrue)"
  text = stream.ReadLine
  ExpectOk "ReadLine of the Unicode file"
  Check text = "x", "the Unicode line reads back: """ & text & """"
  stream.Close
  Set stream = root.OpenTextFile(work & "\appended.txt", 8, True)
  ExpectOk "OpenTextFile(new name, ForAppending, True)"
  WriteLineTo stream, "y", "OpenTextFile for appending"
  Set stream = root.OpenTextFile(work & "\appended.txt")
  ExpectOk "OpenTextFile(name): reading is the default"
  text = stream.ReadAll
  ExpectOk "ReadAll"
  Check text = "y" & vbCrLf, "ReadAll gives the line written"
  stream.Close

  ' Folder.CreateTextFile joins a bare name to the folder.
  Set stream = Nothing
  Set stream = root.GetFolder(work).CreateTextFile("inner.txt")
  If Not NotBuilt("Folder.CreateTextFile") Then
    ExpectOk "Folder.CreateTextFile(""inner.txt"")"
    stream.Close
    Check root.FileExists(work & "\inner.txt"), "Folder.CreateTextFile made the file in the folder"
  End If

  ' File.OpenAsTextStream(IOMode = ForReading, Format = TristateFalse).
  Set stream = Nothing
  Set stream = root.GetFile(src).OpenAsTextStream
  If Not NotBuilt("File.OpenAsTextStream") Then
    ExpectOk "File.OpenAsTextStream without arguments"
    text = stream.ReadLine
    ExpectOk "ReadLine"
    Check text = "source", "OpenAsTextStream reads the file"
    stream.Close
  End If
End If

' CreateBinaryFile(FileName, Overwrite = True), OpenBinaryFile(FileName, IOMode = ForReading).
Set bin = root.CreateBinaryFile(src)
If Not NotBuilt("CreateBinaryFile") Then
  ExpectOk "CreateBinaryFile(src) over the file: overwriting is the default"
  bin.Fill 65, 4
  ExpectOk "Fill"
  bin.Close
  Check SizeOf(src) = 4, "CreateBinaryFile truncated and wrote 4 bytes"
  Set bin = root.OpenBinaryFile(src)
  ExpectOk "OpenBinaryFile(src): reading is the default"
  bin.Fill 66, 1
  Check Err.Number <> 0, "a stream opened for reading refuses to write"
  Err.Clear
  bin.Close
End If

' DeleteFile(FileSpec, Force = False): a read-only file stays unless forced.
root.GetFile(dst).Attributes = 1
ExpectOk "Attributes = ReadOnly"
root.DeleteFile dst
ExpectError "DeleteFile of a read-only file", DISP_E_EXCEPTION, "Quennel.Tessary.1", ""
Check root.FileExists(dst), "the read-only file is still there"
root.DeleteFile dst, True
ExpectOk "DeleteFile dst, True"
Check Not root.FileExists(dst), "forced DeleteFile removed it"

root.DeleteFolder work, True
If Not NotBuilt("DeleteFolder") Then ExpectOk "DeleteFolder " & work

If failures > 0 Then WScript.Quit 1
