// Files and Folders: snapshots ordered, indexed and enumerated by the inner
// Dictionary.
#include "fsobjects/collections.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <vector>

#include "fake_dispatch.h"
#include "fs_test_support.h"
#include "fsobjects/folder.h"
#include "platform/find_probe.h"

namespace tessary::testing {
namespace {

class CollectionTest : public FsTest {
 protected:
  IFolder* Get(const std::string& windows_path) {
    IFolder* folder = nullptr;
    EXPECT_EQ(S_OK, NewFolder(B(windows_path).get(), &folder)) << windows_path;
    return folder;
  }
  IFileCollection* FilesOf(IFolder* folder) {
    IFileCollection* files = nullptr;
    EXPECT_EQ(S_OK, folder->get_Files(&files));
    return files;
  }
  static std::string NameOf(IFile* file) {
    BSTR name = nullptr;
    file->get_Name(&name);
    return Take(name);
  }
  // The names of the collection's files, by position.
  static std::vector<std::string> NamesIn(IFileCollection* files) {
    std::vector<std::string> names;
    LONG count = 0;
    EXPECT_EQ(S_OK, files->get_Count(&count));
    for (LONG i = 1; i <= count; ++i) {
      IFile* file = nullptr;
      EXPECT_EQ(S_OK, files->get_Item(I4(i), &file));
      if (!file) break;
      names.push_back(NameOf(file));
      file->Release();
    }
    return names;
  }
};

TEST_F(CollectionTest, FilesAreOrderedWithoutRegardToCaseAndIndexedFromOne) {
  for (const char* name : {"b.txt", "A.txt", "c.txt"}) Write(name, "x");
  std::filesystem::create_directory(P("dir"));
  IFolder* folder = Get(W());
  IFileCollection* files = FilesOf(folder);
  LONG count = 0;
  files->get_Count(&count);
  EXPECT_EQ(3, count);
  IFile* file = nullptr;
  ASSERT_EQ(S_OK, files->get_Item(I4(1), &file));
  EXPECT_EQ("A.txt", NameOf(file));
  file->Release();
  ASSERT_EQ(S_OK, files->get_Item(I4(3), &file));
  EXPECT_EQ("c.txt", NameOf(file));
  file->Release();

  VARIANT key;
  VariantInit(&key);
  key.vt = VT_BSTR;
  key.bstrVal = SysAllocString(u"C.TXT");
  ASSERT_EQ(S_OK, files->get_Item(key, &file));
  EXPECT_EQ("c.txt", NameOf(file));
  file->Release();
  VariantClear(&key);

  for (LONG bad : {0, 4}) {
    EXPECT_EQ(DISP_E_EXCEPTION, files->get_Item(I4(bad), &file)) << bad;
    EXPECT_EQ("Index out of range.", TakeError().description);
  }
  VARIANT real;
  VariantInit(&real);
  real.vt = VT_R8;
  real.dblVal = 1.5;
  EXPECT_EQ(DISP_E_EXCEPTION, files->get_Item(real, &file));
  EXPECT_EQ("Type not supported.", TakeError().description);
  files->Release();
  folder->Release();
}

TEST_F(CollectionTest, TheEnumeratorWalksInNameOrderAndReportsAShortNext) {
  for (const char* name : {"b.txt", "A.txt", "c.txt"}) Write(name, "x");
  IFolder* folder = Get(W());
  IFileCollection* files = FilesOf(folder);
  IUnknown* unknown = nullptr;
  ASSERT_EQ(S_OK, files->get__NewEnum(&unknown));
  IEnumVARIANT* items = nullptr;
  ASSERT_EQ(S_OK, unknown->QueryInterface(IID_IEnumVARIANT, reinterpret_cast<void**>(&items)));
  unknown->Release();
  // The snapshot does not change when the disk does.
  Write("0.txt", "x");
  std::vector<std::string> names;
  VARIANT v[3];
  for (VARIANT& x : v) VariantInit(&x);
  ULONG fetched = 0;
  ASSERT_EQ(S_OK, items->Next(1, v, &fetched));
  ASSERT_EQ(VT_DISPATCH, v[0].vt);
  IFile* file = nullptr;
  ASSERT_EQ(S_OK, v[0].pdispVal->QueryInterface(IID_IFile, reinterpret_cast<void**>(&file)));
  names.push_back(NameOf(file));
  file->Release();
  VariantClear(&v[0]);
  EXPECT_EQ(S_FALSE, items->Next(3, v, &fetched));
  EXPECT_EQ(2u, fetched);
  for (ULONG i = 0; i < fetched; ++i) {
    v[i].pdispVal->QueryInterface(IID_IFile, reinterpret_cast<void**>(&file));
    names.push_back(NameOf(file));
    file->Release();
    VariantClear(&v[i]);
  }
  EXPECT_EQ((std::vector<std::string>{"A.txt", "b.txt", "c.txt"}), names);
  items->Release();
  files->Release();
  folder->Release();
}

TEST_F(CollectionTest, TheEnumeratorMayBeAskedForAsAMethod) {
  Write("a.txt", "x");
  IFolder* folder = Get(W());
  IFileCollection* files = FilesOf(folder);
  DISPPARAMS none = {nullptr, nullptr, 0, 0};
  for (WORD flags : {WORD{DISPATCH_PROPERTYGET}, WORD{DISPATCH_METHOD},
                     WORD{DISPATCH_METHOD | DISPATCH_PROPERTYGET}}) {
    VARIANT result;
    VariantInit(&result);
    ASSERT_EQ(S_OK,
              files->Invoke(DISPID_NEWENUM, IID_NULL, 0, flags, &none, &result, nullptr, nullptr))
        << flags;
    EXPECT_EQ(VT_UNKNOWN, result.vt);
    VariantClear(&result);
  }
  // Any property get answers a call that asks for a method alone, as a script
  // engine asks when the script drops the value.
  VARIANT result;
  VariantInit(&result);
  EXPECT_EQ(S_OK, files->Invoke(1, IID_NULL, 0, DISPATCH_METHOD, &none, &result, nullptr, nullptr));
  EXPECT_EQ(VT_I4, result.vt);
  EXPECT_EQ(1, result.lVal);
  files->Release();
  folder->Release();
}

TEST_F(CollectionTest, TheWildcardFiltersFilesAndSubfolders) {
  Write("a.txt", "x");
  Write("b.log", "x");
  std::filesystem::create_directory(P("one.txt"));
  std::filesystem::create_directory(P("two"));
  IFolder* folder = Get(W());
  folder->put_SearchWildCard(B("*.TXT").get());
  IFileCollection* files = FilesOf(folder);
  LONG count = 0;
  files->get_Count(&count);
  EXPECT_EQ(1, count);
  files->Release();
  IFolderCollection* subfolders = nullptr;
  ASSERT_EQ(S_OK, folder->get_SubFolders(&subfolders));
  subfolders->get_Count(&count);
  EXPECT_EQ(1, count);
  IFolder* sub = nullptr;
  ASSERT_EQ(S_OK, subfolders->get_Item(I4(1), &sub));
  BSTR name = nullptr;
  sub->get_Name(&name);
  EXPECT_EQ("one.txt", Take(name));
  sub->Release();
  subfolders->Release();

  folder->put_SearchWildCard(B("*.none").get());
  files = FilesOf(folder);
  files->get_Count(&count);
  EXPECT_EQ(0, count);
  files->Release();
  folder->Release();
}

TEST_F(CollectionTest, SubfoldersLeaveOutDotNamesAndFiles) {
  std::filesystem::create_directory(P(".cache"));
  std::filesystem::create_directory(P("real"));
  Write("file", "x");
  IFolder* folder = Get(W());
  IFolderCollection* subfolders = nullptr;
  ASSERT_EQ(S_OK, folder->get_SubFolders(&subfolders));
  LONG count = 0;
  subfolders->get_Count(&count);
  EXPECT_EQ(1, count);
  subfolders->Release();
  folder->Release();
}

TEST_F(CollectionTest, AFolderThatVanishedListsNothing) {
  std::filesystem::create_directory(P("gone"));
  IFolder* folder = Get(W("gone"));
  std::filesystem::remove(P("gone"));
  IFileCollection* files = FilesOf(folder);
  LONG count = -1;
  files->get_Count(&count);
  EXPECT_EQ(0, count);
  files->Release();
  folder->Release();
}

TEST_F(CollectionTest, FilesLeavesOutWhatCannotBeOpenedWhateverTheShareModesHeld) {
  Write("kept.txt", "x");
  Write("held.txt", "x");
  Write("target.txt", "x");
  std::filesystem::create_symlink(P("target.txt"), P("link.txt"));
  std::filesystem::create_symlink(P("missing.txt"), P("dangling.txt"));
  // A handle that shares nothing: an open for no access is no party to
  // share modes, so the file is still listed.
  HANDLE held = CreateFileA((W("held.txt")).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                            OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, held);
  IFolder* folder = Get(W());
  IFileCollection* files = FilesOf(folder);
  CloseHandle(held);
  const std::vector<std::string> names = NamesIn(files);
  EXPECT_EQ((std::vector<std::string>{"held.txt", "kept.txt", "link.txt", "target.txt"}), names);
  files->Release();
  folder->Release();
}

// The search hands names over in upper-case order, the dictionary keeps
// them in its own (A-Z folded to lower case): where the two differ, and for
// names that are one key to the dictionary, the dictionary's order and the
// first name found stand. Folders, links to folders, and what cannot be
// opened are left out; special files and links to files are kept.
TEST_F(CollectionTest, FilesHoldWhatTheListingFoundInTheDictionarysOrder) {
  for (const char* name :
       {"b.txt", "Ab.txt", "ab.txt", "_b.txt", "[x].txt", "~z.txt", "a", "A_", "\xc3\xa9.txt"})
    Write(name, "x");
  std::filesystem::create_directory(P("dir"));
  std::filesystem::create_directory_symlink(P("dir"), P("dirlink"));
  std::filesystem::create_symlink(P("b.txt"), P("blink"));
  std::filesystem::create_symlink(P("blink"), P("blinklink"));
  std::filesystem::create_symlink(P("loop"), P("loop"));
  ASSERT_EQ(0, ::mkfifo(P("fifo").c_str(), 0644));
  IFolder* folder = Get(W());
  IFileCollection* files = FilesOf(folder);
  const std::vector<std::string> names = NamesIn(files);
  EXPECT_EQ((std::vector<std::string>{"[x].txt", "_b.txt", "a", "A_", "Ab.txt", "b.txt", "blink",
                                      "blinklink", "fifo", "~z.txt", "\xc3\xa9.txt"}),
            names);
  files->Release();
  folder->Release();
}

TEST_F(CollectionTest, TheListingProbeOpensOnlyEntriesOfTheSearchedFolder) {
  Write("a.txt", "x");
  std::filesystem::create_directory(P("sub"));
  Write("sub/inner.txt", "x");
  WIN32_FIND_DATAA found;
  HANDLE search = FindFirstFileA((W() + "\\*").c_str(), &found);
  ASSERT_NE(INVALID_HANDLE_VALUE, search);
  EXPECT_TRUE(FindProbeEntryA(search, W("a.txt").c_str(), "a.txt"));
  EXPECT_FALSE(FindProbeEntryA(search, W("gone.txt").c_str(), "gone.txt"));
  EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), GetLastError());
  // A name that would reach past the folder is refused, not opened.
  for (const char* name : {"sub/inner.txt", "..", ".", ""}) {
    EXPECT_FALSE(FindProbeEntryA(search, W("x").c_str(), name)) << name;
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_NAME), GetLastError()) << name;
  }
  EXPECT_TRUE(FindClose(search));
  EXPECT_FALSE(FindProbeEntryA(search, W("a.txt").c_str(), "a.txt"));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
  // A search for one name holds no folder: the entry's path is opened.
  search = FindFirstFileA(W("a.txt").c_str(), &found);
  ASSERT_NE(INVALID_HANDLE_VALUE, search);
  EXPECT_TRUE(FindProbeEntryA(search, W("a.txt").c_str(), "a.txt"));
  EXPECT_TRUE(FindClose(search));
}

}  // namespace
}  // namespace tessary::testing
