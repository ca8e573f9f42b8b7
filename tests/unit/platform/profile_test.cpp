// The profile services: what a read finds and reports, and that a write
// changes only its own line, atomically.
#include "platform/profile.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <tuple>

#include "file_fixture.h"

namespace tessary::testing {
namespace {

class Profile : public ::testing::Test {
 protected:
  Profile() : store_(StoreText({{"T:", dir_.path()}}, {}, {{"Windows", dir_.path() + "/win"}})) {}
  void SetUp() override {
    std::filesystem::create_directory(dir_.path() + "/win");
    files::ReloadNamespace();
    sys::ClearFaults();
  }
  void TearDown() override {
    sys::ClearFaults();
    files::ReloadNamespace();
  }

  std::string Host(const std::string& name) const { return dir_.path() + "/" + name; }

  // The value read with a buffer of `size`, and the count reported.
  std::string Read(const char* section, const char* key, DWORD size = 256, DWORD* count = nullptr,
                   const char* fallback = "def", const char* file = "T:\\a.ini") {
    std::string buffer(size, '\x7f');
    const DWORD n = GetPrivateProfileStringA(section, key, fallback, &buffer[0], size, file);
    if (count) *count = n;
    return std::string(buffer.c_str(), n);
  }
  bool Write(const char* section, const char* key, const char* value,
             const char* file = "T:\\a.ini") {
    return WritePrivateProfileStringA(section, key, value, file) != FALSE;
  }

  TempDir dir_;
  ScopedStore store_;
};

TEST_F(Profile, ReadsNamesWithoutCaseAndValuesTrimmedAndUnquoted) {
  WriteHostFile(Host("a.ini"),
                "top=before any section\r\n"
                "; comment=not a key\r\n"
                "  [ Main ]  \r\n"
                "  Name  =  Some Value  \r\n"
                "quoted=\"  kept blanks  \"\n"
                "single='x'\n"
                "half=\"x\n"
                ";hidden=1\n"
                "junk line\n"
                "name=second\n"
                "[main]\n"
                "other=in the second main\n"
                "[Last]\n"
                "end=no final break");
  EXPECT_EQ("Some Value", Read("MAIN", " name "));
  EXPECT_EQ("  kept blanks  ", Read("main", "quoted"));
  EXPECT_EQ("x", Read("main", "single"));
  EXPECT_EQ("\"x", Read("main", "half"));
  EXPECT_EQ("no final break", Read("last", "END"));
  // Comments, lines before any section and later duplicates are not found.
  EXPECT_EQ("def", Read("main", ";hidden"));
  EXPECT_EQ("def", Read("main", "other"));
  EXPECT_EQ("def", Read("", "top"));
  SetLastError(0);
  EXPECT_EQ("fallback", Read("main", "missing", 256, nullptr, "fallback   "));
  EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), GetLastError());
  EXPECT_EQ("def", Read("main", "name", 256, nullptr, "def", "T:\\missing.ini"));
  EXPECT_EQ("def", Read("main", "name", 256, nullptr, "def", "T:\\"));
  EXPECT_EQ("def", Read("main", "name", 256, nullptr, "def", nullptr));
  EXPECT_EQ("def",
            Read("main", "name", 256, nullptr, "def", ("T:\\" + std::string(300, 'x')).c_str()));

  // The lists: every name ended by a NUL, and one more NUL.
  EXPECT_EQ(std::string("Main\0Last\0", 10), Read(nullptr, nullptr));
  EXPECT_EQ(std::string("Name\0quoted\0single\0half\0name\0", 29), Read("main", nullptr));
}

TEST_F(Profile, CountsWhatWasCopiedSoACutValueReportsSizeLessOne) {
  WriteHostFile(Host("a.ini"), "[s]\nk=0123456789\n[t]\n");
  DWORD n = 0;
  EXPECT_EQ("0123", Read("s", "k", 5, &n));
  EXPECT_EQ(4u, n);
  EXPECT_EQ("012345678", Read("s", "k", 10, &n));
  EXPECT_EQ(9u, n);
  EXPECT_EQ("0123456789", Read("s", "k", 11, &n));
  EXPECT_EQ(10u, n);
  Read(nullptr, nullptr, 4, &n);  // "s\0t\0\0" does not fit in 4
  EXPECT_EQ(2u, n);
  char one[1] = {'x'};
  EXPECT_EQ(0u, GetPrivateProfileStringA("s", "k", "", one, 1, "T:\\a.ini"));
  EXPECT_EQ('\0', one[0]);
}

