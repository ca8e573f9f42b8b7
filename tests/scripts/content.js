// Content inspection from a script: image sizes and colours of headers
// written as text, MD5 checksums, and MIME types of names no system knows
// (which types a system knows differs: Wine registers none for .txt).
eval(new ActiveXObject("Quennel.Tessary").OpenTextFile(WScript.ScriptFullName.replace(/[^\\]*$/, "lib\\checks.js")).ReadAll());

var root = new ActiveXObject("Quennel.Tessary");
var base = root.BuildPath(root.GetAbsolutePathName(""), "inspection");
root.CreateFolder(base);

function write(name, text, unicode) {
  var t = root.CreateTextFile(base + "\\" + name, true, unicode);
  t.Write(text);
  t.Close();
  return root.GetFile(base + "\\" + name);
}

function image(file) {
  return file.ImageWidth + "x" + file.ImageHeight + " " + file.ImageColor;
}

// Headers of bytes below 0x80, which every ANSI code page writes as they are.
WScript.Echo("gif: " + image(write("a.gif", "GIF89a@\x01\x10\x01\x07")));
WScript.Echo("bmp: " + image(write("a.bmp", "BMxxxxxxxxxxxxxxxx\x20\x03xx\x58\x02xx\x01x\x18")));
// A JPEG frame header in UTF-16 characters: after the byte-order mark
// FF FE come 41 FF D8 FF C0 00 11 08 01 E0 02 80 03 00.
WScript.Echo("jpeg: " + image(write("a.jpg", "\uFF41\uFFD8\u00C0\u0811\uE001\u8002\u0003", true)));
WScript.Echo("text: " + image(write("a.txt", "no image here")));

// An empty file is read again at the next call: once it holds a header,
// it is measured.
var empty = write("later.gif", "");
WScript.Echo("empty: " + image(empty));
write("later.gif", "GIF87a\x05\x01\x06\x01\x01");
WScript.Echo("filled: " + image(empty));

WScript.Echo("md5 empty: " + write("empty.bin", "").Checksum);
var abc = write("abc.bin", "abc");
WScript.Echo("md5 abc: " + abc.Checksum);
write("abc.bin", "message digest");
WScript.Echo("md5 again: " + abc.Checksum);
root.DeleteFile(base + "\\abc.bin");
var e = failure(function () { return abc.Checksum; });
assert(e.description == "Failed to generate checksum for file: " + base + "\\abc.bin",
       "checksum failure text: " + e.description);
WScript.Echo("md5 of a deleted file fails");

WScript.Echo("mime without a dot: [" + write("noext", "").MimeType + "]");
WScript.Echo("mime unknown: [" + write("a.tessary-unknown", "").MimeType + "]");

//> gif: 320x272 256
//> bmp: 800x600 16777216
//> jpeg: 640x480 16777216
//> text: 0x0 0
//> empty: 0x0 0
//> filled: 261x262 4
//> md5 empty: d41d8cd98f00b204e9800998ecf8427e
//> md5 abc: 900150983cd24fb0d6963f7d28e17f72
//> md5 again: f96b697d7cb7938d525a2f31aaf161d0
//> md5 of a deleted file fails
//> mime without a dot: []
//> mime unknown: []
