// The listing's probe against the open it stands for: for each kind of entry,
// FindProbeEntryA must give CreateFileA(path, 0, FILE_SHARE_READ |
// FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr)'s answer and error.
// Runs as a Windows program (under Wine here) in a folder of its own below
// the temporary folder.
#include "platform/find_probe.h"

#include <gtest/gtest.h>
#include <windows.h>
#include <winternl.h>

#include <string>
#include <vector>

#include "platform/win32/nt_path.h"

namespace {

struct Answer {
  BOOL ok;
  DWORD error;
};

Answer Open(const std::string& path) {
  SetLastError(0);
  HANDLE handle = CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return {FALSE, GetLastError()};
  CloseHandle(handle);
  return {TRUE, 0};
}

Answer Probe(const std::string& path) {
  SetLastError(0);
  const size_t cut = path.find_last_of('\\');
  const std::string name = cut == std::string::npos ? path : path.substr(cut + 1);
  if (FindProbeEntryA(INVALID_HANDLE_VALUE, path.c_str(), name.c_str())) return {TRUE, 0};
  return {FALSE, GetLastError()};
}

class FindProbeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char temp[MAX_PATH];
    ASSERT_NE(GetTempPathA(MAX_PATH, temp), 0u);
    folder_ = std::string(temp) + "tessary-probe-" + std::to_string(GetCurrentProcessId());
    ASSERT_TRUE(CreateDirectoryA(folder_.c_str(), nullptr));
  }
  void TearDown() override {
    for (const char* name : {"plain.txt", "readonly.txt", "held.txt"}) {
      const std::string path = folder_ + "\\" + name;
      SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
      DeleteFileA(path.c_str());
    }
    RemoveDirectoryA((folder_ + "\\sub").c_str());
    RemoveDirectoryA(folder_.c_str());
  }
  std::string Make(const char* name, DWORD attributes = FILE_ATTRIBUTE_NORMAL) {
    const std::string path = folder_ + "\\" + name;
    HANDLE handle =
        CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, attributes, nullptr);
    EXPECT_NE(handle, INVALID_HANDLE_VALUE) << path;
    CloseHandle(handle);
    return path;
  }
  void ExpectSameAsOpen(const std::string& path, BOOL expected_ok, DWORD expected_error) {
    const Answer open = Open(path), probe = Probe(path);
    EXPECT_EQ(open.ok, expected_ok) << path;
    EXPECT_EQ(open.error, expected_error) << path;
    EXPECT_EQ(probe.ok, open.ok) << path;
    EXPECT_EQ(probe.error, open.error) << path;
  }
  std::string folder_;
};

TEST_F(FindProbeTest, FilesOpenAndMissingEntriesFailAsTheOpenDoes) {
  ExpectSameAsOpen(Make("plain.txt"), TRUE, 0);
  ExpectSameAsOpen(Make("readonly.txt", FILE_ATTRIBUTE_READONLY), TRUE, 0);
  // Case differences name the same entry, as in the open.
  ExpectSameAsOpen(folder_ + "\\PLAIN.TXT", TRUE, 0);
  // Past the path rules, as the open sees it.
  ExpectSameAsOpen("\\\\?\\" + folder_ + "\\plain.txt", TRUE, 0);
  ExpectSameAsOpen(folder_ + "\\gone.txt", FALSE, ERROR_FILE_NOT_FOUND);
  ExpectSameAsOpen(folder_ + "\\nowhere\\gone.txt", FALSE, ERROR_PATH_NOT_FOUND);
  // A file named as a folder: with a separator after it the name itself is
  // refused, and below it the path is not found.
  ExpectSameAsOpen(folder_ + "\\plain.txt\\", FALSE, ERROR_INVALID_NAME);
  ExpectSameAsOpen(folder_ + "\\plain.txt\\x", FALSE, ERROR_PATH_NOT_FOUND);
}

// Names the path rules rewrite (a trailing dot or space, "." and "..",
// doubled or forward separators, a lower-case drive letter) reach the same
// entry as the open's own rules make of them.
TEST_F(FindProbeTest, NamesThePathRulesRewriteAnswerAsTheOpen) {
  Make("plain.txt");
  ExpectSameAsOpen(folder_ + "\\plain.txt.", TRUE, 0);
  ExpectSameAsOpen(folder_ + "\\plain.txt ", TRUE, 0);
  ExpectSameAsOpen(folder_ + "\\plain.txt. .", TRUE, 0);
  ExpectSameAsOpen(folder_ + "\\.\\plain.txt", TRUE, 0);
  ExpectSameAsOpen(folder_ + "\\nowhere\\..\\plain.txt", TRUE, 0);
  ExpectSameAsOpen(folder_ + "\\\\plain.txt", TRUE, 0);
  ExpectSameAsOpen(folder_ + "/plain.txt", TRUE, 0);
  std::string lower = folder_ + "\\plain.txt";
  lower[0] = static_cast<char>(lower[0] | 0x20);
  ExpectSameAsOpen(lower, TRUE, 0);
}