TEST_F(Profile, WritesChangeOnlyTheirLineAndKeepBreaks) {
  const std::string head = "; header comment\r\n[One]\r\nA = 1\r\nunknown\n; note\n\n[Two]\r\nb=2";
  WriteHostFile(Host("a.ini"), head);
  ASSERT_TRUE(Write("one", "a", "10"));
  ASSERT_TRUE(Write("ONE", "new", "x y"));
  ASSERT_TRUE(Write("two", "c", ""));
  ASSERT_TRUE(Write("Three", "d", "4"));
  EXPECT_EQ(
      "; header comment\r\n[One]\r\nA=10\r\nunknown\n; note\nnew=x y\r\n\n[Two]\r\nb=2\r\nc=\r\n"
      "[Three]\r\nd=4\r\n",
      ReadHostFile(Host("a.ini")));
  // Writing the stored value again writes nothing.
  struct stat st1, st2;
  ::stat(Host("a.ini").c_str(), &st1);
  ASSERT_TRUE(Write("one", "A", "10"));
  ::stat(Host("a.ini").c_str(), &st2);
  EXPECT_EQ(st1.st_ino, st2.st_ino);

  // A new file takes CR LF.
  ASSERT_TRUE(Write("s", "k", "v", "T:\\new.ini"));
  EXPECT_EQ("[s]\r\nk=v\r\n", ReadHostFile(Host("new.ini")));
  // A file of LF lines gets LF lines.
  WriteHostFile(Host("lf.ini"), "[s]\nk=v\n");
  ASSERT_TRUE(Write("s", "k2", "w", "T:\\lf.ini"));
  EXPECT_EQ("[s]\nk=v\nk2=w\n", ReadHostFile(Host("lf.ini")));
}

TEST_F(Profile, DeletesRemoveTheirLinesAndMissingOnesSucceed) {
  WriteHostFile(Host("a.ini"), "[a]\nx=1\ny=2\n[b]\n; about b\nz=3\n\n[c]\nw=4\n");
  ASSERT_TRUE(Write("A", "X", nullptr));
  ASSERT_TRUE(Write("b", nullptr, nullptr));
  EXPECT_EQ("[a]\ny=2\n[c]\nw=4\n", ReadHostFile(Host("a.ini")));
  ASSERT_TRUE(Write("a", "missing", nullptr));
  ASSERT_TRUE(Write("missing", "x", nullptr));
  ASSERT_TRUE(Write("missing", nullptr, nullptr));
  EXPECT_EQ("[a]\ny=2\n[c]\nw=4\n", ReadHostFile(Host("a.ini")));
  ASSERT_TRUE(Write("a", "x", nullptr, "T:\\none.ini"));
  EXPECT_FALSE(std::filesystem::exists(Host("none.ini")));
}

TEST_F(Profile, Utf16FilesAreReadAndWrittenAsUtf16) {
  const std::u16string text = u"[S]\r\nk=\u00e9t\u00e9\r\n";
  std::string bytes = "\xFF\xFE";
  for (char16_t c : text) {
    bytes += static_cast<char>(c & 0xFF);
    bytes += static_cast<char>(c >> 8);
  }
  WriteHostFile(Host("a.ini"), bytes);
  EXPECT_EQ("\xC3\xA9t\xC3\xA9", Read("s", "k"));
  ASSERT_TRUE(Write("s", "n", "\xE2\x82\xAC"));
  std::string expected = bytes;
  for (char16_t c : std::u16string(u"n=\u20ac\r\n")) {
    expected += static_cast<char>(c & 0xFF);
    expected += static_cast<char>(c >> 8);
  }
  EXPECT_EQ(expected, ReadHostFile(Host("a.ini")));
}

