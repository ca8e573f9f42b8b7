// The root object's file entries against real files. With no drive mapping
// in the store, C: is "/", so a temporary folder /tmp/x is C:\tmp\x.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <fstream>
#include <string>
#include <vector>

#include "bstr_support.h"
#include "frame/switches.h"
#include "frame/values.h"
#include "fsobjects/fs_test_support.h"
#include "platform/posix/syscalls.h"
#include "root/tessary.h"
#include "test_support.h"

namespace {

using tessary::Bstr;
using tessary::testing::B;
using tessary::testing::ErrorRecord;
using tessary::testing::TakeError;
using tessary::testing::Text;

class RootFiles : public tessary::testing::FsTest {
 protected:
  void SetUp() override {
    ASSERT_EQ(S_OK, tessary::CreateObject(&root_));
    tessary::LoadFeatureSwitches();
  }
  void TearDown() override {
    root_->Release();
    FsTest::TearDown();
  }

  std::string Read(const std::string& name) { return tessary::testing::ReadWholeFile(P(name)); }
  std::vector<std::string> Names() const {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir_.path()))
      names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }

  Tessary* root_ = nullptr;
};

TEST_F(RootFiles, ExistenceTestsTellFilesFromFolders) {
  Write("a.txt", "x");
  std::filesystem::create_directory(P("sub"));
  VARIANT_BOOL yes = 0;
  root_->FileExists(B(W("a.txt")).get(), &yes);
  EXPECT_EQ(VARIANT_TRUE, yes);
  root_->FileExists(B(W("sub")).get(), &yes);
  EXPECT_EQ(VARIANT_FALSE, yes);
  root_->FolderExists(B(W("sub")).get(), &yes);
  EXPECT_EQ(VARIANT_TRUE, yes);
  root_->FolderExists(B(W("a.txt")).get(), &yes);
  EXPECT_EQ(VARIANT_FALSE, yes);
  root_->FileExists(B(W("missing")).get(), &yes);
  EXPECT_EQ(VARIANT_FALSE, yes);
  root_->FolderExists(B(W("missing")).get(), &yes);
  EXPECT_EQ(VARIANT_FALSE, yes);
  // Forward slashes name the same file; an over-long path is simply absent.
  root_->FileExists(B("C:" + dir_.path() + "/a.txt").get(), &yes);
  EXPECT_EQ(VARIANT_TRUE, yes);
  root_->FileExists(B("C:\\" + std::string(300, 'a')).get(), &yes);
  EXPECT_EQ(VARIANT_FALSE, yes);
}

TEST_F(RootFiles, FileExistsTakesAnyTextUpToTheLimitAndNothingPastIt) {
  // A name making the path 259 characters exists; the same file named by 260
  // (one more separator) is past the limit and absent.
  const std::string folder = W();
  const std::string name(258 - folder.size(), 'n');
  Write(name, "x");
  VARIANT_BOOL yes = 0;
  ASSERT_EQ(259u, W(name).size());
  root_->FileExists(B(W(name)).get(), &yes);
  EXPECT_EQ(VARIANT_TRUE, yes);
  root_->FileExists(B(folder + "\\\\" + name).get(), &yes);
  EXPECT_EQ(VARIANT_FALSE, yes);
  // Text beyond ASCII goes through the code page, in any position.
  Write("\xC3\xA9t\xC3\xA9.txt", "x");
  root_->FileExists(B(W("\xC3\xA9t\xC3\xA9.txt")).get(), &yes);
  EXPECT_EQ(VARIANT_TRUE, yes);
  root_->FileExists(B(W("\xC3\x89T\xC3\x89.TXT")).get(), &yes);
  EXPECT_EQ(VARIANT_TRUE, yes);
  // A NUL inside the string would name another file: none.
  Write("a.txt", "x");
  const std::string with_nul = W("a.txt") + std::string(1, '\0') + "b";
  Bstr text = B(with_nul);
  ASSERT_EQ(with_nul.size(), SysStringLen(text.get()));
  root_->FileExists(text.get(), &yes);
  EXPECT_EQ(VARIANT_FALSE, yes);
}

