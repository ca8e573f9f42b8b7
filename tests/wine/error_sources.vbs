' Each reporting class fills the error record under its own ProgID, which
' VBScript shows as Err.Source (JScript has no such field): the root, File,
' Folder, BinaryStream (also for the TextStream it drives), Dictionary
' through the collections, and Drive.
' Argument 0: an empty working folder (a Windows path).
Option Explicit
' @include lib/checks.vbs

Const E_INVALIDARG = &H80070057
Const E_ACCESSDENIED = &H80070005
Const FILE_EXISTS = &H80070050
Const ROOT_SOURCE = "Quennel.Tessary.1"

On Error Resume Next
Dim file, stream, files, drive
file = work & "\present.txt"
root.CreateFile file
ExpectOk "CreateFile " & file

' The root object.
root.GetSpecialFolder 3
ExpectError "GetSpecialFolder(3)", E_INVALIDARG, ROOT_SOURCE, "Invalid argument"
root.DeleteFile work & "\absent*.txt"
ExpectError "DeleteFile with no match", DISP_E_EXCEPTION, ROOT_SOURCE, _
  work & "\absent*.txt could not be found"
root.CreateFile file, False
ExpectError "CreateFile over an existing file", FILE_EXISTS, ROOT_SOURCE, ""

' File: a folder fails the probe with access denied.
root.GetFile work
ExpectError "GetFile on a folder", E_ACCESSDENIED, "Tessary.File.1", ""

' Folder.
root.GetFolder file
ExpectError "GetFolder on a file", DISP_E_EXCEPTION, "Tessary.Folder.1", "Argument must be a directory."

' BinaryStream, and the TextStream that opens its file through one.
root.CreateBinaryFile file, False
If Not NotBuilt("CreateBinaryFile") Then
  ExpectError "CreateBinaryFile over an existing file", FILE_EXISTS, "Tessary.BinaryStream.1", ""
End If
Set stream = root.CreateBinaryFile(work & "\bytes.bin")
If Not NotBuilt("CreateBinaryFile") Then
  ExpectOk "CreateBinaryFile"
  stream.Write 5
  ExpectError "BinaryStream.Write of a number", DISP_E_EXCEPTION, "Tessary.BinaryStream.1", _
    "Couldn't convert type to Array of bytes."
  stream.Close
  ExpectOk "BinaryStream.Close"
End If
root.CreateTextFile file, False
If Not NotBuilt("CreateTextFile") Then
  ExpectError "CreateTextFile over an existing file", FILE_EXISTS, "Tessary.BinaryStream.1", ""
End If

' A collection passes the Dictionary's report on.
Set files = root.GetFolder(work).Files
If Not NotBuilt("Folder.Files") Then
  ExpectOk "Folder.Files"
  Set file = files(0)
  ExpectError "Files(0)", DISP_E_EXCEPTION, "Tessary.Dictionary.1", "Index out of range."
  Set file = files("absent.txt")
  ExpectError "Files(""absent.txt"")", DISP_E_EXCEPTION, "Tessary.Dictionary.1", "Item not found."
End If

' Drive: this prefix has no drive Q:.
Set drive = root.GetDrive("Q:")
If Not NotBuilt("GetDrive") Then
  ExpectError "GetDrive(""Q:"")", DISP_E_EXCEPTION, "Tessary.Drive.1", "Device Unavailable."
End If

root.DeleteFolder work, True
If Not NotBuilt("DeleteFolder") Then ExpectOk "DeleteFolder " & work

If failures > 0 Then WScript.Quit 1
