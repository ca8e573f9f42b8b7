// File.MimeType, the image getters and Checksum against real files, and the
// system's file-type databases behind HKEY_CLASSES_ROOT.
#include <sys/stat.h>
#include <unistd.h>

#include "frame/module.h"
#include "fs_test_support.h"
#include "fsobjects/file.h"
#include "platform/posix/classes_database.h"

namespace tessary::testing {
namespace {

class InspectionTest : public FsTest {
 protected:
  IFile* Get(const std::string& name) {
    IFile* file = nullptr;
    EXPECT_EQ(S_OK, NewFile(B(W(name)).get(), &file)) << name;
    return file;
  }
  std::string Text(IFile* file, HRESULT (STDMETHODCALLTYPE IFile::*getter)(BSTR*)) {
    BSTR text = nullptr;
    EXPECT_EQ(S_OK, (file->*getter)(&text));
    return Take(text);
  }
  std::string Mime(const std::string& name) {
    Write(name, "");
    IFile* file = Get(name);
    std::string text = Text(file, &IFile::get_MimeType);
    file->Release();
    return text;
  }
  std::string Type(const std::string& name) {
    Write(name, "");
    IFile* file = Get(name);
    std::string text = Text(file, &IFile::get_Type);
    file->Release();
    return text;
  }
  struct Image {
    LONG width = -1, height = -1, color = -1;
  };
  Image Measure(IFile* file) {
    Image image;
    EXPECT_EQ(S_OK, file->get_ImageWidth(&image.width));
    EXPECT_EQ(S_OK, file->get_ImageHeight(&image.height));
    EXPECT_EQ(S_OK, file->get_ImageColor(&image.color));
    return image;
  }
  static std::string Bytes(std::initializer_list<int> bytes) {
    std::string s;
    for (int b : bytes) s += static_cast<char>(b);
    return s;
  }
};

TEST_F(InspectionTest, MimeTypeAndTypeComeFromTheStoreThenTheSystemDatabases) {
  // The machine's databases (media-types and shared-mime-info).
  EXPECT_EQ("text/plain", Mime("a.txt"));
  EXPECT_EQ("text/plain", Mime("UPPER.TXT"));
  EXPECT_EQ("image/jpeg", Mime("b.jpg"));
  EXPECT_EQ("plain text document", Type("a.txt"));
  EXPECT_EQ("", Mime("noext"));
  EXPECT_EQ("", Mime("a.nosuchextension"));
  EXPECT_EQ("", Type("a.nosuchextension"));

  // The store wins, value by value: an administrator overrides the content
  // type of .txt and the description of its type, and adds .tst.
  store_.Write(
      "REGEDIT4\n\n[HKEY_CLASSES_ROOT\\.txt]\n\"Content Type\"=\"text/x-ours\"\n\n"
      "[HKEY_CLASSES_ROOT\\text/plain]\n@=\"Our text\"\n\n"
      "[HKEY_CLASSES_ROOT\\.htm]\n@=\"htmlfile\"\n\n"
      "[HKEY_CLASSES_ROOT\\.tst]\n\"Content Type\"=\"application/x-test\"\n");
  EXPECT_EQ("text/x-ours", Mime("a.txt"));
  EXPECT_EQ("Our text", Type("a.txt"));
  EXPECT_EQ("application/x-test", Mime("a.tst"));
  // The store's .htm has no content type of its own: the database's shows.
  EXPECT_EQ("text/html", Mime("a.htm"));

  // A store that cannot be trusted answers nothing, not the databases.
  store_.Write("not a store\n");
  EXPECT_EQ("", Mime("a.txt"));
  EXPECT_EQ("", Type("a.txt"));
}

TEST_F(InspectionTest, ImagesAreMeasuredOnceAndUnloadedRecordsReadAgain) {
  Write("gif.gif", "GIF89a" + Bytes({0x40, 0x01, 0xC8, 0x00, 0xF7, 0, 0}));
  Write("bmp8.bmp", "BM" + std::string(16, '\0') + Bytes({0x80, 2, 0, 0, 0xE0, 1, 0, 0, 1, 0, 8}));
  Write("bmp24.bmp", "BM" + std::string(16, '\0') + Bytes({2, 0, 0, 0, 3, 0, 0, 0, 1, 0, 24}));
  const std::string frame = Bytes({0xFF, 0xD8, 0xFF, 0xC2, 0, 17, 8, 1, 0xE0, 2, 0x80, 3});
  Write("jpeg.jpg", frame + std::string(9, '\0'));
  Write("text.txt", "plain text\n");
  const std::pair<const char*, Image> cases[] = {{"gif.gif", {320, 200, 256}},
                                                 {"bmp8.bmp", {640, 480, 256}},
                                                 {"bmp24.bmp", {2, 3, 16777216}},
                                                 {"jpeg.jpg", {640, 480, 16777216}},
                                                 {"text.txt", {0, 0, 0}}};
  for (const auto& [name, want] : cases) {
    IFile* file = Get(name);
    Image got = Measure(file);
    EXPECT_EQ(want.width, got.width) << name;
    EXPECT_EQ(want.height, got.height) << name;
    EXPECT_EQ(want.color, got.color) << name;
    file->Release();
  }

  // A loaded record is kept: the file's later contents are not looked at.
  IFile* gif = Get("gif.gif");
  EXPECT_EQ(320, Measure(gif).width);
  Write("gif.gif", "GIF89a" + Bytes({1, 0, 1, 0, 0}));
  EXPECT_EQ(320, Measure(gif).width);
  gif->Release();

  // An empty file, a header cut short, a file without read access and a file
  // that became a folder leave the record unloaded: the next call reads again.
  Write("grow.gif", "");
  IFile* grow = Get("grow.gif");
  EXPECT_EQ(0, Measure(grow).width);
  Write("grow.gif", "GIF89a" + Bytes({0x40, 0x01, 0xC8}));
  Image cut = Measure(grow);
  EXPECT_EQ(0, cut.width);
  EXPECT_EQ(0, cut.height);
  Write("grow.gif", "GIF89a" + Bytes({0x40, 0x01, 0xC8, 0x00, 0xF7}));
  EXPECT_EQ(200, Measure(grow).height);
  grow->Release();

  Write("gone.gif", "GIF89a" + Bytes({5, 0, 6, 0, 0}));
  IFile* gone = Get("gone.gif");
  std::filesystem::remove(P("gone.gif"));
  std::filesystem::create_directory(P("gone.gif"));
  EXPECT_EQ(0, Measure(gone).width);
  std::filesystem::remove(P("gone.gif"));
  Write("gone.gif", "GIF89a" + Bytes({5, 0, 6, 0, 0}));
  EXPECT_EQ(5, Measure(gone).width);
  gone->Release();

  IFile* file = Get("text.txt");
  EXPECT_EQ(E_POINTER, file->get_ImageWidth(nullptr));
  EXPECT_EQ(E_POINTER, file->get_ImageHeight(nullptr));
  EXPECT_EQ(E_POINTER, file->get_ImageColor(nullptr));
  file->Release();
}

TEST_F(InspectionTest, ChecksumIsTheMd5OfEveryByteAtEachCall) {
  Write("empty", "");
  Write("abc", "abc");
  IFile* empty = Get("empty");
  EXPECT_EQ("d41d8cd98f00b204e9800998ecf8427e", Text(empty, &IFile::get_Checksum));
  EXPECT_EQ(E_POINTER, empty->get_Checksum(nullptr));
  empty->Release();
  IFile* abc = Get("abc");
  EXPECT_EQ("900150983cd24fb0d6963f7d28e17f72", Text(abc, &IFile::get_Checksum));
  // Recomputed: a changed file gives a changed checksum on the same object.
  Write("abc", "message digest");
  EXPECT_EQ("f96b697d7cb7938d525a2f31aaf161d0", Text(abc, &IFile::get_Checksum));
  // Larger than one read block, and not a multiple of it.
  std::string big;
  for (int i = 0; i < 700000; ++i) big += static_cast<char>(i % 251);
  Write("abc", big);
  EXPECT_EQ("e7641d2811395fe9d9f03ae5e85b198a", Text(abc, &IFile::get_Checksum));

  // Failures carry the fixed text and the path: a folder in the file's
  // place, and a file whose size says less than it holds (as one that grows
  // while it is read).
  std::filesystem::remove(P("abc"));
  std::filesystem::create_directory(P("abc"));
  BSTR text = nullptr;
  EXPECT_EQ(DISP_E_EXCEPTION, abc->get_Checksum(&text));
  EXPECT_EQ(nullptr, text);
  ErrorRecord error = TakeError();
  EXPECT_EQ("Failed to generate checksum for file: " + W("abc"), error.description);
  abc->Release();

  IFile* growing = nullptr;
  ASSERT_EQ(S_OK, NewFile(B("C:\\proc\\self\\status").get(), &growing));
  EXPECT_EQ(DISP_E_EXCEPTION, growing->get_Checksum(&text));
  EXPECT_EQ("Failed to generate checksum for file: C:\\proc\\self\\status",
            TakeError().description);
  growing->Release();
}

TEST_F(InspectionTest, UnreadableFilesGiveZerosAndAChecksumFailure) {
  if (geteuid() == 0) GTEST_SKIP() << "root reads anything";
  Write("secret.gif", "GIF89a" + Bytes({5, 0, 6, 0, 0}));
  IFile* file = Get("secret.gif");
  chmod(P("secret.gif").c_str(), 0);
  EXPECT_EQ(0, Measure(file).width);
  BSTR text = nullptr;
  EXPECT_EQ(DISP_E_EXCEPTION, file->get_Checksum(&text));
  chmod(P("secret.gif").c_str(), 0644);
  EXPECT_EQ(5, Measure(file).width);
  file->Release();
}

TEST(ClassesDatabaseTest, ParsesTheSystemFormatsAndIgnoresWhatItCannotUse) {
  classes::Database db;
  db.AddMediaTypes(
      "# comment\n"
      "text/plain\t\ttxt text\n"
      "text/other txt\n"  // the first type keeps an extension
      "not-a-type abc\n"  // no slash: not a type
      "image/jpeg jpeg jpg # trailing comment\n"
      "   \n");
  db.AddGlobs(
      "# generated\n"
      "80:text/html:*.htm\n"
      "50:application/xhtml+xml:*.htm\n"  // lighter: .htm stays text/html
      "50:text/x-c++src:*.C:cs\n"         // case-sensitive: fills no taken name
      "50:text/x-csrc:*.c\n"
      "50:text/x-makefile:Makefile\n"  // not an extension
      "50:text/x-weird:*.[ab]\n"       // a pattern, not an extension
      "50:../../etc/passwd:*.evil\n"   // not a type name
      "broken line\n");
  db.SetDescriptions("text/html\ntext/plain\n../../etc/passwd\n", "/nonexistent");

  std::string v;
  EXPECT_TRUE(db.HasKey(".TXT"));
  EXPECT_TRUE(db.Value(".TXT", "content type", &v));
  EXPECT_EQ("text/plain", v);
  EXPECT_TRUE(db.Value(".jpg", "Content Type", &v));
  EXPECT_EQ("image/jpeg", v);
  EXPECT_FALSE(db.HasKey(".abc"));
  EXPECT_TRUE(db.Value(".htm", "", &v));
  EXPECT_EQ("text/html", v);
  EXPECT_FALSE(db.Value(".htm", "Content Type", &v));  // not in media-types
  EXPECT_TRUE(db.Value(".c", "", &v));
  EXPECT_EQ("text/x-csrc", v);
  EXPECT_FALSE(db.HasKey(".[ab]"));
  EXPECT_FALSE(db.HasKey(".evil"));
  EXPECT_FALSE(db.HasKey("Makefile"));
  EXPECT_TRUE(db.HasKey("TEXT/HTML"));
  EXPECT_FALSE(db.HasKey("../../etc/passwd"));
  EXPECT_FALSE(db.Value("text/html", "", &v));  // its description file is missing

  EXPECT_EQ("plain text document", classes::CommentOfDescription(
                                       "<?xml version=\"1.0\"?>\n<mime-type type=\"text/plain\">\n"
                                       "  <commentary>no</commentary>\n"
                                       "  <comment xml:lang=\"de\">Textdokument</comment>\n"
                                       "  <comment>plain text document</comment>\n</mime-type>\n"));
  EXPECT_EQ("R&D <notes> \"x\" 's' A",
            classes::CommentOfDescription(
                "<comment>R&amp;D &lt;notes&gt; &quot;x&quot; &apos;s&apos; &#65;</comment>"));
  EXPECT_EQ("a &bogus; b", classes::CommentOfDescription("<comment>a &bogus; b</comment>"));
  EXPECT_EQ("", classes::CommentOfDescription("<comment>unterminated"));
  EXPECT_EQ("", classes::CommentOfDescription("<comment xml:lang=\"fr\">x</comment>"));
}

}  // namespace
}  // namespace tessary::testing
