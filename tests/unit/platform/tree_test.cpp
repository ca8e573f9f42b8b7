// Folders held by descriptor for the tree walks: what a walk sees of links,
// special files and odd names, and what it does when the tree changes
// between two of its steps.
#include "platform/tree.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "unit/platform/file_fixture.h"

namespace tessary {
namespace {

using testing::ReadHostFile;
using testing::WriteHostFile;

class Tree : public testing::MappedDriveTest {
 protected:
  void SetUp() override {
    MappedDriveTest::SetUp();
    ::mkdir(Host("t").c_str(), 0755);
    ::mkdir(Host("t/sub").c_str(), 0755);
    ::mkdir(Host("outside").c_str(), 0755);
    WriteHostFile(Host("outside/precious"), "keep");
  }
  struct Listed {
    std::string name;
    DWORD attributes;
  };
  std::vector<Listed> List(HANDLE folder) {
    std::vector<Listed> out;
    WIN32_FIND_DATAA data;
    while (TreeNextEntry(folder, &data)) out.push_back({data.cFileName, data.dwFileAttributes});
    EXPECT_EQ(static_cast<DWORD>(ERROR_NO_MORE_FILES), GetLastError());
    return out;
  }
};

TEST_F(Tree, LinksAreEntriesOfTheirOwnAndNeverOpenedAsFolders) {
  ASSERT_EQ(0, ::symlink(Host("outside").c_str(), Host("t/dirlink").c_str()));
  ASSERT_EQ(0, ::symlink(Host("outside/precious").c_str(), Host("t/filelink").c_str()));
  ::chmod(Host("outside/precious").c_str(), 0444);
  HANDLE t = TreeOpenFolder(Win("t").c_str(), FALSE);
  ASSERT_NE(INVALID_HANDLE_VALUE, t);
  const std::vector<Listed> entries = List(t);
  ASSERT_EQ(3u, entries.size());
  EXPECT_EQ("dirlink", entries[0].name);
  EXPECT_EQ(static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT),
            entries[0].attributes);
  EXPECT_EQ("filelink", entries[1].name);
  EXPECT_NE(0u, entries[1].attributes & FILE_ATTRIBUTE_REPARSE_POINT);

  EXPECT_EQ(INVALID_HANDLE_VALUE, TreeOpenSubfolder(t, "dirlink"));
  EXPECT_EQ(static_cast<DWORD>(ERROR_DIRECTORY), GetLastError());
  // Forcing the attributes of a link leaves its target as it was.
  EXPECT_TRUE(TreeSetEntryAttributes(t, "filelink", FILE_ATTRIBUTE_NORMAL));
  EXPECT_TRUE(SetFileAttributesA(Win("t/filelink").c_str(), FILE_ATTRIBUTE_NORMAL));
  struct stat st;
  ASSERT_EQ(0, ::stat(Host("outside/precious").c_str(), &st));
  EXPECT_EQ(0444u, st.st_mode & 0777);
  // Deleting removes the links only.
  EXPECT_TRUE(TreeDeleteEntry(t, "dirlink"));
  EXPECT_TRUE(TreeDeleteEntry(t, "filelink"));
  EXPECT_EQ("keep", ReadHostFile(Host("outside/precious")));
  EXPECT_TRUE(TreeCloseFolder(t));

  // A walk that must not follow refuses a folder named by a link.
  ASSERT_EQ(0, ::symlink(Host("outside").c_str(), Host("alias").c_str()));
  EXPECT_EQ(INVALID_HANDLE_VALUE, TreeOpenFolder(Win("alias").c_str(), FALSE));
  EXPECT_EQ(static_cast<DWORD>(ERROR_DIRECTORY), GetLastError());
  HANDLE followed = TreeOpenFolder(Win("alias").c_str(), TRUE);
  ASSERT_NE(INVALID_HANDLE_VALUE, followed);
  EXPECT_EQ(1u, List(followed).size());
  TreeCloseFolder(followed);
}

TEST_F(Tree, AFolderSwappedAfterTheListingIsRefused) {
  HANDLE t = TreeOpenFolder(Win("t").c_str(), FALSE);
  ASSERT_NE(INVALID_HANDLE_VALUE, t);
  WIN32_FIND_DATAA data;
  ASSERT_TRUE(TreeNextEntry(t, &data));
  ASSERT_STREQ("sub", data.cFileName);
  // Swapped for a link to somewhere else: never entered.
  ASSERT_EQ(0, ::rename(Host("t/sub").c_str(), Host("t/moved").c_str()));
  ASSERT_EQ(0, ::symlink(Host("outside").c_str(), Host("t/sub").c_str()));
  EXPECT_EQ(INVALID_HANDLE_VALUE, TreeOpenSubfolder(t, "sub"));
  EXPECT_EQ(static_cast<DWORD>(ERROR_DIRECTORY), GetLastError());
  // Swapped for another folder: not the one the listing showed.
  ASSERT_EQ(0, ::unlink(Host("t/sub").c_str()));
  ASSERT_EQ(0, ::mkdir(Host("t/sub").c_str(), 0755));
  EXPECT_EQ(INVALID_HANDLE_VALUE, TreeOpenSubfolder(t, "sub"));
  EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), GetLastError());
  // Names are entries, never paths.
  EXPECT_FALSE(TreeDeleteEntry(t, "../outside/precious"));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_NAME), GetLastError());
  EXPECT_TRUE(testing::HostExists(Host("outside/precious")));
  TreeCloseFolder(t);
}

