// Whole-file encryption from a script: File members and the root's entries.
eval(new ActiveXObject("Quennel.Tessary").OpenTextFile(WScript.ScriptFullName.replace(/[^\\]*$/, "lib\\checks.js")).ReadAll());
function read(path) {
  var stream = fso.OpenTextFile(path, 1);
  var text = stream.AtEndOfStream ? "" : stream.ReadAll();
  stream.Close();
  return text;
}

var fso = new ActiveXObject("Quennel.Tessary");
var base = fso.BuildPath(fso.GetAbsolutePathName(""), "encryption");
fso.CreateFolder(base);
var plain = fso.BuildPath(base, "plain.txt");
var cipher = fso.BuildPath(base, "cipher.bin");
var back = fso.BuildPath(base, "back.txt");
var text = "The quick brown fox jumps over the lazy dog, twice over: 1234567890.";
var out = fso.CreateTextFile(plain, true);
out.Write(text);
out.Close();

var QNTWOFISH = 2;
fso.GetFile(plain).Encrypt(cipher, "secret", QNTWOFISH);
assert(fso.GetFile(cipher).Size == text.length, "same length");
assert(read(cipher) != text, "enciphered");
fso.DecryptFile(cipher, back, "secret", QNTWOFISH);
assert(read(back) == text, "round trip, got " + read(back));

// Without a password the default key is used both ways.
fso.EncryptFile(plain, cipher, "", QNTWOFISH);
fso.GetFile(cipher).Decrypt(back, "", QNTWOFISH);
assert(read(back) == text, "default key round trip");

// Only the text: JScript engines differ in the number they give a text
// failure and in whether its Error carries a source.
var e = failure(function () { fso.EncryptFile(plain, cipher, "x", 9); });
assert(e.description == "Encryption type is not Supported.", "unsupported type, got " + e.description);

e = failure(function () { fso.EncryptFile(plain, plain, "x", QNTWOFISH); });
assert(hex(e.number) == "80070020", "onto itself, got " + hex(e.number));
assert(read(plain) == text, "the input is intact");

// The provider types: each decrypts its own output; Type 3 and the default
// share the 128-bit key, Type 4 derives a 40-bit one.
var other = fso.BuildPath(base, "other.bin");
for (var type = 1; type <= 4; ++type) {
  if (type == QNTWOFISH) continue;
  fso.EncryptFile(plain, cipher, "Pass Word 123", type);
  assert(fso.GetFile(cipher).Size == text.length, "provider output length, type " + type);
  fso.DecryptFile(cipher, back, "Pass Word 123", type);
  assert(read(back) == text, "provider round trip, type " + type);
}
fso.EncryptFile(plain, cipher, "pw");
fso.EncryptFile(plain, other, "pw", 3);
assert(read(cipher) == read(other), "the default type uses the 128-bit key");
fso.EncryptFile(plain, other, "pw", 4);
assert(read(cipher) != read(other), "type 4 uses the 40-bit key");
