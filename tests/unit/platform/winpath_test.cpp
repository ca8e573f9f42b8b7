// The Windows path rules as tables of input and expected output: no file
// system, no store, the same on every host.
#include "platform/winpath.h"

#include <gtest/gtest.h>

#include <string>

namespace tessary::winpath {
namespace {

struct RootCase {
  const char* path;
  RootKind kind;
  size_t length;
  const char* server;
  const char* share;
};

TEST(WinPath, ParseRootTable) {
  const RootCase cases[] = {
      {"", RootKind::kRelative, 0, "", ""},
      {"a\\b", RootKind::kRelative, 0, "", ""},
      {"C:", RootKind::kDriveRelative, 2, "", ""},
      {"c:dir", RootKind::kDriveRelative, 2, "", ""},
      {"C:\\", RootKind::kDriveAbsolute, 3, "", ""},
      {"C:/x", RootKind::kDriveAbsolute, 3, "", ""},
      {"\\x", RootKind::kRooted, 1, "", ""},
      {"/x", RootKind::kRooted, 1, "", ""},
      {"\\\\srv\\sh", RootKind::kUnc, 8, "srv", "sh"},
      {"\\\\srv\\sh\\x\\y", RootKind::kUnc, 8, "srv", "sh"},
      {"//srv/sh/x", RootKind::kUnc, 8, "srv", "sh"},
      {"\\\\srv", RootKind::kUnc, 5, "srv", ""},
      {"1:\\x", RootKind::kRelative, 0, "", ""},
  };
  for (const RootCase& c : cases) {
    SCOPED_TRACE(c.path);
    const Root root = ParseRoot(c.path);
    EXPECT_EQ(c.kind, root.kind);
    EXPECT_EQ(c.length, root.length);
    EXPECT_EQ(c.server, std::string(root.server));
    EXPECT_EQ(c.share, std::string(root.share));
  }
}

struct FullCase {
  const char* path;
  const char* current;
  const char* full;  // nullptr: refused
};

TEST(WinPath, FullPathTable) {
  const FullCase cases[] = {
      // Absolute drive paths: separators, dots, case kept as written.
      {"C:\\a\\b.txt", "", "C:\\a\\b.txt"},
      {"C:/a/b.txt", "", "C:\\a\\b.txt"},
      {"c:\\A\\b", "", "c:\\A\\b"},
      {"C:\\a\\..\\b", "", "C:\\b"},
      {"C:\\a\\.\\b", "", "C:\\a\\b"},
      {"C:\\..", "", "C:\\"},
      {"C:\\..\\..\\x", "", "C:\\x"},
      {"C:\\a\\\\\\b", "", "C:\\a\\b"},
      {"C:\\a/\\/b", "", "C:\\a\\b"},
      {"C:\\a\\", "", "C:\\a\\"},
      {"C:\\a\\\\", "", "C:\\a\\"},
      {"C:\\", "", "C:\\"},
      {"C:\\a\\b\\..", "", "C:\\a"},
      {"C:\\a\\b\\.", "", "C:\\a\\b"},
      {"C:\\a\\..", "", "C:\\"},
      // Trailing dots and spaces of the final name go; other names keep theirs.
      {"C:\\a\\b.", "", "C:\\a\\b"},
      {"C:\\a\\b. . ", "", "C:\\a\\b"},
      {"C:\\a.\\b", "", "C:\\a.\\b"},
      {"C:\\a\\b.\\", "", "C:\\a\\b.\\"},
      {"C:\\a\\...", "", "C:\\a\\"},
      {"C:\\a\\...b", "", "C:\\a\\...b"},
      // Relative forms against the current folder.
      {"x", "C:\\work\\dir", "C:\\work\\dir\\x"},
      {"x\\y\\", "C:\\work\\dir", "C:\\work\\dir\\x\\y\\"},
      {".", "C:\\work\\dir", "C:\\work\\dir"},
      {"..", "C:\\work\\dir", "C:\\work"},
      {"..\\..\\..\\..", "C:\\work\\dir", "C:\\"},
      {".\\", "C:\\work\\dir", "C:\\work\\dir\\"},
      {"x", "C:\\", "C:\\x"},
      {"\\x", "C:\\work\\dir", "C:\\x"},
      {"\\", "C:\\work\\dir", "C:\\"},
      {"C:", "C:\\work\\dir", "C:\\work\\dir"},
      {"c:x", "C:\\work\\dir", "C:\\work\\dir\\x"},
      {"C:..", "C:\\work\\dir", "C:\\work"},
      {"D:x", "C:\\work\\dir", "D:\\x"},
      {"D:", "C:\\work\\dir", "D:\\"},
      // UNC paths.
      {"\\\\srv\\sh\\x", "", "\\\\srv\\sh\\x"},
      {"//srv/sh/x/../y", "", "\\\\srv\\sh\\y"},
      {"\\\\srv\\sh", "", "\\\\srv\\sh"},
      {"\\\\srv\\sh\\", "", "\\\\srv\\sh\\"},
      {"\\\\srv\\sh\\..\\..", "", "\\\\srv\\sh"},
      {"\\\\srv", "", "\\\\srv"},
      {"\\\\srv\\", "", "\\\\srv\\"},
      {"x", "\\\\srv\\sh\\d", "\\\\srv\\sh\\d\\x"},
      {"\\x", "\\\\srv\\sh\\d", "\\\\srv\\sh\\x"},
      {"C:x", "\\\\srv\\sh\\d", "C:\\x"},
      // Refused: empty, or relative without a usable current folder.
      {"", "C:\\", nullptr},
      {"x", "", nullptr},
      {"\\x", "work", nullptr},
  };
  for (const FullCase& c : cases) {
    SCOPED_TRACE(std::string(c.path) + " in " + c.current);
    std::string full;
    const bool ok = FullPath(c.path, c.current, &full);
    if (c.full == nullptr) {
      EXPECT_FALSE(ok);
    } else {
      ASSERT_TRUE(ok);
      EXPECT_EQ(c.full, full);
    }
  }
}

TEST(WinPath, PatternsKeepTheirDots) {
  std::string full;
  ASSERT_TRUE(FullPath("C:\\d\\*.", "", &full, Trim::kNone));
  EXPECT_EQ("C:\\d\\*.", full);
  ASSERT_TRUE(FullPath("C:\\d\\*.", "", &full));
  EXPECT_EQ("C:\\d\\*", full);
}

TEST(WinPath, SplitFullPathTable) {
  FullPathParts parts;
  ASSERT_TRUE(SplitFullPath("C:\\a\\b\\", &parts));
  EXPECT_EQ(RootKind::kDriveAbsolute, parts.kind);
  EXPECT_EQ('C', parts.drive);
  ASSERT_EQ(2u, parts.components.size());
  EXPECT_EQ("a", parts.components[0]);
  EXPECT_EQ("b", parts.components[1]);
  EXPECT_TRUE(parts.trailing_separator);

  ASSERT_TRUE(SplitFullPath("C:\\", &parts));
  EXPECT_TRUE(parts.components.empty());
  EXPECT_FALSE(parts.trailing_separator);

  ASSERT_TRUE(SplitFullPath("\\\\srv\\sh\\x", &parts));
  EXPECT_EQ(RootKind::kUnc, parts.kind);
  EXPECT_EQ("srv", parts.server);
  EXPECT_EQ("sh", parts.share);
  ASSERT_EQ(1u, parts.components.size());

  EXPECT_FALSE(SplitFullPath("\\\\srv", &parts));
  EXPECT_FALSE(SplitFullPath("x\\y", &parts));
  EXPECT_FALSE(SplitFullPath("C:x", &parts));
}

TEST(WinPath, FinalComponentTable) {
  const struct {
    const char* full;
    size_t offset;
  } cases[] = {
      {"C:\\a\\b.txt", 5},
      {"C:\\b", 3},
      {"C:\\a\\", std::string::npos},
      {"C:\\", std::string::npos},
      {"\\\\srv\\sh\\x", 9},
      {"\\\\srv\\sh", std::string::npos},
      {"\\\\srv\\sh\\", std::string::npos},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.full);
    EXPECT_EQ(c.offset, FinalComponentOffset(c.full));
  }
}

TEST(WinPath, ForbiddenCharactersTable) {
  const struct {
    const char* name;
    bool plain;
    bool pattern;
  } cases[] = {
      {"report.txt", true, true},  {"with space", true, true}, {"a<b", false, false},
      {"a>b", false, false},       {"a:b", false, false},      {"a\"b", false, false},
      {"a|b", false, false},       {"a?b", false, true},       {"*.txt", false, true},
      {"tab\there", false, false}, {"\x01", false, false},     {"caf\xc3\xa9", true, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.plain, IsValidComponent(c.name, false));
    EXPECT_EQ(c.pattern, IsValidComponent(c.name, true));
  }
  EXPECT_TRUE(HasWildcards("a*"));
  EXPECT_TRUE(HasWildcards("a?"));
  EXPECT_FALSE(HasWildcards("a.b"));
}

TEST(WinPath, BackslashOnlyRootsTable) {
  // The component's own rules (GetDriveName, the name a Drive takes) take a
  // forward slash for an ordinary character.
  const RootCase cases[] = {
      {"\\\\srv\\sh\\x", RootKind::kUnc, 8, "srv", "sh"},
      {"\\\\srv/sh\\x", RootKind::kUnc, 10, "srv/sh", "x"},
      {"//srv/sh", RootKind::kRelative, 0, "", ""},
      {"\\/srv", RootKind::kRooted, 1, "", ""},
      {"C:/x", RootKind::kDriveRelative, 2, "", ""},
      {"\\\\srv\\", RootKind::kUnc, 6, "srv", ""},
  };
  for (const RootCase& c : cases) {
    SCOPED_TRACE(c.path);
    const Root root = ParseRoot(c.path, Separators::kBackslash);
    EXPECT_EQ(c.kind, root.kind);
    EXPECT_EQ(c.length, root.length);
    EXPECT_EQ(c.server, root.server);
    EXPECT_EQ(c.share, root.share);
    EXPECT_EQ(root.kind == RootKind::kUnc, IsUnc(c.path, Separators::kBackslash));
  }
  EXPECT_TRUE(IsUnc("//srv"));
  EXPECT_FALSE(IsUnc("\\x"));
}

TEST(WinPath, LastSeparatorTable) {
  const struct {
    const char* path;
    const char* after_either;
    const char* after_backslash;
  } cases[] = {
      {"C:\\a\\b.txt", "b.txt", "b.txt"},
      {"C:\\a/b.txt", "b.txt", "a/b.txt"},
      {"a/b\\", "", ""},
      {"name", "name", "name"},
      {"", "", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(c.after_either, AfterLastSeparator(c.path));
    EXPECT_EQ(c.after_backslash, AfterLastSeparator(c.path, Separators::kBackslash));
  }
  EXPECT_EQ(4u, LastSeparator("C:\\a/b"));
  EXPECT_EQ(2u, LastSeparator("C:\\a/b", Separators::kBackslash));
  EXPECT_EQ(std::string::npos, LastSeparator("ab"));
}

TEST(WinPath, JoinTable) {
  const struct {
    const char* left;
    const char* right;
    const char* join;            // a name in a folder
    const char* join_subfolder;  // a subfolder in a walk
    const char* combine;         // BuildPath
  } cases[] = {
      {"C:\\a", "b", "C:\\a\\b", "C:\\a\\b", "C:\\a\\b"},
      {"C:\\", "b", "C:\\b", "C:\\\\b", "C:\\b"},
      {"C:\\a\\", "\\b", "C:\\a\\\\b", "C:\\a\\\\\\b", "C:\\a\\b"},
      {"C:\\a", "\\b", "C:\\a\\\\b", "C:\\a\\\\b", "C:\\a\\b"},
      {"C:/a/", "b", "C:/a/\\b", "C:/a/\\b", "C:/a/\\b"},
      {"", "b", "\\b", "\\b", "b"},
      {"a", "", "a\\", "a\\", "a"},
      {"", "", "\\", "\\", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.left) + " + " + c.right);
    EXPECT_EQ(c.join, Join(c.left, c.right));
    EXPECT_EQ(c.join_subfolder, JoinSubfolder(c.left, c.right));
    EXPECT_EQ(c.combine, Combine(c.left, c.right));
  }
  EXPECT_EQ("C:\\a\\", WithFinalBackslash("C:\\a"));
  EXPECT_EQ("C:\\a\\", WithFinalBackslash("C:\\a\\"));
}

TEST(WinPath, MatchPatternTable) {
  const struct {
    const char* pattern;
    const char* name;
    bool match;
  } cases[] = {
      {"*", "anything.at.all", true},
      {"*", ".hidden", true},
      {"*.*", "readme", true},
      {"*.*", "a.txt", true},
      {"*.*", ".", true},
      {"*.*", "..", true},
      {"*.txt", "a.txt", true},
      {"*.txt", "A.TXT", true},
      {"*.TXT", "a.txt", true},
      {"*.txt", "a.b.txt", true},
      {"*.txt", "a.txt.bak", false},
      {"*.txt", "atxt", false},
      {"*.txt", ".txt", true},
      {"a?c", "abc", true},
      {"a?c", "ABC", true},
      {"a?c", "ac", false},
      {"a?c", "abbc", false},
      {"???", "ab", true},
      {"???", "abc", true},
      {"???", "abcd", false},
      {"a?", "a", true},
      {"*.tx?", "a.txt", true},
      {"*.tx?", "a.tx", true},
      {"*.tx?", "a.txtx", false},
      {"?????.txt", "ab.txt", true},
      {"*.", "readme", true},
      {"*.", "a.txt", false},
      {"a.*", "a", true},
      {"a.*", "a.b", true},
      {"a.*", "ab", false},
      {"*a*", "BANANA", true},
      {"*z*", "banana", false},
      {"report*", "Report 2024.doc", true},
      {"b*.doc", "Report.doc", false},
      {"caf\xc3\xa9*", "caf\xc3\xa9.txt", true},
      {"CAF\xc3\x89*", "caf\xc3\xa9.txt", false},  // only ASCII letters fold
      {"exact.txt", "exact.txt", true},
      {"exact.txt", "EXACT.TXT", true},
      {"exact.txt", "exact.txt2", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.pattern) + " ~ " + c.name);
    EXPECT_EQ(c.match, MatchPattern(c.pattern, c.name));
  }
}

}  // namespace
}  // namespace tessary::winpath
