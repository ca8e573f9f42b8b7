// Searches: wildcard patterns matched without regard to case, the entries
// Windows lists and in which order, and the errors of each way to fail.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "unit/platform/file_fixture.h"

namespace tessary {
namespace {

using testing::WriteHostFile;

class Find : public testing::MappedDriveTest {
 protected:
  void SetUp() override {
    MappedDriveTest::SetUp();
    ::mkdir(Host("d").c_str(), 0755);
    WriteHostFile(Host("d/a.txt"), "1");
    WriteHostFile(Host("d/B.TXT"), "22");
    WriteHostFile(Host("d/c.doc"), "333");
    WriteHostFile(Host("d/readme"), "4444");
    WriteHostFile(Host("d/.hidden"), "");
    ::mkdir(Host("d/sub").c_str(), 0755);
    WriteHostFile(Host("d/sub/x.txt"), "x");
  }

  // Every name a search returns, in order; the error when it finds nothing.
  std::vector<std::string> Names(const std::string& pattern, DWORD* error = nullptr) {
    std::vector<std::string> names;
    WIN32_FIND_DATAA data;
    HANDLE h = FindFirstFileA(pattern.c_str(), &data);
    if (h == INVALID_HANDLE_VALUE) {
      if (error != nullptr) *error = GetLastError();
      return names;
    }
    do {
      names.push_back(data.cFileName);
    } while (FindNextFileA(h, &data));
    EXPECT_EQ(static_cast<DWORD>(ERROR_NO_MORE_FILES), GetLastError());
    EXPECT_TRUE(FindClose(h));
    if (error != nullptr) *error = ERROR_SUCCESS;
    return names;
  }

  using Names_ = std::vector<std::string>;
};

TEST_F(Find, ListsAFolderInNtfsOrderWithDotEntries) {
  EXPECT_EQ(Names_({".", "..", ".hidden", "a.txt", "B.TXT", "c.doc", "readme", "sub"}),
            Names(Win("d\\*")));
  EXPECT_EQ(Names(Win("d\\*")), Names(Win("d\\*.*")));
  EXPECT_EQ(Names(Win("d\\*")), Names("T:/d/*"));
}

TEST_F(Find, WildcardsMatchWithoutCase) {
  EXPECT_EQ(Names_({"a.txt", "B.TXT"}), Names(Win("d\\*.txt")));
  EXPECT_EQ(Names_({"a.txt", "B.TXT"}), Names(Win("d\\*.TxT")));
  EXPECT_EQ(Names_({"a.txt"}), Names(Win("d\\A.*")));
  EXPECT_EQ(Names_({"readme"}), Names(Win("d\\READ??")));
  EXPECT_EQ(Names_({"c.doc"}), Names(Win("d\\?.d*")));
  // "*." asks for names without an extension.
  EXPECT_EQ(Names_({".", "..", "readme", "sub"}), Names(Win("d\\*.")));
}

TEST_F(Find, NamesWithoutWildcardsNameOneEntry) {
  EXPECT_EQ(Names_({"a.txt"}), Names(Win("d\\a.txt")));
  EXPECT_EQ(Names_({"sub"}), Names(Win("d\\sub")));
  // Another case finds the entry, which keeps its own.
  EXPECT_EQ(Names_({"a.txt"}), Names(Win("D\\A.TXT")));
}

TEST_F(Find, Failures) {
  DWORD error = 0;
  EXPECT_TRUE(Names(Win("d\\*.xyz"), &error).empty());
  EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), error);
  EXPECT_TRUE(Names(Win("none\\*"), &error).empty());
  EXPECT_EQ(static_cast<DWORD>(ERROR_PATH_NOT_FOUND), error);
  EXPECT_TRUE(Names(Win("d\\a.txt\\*"), &error).empty());
  EXPECT_EQ(static_cast<DWORD>(ERROR_PATH_NOT_FOUND), error);
  EXPECT_TRUE(Names(Win("d\\none"), &error).empty());
  EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), error);
  EXPECT_TRUE(Names(Win("none\\none"), &error).empty());
  EXPECT_EQ(static_cast<DWORD>(ERROR_PATH_NOT_FOUND), error);
  EXPECT_TRUE(Names(Win("d*\\x"), &error).empty());
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_NAME), error);
  EXPECT_TRUE(Names(Win("d\\"), &error).empty());
  EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), error);
  EXPECT_TRUE(Names("Z:\\*", &error).empty());
  EXPECT_EQ(static_cast<DWORD>(ERROR_PATH_NOT_FOUND), error);

  EXPECT_FALSE(FindClose(INVALID_HANDLE_VALUE));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
  WIN32_FIND_DATAA data;
  EXPECT_FALSE(FindNextFileA(nullptr, &data));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
  // Search handles are not file handles.
  HANDLE h = FindFirstFileA(Win("d\\*").c_str(), &data);
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  EXPECT_FALSE(CloseHandle(h));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
  EXPECT_TRUE(FindClose(h));
  EXPECT_FALSE(FindClose(h));
}

