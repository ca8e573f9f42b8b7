' For Each over the collections (the enumerator behind _NewEnum, which
' VBScript asks for with a method-or-property call), Count, and Item by name
' and by position: Files and SubFolders of a folder, and the Drives.
' Argument 0: an empty working folder (a Windows path).
Option Explicit
' @include lib/checks.vbs

Function Names(collection, what)
  Dim entry, list
  list = ""
  For Each entry In collection
    list = list & entry.Name & ","
  Next
  ExpectOk "For Each over " & what
  Names = list
End Function

On Error Resume Next
Dim folder, files, subs, name, entry, n, list, drives

For Each name In Array("b.txt", "A.txt", "c.txt")
  root.CreateFile work & "\" & name
  ExpectOk "CreateFile " & name
Next
For Each name In Array("y", "X", ".cache")
  root.CreateFolder work & "\" & name
  ExpectOk "CreateFolder " & name
Next
root.CreateFile work & "\y\inner.txt"
ExpectOk "CreateFile y\inner.txt"

Set folder = root.GetFolder(work)
ExpectOk "GetFolder"
Set files = folder.Files
If Not NotBuilt("Folder.Files") Then
  ExpectOk "Folder.Files"
  list = Names(files, "Files")
  Check list = "A.txt,b.txt,c.txt,", "Files in case-insensitive name order: " & list
  n = files.Count
  ExpectOk "Files.Count"
  Check n = 3, "Files.Count " & n
  name = files(1).Name
  ExpectOk "files(1).Name"
  Check name = "A.txt", "files(1) is A.txt: " & name
  name = files.Item(3).Name
  ExpectOk "files.Item(3).Name"
  Check name = "c.txt", "files.Item(3) is c.txt: " & name
  name = files("C.TXT").Name
  ExpectOk "files(""C.TXT"").Name"
  Check name = "c.txt", "files(""C.TXT"") is c.txt: " & name
  Set entry = files(4)
  ExpectError "files(4)", DISP_E_EXCEPTION, "Tessary.Dictionary.1", "Index out of range."
  Set entry = files(1.5)
  ExpectError "files(1.5)", DISP_E_EXCEPTION, "Tessary.Dictionary.1", "Type not supported."

  ' Nested walks, each over its own snapshot.
  list = ""
  For Each entry In folder.SubFolders
    list = list & entry.Name & ":" & Names(entry.Files, entry.Name & ".Files") & ";"
  Next
  ExpectOk "nested For Each"
  Check list = "X:;y:inner.txt,;", "SubFolders without .cache, each with its files: " & list

  folder.SearchWildCard = "*.log"
  ExpectOk "SearchWildCard = ""*.log"""
  n = folder.Files.Count
  ExpectOk "Files.Count with *.log"
  Check n = 0, "no *.log files: Count " & n
End If

Set drives = root.Drives
If Not NotBuilt("Drives") Then
  ExpectOk "Drives"
  list = ""
  For Each entry In drives
    list = list & entry.Path & ","
  Next
  ExpectOk "For Each over Drives"
  Check InStr(list, "C:") > 0, "the drives include C: " & list
End If

root.DeleteFolder work, True
If Not NotBuilt("DeleteFolder") Then ExpectOk "DeleteFolder " & work

If failures > 0 Then WScript.Quit 1
