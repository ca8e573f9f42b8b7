// Path strings and special folders.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "bstr_support.h"
#include "frame/values.h"
#include "platform/files.h"
#include "root/tessary.h"
#include "test_support.h"

namespace {

using tessary::Bstr;

using tessary::testing::Text;

class RootPaths : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(S_OK, tessary::CreateObject(&root_)); }
  void TearDown() override { root_->Release(); }

  using Unary = HRESULT (Tessary::*)(BSTR, BSTR*);
  std::string Call(Unary member, const std::string& in) {
    Bstr arg;
    EXPECT_EQ(S_OK, arg.FromAnsi(in));
    BSTR out = nullptr;
    EXPECT_EQ(S_OK, (root_->*member)(arg.get(), &out));
    std::string text = Text(out);
    SysFreeString(out);
    return text;
  }
  std::string Build(const std::string& a, const std::string& b) {
    Bstr x, y;
    EXPECT_EQ(S_OK, x.FromAnsi(a));
    EXPECT_EQ(S_OK, y.FromAnsi(b));
    BSTR out = nullptr;
    EXPECT_EQ(S_OK, root_->BuildPath(x.get(), y.get(), &out));
    std::string text = Text(out);
    SysFreeString(out);
    return text;
  }

  Tessary* root_ = nullptr;
};

TEST_F(RootPaths, BuildPathPutsExactlyOneBackslashAtTheJoint) {
  const struct {
    const char* path;
    const char* name;
    const char* joined;
  } cases[] = {
      {"C:\\dir\\", "\\file", "C:\\dir\\file"},
      {"C:\\dir", "file", "C:\\dir\\file"},
      {"C:\\dir\\", "file", "C:\\dir\\file"},
      {"C:\\dir", "\\file", "C:\\dir\\file"},
      {"", "file", "file"},
      {"C:\\dir", "", "C:\\dir"},
      {"", "", ""},
      {"C:", "x", "C:\\x"},
      {"a/", "b", "a/\\b"},
      {"C:\\dir\\\\", "\\file", "C:\\dir\\\\file"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(c.joined, Build(c.path, c.name)) << c.path << " + " << c.name;
}

TEST_F(RootPaths, GetDriveNameFindsLettersAndShares) {
  const struct {
    const char* path;
    const char* drive;
  } cases[] = {
      {"c:\\x", "c:"},
      {"C:", "C:"},
      {"\\\\server\\share", "\\\\server\\share"},
      // Folders below the share are no part of the drive.
      {"\\\\server\\share\\dir", "\\\\server\\share"},
      {"\\\\server\\share\\dir\\f.txt", "\\\\server\\share"},
      {"\\\\server\\share\\", "\\\\server\\share"},
      {"\\\\server\\\\share", ""},
      {"\\\\server", ""},
      {"\\\\server\\", ""},
      {"x", ""},
      {"1:\\x", ""},
      {"", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(c.drive, Call(&Tessary::GetDriveName, c.path)) << c.path;
}

TEST_F(RootPaths, ParentFileBaseAndExtensionOfDrivePaths) {
  EXPECT_EQ("", Call(&Tessary::GetParentFolderName, "C:\\"));
  EXPECT_EQ("C:\\a", Call(&Tessary::GetParentFolderName, "C:\\a\\b.txt"));
  EXPECT_EQ("C:\\", Call(&Tessary::GetParentFolderName, "C:\\a"));
  EXPECT_EQ("b.txt", Call(&Tessary::GetFileName, "C:\\a\\b.txt"));
  EXPECT_EQ("", Call(&Tessary::GetFileName, "C:\\a\\"));
  EXPECT_EQ("b.txt", Call(&Tessary::GetFileName, "C:/a/b.txt"));
  EXPECT_EQ("b.tar", Call(&Tessary::GetBaseName, "C:\\a\\b.tar.gz"));
  EXPECT_EQ("gz", Call(&Tessary::GetExtensionName, "C:\\a\\b.tar.gz"));
  EXPECT_EQ("", Call(&Tessary::GetExtensionName, "C:\\a\\readme"));
  EXPECT_EQ("readme", Call(&Tessary::GetBaseName, "C:\\a\\readme"));
  // What cannot be handled is "" rather than a failure.
  EXPECT_EQ("", Call(&Tessary::GetFileName, std::string(400, 'a')));
}

TEST_F(RootPaths, AbsolutePathsResolveAgainstTheCurrentFolder) {
  char cwd[MAX_PATH];
  ASSERT_NE(0u, ::GetCurrentDirectoryA(MAX_PATH, cwd));
  EXPECT_EQ(cwd, Call(&Tessary::GetAbsolutePathName, ""));
  std::string expected = std::string(cwd) + (std::string(cwd).back() == '\\' ? "" : "\\") + "x.txt";
  EXPECT_EQ(expected, Call(&Tessary::GetAbsolutePathName, "x.txt"));
  EXPECT_EQ("C:\\a\\c", Call(&Tessary::GetAbsolutePathName, "C:\\a\\b\\..\\c"));
  EXPECT_EQ("", Call(&Tessary::GetAbsolutePathName, "C:\\" + std::string(300, 'a')));
}

TEST_F(RootPaths, GetTempNameLeavesAnEmptyRadFileInTheTemporaryFolder) {
  tessary::testing::TempDir dir;
  tessary::testing::ScopedStore store(
      "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Quennel\\QN-Tessary\\Folders]\n\"Temp\"=\"C:" +
      dir.path() + "\"\n");
  BSTR name = nullptr;
  ASSERT_EQ(S_OK, root_->GetTempName(&name));
  const std::string file = Text(name);
  SysFreeString(name);
  EXPECT_EQ(0u, file.find("rad"));
  EXPECT_EQ(std::string::npos, file.find('\\'));
  EXPECT_TRUE(std::filesystem::exists(dir / file));
  EXPECT_EQ(0u, std::filesystem::file_size(dir / file));
}

TEST_F(RootPaths, SpecialFoldersAreFoldersAndOtherNumbersAreRefused) {
  tessary::testing::TempDir dir;
  tessary::testing::ScopedStore store(
      "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Quennel\\QN-Tessary\\Folders]\n\"Temp\"=\"C:" +
      dir.path() + "\"\n");
  IFolder* folder = nullptr;
  ASSERT_EQ(S_OK, root_->GetSpecialFolder(TemporaryFolder, &folder));
  BSTR path = nullptr;
  folder->get_Path(&path);
  std::string text = Text(path);
  SysFreeString(path);
  folder->Release();
  ASSERT_FALSE(text.empty());
  EXPECT_NE('\\', text.back());

  ASSERT_EQ(S_OK, root_->GetSpecialFolder(WindowsFolder, &folder));
  folder->Release();
  folder = reinterpret_cast<IFolder*>(1);
  EXPECT_EQ(E_INVALIDARG, root_->GetSpecialFolder(static_cast<SpecialFolderConst>(3), &folder));
  EXPECT_EQ(nullptr, folder);
  IErrorInfo* info = nullptr;
  ASSERT_EQ(S_OK, GetErrorInfo(0, &info));
  BSTR description = nullptr;
  info->GetDescription(&description);
  EXPECT_EQ("Invalid argument", Text(description));
  SysFreeString(description);
  info->Release();
}

}  // namespace
