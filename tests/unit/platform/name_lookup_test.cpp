// Names found whatever their case on a mapped drive, as Windows finds them,
// and only the entry Windows would find ever changed.
#include "platform/posix/name_lookup.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "platform/profile.h"
#include "unit/platform/file_fixture.h"

namespace tessary {
namespace {

using testing::HostExists;
using testing::HostNames;
using testing::ReadHostFile;
using testing::WriteHostFile;

// T: folds case, U: (the same folder) is switched to exact names.
class NameLookup : public testing::MappedDriveTest {
 protected:
  NameLookup() {
    store_.Write(
        testing::StoreText({{"T:", dir_.path()}, {"U:", dir_.path()}},
                           {{"\\\\srv\\exact", dir_.path()}, {"\\\\srv\\any", dir_.path()}}) +
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Quennel\\QN-Tessary\\Drives\\CaseSensitive]\n"
        "\"U:\"=dword:00000001\n\"T:\"=dword:00000000\n"
        "\"\\\\\\\\SRV\\\\Exact\"=dword:00000001\n");
  }

  std::string Resolve(const std::string& path, files::PathUse use = files::PathUse::kName,
                      DWORD* error = nullptr) {
    files::HostPath out;
    const DWORD rc = files::ResolvePath(path.c_str(), use, &out);
    if (error != nullptr) *error = rc;
    return rc == ERROR_SUCCESS ? out.host : "error " + std::to_string(rc);
  }

  static HANDLE Create(const std::string& path, DWORD disposition) {
    return CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, disposition, 0, nullptr);
  }
};

TEST(FoldCase, SimpleFoldingOfUtf8) {
  EXPECT_EQ("café.txt", files::FoldCase("CAFÉ.TXT"));
  EXPECT_EQ("σσ", files::FoldCase("ΣΣ"));
  EXPECT_EQ(files::FoldCase("ς"), files::FoldCase("Σ"));  // final sigma folds to sigma
  EXPECT_EQ("k", files::FoldCase("\xE2\x84\xAA"));        // the Kelvin sign is a k
  EXPECT_EQ("ǆ", files::FoldCase("ǅ"));                   // title case pairs
  EXPECT_EQ("ⴀ", files::FoldCase("Ⴀ"));                   // beyond the Latin blocks
  EXPECT_EQ("ß", files::FoldCase("ß"));                   // simple folding keeps ß
  // Bytes that are not UTF-8 stay, around letters that fold.
  EXPECT_EQ(std::string("a\xC3(b\xFF"), files::FoldCase(std::string("A\xC3(B\xFF")));
}

TEST_F(NameLookup, EveryComponentFoundWhateverItsCase) {
  ASSERT_EQ(0, ::mkdir(Host("Data").c_str(), 0755));
  ASSERT_EQ(0, ::mkdir(Host("Data/Émile").c_str(), 0755));
  WriteHostFile(Host("Data/Émile/café.txt"), "x");
  EXPECT_EQ(Host("Data/Émile/café.txt"), Resolve("T:\\DATA\\émile\\CAFÉ.TXT"));
  EXPECT_EQ(Host("Data/Émile/café.txt"), Resolve("T:\\Data\\Émile\\café.txt"));
  // A new name keeps the caller's spelling below the folders it found.
  EXPECT_EQ(Host("Data/Émile/New.TXT"), Resolve("T:\\data\\ÉMILE\\New.TXT"));
  EXPECT_EQ(Host("Data/NEW/café.txt"), Resolve("T:\\data\\NEW\\café.txt"));
  // A pattern's final component is matched by the find service, not here.
  EXPECT_EQ(Host("Data/Émile/CAF*"), Resolve("T:\\DATA\\émile\\CAF*", files::PathUse::kPattern));
  // Switched off, names are as spelt.
  EXPECT_EQ(Host("DATA/émile/CAFÉ.TXT"), Resolve("U:\\DATA\\émile\\CAFÉ.TXT"));
  EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesA("U:\\DATA\\Émile\\café.txt"));
  EXPECT_EQ(static_cast<DWORD>(ERROR_PATH_NOT_FOUND), GetLastError());
  EXPECT_NE(INVALID_FILE_ATTRIBUTES, GetFileAttributesA("T:\\DATA\\Émile\\CAFÉ.TXT"));
  EXPECT_EQ(Host("DATA"), Resolve("\\\\srv\\exact\\DATA"));
  EXPECT_EQ(Host("Data"), Resolve("\\\\srv\\any\\DATA"));

  // Find through another spelling reports the disk's name.
  WIN32_FIND_DATAA data;
  const HANDLE find = FindFirstFileA("T:\\DATA\\ÉMILE\\CAFÉ.TXT", &data);
  ASSERT_NE(INVALID_HANDLE_VALUE, find);
  EXPECT_STREQ("café.txt", data.cFileName);
  FindClose(find);
}