TEST_F(RootFiles, CreateFileTruncatesOrRefusesAnExistingFile) {
  Write("a.txt", "content");
  ASSERT_EQ(S_OK, root_->CreateFile(B(W("a.txt")).get(), VARIANT_TRUE));
  EXPECT_EQ("", Read("a.txt"));
  Write("a.txt", "kept");
  EXPECT_EQ(static_cast<HRESULT>(0x80070050),
            root_->CreateFile(B(W("a.txt")).get(), VARIANT_FALSE));
  ErrorRecord e = TakeError();
  EXPECT_EQ("The file exists.", e.description);
  EXPECT_EQ("kept", Read("a.txt"));
  ASSERT_EQ(S_OK, root_->CreateFile(B(W("new.txt")).get(), VARIANT_FALSE));
  EXPECT_TRUE(Exists("new.txt"));
  EXPECT_EQ(static_cast<HRESULT>(0x80070003),
            root_->CreateFile(B(W("no\\such\\folder.txt")).get(), VARIANT_TRUE));
}

TEST_F(RootFiles, OverLongPathsAreRefusedWithTheirOwnCode) {
  std::string long_path = W(std::string(300, 'x'));
  EXPECT_EQ(static_cast<HRESULT>(0x800700CE), root_->CreateFile(B(long_path).get(), VARIANT_TRUE));
  EXPECT_EQ("The filename or extension is too long.", TakeError().description);
  EXPECT_EQ(static_cast<HRESULT>(0x800700CE),
            root_->CopyFile(B(W("a")).get(), B(long_path).get(), VARIANT_TRUE));
}

TEST_F(RootFiles, CopyAndMoveRespectOverwrite) {
  Write("a.txt", "A");
  Write("b.txt", "B");
  EXPECT_EQ(static_cast<HRESULT>(0x80070050),
            root_->CopyFile(B(W("a.txt")).get(), B(W("b.txt")).get(), VARIANT_FALSE));
  EXPECT_EQ("B", Read("b.txt"));
  ASSERT_EQ(S_OK, root_->CopyFile(B(W("a.txt")).get(), B(W("b.txt")).get(), VARIANT_TRUE));
  EXPECT_EQ("A", Read("b.txt"));

  Write("c.txt", "C");
  EXPECT_EQ(static_cast<HRESULT>(0x800700B7),
            root_->MoveFile(B(W("c.txt")).get(), B(W("b.txt")).get(), VARIANT_FALSE));
  EXPECT_EQ("C", Read("c.txt"));
  ASSERT_EQ(S_OK, root_->MoveFile(B(W("c.txt")).get(), B(W("b.txt")).get(), VARIANT_TRUE));
  EXPECT_EQ("C", Read("b.txt"));
  EXPECT_FALSE(Exists("c.txt"));
  EXPECT_EQ(static_cast<HRESULT>(0x80070002),
            root_->MoveFile(B(W("c.txt")).get(), B(W("d.txt")).get(), VARIANT_TRUE));
  EXPECT_EQ("The system cannot find the file specified.", TakeError().description);
}

TEST_F(RootFiles, DeleteFileTakesWildcardsAndSkipsFolders) {
  Write("one.log", "1");
  Write("TWO.LOG", "2");
  Write("keep.txt", "3");
  std::filesystem::create_directory(P("dir.log"));
  ASSERT_EQ(S_OK, root_->DeleteFile(B(W("*.log")).get(), VARIANT_FALSE));
  EXPECT_FALSE(Exists("one.log"));
  EXPECT_FALSE(Exists("TWO.LOG"));
  EXPECT_TRUE(Exists("keep.txt"));
  EXPECT_TRUE(Exists("dir.log"));

  const std::string spec = W("*.none");
  EXPECT_EQ(DISP_E_EXCEPTION, root_->DeleteFile(B(spec).get(), VARIANT_FALSE));
  EXPECT_EQ(spec + " could not be found", TakeError().description);

  // A pattern written with forward slashes names its matches the
  // same way.
  Write("slash.tmp", "x");
  ASSERT_EQ(S_OK, root_->DeleteFile(B("C:" + dir_.path() + "/slash.tmp").get(), VARIANT_FALSE));
  EXPECT_FALSE(Exists("slash.tmp"));
}