TEST_F(Tree, CopiesRegularFilesExactlyAndRefusesSpecialFiles) {
  // Names a Windows path would change are still addressed exactly.
  WriteHostFile(Host("t/x."), "dot");
  WriteHostFile(Host("t/back\\slash"), "bs");
  ASSERT_EQ(0, ::mkfifo(Host("t/pipe").c_str(), 0644));
  ::mkdir(Host("copy").c_str(), 0755);
  HANDLE from = TreeOpenFolder(Win("t").c_str(), TRUE);
  HANDLE to = TreeOpenFolder(Win("copy").c_str(), TRUE);
  ASSERT_NE(INVALID_HANDLE_VALUE, from);
  ASSERT_NE(INVALID_HANDLE_VALUE, to);
  EXPECT_TRUE(TreeCopyEntry(from, "x.", to, "x.", 0));
  EXPECT_TRUE(TreeCopyEntry(from, "back\\slash", to, "back\\slash", 0));
  EXPECT_EQ("dot", ReadHostFile(Host("copy/x.")));
  EXPECT_FALSE(testing::HostExists(Host("copy/x")));
  EXPECT_EQ("bs", ReadHostFile(Host("copy/back\\slash")));
  // A pipe is refused at once instead of being read for ever.
  EXPECT_FALSE(TreeCopyEntry(from, "pipe", to, "pipe", 0));
  EXPECT_EQ(static_cast<DWORD>(ERROR_CANT_ACCESS_FILE), GetLastError());
  EXPECT_FALSE(TreeCopyEntry(from, "x.", to, "x.", COPY_FILE_FAIL_IF_EXISTS));
  EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_EXISTS), GetLastError());
  // A file copied onto itself is refused, never emptied.
  EXPECT_FALSE(TreeCopyEntry(from, "x.", from, "x.", 0));
  EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), GetLastError());
  EXPECT_EQ("dot", ReadHostFile(Host("t/x.")));
  EXPECT_TRUE(TreeDeleteEntry(from, "pipe"));
  EXPECT_TRUE(TreeDeleteEntry(from, "x."));
  EXPECT_TRUE(testing::HostExists(Host("t/back\\slash")));
  TreeCloseFolder(from);
  TreeCloseFolder(to);
}

TEST_F(Tree, AFoldersReadOnlyAttributeKeepsItsPermissions) {
  ASSERT_TRUE(SetFileAttributesA(Win("t/sub").c_str(), FILE_ATTRIBUTE_READONLY));
  struct stat st;
  ASSERT_EQ(0, ::stat(Host("t/sub").c_str(), &st));
  EXPECT_EQ(0755u, st.st_mode & 0777);
  // New files still go in, as on Windows.
  HANDLE file =
      CreateFileA(Win("t/sub/new").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, file);
  CloseHandle(file);
  ASSERT_TRUE(DeleteFileA(Win("t/sub/new").c_str()));
  EXPECT_EQ(static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY),
            GetFileAttributesA(Win("t/sub").c_str()));
  // Removing it is refused until the attribute is cleared.
  EXPECT_FALSE(RemoveDirectoryA(Win("t/sub").c_str()));
  EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError());
  HANDLE t = TreeOpenFolder(Win("t").c_str(), FALSE);
  EXPECT_FALSE(TreeDeleteEntry(t, "sub"));
  EXPECT_TRUE(TreeSetEntryAttributes(t, "sub", FILE_ATTRIBUTE_NORMAL));
  EXPECT_TRUE(TreeDeleteEntry(t, "sub"));
  TreeCloseFolder(t);
}

}  // namespace
}  // namespace tessary