TEST_F(NameLookup, TwoEntriesDifferingInCaseAreNeverGuessed) {
  WriteHostFile(Host("a.txt"), "lower");
  WriteHostFile(Host("A.txt"), "upper");
  ASSERT_EQ(0, ::mkdir(Host("dir").c_str(), 0755));
  ASSERT_EQ(0, ::mkdir(Host("DIR").c_str(), 0755));
  // The exact spelling still wins.
  EXPECT_EQ(Host("A.txt"), Resolve("T:\\A.txt", files::PathUse::kChange));

  EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesA("T:\\A.TXT"));
  EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), GetLastError());
  EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesA("T:\\Dir\\x.txt"));
  EXPECT_EQ(static_cast<DWORD>(ERROR_PATH_NOT_FOUND), GetLastError());
  EXPECT_EQ(INVALID_HANDLE_VALUE,
            CreateFileA("T:\\A.TXT", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), GetLastError());

  auto refused = [](BOOL ok) { return !ok && GetLastError() == ERROR_CANT_RESOLVE_FILENAME; };
  EXPECT_TRUE(refused(DeleteFileA("T:\\A.TXT")));
  EXPECT_TRUE(refused(Create("T:\\A.TXT", CREATE_ALWAYS) != INVALID_HANDLE_VALUE));
  EXPECT_TRUE(refused(Create("T:\\A.TXT", CREATE_NEW) != INVALID_HANDLE_VALUE));
  EXPECT_TRUE(refused(Create("T:\\A.TXT", OPEN_EXISTING) != INVALID_HANDLE_VALUE));
  EXPECT_TRUE(refused(Create("T:\\Dir\\new.txt", CREATE_NEW) != INVALID_HANDLE_VALUE));
  EXPECT_TRUE(refused(CopyFileA("T:\\a.txt", "T:\\A.TXT", FALSE)));
  EXPECT_TRUE(refused(MoveFileA("T:\\A.TXT", "T:\\b.txt")));
  EXPECT_TRUE(refused(MoveFileExA("T:\\a.txt", "T:\\A.TXT", MOVEFILE_REPLACE_EXISTING)));
  EXPECT_TRUE(refused(SetFileAttributesA("T:\\A.TXT", FILE_ATTRIBUTE_READONLY)));
  EXPECT_TRUE(refused(RemoveDirectoryA("T:\\Dir")));
  EXPECT_TRUE(refused(CreateDirectoryA("T:\\Dir\\sub", nullptr)));
  EXPECT_TRUE(refused(WritePrivateProfileStringA("s", "k", "v", "T:\\A.TXT")));

  EXPECT_EQ(std::vector<std::string>({"A.txt", "DIR", "a.txt", "dir"}), HostNames(dir_.path()));
  EXPECT_EQ("lower", ReadHostFile(Host("a.txt")));
  EXPECT_EQ("upper", ReadHostFile(Host("A.txt")));
  struct stat st;
  ASSERT_EQ(0, ::stat(Host("A.txt").c_str(), &st));
  EXPECT_NE(0u, st.st_mode & S_IWUSR);  // no attribute went to either file
  ASSERT_EQ(0, ::stat(Host("a.txt").c_str(), &st));
  EXPECT_NE(0u, st.st_mode & S_IWUSR);
}

