// The Folder object against real folders.
#include <gtest/gtest.h>

#include "fs_test_support.h"
#include "fsobjects/folder.h"

namespace tessary::testing {
namespace {

class FolderTest : public FsTest {
 protected:
  IFolder* Get(const std::string& windows_path) {
    IFolder* folder = nullptr;
    EXPECT_EQ(S_OK, NewFolder(B(windows_path).get(), &folder)) << windows_path;
    return folder;
  }
  static std::string PathOf(IFolder* folder) {
    BSTR text = nullptr;
    EXPECT_EQ(S_OK, folder->get_Path(&text));
    return Take(text);
  }
};

TEST_F(FolderTest, AFileOrAMissingPathIsNoFolder) {
  Write("a.txt", "x");
  IFolder* folder = reinterpret_cast<IFolder*>(1);
  EXPECT_EQ(DISP_E_EXCEPTION, NewFolder(B(W("a.txt")).get(), &folder));
  EXPECT_EQ(nullptr, folder);
  EXPECT_EQ("Argument must be a directory.", TakeError().description);
  EXPECT_EQ(static_cast<HRESULT>(0x80070002), NewFolder(B(W("missing")).get(), &folder));
  EXPECT_EQ(static_cast<HRESULT>(0x80070003), NewFolder(B(W("no\\missing")).get(), &folder));
}

TEST_F(FolderTest, ThePathIsNormalisedAndTheNameIsItsLastComponent) {
  std::filesystem::create_directories(P("a/b"));
  IFolder* folder = Get("C:" + dir_.path() + "/a/./x/../b/");
  EXPECT_EQ(W("a\\b"), PathOf(folder));
  BSTR name = nullptr;
  folder->get_Name(&name);
  EXPECT_EQ("b", Take(name));
  folder->Release();
}

TEST_F(FolderTest, RenameIsFollowedByTheObject) {
  std::filesystem::create_directory(P("old"));
  IFolder* folder = Get(W("old"));
  ASSERT_EQ(S_OK, folder->put_Name(B("new").get()));
  EXPECT_EQ(W("new"), PathOf(folder));
  BSTR name = nullptr;
  folder->get_Name(&name);
  EXPECT_EQ("new", Take(name));
  EXPECT_TRUE(Exists("new"));
  std::filesystem::create_directory(P("taken"));
  EXPECT_TRUE(FAILED(folder->put_Name(B("taken").get())));
  EXPECT_EQ(W("new"), PathOf(folder));  // nothing changes on failure
  folder->Release();
}

TEST_F(FolderTest, ParentOfARootIsNothing) {
  IFolder* root = Get("C:\\");
  IFolder* parent = reinterpret_cast<IFolder*>(1);
  ASSERT_EQ(S_OK, root->get_ParentFolder(&parent));
  EXPECT_EQ(nullptr, parent);
  VARIANT_BOOL is_root = 0;
  root->get_IsRootFolder(&is_root);
  EXPECT_EQ(VARIANT_TRUE, is_root);
  BSTR name = nullptr;
  root->get_Name(&name);
  EXPECT_EQ("", Take(name));
  EXPECT_EQ("C:\\", PathOf(root));
  // The find service returns no entry for a root, so its dates fail.
  DATE date = 0;
  EXPECT_TRUE(FAILED(root->get_DateCreated(&date)));
  root->Release();

  IFolder* here = Get(W());
  here->get_IsRootFolder(&is_root);
  EXPECT_EQ(VARIANT_FALSE, is_root);
  ASSERT_EQ(S_OK, here->get_ParentFolder(&parent));
  ASSERT_NE(nullptr, parent);
  EXPECT_EQ(W().substr(0, W().rfind('\\')), PathOf(parent));
  parent->Release();
  here->Release();
}

TEST_F(FolderTest, TypeIsWhatTheShellCallsAFolder) {
  IFolder* folder = Get(W());
  BSTR type = nullptr;
  ASSERT_EQ(S_OK, folder->get_Type(&type));
  EXPECT_EQ("File folder", Take(type));
  folder->Release();
}

TEST_F(FolderTest, WildcardAccountServerAndUnbuiltMembers) {
  IFolder* folder = Get(W());
  BSTR text = nullptr;
  folder->get_SearchWildCard(&text);
  EXPECT_EQ("*", Take(text));
  ASSERT_EQ(S_OK, folder->put_SearchWildCard(B("*.txt").get()));
  folder->get_SearchWildCard(&text);
  EXPECT_EQ("*.txt", Take(text));
  EXPECT_EQ(E_POINTER, folder->get_AccountServer(nullptr));
  VARIANT_BOOL accessible = 0;
  EXPECT_EQ(E_NOTIMPL, folder->get_Accessible(&accessible));
  QNFileAttribute bits = QNNormal;
  ASSERT_EQ(S_OK, folder->get_Attributes(&bits));
  EXPECT_TRUE(bits & QNDirectory);
  EXPECT_EQ(E_INVALIDARG, folder->put_Attributes(QNCompressed));
  folder->Release();
}

}  // namespace
}  // namespace tessary::testing