TEST_F(RootFiles, DeleteFileOfAReadOnlyFileNeedsForce) {
  Write("ro.txt", "x");
  chmod(P("ro.txt").c_str(), 0444);
  EXPECT_EQ(DISP_E_EXCEPTION, root_->DeleteFile(B(W("ro.txt")).get(), VARIANT_FALSE));
  EXPECT_EQ("File: " + W("ro.txt") + "\nError: Access is denied.\r\n", TakeError().description);
  EXPECT_TRUE(Exists("ro.txt"));
  ASSERT_EQ(S_OK, root_->DeleteFile(B(W("ro.txt")).get(), VARIANT_TRUE));
  EXPECT_FALSE(Exists("ro.txt"));
}

// "x." and "x " would come back from the file services as "x": a listing
// leaves them out, so a delete never removes their sibling instead.
TEST_F(RootFiles, DeleteFileRemovesOnlyTheEntriesItListed) {
  Write("x.", "dot");
  Write("x ", "space");
  Write("x", "plain");
  const std::string spec = W("x *");
  EXPECT_EQ(DISP_E_EXCEPTION, root_->DeleteFile(B(spec).get(), VARIANT_FALSE));
  EXPECT_EQ(spec + " could not be found", TakeError().description);
  EXPECT_EQ("plain", Read("x"));
  ASSERT_EQ(S_OK, root_->DeleteFile(B(W("x*")).get(), VARIANT_FALSE));
  EXPECT_EQ((std::vector<std::string>{"x ", "x."}), Names());
}

// Forcing a link's attributes would make the file it points at writable.
TEST_F(RootFiles, DeleteFileWithForceRemovesALinkAndLeavesItsTarget) {
  std::filesystem::create_directory(P("d"));
  Write("target", "t");
  chmod(P("target").c_str(), 0444);
  ASSERT_EQ(0, symlink(P("target").c_str(), P("d/link").c_str()));
  ASSERT_EQ(S_OK, root_->DeleteFile(B(W("d/*")).get(), VARIANT_TRUE));
  EXPECT_FALSE(std::filesystem::is_symlink(P("d/link")));
  struct stat st;
  ASSERT_EQ(0, stat(P("target").c_str(), &st));
  EXPECT_EQ(0444u, st.st_mode & 0777);
}

// One file under two spellings: moving it onto the other spelling keeps
// it, copying it onto itself is a sharing violation.
TEST_F(RootFiles, MoveAndCopyOntoAnotherSpellingKeepTheFile) {
  std::filesystem::create_directory(P("data"));
  ASSERT_EQ(0, symlink(P("data").c_str(), P("alias").c_str()));
  Write("data/x.txt", "precious");
  EXPECT_EQ(S_OK,
            root_->MoveFile(B(W("data/x.txt")).get(), B(W("alias/x.txt")).get(), VARIANT_TRUE));
  EXPECT_EQ(static_cast<HRESULT>(0x80070020),
            root_->CopyFile(B(W("data/x.txt")).get(), B(W("alias/x.txt")).get(), VARIANT_TRUE));
  EXPECT_EQ("precious", Read("data/x.txt"));
}

// A link to a folder is a subfolder, never a file.
TEST_F(RootFiles, ALinkToAFolderIsListedAmongSubFolders) {
  std::filesystem::create_directory(P("d"));
  std::filesystem::create_directory(P("elsewhere"));
  Write("d/f.txt", "f");
  ASSERT_EQ(0, symlink(P("elsewhere").c_str(), P("d/link").c_str()));
  IFolder* folder = nullptr;
  ASSERT_EQ(S_OK, root_->GetFolder(B(W("d")).get(), &folder));
  IFolderCollection* folders = nullptr;
  IFileCollection* files = nullptr;
  ASSERT_EQ(S_OK, folder->get_SubFolders(&folders));
  ASSERT_EQ(S_OK, folder->get_Files(&files));
  LONG count = 0;
  EXPECT_EQ(S_OK, folders->get_Count(&count));
  EXPECT_EQ(1, count);
  EXPECT_EQ(S_OK, files->get_Count(&count));
  EXPECT_EQ(1, count);
  Bstr name = B("link");
  VARIANT key;
  VariantInit(&key);
  key.vt = VT_BSTR;
  key.bstrVal = name.get();
  IFolder* link = nullptr;
  EXPECT_EQ(S_OK, folders->get_Item(key, &link));
  if (link) link->Release();
  files->Release();
  folders->Release();
  folder->Release();
}