TEST_F(NameLookup, CreationThroughAnotherSpellingMeetsTheExistingEntry) {
  WriteHostFile(Host("a.txt"), "old");
  ASSERT_EQ(0, ::mkdir(Host("Folder").c_str(), 0755));
  EXPECT_EQ(INVALID_HANDLE_VALUE, Create("T:\\A.TXT", CREATE_NEW));
  EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_EXISTS), GetLastError());
  EXPECT_FALSE(CreateDirectoryA("T:\\FOLDER", nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_ALREADY_EXISTS), GetLastError());

  const HANDLE handle = Create("T:\\A.TXT", CREATE_ALWAYS);
  ASSERT_NE(INVALID_HANDLE_VALUE, handle);
  EXPECT_EQ(static_cast<DWORD>(ERROR_ALREADY_EXISTS), GetLastError());
  DWORD written = 0;
  ASSERT_TRUE(WriteFile(handle, "new", 3, &written, nullptr));
  CloseHandle(handle);
  EXPECT_TRUE(CopyFileA("T:\\a.txt", "T:\\FOLDER\\Copy.TXT", TRUE));
  EXPECT_FALSE(CopyFileA("T:\\a.txt", "T:\\folder\\COPY.txt", TRUE));
  EXPECT_EQ(std::vector<std::string>({"Folder", "a.txt"}), HostNames(dir_.path()));
  EXPECT_EQ(std::vector<std::string>({"Copy.TXT"}), HostNames(Host("Folder")));
  EXPECT_EQ("new", ReadHostFile(Host("a.txt")));
}

TEST_F(NameLookup, CaseOnlyRenamesRenameTheEntry) {
  WriteHostFile(Host("report.txt"), "data");
  ASSERT_EQ(0, ::mkdir(Host("data").c_str(), 0755));
  WriteHostFile(Host("data/inner.txt"), "inner");
  EXPECT_TRUE(MoveFileA("T:\\report.txt", "T:\\REPORT.txt"));
  EXPECT_TRUE(MoveFileExA("T:\\DATA", "T:\\Data", 0));
  EXPECT_EQ(std::vector<std::string>({"Data", "REPORT.txt"}), HostNames(dir_.path()));
  EXPECT_EQ("data", ReadHostFile(Host("REPORT.txt")));
  EXPECT_EQ("inner", ReadHostFile(Host("Data/inner.txt")));
  // A move onto another entry that differs in case meets that entry.
  WriteHostFile(Host("other.txt"), "other");
  EXPECT_FALSE(MoveFileA("T:\\other.txt", "T:\\report.TXT"));
  EXPECT_EQ(static_cast<DWORD>(ERROR_ALREADY_EXISTS), GetLastError());
  EXPECT_TRUE(MoveFileExA("T:\\other.txt", "T:\\report.TXT", MOVEFILE_REPLACE_EXISTING));
  EXPECT_EQ(std::vector<std::string>({"Data", "REPORT.txt"}), HostNames(dir_.path()));
  EXPECT_EQ("other", ReadHostFile(Host("REPORT.txt")));
}

TEST_F(NameLookup, FolderIndexIsReadAgainOnlyWhenTheFolderChanged) {
  WriteHostFile(Host("one.txt"), "1");
  EXPECT_EQ(Host("one.txt"), Resolve("T:\\ONE.TXT"));
  // Each change of the folder is seen by the next miss.
  WriteHostFile(Host("two.txt"), "2");
  EXPECT_EQ(Host("two.txt"), Resolve("T:\\TWO.TXT"));
  ASSERT_EQ(0, ::unlink(Host("one.txt").c_str()));
  EXPECT_EQ(Host("ONE.TXT"), Resolve("T:\\ONE.TXT"));
  ASSERT_EQ(0, ::rename(Host("two.txt").c_str(), Host("Two.txt").c_str()));
  EXPECT_EQ(Host("Two.txt"), Resolve("T:\\TWO.TXT"));
  // Hits never read the folder.
  const unsigned long reads = files::FolderIndexReads();
  EXPECT_EQ(Host("Two.txt"), Resolve("T:\\Two.txt"));
  EXPECT_EQ(reads, files::FolderIndexReads());
}

}  // namespace
}  // namespace tessary