TEST_F(Find, EntriesDescribeTheirFiles) {
  WIN32_FIND_DATAA data;
  HANDLE h = FindFirstFileA(Win("d\\c.doc").c_str(), &data);
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  EXPECT_EQ(static_cast<DWORD>(FILE_ATTRIBUTE_ARCHIVE), data.dwFileAttributes);
  EXPECT_EQ(3u, data.nFileSizeLow);
  EXPECT_EQ(0u, data.nFileSizeHigh);
  EXPECT_STREQ("", data.cAlternateFileName);
  EXPECT_NE(0u, data.ftLastWriteTime.dwHighDateTime);
  EXPECT_NE(0u, data.ftCreationTime.dwHighDateTime);
  EXPECT_FALSE(FindNextFileA(h, &data));
  EXPECT_EQ(static_cast<DWORD>(ERROR_NO_MORE_FILES), GetLastError());
  EXPECT_TRUE(FindClose(h));

  h = FindFirstFileA(Win("d\\.h*").c_str(), &data);
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  EXPECT_EQ(static_cast<DWORD>(FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_HIDDEN),
            data.dwFileAttributes);
  EXPECT_TRUE(FindClose(h));
  h = FindFirstFileA(Win("d\\s*").c_str(), &data);
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  EXPECT_EQ(static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY), data.dwFileAttributes);
  EXPECT_EQ(0u, data.nFileSizeLow);
  EXPECT_TRUE(FindClose(h));
}

TEST_F(Find, DriveRootsHaveNoDotEntries) {
  EXPECT_EQ(Names_({"d"}), Names("T:\\*"));
  EXPECT_EQ(Names_({"d"}), Names("T:*"));
}

// A link carries the reparse point; one to a folder is a folder of size 0,
// one to a file has its target's attributes and size.
TEST_F(Find, LinksCarryTheReparsePoint) {
  ASSERT_EQ(0, ::symlink(Host("d/sub").c_str(), Host("d/link").c_str()));
  ASSERT_EQ(0, ::symlink(Host("d/a.txt").c_str(), Host("d/filelink").c_str()));
  WIN32_FIND_DATAA data;
  HANDLE h = FindFirstFileA(Win("d\\link").c_str(), &data);
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  EXPECT_EQ(static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT),
            data.dwFileAttributes);
  EXPECT_EQ(0u, data.nFileSizeLow);
  EXPECT_EQ(static_cast<DWORD>(IO_REPARSE_TAG_SYMLINK), data.dwReserved0);
  EXPECT_TRUE(FindClose(h));
  h = FindFirstFileA(Win("d\\filelink").c_str(), &data);
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  EXPECT_EQ(static_cast<DWORD>(FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_REPARSE_POINT),
            data.dwFileAttributes);
  EXPECT_EQ(1u, data.nFileSizeLow);  // the target's size
  EXPECT_TRUE(FindClose(h));
}

// A host name that a Windows path would spell as another name, or cannot
// spell, is not listed: "x." would name "x".
TEST_F(Find, OnlyNamesThatComeBackToTheirEntryAreListed) {
  ::mkdir(Host("n").c_str(), 0755);
  for (const char* name :
       {"x", "x.", "x ", "x..", "x:y", "x<", "x|", "x\\y", "x\xff", "x\x01", "x\xc3\xa9"}) {
    WriteHostFile(Host("n/") + name, name);
  }
  EXPECT_EQ(Names_({".", "..", "x", "x\xc3\xa9"}), Names(Win("n\\*")));
  EXPECT_EQ(Names_({"x"}), Names(Win("n\\x.")));
}

TEST_F(Find, EntriesRemovedDuringASearchAreSkipped) {
  WIN32_FIND_DATAA data;
  HANDLE h = FindFirstFileA(Win("d\\*.txt").c_str(), &data);
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  EXPECT_STREQ("a.txt", data.cFileName);
  ASSERT_TRUE(DeleteFileA(Win("d\\B.TXT").c_str()));
  EXPECT_FALSE(FindNextFileA(h, &data));
  EXPECT_EQ(static_cast<DWORD>(ERROR_NO_MORE_FILES), GetLastError());
  EXPECT_TRUE(FindClose(h));
}

TEST_F(Find, ReadErrorsEndTheSearchWithoutLeaks) {
  const int before = testing::CountOpenFds();
  sys::InjectFault(sys::Call::readdir, 2, EIO);
  DWORD error = 0;
  EXPECT_TRUE(Names(Win("d\\*"), &error).empty());
  EXPECT_EQ(static_cast<DWORD>(ERROR_IO_DEVICE), error);
  sys::ClearFaults();
  sys::InjectFault(sys::Call::opendir, 1, EACCES);
  EXPECT_TRUE(Names(Win("d\\*"), &error).empty());
  EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), error);
  sys::ClearFaults();
  EXPECT_EQ(before, testing::CountOpenFds());
}

}  // namespace
}  // namespace tessary
