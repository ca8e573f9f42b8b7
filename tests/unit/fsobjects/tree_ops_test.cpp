// Whole-tree delete, copy, move and size.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "frame/switches.h"
#include "fs_test_support.h"
#include "fsobjects/folder.h"
#include "root/tessary.h"

namespace tessary::testing {
namespace {

class TreeTest : public FsTest {
 protected:
  void SetUp() override { LoadFeatureSwitches(); }
  IFolder* Get(const std::string& windows_path) {
    IFolder* folder = nullptr;
    EXPECT_EQ(S_OK, NewFolder(B(windows_path).get(), &folder)) << windows_path;
    return folder;
  }
  void Tree(const std::string& root) {
    std::filesystem::create_directories(P(root + "/sub/deeper"));
    std::filesystem::create_directories(P(root + "/.hidden"));
    Write(root + "/five", "12345");
    Write(root + "/sub/seven", "1234567");
    Write(root + "/sub/deeper/one", "1");
    Write(root + "/.hidden/two", "12");
  }
  double SizeOf(const std::string& name) {
    IFolder* folder = Get(W(name));
    VARIANT size;
    VariantInit(&size);
    EXPECT_EQ(S_OK, folder->get_Size(&size));
    folder->Release();
    EXPECT_EQ(VT_R8, size.vt);
    return size.dblVal;
  }
};

TEST_F(TreeTest, SizeSumsEveryFileBelowIncludingDotFolders) {
  std::filesystem::create_directory(P("empty"));
  EXPECT_EQ(0.0, SizeOf("empty"));
  Tree("t");
  EXPECT_EQ(15.0, SizeOf("t"));
}

TEST_F(TreeTest, DeleteStopsAtAReadOnlyFileUnlessForced) {
  Tree("t");
  chmod(P("t/sub/seven").c_str(), 0444);
  IFolder* folder = Get(W("t"));
  EXPECT_EQ(E_ACCESSDENIED, folder->Delete(VARIANT_FALSE));
  EXPECT_TRUE(Exists("t/sub/seven"));
  ASSERT_EQ(S_OK, folder->Delete(VARIANT_TRUE));
  EXPECT_FALSE(Exists("t"));
  folder->Release();
}

TEST_F(TreeTest, DeleteNeverFollowsALinkOutOfTheTree) {
  Tree("t");
  std::filesystem::create_directories(P("outside/keep"));
  Write("outside/keep/precious", "x");
  ASSERT_EQ(0, symlink(P("outside").c_str(), P("t/sub/link").c_str()));
  ASSERT_EQ(0, symlink(P("outside/keep/precious").c_str(), P("t/file_link").c_str()));
  IFolder* folder = Get(W("t"));
  ASSERT_EQ(S_OK, folder->Delete(VARIANT_FALSE));
  folder->Release();
  EXPECT_FALSE(Exists("t"));
  EXPECT_TRUE(Exists("outside/keep/precious"));
}

TEST_F(TreeTest, DeleteIsRefusedWhenDisabled) {
  Tree("t");
  store_.Write(
      "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Quennel\\QN-Tessary\\Parameters]\n"
      "\"DisableDelete\"=dword:00000001\n");
  LoadFeatureSwitches();
  IFolder* folder = Get(W("t"));
  EXPECT_EQ(E_ACCESSDENIED, folder->Delete(VARIANT_TRUE));
  folder->Release();
  Tessary* root = nullptr;
  ASSERT_EQ(S_OK, CreateObject(&root));
  EXPECT_EQ(E_ACCESSDENIED, root->DeleteFolder(B(W("t")).get(), VARIANT_TRUE));
  root->Release();
  EXPECT_EQ(15.0, SizeOf("t"));
  store_.Write("REGEDIT4\n");
  LoadFeatureSwitches();
}

TEST_F(TreeTest, CopyMakesTheDestinationHoldWhatTheSourceHolds) {
  Tree("t");
  IFolder* folder = Get(W("t"));
  ASSERT_EQ(S_OK, folder->Copy(B(W("copy")).get(), VARIANT_TRUE));
  EXPECT_EQ(15.0, SizeOf("copy"));
  EXPECT_TRUE(Exists("copy/.hidden/two"));

  // Into an existing folder: refused without overwrite, merged with it.
  EXPECT_EQ(DISP_E_EXCEPTION, folder->Copy(B(W("copy")).get(), VARIANT_FALSE));
  EXPECT_EQ("Destination directory already exists.", TakeError().description);
  Write("copy/five", "changed!");
  Write("copy/extra", "e");
  ASSERT_EQ(S_OK, folder->Copy(B(W("copy")).get(), VARIANT_TRUE));
  EXPECT_EQ(16.0, SizeOf("copy"));  // five replaced, extra kept

  Write("afile", "x");
  EXPECT_EQ(DISP_E_EXCEPTION, folder->Copy(B(W("afile")).get(), VARIANT_TRUE));
  EXPECT_EQ("Destination must be a directory", TakeError().description);
  EXPECT_EQ(static_cast<HRESULT>(0x80070003), folder->Copy(B(W("no\\such")).get(), VARIANT_TRUE));
  folder->Release();
}

TEST_F(TreeTest, CopyIntoItsOwnSubfolderFailsCleanly) {
  Tree("t");
  IFolder* folder = Get(W("t"));
  EXPECT_EQ(DISP_E_EXCEPTION, folder->Copy(B(W("t\\sub\\again")).get(), VARIANT_TRUE));
  EXPECT_FALSE(TakeError().description.empty());
  EXPECT_FALSE(Exists("t/sub/again"));
  EXPECT_EQ(DISP_E_EXCEPTION, folder->Copy(B(W("t")).get(), VARIANT_TRUE));
  folder->Release();
  EXPECT_EQ(15.0, SizeOf("t"));
}

TEST_F(TreeTest, CopyDoesNotFollowALinkedFolder) {
  Tree("t");
  std::filesystem::create_directories(P("outside"));
  Write("outside/big", std::string(1000, 'x'));
  ASSERT_EQ(0, symlink(P("t").c_str(), P("t/sub/loop").c_str()));
  IFolder* folder = Get(W("t"));
  HRESULT hr = folder->Copy(B(W("copy")).get(), VARIANT_TRUE);
  folder->Release();
  // The link is an entry of its own: the copy ends and never loops.
  EXPECT_EQ(S_OK, hr) << TakeError().description;
  EXPECT_TRUE(std::filesystem::is_symlink(P("copy/sub/loop")));
  // The size counts the link itself (its target's name), not the tree behind it.
  EXPECT_EQ(15.0 + P("t").size(), SizeOf("copy"));
}

TEST_F(TreeTest, DeletingAFolderThatIsALinkRemovesTheLinkOnly) {
  Tree("release");
  ASSERT_EQ(0, symlink(P("release").c_str(), P("current").c_str()));
  Tessary* root = nullptr;
  ASSERT_EQ(S_OK, CreateObject(&root));
  EXPECT_EQ(S_OK, root->DeleteFolder(B(W("current")).get(), VARIANT_TRUE))
      << TakeError().description;
  root->Release();
  EXPECT_FALSE(std::filesystem::is_symlink(P("current")));
  EXPECT_EQ(15.0, SizeOf("release"));

  ASSERT_EQ(0, symlink(P("release").c_str(), P("current").c_str()));
  IFolder* folder = Get(W("current"));
  EXPECT_EQ(S_OK, folder->Delete(VARIANT_TRUE));
  folder->Release();
  EXPECT_FALSE(std::filesystem::is_symlink(P("current")));
  EXPECT_EQ(15.0, SizeOf("release"));
}

TEST_F(TreeTest, CopyIntoItselfIsToldByIdentityNotSpelling) {
  Tree("Data");
  ASSERT_EQ(0, symlink(P("Data").c_str(), P("alias").c_str()));
  IFolder* folder = Get(W("Data"));
  // Another name of the same folder is still the folder itself.
  EXPECT_EQ(DISP_E_EXCEPTION, folder->Copy(B(W("alias\\sub\\again")).get(), VARIANT_TRUE));
  EXPECT_EQ("Cannot copy a folder into itself.", TakeError().description);
  EXPECT_FALSE(Exists("Data/sub/again"));
  // So is the same name in another case, as on Windows.
  EXPECT_EQ(DISP_E_EXCEPTION, folder->Copy(B(W("data")).get(), VARIANT_TRUE));
  EXPECT_EQ("Cannot copy a folder into itself.", TakeError().description);
  folder->Release();
  EXPECT_FALSE(Exists("data"));
}

TEST_F(TreeTest, WalksAddressOddNamesExactlyAndRefuseSpecialFiles) {
  Tree("t");
  Write("t/x.", "dot");
  Write("t/sub/trailing ", "sp");
  ASSERT_EQ(0, mkfifo(P("t/zz_pipe").c_str(), 0644));
  std::filesystem::create_directory(P("sibling"));
  Write("sibling/x", "keep");
  IFolder* folder = Get(W("t"));
  // The copy stops at the pipe (listed last) instead of reading it for ever.
  EXPECT_EQ(static_cast<HRESULT>(0x80070780), folder->Copy(B(W("copy")).get(), VARIANT_TRUE));
  EXPECT_EQ("dot", ReadWholeFile(P("copy/x.")));
  EXPECT_FALSE(Exists("copy/x"));
  EXPECT_EQ(20.0, SizeOf("t"));
  ASSERT_EQ(S_OK, folder->Delete(VARIANT_FALSE)) << TakeError().description;
  folder->Release();
  EXPECT_FALSE(Exists("t"));
  EXPECT_TRUE(Exists("sibling/x"));
}

TEST_F(TreeTest, MoveKeepsTheObjectsPathAndRefusesExistingNames) {
  Tree("t");
  std::filesystem::create_directory(P("taken"));
  IFolder* folder = Get(W("t"));
  ASSERT_EQ(S_OK, folder->Move(B(W("t")).get()));
  EXPECT_EQ(DISP_E_EXCEPTION, folder->Move(B(W("taken")).get()));
  EXPECT_EQ("Destination file already exists.", TakeError().description);
  EXPECT_EQ(static_cast<HRESULT>(0x80070003), folder->Move(B(W("no\\such\\place")).get()));
  ASSERT_EQ(S_OK, folder->Move(B(W("moved")).get()));
  EXPECT_EQ(15.0, SizeOf("moved"));
  EXPECT_FALSE(Exists("t"));
  BSTR path = nullptr;
  folder->get_Path(&path);
  EXPECT_EQ(W("t"), Take(path));
  folder->Release();
}

TEST_F(TreeTest, RootTreeEntriesWorkOnFoldersOnly) {
  Tree("t");
  Write("afile", "x");
  Tessary* root = nullptr;
  ASSERT_EQ(S_OK, CreateObject(&root));
  ASSERT_EQ(S_OK, root->CopyFolder(B(W("t")).get(), B(W("c")).get(), VARIANT_TRUE));
  ASSERT_EQ(S_OK, root->MoveFolder(B(W("c")).get(), B(W("m")).get()));
  ASSERT_EQ(S_OK, root->DeleteFolder(B(W("m")).get(), VARIANT_FALSE));
  EXPECT_FALSE(Exists("m"));
  EXPECT_EQ(DISP_E_EXCEPTION, root->DeleteFolder(B(W("afile")).get(), VARIANT_FALSE));
  EXPECT_EQ("Argument must be a directory.", TakeError().description);
  // No wildcards are expanded: the pattern names no folder.
  EXPECT_EQ(static_cast<HRESULT>(0x8007007B),
            root->DeleteFolder(B(W("t\\*")).get(), VARIANT_FALSE));
  EXPECT_EQ(15.0, SizeOf("t"));
  EXPECT_TRUE(Exists("afile"));
  root->Release();
}

}  // namespace
}  // namespace tessary::testing
