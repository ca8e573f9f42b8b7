// Blobs with script objects as their fields: the component calls the
// script's AppendChunk and GetChunk back through the objects it was handed.
function assert(condition, what) {
  if (!condition) throw new Error("assertion failed: " + what);
}

var fso = new ActiveXObject("Quennel.Tessary");
var base = fso.BuildPath(fso.GetAbsolutePathName(""), "blob_script_fields");
fso.CreateFolder(base);
var source = fso.BuildPath(base, "source.txt");
var text = "";
for (var i = 0; i < 100000; i++) text += String.fromCharCode(97 + (i % 26));
var stream = fso.CreateTextFile(source);
stream.Write(text);
stream.Close();

// Export: three chunks of a 100,000-byte file, each a byte array.
var field = {
  sizes: [],
  first: -1,
  AppendChunk: function (data) {
    if (this.first < 0) this.first = data[0];
    this.sizes.push(data.length);
  }
};
fso.ExportToBlob(source, field);
assert(field.sizes.join(",") == "49152,49152,1696", "chunk sizes: " + field.sizes.join(","));
assert(field.first == 97, "the first byte: " + field.first);

// Import: text chunks until the field answers null.
var parts = ["abc", "def", "ghi"];
var asked = [];
var reader = {
  next: 0,
  GetChunk: function (size) {
    asked.push(size);
    return this.next < parts.length ? parts[this.next++] : null;
  }
};
var target = fso.BuildPath(base, "target.txt");
fso.ImportFromBlob(reader, target);
assert(fso.OpenTextFile(target).ReadAll() == "abcdefghi", "the imported bytes");
assert(asked.join(",") == "49152,49152,49152,49152", "sizes asked: " + asked.join(","));

// A field whose method throws stops the transfer with a failure.
var thrown = false;
try {
  fso.ExportToBlob(source, { AppendChunk: function () { throw new Error("full"); } });
} catch (e) {
  thrown = true;
}
assert(thrown, "a throwing AppendChunk fails the export");
fso.DeleteFolder(base);
WScript.Echo("done");
