' Whole-file encryption in the Windows DLL: its output is byte for byte the
' Linux build's (checked by checksum against values the Linux build and the
' recorded provider vectors give), and it decrypts files the Linux build
' encrypted (their bytes are written here as the Linux build wrote them).
' Argument 0: an empty working folder (a Windows path).
Option Explicit
' @include lib/checks.vbs

' A file of n bytes, byte i = (i*7+3) mod 256.
Sub Pattern(name, n)
  Dim stream, i, value
  Set stream = root.CreateBinaryFile(work & "\" & name)
  ExpectOk "CreateBinaryFile " & name
  For i = 0 To n - 1
    value = (i * 7 + 3) Mod 256
    stream.Fill value, 1
  Next
  stream.Close
End Sub

' A file of the bytes of a hexadecimal text.
Sub FromHex(name, text)
  Dim stream, i, value
  Set stream = root.CreateBinaryFile(work & "\" & name)
  For i = 1 To Len(text) Step 2
    value = CInt("&H" & Mid(text, i, 2))
    stream.Fill value, 1
  Next
  stream.Close
  ExpectOk "FromHex " & name
End Sub

Sub ExpectSum(name, sum)
  Dim got, file
  Set file = root.GetFile(work & "\" & name)
  got = file.Checksum
  ExpectOk "Checksum " & name
  Check got = sum, name & ": checksum " & got & ", expected " & sum
End Sub

On Error Resume Next
Pattern "p1001", 1001
Pattern "p1040", 1040
Pattern "p2500", 2500

' Encrypted here, the same bytes as on Linux.
root.EncryptFile work & "\p1040", work & "\tf1040", "secret", 2
ExpectOk "EncryptFile Twofish"
ExpectSum "tf1040", "83a3b634ad38d77cb934438b2afec06b"
root.EncryptFile work & "\p1001", work & "\rsa1001", "secret"
ExpectOk "EncryptFile default type"
ExpectSum "rsa1001", "48ac627a4ab1ff965a677ad6b81e396f"
root.EncryptFile work & "\p1001", work & "\low1001", "secret", 4
ExpectOk "EncryptFile type 4"
ExpectSum "low1001", "87e9003370563bea708a3b21b576399e"
Dim file
Set file = root.GetFile(work & "\p2500")
file.Encrypt work & "\high2500", "Pass Word 123", 3
ExpectOk "Encrypt type 3"
ExpectSum "high2500", "dc32ee302a431f392a9fdfc76fa3a67c"

' Encrypted on Linux (33 bytes of the pattern, password "secret"),
' decrypted here.
FromHex "linux_tf33", "7d6af97d29a47266260bb4757a945934ba70d4899c2131716dacb17452862f0f7c"
root.DecryptFile work & "\linux_tf33", work & "\back_tf33", "secret", 2
ExpectOk "DecryptFile Twofish"
ExpectSum "back_tf33", "559f842ab304a042cfcd6fad8713c61a"
FromHex "linux_rc33", "0cc073e218fc0f9e33395b2337895e76f17bb3d0ac4cc91c182c8bbe91b358e3b6"
root.DecryptFile work & "\linux_rc33", work & "\back_rc33", "secret", 4
ExpectOk "DecryptFile type 4"
ExpectSum "back_rc33", "559f842ab304a042cfcd6fad8713c61a"

root.EncryptFile work & "\p1001", work & "\x", "secret", 5
ExpectError "type 5", DISP_E_EXCEPTION, "Tessary.File.1", "Encryption type is not Supported."
root.EncryptFile work & "\p1001", work & "\p1001", "secret", 2
ExpectError "onto itself", &H80070020, "Tessary.File.1", ""
ExpectSum "p1001", "974f1c55640d1ec9df6035704aa3332b"

root.DeleteFolder work, True
ExpectOk "DeleteFolder " & work

If failures > 0 Then WScript.Quit 1