TEST_F(Profile, BareNamesLiveInTheWindowsFolderAndLongValuesRoundTrip) {
  const std::string value(100000, 'v');
  ASSERT_TRUE(Write("s", "k", value.c_str(), "bare.ini"));
  EXPECT_TRUE(std::filesystem::exists(Host("win/bare.ini")));
  EXPECT_EQ(value, Read("s", "k", 100001, nullptr, "", "bare.ini"));
}

TEST_F(Profile, RefusesWhatWouldNotReadBackAndLeavesTheFile) {
  const std::string text = "[s]\nk=v\n";
  WriteHostFile(Host("a.ini"), text);
  for (auto [section, key, value] : {std::tuple{"s]x", "k", "v"},
                                     {"s\n[t", "k", "v"},
                                     {"s", "a=b", "v"},
                                     {"s", ";c", "v"},
                                     {"s", "[t]", "v"},
                                     {"s", "k", "1\r\n[t]"}}) {
    SetLastError(0);
    EXPECT_FALSE(Write(section, key, value)) << section << key << value;
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
  }
  std::filesystem::create_directory(Host("folder.ini"));
  EXPECT_FALSE(Write("s", "k", "v", "T:\\folder.ini"));
  EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError());
  ASSERT_EQ(0, ::symlink(Host("nowhere").c_str(), Host("dangling.ini").c_str()));
  EXPECT_FALSE(Write("s", "k", "v", "T:\\dangling.ini"));
  EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError());
  EXPECT_FALSE(std::filesystem::exists(Host("nowhere")));
  // Through a link to a file, the file is rewritten and the link stays.
  ASSERT_EQ(0, ::symlink(Host("a.ini").c_str(), Host("link.ini").c_str()));
  ASSERT_TRUE(Write("s", "n", "1", "T:\\link.ini"));
  EXPECT_TRUE(std::filesystem::is_symlink(Host("link.ini")));
  EXPECT_EQ("[s]\nk=v\nn=1\n", ReadHostFile(Host("a.ini")));
  ASSERT_TRUE(Write("s", "n", nullptr, "T:\\link.ini"));
  EXPECT_FALSE(Write("s", "k", "v", "T:\\no\\such.ini"));
  EXPECT_EQ(static_cast<DWORD>(ERROR_PATH_NOT_FOUND), GetLastError());
  EXPECT_EQ(text, ReadHostFile(Host("a.ini")));
}

TEST_F(Profile, AFailedWriteLeavesTheOldFileAndNoTemporary) {
  const std::string text = "[s]\nk=v\n";
  WriteHostFile(Host("a.ini"), text);
  for (sys::Call call : {sys::Call::write, sys::Call::fsync, sys::Call::rename}) {
    sys::InjectFault(call, 1, ENOSPC);
    SetLastError(0);
    EXPECT_FALSE(Write("s", "k", "changed"));
    EXPECT_EQ(static_cast<DWORD>(ERROR_DISK_FULL), GetLastError());
    sys::ClearFaults();
    EXPECT_EQ(text, ReadHostFile(Host("a.ini")));
  }
  sys::InjectFault(sys::Call::write, 1, ENOSPC);
  EXPECT_FALSE(Write("s", "k", "v", "T:\\fresh.ini"));
  sys::ClearFaults();
  EXPECT_EQ((std::vector<std::string>{"a.ini", "win"}), HostNames(dir_.path()));
}

TEST_F(Profile, TwoWritersKeepEachOthersKeys) {
  auto writer = [this](char who) {
    for (int i = 0; i < 50; ++i) {
      const std::string key = std::string(1, who) + std::to_string(i);
      EXPECT_TRUE(Write("s", key.c_str(), "v"));
    }
  };
  std::thread first(writer, 'a');
  std::thread second(writer, 'b');
  first.join();
  second.join();
  for (char who : {'a', 'b'}) {
    for (int i = 0; i < 50; ++i) {
      EXPECT_EQ("v", Read("s", (std::string(1, who) + std::to_string(i)).c_str()));
    }
  }
}

}  // namespace
}  // namespace tessary::testing