// The NT path made on the stack is, whenever it is made at all, the one the
// path rules make; the paths the rules would change are left to them.
TEST(PlainDriveNtPathTest, IsThePathRulesOwnResultOrNothing) {
  struct Case {
    const wchar_t* path;
    bool plain;
  };
  const Case cases[] = {
      {L"C:\\a\\b.txt", true},
      {L"Z:\\x", true},
      {L"C:\\a b\\c.d\\e", true},
      {L"C:\\a\\b.txt.", false},
      {L"C:\\a\\b.txt ", false},
      {L"C:\\a.\\b", false},
      {L"C:\\a \\b", false},
      {L"C:\\.\\b", false},
      {L"C:\\a\\..\\b", false},
      {L"C:\\a\\\\b", false},
      {L"C:\\\\a", false},
      {L"C:\\a\\", false},
      {L"C:\\a/b", false},
      {L"c:\\a\\b", false},
      {L"C:a", false},
      {L"\\\\?\\C:\\a", false},
      {L"\\\\server\\share\\a", false},
      {L"a\\b", false},
  };
  for (const Case& c : cases) {
    WCHAR nt[tessary::win32::kNtPathCapacity];
    const int length = tessary::win32::PlainDriveNtPath(c.path, lstrlenW(c.path), nt);
    EXPECT_EQ(length != 0, c.plain) << static_cast<int>(&c - cases);
    if (length == 0) continue;
    UNICODE_STRING rules;
    ASSERT_TRUE(RtlDosPathNameToNtPathName_U(c.path, &rules, nullptr, nullptr));
    EXPECT_EQ(std::wstring(nt, length), std::wstring(rules.Buffer, rules.Length / sizeof(WCHAR)))
        << static_cast<int>(&c - cases);
    RtlFreeUnicodeString(&rules);
  }
  // A path too long for the buffer is left to the rules.
  std::wstring long_path = L"C:\\" + std::wstring(MAX_PATH, L'a');
  WCHAR nt[tessary::win32::kNtPathCapacity];
  EXPECT_EQ(
      tessary::win32::PlainDriveNtPath(long_path.c_str(), static_cast<int>(long_path.size()), nt),
      0);
}

// A folder that took the place of a listed file is refused, and only with
// access denied does the File record that it is not accessible.
TEST_F(FindProbeTest, AFolderIsRefusedWithAccessDenied) {
  const std::string sub = folder_ + "\\sub";
  ASSERT_TRUE(CreateDirectoryA(sub.c_str(), nullptr));
  ExpectSameAsOpen(sub, FALSE, ERROR_ACCESS_DENIED);
}

// An open for no access takes no part in share modes: a file another handle
// holds without sharing still opens.
TEST_F(FindProbeTest, AFileHeldWithoutSharingStillOpens) {
  const std::string path = Make("held.txt");
  HANDLE held = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                            0, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  ExpectSameAsOpen(path, TRUE, 0);
  CloseHandle(held);
}

// A reserved device name opens the device for CreateFileA; the probe gives
// that answer too rather than the attributes of a file that is not there.
TEST_F(FindProbeTest, ADeviceNameAnswersAsTheOpen) {
  const std::string path = folder_ + "\\NUL";
  const Answer open = Open(path), probe = Probe(path);
  EXPECT_EQ(probe.ok, open.ok);
  EXPECT_EQ(probe.error, open.error);
}