TEST_F(RootFiles, DeleteIsRefusedWhenTheAdministratorDisabledIt) {
  Write("a.txt", "x");
  store_.Write(
      "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Quennel\\QN-Tessary\\Parameters]\n"
      "\"DisableDelete\"=dword:00000001\n");
  tessary::LoadFeatureSwitches();
  EXPECT_EQ(E_ACCESSDENIED, root_->DeleteFile(B(W("a.txt")).get(), VARIANT_TRUE));
  ErrorRecord e = TakeError();
  EXPECT_EQ(
      "This option has been disabled in the registry please see your administrator for more "
      "information.",
      e.description);
  EXPECT_TRUE(Exists("a.txt"));
  store_.Write("REGEDIT4\n");
  tessary::LoadFeatureSwitches();
}

TEST_F(RootFiles, ConcatFilesAppendsInArgumentOrderSkippingEmptyNames) {
  Write("1", "one,");
  Write("2", "two,");
  Write("4", "four");
  ASSERT_EQ(S_OK, root_->ConcatFiles(B(W("out")).get(), B(W("1")).get(), B(W("2")).get(), nullptr,
                                     B(W("4")).get(), nullptr));
  EXPECT_EQ("one,two,four", Read("out"));
}

TEST_F(RootFiles, ConcatFilesIntoItsOwnSourceFailsWithoutTouchingIt) {
  Write("1", "one");
  Write("2", "two");
  const std::string dest = W("1");
  EXPECT_EQ(
      static_cast<HRESULT>(0x80070020),
      root_->ConcatFiles(B(dest).get(), B(dest).get(), B(W("2")).get(), nullptr, nullptr, nullptr));
  ErrorRecord e = TakeError();
  EXPECT_EQ(0u, e.description.find(dest + ": The process cannot access the file"));
  EXPECT_EQ("one", Read("1"));
}

// The result is written beside the destination and renamed over it once
// whole: a source that fails to read, a full disk or a failed rename leaves
// the old destination and no temporary file.
TEST_F(RootFiles, ConcatFilesReplacesTheDestinationOnlyWhenComplete) {
  Write("1", "one,");
  Write("2", "two");
  Write("out", "old");
  struct {
    tessary::sys::Call call;
    int nth;
    int err;
    std::string prefix;
    HRESULT hr;
  } faults[] = {
      {tessary::sys::Call::pread, 2, EIO, W("1") + ": ", static_cast<HRESULT>(0x8007045D)},
      {tessary::sys::Call::pwrite, 1, ENOSPC, W("out") + ": ", static_cast<HRESULT>(0x80070070)},
      {tessary::sys::Call::rename, 1, EIO, W("out") + ": ", static_cast<HRESULT>(0x8007045D)},
  };
  for (const auto& fault : faults) {
    tessary::sys::InjectFault(fault.call, fault.nth, fault.err);
    EXPECT_EQ(fault.hr, root_->ConcatFiles(B(W("out")).get(), B(W("1")).get(), B(W("2")).get(),
                                           nullptr, nullptr, nullptr));
    tessary::sys::ClearFaults();
    EXPECT_EQ(0u, TakeError().description.find(fault.prefix)) << fault.prefix;
    EXPECT_EQ("old", Read("out"));
    EXPECT_EQ((std::vector<std::string>{"1", "2", "out"}), Names());
  }
  ASSERT_EQ(S_OK, root_->ConcatFiles(B(W("out")).get(), B(W("1")).get(), B(W("2")).get(), nullptr,
                                     nullptr, nullptr));
  EXPECT_EQ("one,two", Read("out"));
  EXPECT_EQ((std::vector<std::string>{"1", "2", "out"}), Names());
  // A source named through a linked folder is still the destination.
  ASSERT_EQ(0, symlink(dir_.path().c_str(), P("alias").c_str()));
  EXPECT_EQ(static_cast<HRESULT>(0x80070020),
            root_->ConcatFiles(B(W("alias/1")).get(), B(W("1")).get(), B(W("2")).get(), nullptr,
                               nullptr, nullptr));
  EXPECT_EQ("one,", Read("1"));
}

