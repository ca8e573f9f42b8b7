' Content inspection in the Windows DLL: image headers of all four formats
' written byte by byte, MD5 checksums, and a MIME type registered with the
' system's own registry (HKEY_CLASSES_ROOT), which the DLL reads as it is.
' Argument 0: an empty working folder (a Windows path).
Option Explicit
' @include lib/checks.vbs

' A file of the given bytes, as a File object.
Function Made(name, values)
  Dim stream, i
  Set stream = root.CreateBinaryFile(work & "\" & name)
  ExpectOk "CreateBinaryFile " & name
  For i = 0 To UBound(values)
    stream.Fill values(i), 1
  Next
  ExpectOk "Fill " & name
  stream.Close
  Set Made = root.GetFile(work & "\" & name)
  ExpectOk "GetFile " & name
End Function

Sub ExpectImage(name, values, width, height, color)
  Dim file, got
  Set file = Made(name, values)
  got = file.ImageWidth & "x" & file.ImageHeight & " " & file.ImageColor
  ExpectOk "image of " & name
  Check got = width & "x" & height & " " & color, name & ": " & got
End Sub

On Error Resume Next
Dim probe, file, shell, key

Set probe = Made("probe.gif", Array(71, 73, 70, 56, 57, 97, 1, 0, 1, 0, 0))
Dim w : w = probe.ImageWidth
If NotBuilt("ImageWidth") Then WScript.Quit 0
ExpectOk "ImageWidth"

ExpectImage "a.gif", Array(71, 73, 70, 56, 57, 97, &H40, 1, &HC8, 0, &HF7, 0, 0), 320, 200, 256
ExpectImage "a.bmp", Array(66, 77, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, _
  &H80, 2, 0, 0, &HE0, 1, 0, 0, 1, 0, 8), 640, 480, 256
ExpectImage "a.png", Array(&H89, 80, 78, 71, 13, 10, 26, 10, 0, 0, 0, 13, 73, 72, 68, 82, _
  0, 1, 2, 3, 0, 0, 0, 77, 8, 2, 0, 0, 0), 515, 77, 16777216
ExpectImage "grey.jpg", Array(&HFF, &HD8, &HFF, &HC0, 0, 11, 8, 1, &HE0, 2, &H80, 1, 1, &H11, 0), _
  640, 480, 256
ExpectImage "sof5.jpg", Array(&HFF, &HD8, &HFF, &HC5, 0, 11, 8, 1, &HE0, 2, &H80, 1, 1, &H11, 0), _
  0, 0, 0
ExpectImage "cut.png", Array(&H89, 80, 78, 71, 13, 10, 26, 10, 0, 0, 0, 13, 73, 72, 68, 82, _
  0, 1, 2), 0, 0, 0

Set file = Made("abc.bin", Array(97, 98, 99))
Check file.Checksum = "900150983cd24fb0d6963f7d28e17f72", "MD5 of abc: " & file.Checksum
ExpectOk "Checksum"
root.DeleteFile work & "\abc.bin"
ExpectOk "DeleteFile abc.bin"
Dim digest : digest = file.Checksum
ExpectError "Checksum of a deleted file", DISP_E_EXCEPTION, "Tessary.File.1", _
  "Failed to generate checksum for file: " & work & "\abc.bin"

' The MIME type is whatever the registry holds for the extension.
Set file = Made("a.tessary-test", Array(1))
Check file.MimeType = "", "no MIME type registered: " & file.MimeType
Set shell = CreateObject("WScript.Shell")
key = "HKCR\.tessary-test\"
shell.RegWrite key & "Content Type", "application/x-tessary-test", "REG_SZ"
ExpectOk "RegWrite " & key
Check file.MimeType = "application/x-tessary-test", "registered MIME type: " & file.MimeType
ExpectOk "MimeType"
shell.RegDelete key
Err.Clear

root.DeleteFolder work, True
ExpectOk "DeleteFolder " & work

If failures > 0 Then WScript.Quit 1