// A folder large enough that the names search reads it ahead on a second
// thread hands out the system search's entries, in its order, with the
// folder attribute where the system search has it, and ends as it does.
class NamesSearchTest : public ::testing::Test {
 protected:
  static constexpr int kFiles = 700;
  void SetUp() override {
    char temp[MAX_PATH];
    ASSERT_NE(GetTempPathA(MAX_PATH, temp), 0u);
    folder_ = std::string(temp) + "tessary-names-" + std::to_string(GetCurrentProcessId());
    ASSERT_TRUE(CreateDirectoryA(folder_.c_str(), nullptr));
    for (int i = 0; i < kFiles; ++i) {
      const std::string path = folder_ + "\\f" + std::to_string(i * 7919 % kFiles) + ".txt";
      HANDLE handle = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
      ASSERT_NE(handle, INVALID_HANDLE_VALUE) << path;
      CloseHandle(handle);
      if (i % 200 == 0) {
        ASSERT_TRUE(CreateDirectoryA((path + ".d").c_str(), nullptr));
      }
    }
  }
  void TearDown() override {
    WIN32_FIND_DATAA data;
    HANDLE search = FindFirstFileA((folder_ + "\\*").c_str(), &data);
    if (search != INVALID_HANDLE_VALUE) {
      do {
        const std::string path = folder_ + "\\" + data.cFileName;
        if (data.cFileName[0] == '.') continue;
        if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
          RemoveDirectoryA(path.c_str());
        } else {
          DeleteFileA(path.c_str());
        }
      } while (FindNextFileA(search, &data));
      FindClose(search);
    }
    RemoveDirectoryA(folder_.c_str());
  }
  // Each entry as "name" or "name/" for a folder, up to `limit` entries, and
  // the error that ended the walk.
  template <class First, class Next, class Close>
  std::vector<std::string> Walk(First first, Next next, Close close, size_t limit, DWORD* end) {
    std::vector<std::string> names;
    WIN32_FIND_DATAA data;
    HANDLE search = first((folder_ + "\\*").c_str(), &data);
    EXPECT_NE(search, INVALID_HANDLE_VALUE);
    if (search == INVALID_HANDLE_VALUE) return names;
    *end = ERROR_SUCCESS;
    do {
      const bool folder = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
      names.push_back(std::string(data.cFileName) + (folder ? "/" : ""));
      if (names.size() == limit) break;
    } while (next(search, &data) || ((*end = GetLastError()), false));
    EXPECT_TRUE(close(search));
    return names;
  }
  std::string folder_;
};

TEST_F(NamesSearchTest, ReadingAheadHandsOutTheSystemSearchAsItIs) {
  DWORD system_end = 0, names_end = 0;
  const auto system = Walk([](LPCSTR p, LPWIN32_FIND_DATAA d) { return FindFirstFileA(p, d); },
                           FindNextFileA, FindClose, SIZE_MAX, &system_end);
  const auto names =
      Walk(FindFirstFileNamesA, FindNextFileNamesA, FindCloseNames, SIZE_MAX, &names_end);
  EXPECT_EQ(system.size(), static_cast<size_t>(kFiles + 4 + 2));  // files, folders, "." and ".."
  EXPECT_EQ(names, system);
  EXPECT_EQ(names_end, static_cast<DWORD>(ERROR_NO_MORE_FILES));
  EXPECT_EQ(names_end, system_end);
  // Closed while the reader is still at work: the entries so far are the
  // same, and closing waits for the reader instead of leaving it loose.
  for (size_t limit : {size_t{80}, size_t{300}}) {
    DWORD unused = 0;
    const auto part = Walk(FindFirstFileNamesA, FindNextFileNamesA, FindCloseNames, limit, &unused);
    EXPECT_EQ(part, std::vector<std::string>(system.begin(), system.begin() + limit));
  }
  WIN32_FIND_DATAA data;
  EXPECT_EQ(FindFirstFileNamesA((folder_ + "\\nothing*").c_str(), &data), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_FALSE(FindNextFileNamesA(INVALID_HANDLE_VALUE, &data));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_FALSE(FindCloseNames(nullptr));
}

// Once the folder is read, the reader probes the files the caller has not
// reached; the caller takes those answers only for the very names the reader
// probed, and probes any other name, and every folder, itself.
TEST_F(NamesSearchTest, AnswersMadeAheadAreTheProbesOwn) {
  WIN32_FIND_DATAA data;
  HANDLE search = FindFirstFileNamesA((folder_ + "\\*").c_str(), &data);
  ASSERT_NE(search, INVALID_HANDLE_VALUE);
  size_t seen = 1, files = 0;
  while (seen < 100 && FindNextFileNamesA(search, &data)) ++seen;
  Sleep(300);  // the reader reads the rest and probes it meanwhile
  while (FindNextFileNamesA(search, &data)) {
    const std::string name = data.cFileName, full = folder_ + "\\" + name;
    SetLastError(0);
    if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      if (name[0] == '.') continue;
      EXPECT_FALSE(FindProbeEntryA(search, full.c_str(), name.c_str())) << name;
      EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED)) << name;
    } else if (++files % 2 == 0) {
      EXPECT_TRUE(FindProbeEntryA(search, full.c_str(), name.c_str())) << name;
    } else {
      EXPECT_FALSE(FindProbeEntryA(search, (full + "x").c_str(), name.c_str())) << name;
      EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND)) << name;
    }
  }
  EXPECT_GT(files, 500u);
  EXPECT_TRUE(FindCloseNames(search));
}

}  // namespace
