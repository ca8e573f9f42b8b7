// The File object against real files.
#include "fsobjects/file.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "frame/module.h"
#include "frame/switches.h"
#include "fs_test_support.h"

namespace tessary::testing {
namespace {

class FileTest : public FsTest {
 protected:
  IFile* Get(const std::string& windows_path) {
    IFile* file = nullptr;
    EXPECT_EQ(S_OK, NewFile(B(windows_path).get(), &file)) << windows_path;
    return file;
  }
};

TEST_F(FileTest, AFolderIsNeverAFile) {
  std::filesystem::create_directory(P("sub"));
  IFile* file = reinterpret_cast<IFile*>(1);
  EXPECT_EQ(E_ACCESSDENIED, NewFile(B(W("sub")).get(), &file));
  EXPECT_EQ(nullptr, file);
  EXPECT_EQ("Access is denied.", TakeError().description);
  EXPECT_EQ(static_cast<HRESULT>(0x80070002), NewFile(B(W("missing.txt")).get(), &file));
  EXPECT_EQ(static_cast<HRESULT>(0x80070003), NewFile(B(W("no\\missing.txt")).get(), &file));
  EXPECT_EQ(static_cast<HRESULT>(0x800700CE), NewFile(B(W(std::string(300, 'n'))).get(), &file));
  EXPECT_EQ(0, ModuleLockCount());  // every refused File was destroyed
}

TEST_F(FileTest, PathsAreKeptAsGivenAndSplitAtEitherSeparator) {
  Write("a.txt", "abc");
  IFile* file = Get(W("a.txt"));
  BSTR text = nullptr;
  file->get_Path(&text);
  EXPECT_EQ(W("a.txt"), Take(text));
  file->get_Name(&text);
  EXPECT_EQ("a.txt", Take(text));
  file->get_ShortPath(&text);
  EXPECT_EQ(W("a.txt"), Take(text));
  file->get_ShortName(&text);
  EXPECT_EQ("a.txt", Take(text));
  file->Release();

  IFile* slashed = Get("C:" + dir_.path() + "/a.txt");
  slashed->get_Name(&text);
  EXPECT_EQ("a.txt", Take(text));
  IFolder* parent = nullptr;
  ASSERT_EQ(S_OK, slashed->get_ParentFolder(&parent));
  parent->get_Path(&text);
  EXPECT_EQ(W(), Take(text));
  parent->Release();
  slashed->Release();
}

TEST_F(FileTest, RenameMovesTheFileButTheObjectKeepsItsOldPath) {
  Write("old.txt", "x");
  IFile* file = Get(W("old.txt"));
  ASSERT_EQ(S_OK, file->put_Name(B("new.txt").get()));
  EXPECT_TRUE(Exists("new.txt"));
  EXPECT_FALSE(Exists("old.txt"));
  BSTR text = nullptr;
  file->get_Name(&text);
  EXPECT_EQ("old.txt", Take(text));
  file->get_Path(&text);
  EXPECT_EQ(W("old.txt"), Take(text));
  // The old name is gone now, so a second rename reports the system's error.
  EXPECT_EQ(static_cast<HRESULT>(0x80070002), file->put_Name(B("newer.txt").get()));
  file->Release();
}

TEST_F(FileTest, AttributesRefuseFolderAndCompressionBitsAndReadOnlyGuardsDelete) {
  Write("a.txt", "x");
  IFile* file = Get(W("a.txt"));
  SetErrorInfo(0, nullptr);
  EXPECT_EQ(E_INVALIDARG, file->put_Attributes(QNDirectory));
  EXPECT_EQ(E_INVALIDARG, file->put_Attributes(QNCompressed));
  EXPECT_EQ(E_INVALIDARG, file->put_Attributes(static_cast<QNFileAttribute>(0x4000)));
  EXPECT_FALSE(TakeError().present);  // refused without a text

  QNFileAttribute bits = QNNormal;
  ASSERT_EQ(S_OK, file->get_Attributes(&bits));
  EXPECT_EQ(QNArchive, bits & ~QNReadOnly);
  ASSERT_EQ(S_OK, file->put_Attributes(QNReadOnly));
  ASSERT_EQ(S_OK, file->get_Attributes(&bits));
  EXPECT_TRUE(bits & QNReadOnly);

  EXPECT_EQ(E_ACCESSDENIED, file->Delete(VARIANT_FALSE));
  EXPECT_TRUE(Exists("a.txt"));
  ASSERT_EQ(S_OK, file->Delete(VARIANT_TRUE));
  EXPECT_FALSE(Exists("a.txt"));
  file->Release();
}

// Forcing a link's attributes would make the file it points at writable.
TEST_F(FileTest, DeleteWithForceRemovesALinkAndLeavesItsTarget) {
  Write("target", "t");
  ASSERT_EQ(0, chmod(P("target").c_str(), 0444));
  ASSERT_EQ(0, symlink(P("target").c_str(), P("link").c_str()));
  IFile* file = Get(W("link"));
  EXPECT_EQ(S_OK, file->Delete(VARIANT_TRUE));
  file->Release();
  EXPECT_FALSE(std::filesystem::is_symlink(P("link")));
  struct stat st;
  ASSERT_EQ(0, stat(P("target").c_str(), &st));
  EXPECT_EQ(0444u, st.st_mode & 0777);
}

TEST_F(FileTest, DeleteIsRefusedWhenDisabledAndTheFileStays) {
  Write("a.txt", "x");
  store_.Write(
      "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Quennel\\QN-Tessary\\Parameters]\n"
      "\"DisableDelete\"=dword:00000001\n");
  LoadFeatureSwitches();
  IFile* file = Get(W("a.txt"));
  EXPECT_EQ(E_ACCESSDENIED, file->Delete(VARIANT_TRUE));
  EXPECT_EQ(0u, TakeError().description.find("This option has been disabled in the registry"));
  EXPECT_TRUE(Exists("a.txt"));
  file->Release();
  store_.Write("REGEDIT4\n");
  LoadFeatureSwitches();
}

TEST_F(FileTest, CopyAndMoveTakeBareNamesInTheFilesOwnFolder) {
  Write("a.txt", "A");
  std::filesystem::create_directory(P("sub"));
  IFile* file = Get(W("a.txt"));
  ASSERT_EQ(S_OK, file->Copy(B("b.txt").get(), VARIANT_TRUE));
  EXPECT_TRUE(Exists("b.txt"));
  EXPECT_EQ(static_cast<HRESULT>(0x80070050), file->Copy(B("b.txt").get(), VARIANT_FALSE));
  ASSERT_EQ(S_OK, file->Copy(B(W("sub\\c.txt")).get(), VARIANT_TRUE));
  EXPECT_TRUE(Exists("sub/c.txt"));
  ASSERT_EQ(S_OK, file->Move(B("moved.txt").get(), VARIANT_TRUE));
  EXPECT_TRUE(Exists("moved.txt"));
  EXPECT_FALSE(Exists("a.txt"));
  BSTR text = nullptr;
  file->get_Path(&text);
  EXPECT_EQ(W("a.txt"), Take(text));  // the stored path does not follow
  file->Release();
}

// A file moved or copied onto another spelling of itself (here through a
// linked folder) is kept whole.
TEST_F(FileTest, MoveAndCopyOntoAnotherSpellingKeepTheFile) {
  std::filesystem::create_directory(P("data"));
  ASSERT_EQ(0, symlink(P("data").c_str(), P("alias").c_str()));
  Write("data/x.txt", "precious");
  IFile* file = Get(W("data/x.txt"));
  EXPECT_EQ(S_OK, file->Move(B(W("alias\\x.txt")).get(), VARIANT_TRUE));
  EXPECT_EQ(static_cast<HRESULT>(0x80070020), file->Copy(B(W("alias\\x.txt")).get(), VARIANT_TRUE));
  TakeError();
  EXPECT_EQ("precious", ReadWholeFile(P("data/x.txt")));
  file->Release();
}

TEST_F(FileTest, SizeIsAnI4UpTo2GiBAndADoubleBeyond) {
  Write("empty", "");
  Write("ten", "0123456789");
  VARIANT size;
  VariantInit(&size);
  IFile* file = Get(W("empty"));
  ASSERT_EQ(S_OK, file->get_Size(&size));
  EXPECT_EQ(VT_I4, size.vt);
  EXPECT_EQ(0, size.lVal);
  file->Release();
  file = Get(W("ten"));
  ASSERT_EQ(S_OK, file->get_Size(&size));
  EXPECT_EQ(10, size.lVal);
  file->Release();

  // A sparse file takes no space.
  const long long big = 3LL << 30;
  ASSERT_EQ(0, truncate((Write("big", ""), P("big")).c_str(), big));
  file = Get(W("big"));
  ASSERT_EQ(S_OK, file->get_Size(&size));
  EXPECT_EQ(VT_R8, size.vt);
  EXPECT_EQ(static_cast<double>(big), size.dblVal);
  file->Release();
}

TEST_F(FileTest, TypeComesFromTheRegisteredClassOfTheExtension) {
  store_.Write(
      "REGEDIT4\n\n[HKEY_CLASSES_ROOT\\.tst]\n@=\"tstfile\"\n\n[HKEY_CLASSES_ROOT\\tstfile]\n"
      "@=\"Test Document\"\n");
  Write("a.tst", "");
  Write("b.unknown", "");
  Write("noext", "");
  BSTR text = nullptr;
  IFile* file = Get(W("a.tst"));
  ASSERT_EQ(S_OK, file->get_Type(&text));
  EXPECT_EQ("Test Document", Take(text));
  file->Release();
  for (const char* name : {"b.unknown", "noext"}) {
    file = Get(W(name));
    text = nullptr;
    ASSERT_EQ(S_OK, file->get_Type(&text));
    EXPECT_EQ("", Take(text)) << name;
    file->Release();
  }
}

TEST_F(FileTest, DatesFollowTheLocalTimeZone) {
  Write("a.txt", "x");
  // 2020-01-15 12:00:00 UTC is automation date 43845.5.
  struct timespec times[2] = {{1579089600, 0}, {1579089600, 0}};
  ASSERT_EQ(0, utimensat(AT_FDCWD, P("a.txt").c_str(), times, 0));
  IFile* file = Get(W("a.txt"));
  const char* old_tz = getenv("TZ");
  std::string saved = old_tz ? old_tz : "";
  DATE utc = 0, new_york = 0;
  setenv("TZ", "UTC", 1);
  tzset();
  ASSERT_EQ(S_OK, file->get_DateLastModified(&utc));
  setenv("TZ", "America/New_York", 1);
  tzset();
  ASSERT_EQ(S_OK, file->get_DateLastModified(&new_york));
  if (old_tz) {
    setenv("TZ", saved.c_str(), 1);
  } else {
    unsetenv("TZ");
  }
  tzset();
  EXPECT_DOUBLE_EQ(43845.5, utc);
  EXPECT_NEAR(43845.5 - 5.0 / 24, new_york, 1e-9);
  DATE accessed = 0, created = 0;
  EXPECT_EQ(S_OK, file->get_DateLastAccessed(&accessed));
  EXPECT_EQ(S_OK, file->get_DateCreated(&created));
  EXPECT_GT(created, 40000.0);
  file->Release();
}

TEST_F(FileTest, AnUnrecognisedFileSystemIsNoAnswerRatherThanAnError) {
  Write("a.txt", "x");
  IFile* file = Get(W("a.txt"));
  QNFileSystemType type = static_cast<QNFileSystemType>(0);
  EXPECT_EQ(S_FALSE, file->get_FileSystem(&type));
  VARIANT_BOOL accessible = 0;
  ASSERT_EQ(S_OK, file->get_Accessible(&accessible));
  EXPECT_EQ(1, accessible);
  BSTR server = nullptr;
  ASSERT_EQ(S_OK, file->put_AccountServer(B("srv").get()));
  ASSERT_EQ(S_OK, file->get_AccountServer(&server));
  EXPECT_EQ("srv", Take(server));
  EXPECT_EQ(E_POINTER, file->get_AccountServer(nullptr));
  // Members that belong to later work answer E_NOTIMPL without a text.
  SetErrorInfo(0, nullptr);
  EXPECT_EQ(E_NOTIMPL, file->Append(B("x").get()));
  EXPECT_EQ(E_NOTIMPL, file->AllowAccess(B("x").get(), QNRead));
  EXPECT_FALSE(TakeError().present);
  file->Release();
}

TEST_F(FileTest, ThroughDispatchTheSizeAndNamesWork) {
  Write("a.txt", "12345");
  IFile* file = Get(W("a.txt"));
  OLECHAR name[] = u"size";
  LPOLESTR names[] = {name};
  DISPID id = 0;
  ASSERT_EQ(S_OK, file->GetIDsOfNames(IID_NULL, names, 1, 0, &id));
  DISPPARAMS none = {nullptr, nullptr, 0, 0};
  VARIANT result;
  VariantInit(&result);
  ASSERT_EQ(S_OK,
            file->Invoke(id, IID_NULL, 0, DISPATCH_PROPERTYGET, &none, &result, nullptr, nullptr));
  EXPECT_EQ(VT_I4, result.vt);
  EXPECT_EQ(5, result.lVal);
  file->Release();
  EXPECT_EQ(0, ModuleLockCount());
}

}  // namespace
}  // namespace tessary::testing
