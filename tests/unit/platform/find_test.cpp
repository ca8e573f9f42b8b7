// Searches: wildcard patterns matched without regard to case, the entries
// Windows lists and in which order, and the errors of each way to fail.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/find_probe.h"
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

// Names alike far into their text, names one is the start of another, names
// that differ only in case, and bytes on either side of the dots.
TEST_F(Find, TheNtfsOrderHoldsForNamesAlikeInTheirFirstBytes) {
  ::mkdir(Host("o").c_str(), 0755);
  const Names_ expected = {
      ".",         "..",        "-a", "ABCDEFG", "abcdefgh", "ABCDEFGH0", "abcdefgh1", "ABCDEFGHI",
      "abcdefghi", "abcdefgh_", "Z",  "zz",      "[x",       "_x",        "~x",        "\xc3\xa9"};
  for (size_t i = expected.size(); i-- > 2;) WriteHostFile(Host("o/") + expected[i], "");
  EXPECT_EQ(expected, Names(Win("o\\*")));
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

// A search for names and kinds lists what FindFirstFileA lists, in the same
// order, and tells folders (a link to one too) from everything else.
TEST_F(Find, ANamesOnlySearchListsWhatTheFullOneDoesWithTheKinds) {
  ASSERT_EQ(0, ::symlink(Host("d/sub").c_str(), Host("d/folderlink").c_str()));
  ASSERT_EQ(0, ::symlink(Host("d/a.txt").c_str(), Host("d/filelink").c_str()));
  ASSERT_EQ(0, ::symlink(Host("d/missing").c_str(), Host("d/dangling").c_str()));
  ASSERT_EQ(0, ::mkfifo(Host("d/fifo").c_str(), 0644));
  for (const char* pattern : {"d\\*", "d\\*.txt", "d\\*link", "d\\readme", "d\\none*"}) {
    std::vector<std::string> full, names;
    std::vector<DWORD> full_kinds, kinds;
    for (bool names_only : {false, true}) {
      WIN32_FIND_DATAA data;
      HANDLE h = names_only ? FindFirstFileNamesA(Win(pattern).c_str(), &data)
                            : FindFirstFileA(Win(pattern).c_str(), &data);
      if (h == INVALID_HANDLE_VALUE) {
        (names_only ? names : full).push_back("error " + std::to_string(GetLastError()));
        continue;
      }
      do {
        (names_only ? names : full).push_back(data.cFileName);
        (names_only ? kinds : full_kinds)
            .push_back(data.dwFileAttributes &
                       (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT));
      } while (FindNextFileA(h, &data));
      EXPECT_EQ(static_cast<DWORD>(ERROR_NO_MORE_FILES), GetLastError());
      EXPECT_TRUE(FindClose(h));
    }
    EXPECT_EQ(full, names) << pattern;
    EXPECT_EQ(full_kinds, kinds) << pattern;
  }
  WIN32_FIND_DATAA data;
  HANDLE h = FindFirstFileNamesA(Win("d\\folderlink").c_str(), &data);
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  EXPECT_EQ(static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT),
            data.dwFileAttributes);
  EXPECT_TRUE(FindClose(h));
  // An entry removed before its turn is skipped when its kind needs a look.
  h = FindFirstFileNamesA(Win("d\\*link").c_str(), &data);
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  EXPECT_STREQ("filelink", data.cFileName);
  ASSERT_EQ(0, ::unlink(Host("d/folderlink").c_str()));
  EXPECT_FALSE(FindNextFileA(h, &data));
  EXPECT_EQ(static_cast<DWORD>(ERROR_NO_MORE_FILES), GetLastError());
  EXPECT_TRUE(FindClose(h));
  EXPECT_EQ(INVALID_HANDLE_VALUE, FindFirstFileNamesA(Win("d\\*").c_str(), nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
}

// The probe a listing makes answers what CreateFileA for no access answers,
// for every kind of entry, found by either kind of search.
TEST_F(Find, TheProbeAnswersWhatAnOpenForNoAccessAnswers) {
  ::mkdir(Host("k").c_str(), 0755);
  WriteHostFile(Host("k/file"), "x");
  ASSERT_EQ(0, ::mkfifo(Host("k/fifo").c_str(), 0644));
  ASSERT_EQ(0, ::symlink(Host("k/file").c_str(), Host("k/filelink").c_str()));
  ASSERT_EQ(0, ::symlink(Host("k/missing").c_str(), Host("k/dangling").c_str()));
  ASSERT_EQ(0, ::symlink(Host("k/loop").c_str(), Host("k/loop").c_str()));
  ASSERT_EQ(0, ::symlink("/dev/null", Host("k/devlink").c_str()));
  // A socket, bound through a short relative name (paths of sockets are short).
  const int sock = ::socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_GE(sock, 0);
  char cwd[4096];
  ASSERT_NE(nullptr, ::getcwd(cwd, sizeof cwd));
  ASSERT_EQ(0, ::chdir(Host("k").c_str()));
  sockaddr_un address = {};
  address.sun_family = AF_UNIX;
  std::strcpy(address.sun_path, "socket");
  const int bound = ::bind(sock, reinterpret_cast<sockaddr*>(&address), sizeof address);
  ASSERT_EQ(0, ::chdir(cwd));
  ASSERT_EQ(0, bound);
  size_t entries = 7;
  const bool root = ::geteuid() == 0;
  // A device node, where we may make one.
  if (::mknod(Host("k/device").c_str(), S_IFCHR | 0600, makedev(1, 3)) == 0) ++entries;
  if (!root) {
    ++entries;
    // A link into a folder that may not be searched.
    ::mkdir(Host("closed").c_str(), 0755);
    WriteHostFile(Host("closed/inner"), "x");
    ASSERT_EQ(0, ::chmod(Host("closed").c_str(), 0600));
    ASSERT_EQ(0, ::symlink(Host("closed/inner").c_str(), Host("k/closedlink").c_str()));
  }

  // Each entry's probe beside the open; `revoke` takes the folder's search
  // permission away once the search has started.
  auto compare = [&](bool names_only, bool revoke) {
    WIN32_FIND_DATAA data;
    HANDLE h = names_only ? FindFirstFileNamesA(Win("k\\*").c_str(), &data)
                          : FindFirstFileA(Win("k\\*").c_str(), &data);
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    if (revoke) {
      ASSERT_EQ(0, ::chmod(Host("k").c_str(), 0600));
    }
    size_t probed = 0;
    do {
      if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
      const std::string full = Win("k\\") + data.cFileName;
      SetLastError(0);
      HANDLE opened = CreateFileA(full.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_EXISTING, 0, nullptr);
      const DWORD open_error = opened == INVALID_HANDLE_VALUE ? GetLastError() : 0;
      if (opened != INVALID_HANDLE_VALUE) CloseHandle(opened);
      SetLastError(0);
      const BOOL probe = FindProbeEntryA(h, full.c_str(), data.cFileName);
      const DWORD probe_error = probe ? 0 : GetLastError();
      EXPECT_EQ(opened != INVALID_HANDLE_VALUE, probe != FALSE)
          << data.cFileName << " names_only " << names_only << " revoke " << revoke;
      EXPECT_EQ(open_error, probe_error)
          << data.cFileName << " names_only " << names_only << " revoke " << revoke;
      ++probed;
    } while (FindNextFileA(h, &data));
    EXPECT_TRUE(FindClose(h));
    if (revoke) {
      ASSERT_EQ(0, ::chmod(Host("k").c_str(), 0755));
    }
    // Without search permission a search ends at the first entry it must
    // look at.
    if (!revoke) {
      EXPECT_EQ(entries, probed) << "names_only " << names_only;
    }
  };
  for (bool names_only : {false, true}) {
    compare(names_only, false);
    if (!root) compare(names_only, true);
  }
  ::close(sock);
  if (!root) ::chmod(Host("closed").c_str(), 0755);
}

}  // namespace
}  // namespace tessary