TEST_F(RootFiles, ConcatFilesReportsAMissingSourceByName) {
  Write("1", "one");
  const std::string missing = W("nope");
  EXPECT_EQ(static_cast<HRESULT>(0x80070002),
            root_->ConcatFiles(B(W("out")).get(), B(W("1")).get(), B(missing).get(), nullptr,
                               nullptr, nullptr));
  EXPECT_EQ(missing + ": The system cannot find the file specified.", TakeError().description);
  EXPECT_FALSE(Exists("out"));  // the destination is opened only after every source
}

TEST_F(RootFiles, DriveExistsAcceptsOnlyDriveForms) {
  VARIANT_BOOL yes = 0;
  for (const char* spec : {"C", "c:", "C:\\"}) {
    root_->DriveExists(B(spec).get(), &yes);
    EXPECT_EQ(VARIANT_TRUE, yes) << spec;
  }
  root_->DriveExists(B("C:\\tmp").get(), &yes);
  EXPECT_EQ(VARIANT_FALSE, yes);
  root_->DriveExists(B("Q:").get(), &yes);
  EXPECT_EQ(VARIANT_FALSE, yes);
  root_->DriveExists(B("").get(), &yes);
  EXPECT_EQ(VARIANT_FALSE, yes);
}

TEST_F(RootFiles, CreateFolderMakesMissingParentsAndReturnsTheFolder) {
  IFolder* folder = nullptr;
  ASSERT_EQ(S_OK, root_->CreateFolder(B(W("a\\b\\c\\")).get(), &folder));
  ASSERT_NE(nullptr, folder);
  BSTR path = nullptr;
  ASSERT_EQ(S_OK, folder->get_Path(&path));
  EXPECT_EQ(W("a\\b\\c"), Text(path));
  SysFreeString(path);
  folder->Release();
  EXPECT_TRUE(std::filesystem::is_directory(P("a/b/c")));
}

TEST_F(RootFiles, CreateFolderOfAnExistingFolderFailsPromptly) {
  std::filesystem::create_directories(P("x/y/z"));
  IFolder* folder = nullptr;
  EXPECT_EQ(static_cast<HRESULT>(0x800700B7), root_->CreateFolder(B(W("x\\y\\z")).get(), &folder));
  EXPECT_EQ(nullptr, folder);
  EXPECT_EQ("Cannot create a file when that file already exists.", TakeError().description);
}

TEST_F(RootFiles, CreateFolderWithAnEmptyPathFailsWithTheSystemText) {
  IFolder* folder = nullptr;
  HRESULT hr = root_->CreateFolder(nullptr, &folder);
  EXPECT_TRUE(FAILED(hr));
  EXPECT_EQ(0x8007, static_cast<uint32_t>(hr) >> 16);
  EXPECT_FALSE(TakeError().description.empty());
}

TEST_F(RootFiles, CreateUniqueFileMakesAnEmptyFileWithThePrefix) {
  BSTR name = nullptr;
  ASSERT_EQ(S_OK, root_->CreateUniqueFile(B(W()).get(), B("abcdef").get(), &name));
  const std::string full = Text(name);
  SysFreeString(name);
  const std::string file = full.substr(full.rfind('\\') + 1);
  EXPECT_EQ(0u, file.find("abc"));
  EXPECT_TRUE(Exists(file));
  EXPECT_EQ("", Read(file));
}

}  // namespace
