// File handles, attributes, folders and the error codes Windows gives for
// each way they can fail.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "unit/platform/file_fixture.h"

namespace tessary {
namespace {

using testing::HostExists;
using testing::ReadHostFile;
using testing::WriteHostFile;

class FileHandles : public testing::MappedDriveTest {
 protected:
  HANDLE Open(const std::string& relative, DWORD access, DWORD share, DWORD disposition,
              DWORD flags = FILE_ATTRIBUTE_NORMAL) {
    return CreateFileA(Win(relative).c_str(), access, share, nullptr, disposition, flags, nullptr);
  }
};

DWORD LastError() { return GetLastError(); }

TEST_F(FileHandles, DispositionsAndTheirLastErrors) {
  HANDLE h = Open("a.txt", GENERIC_WRITE, FILE_SHARE_READ, CREATE_NEW);
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  EXPECT_EQ(static_cast<DWORD>(ERROR_SUCCESS), LastError());
  DWORD written = 0;
  ASSERT_TRUE(WriteFile(h, "hello", 5, &written, nullptr));
  EXPECT_EQ(5u, written);
  ASSERT_TRUE(CloseHandle(h));
  EXPECT_EQ("hello", ReadHostFile(Host("a.txt")));

  EXPECT_EQ(INVALID_HANDLE_VALUE, Open("a.txt", GENERIC_WRITE, 0, CREATE_NEW));
  EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_EXISTS), LastError());

  // OPEN_ALWAYS and CREATE_ALWAYS succeed on an existing file and say so.
  h = Open("a.txt", GENERIC_READ, FILE_SHARE_READ, OPEN_ALWAYS);
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  EXPECT_EQ(static_cast<DWORD>(ERROR_ALREADY_EXISTS), LastError());
  CloseHandle(h);
  h = Open("b.txt", GENERIC_READ, FILE_SHARE_READ, OPEN_ALWAYS);
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  EXPECT_EQ(static_cast<DWORD>(ERROR_SUCCESS), LastError());
  CloseHandle(h);
  h = Open("a.txt", GENERIC_WRITE, FILE_SHARE_READ, CREATE_ALWAYS,
           FILE_FLAG_WRITE_THROUGH | FILE_ATTRIBUTE_NORMAL);
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  EXPECT_EQ(static_cast<DWORD>(ERROR_ALREADY_EXISTS), LastError());
  CloseHandle(h);
  EXPECT_EQ("", ReadHostFile(Host("a.txt")));

  WriteHostFile(Host("a.txt"), "12345");
  h = Open("a.txt", GENERIC_WRITE, 0, TRUNCATE_EXISTING);
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  CloseHandle(h);
  EXPECT_EQ("", ReadHostFile(Host("a.txt")));
  EXPECT_EQ(INVALID_HANDLE_VALUE, Open("a.txt", GENERIC_READ, 0, TRUNCATE_EXISTING));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), LastError());
  EXPECT_EQ(INVALID_HANDLE_VALUE, Open("a.txt", GENERIC_READ, 0, 9));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), LastError());
}

TEST_F(FileHandles, MissingFileAndMissingFolderAreTold) {
  EXPECT_EQ(INVALID_HANDLE_VALUE, Open("none.txt", GENERIC_READ, 0, OPEN_EXISTING));
  EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), LastError());
  EXPECT_EQ(INVALID_HANDLE_VALUE, Open("nodir/none.txt", GENERIC_READ, 0, OPEN_EXISTING));
  EXPECT_EQ(static_cast<DWORD>(ERROR_PATH_NOT_FOUND), LastError());
  EXPECT_EQ(INVALID_HANDLE_VALUE, Open("nodir/new.txt", GENERIC_WRITE, 0, CREATE_ALWAYS));
  EXPECT_EQ(static_cast<DWORD>(ERROR_PATH_NOT_FOUND), LastError());
  // A file on the way is a missing folder too.
  WriteHostFile(Host("file"), "x");
  EXPECT_EQ(INVALID_HANDLE_VALUE, Open("file/x", GENERIC_READ, 0, OPEN_EXISTING));
  EXPECT_EQ(static_cast<DWORD>(ERROR_PATH_NOT_FOUND), LastError());
  EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesA(Win("none.txt").c_str()));
  EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), LastError());
  EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesA(Win("nodir/none.txt").c_str()));
  EXPECT_EQ(static_cast<DWORD>(ERROR_PATH_NOT_FOUND), LastError());
}

TEST_F(FileHandles, FoldersOpenOnlyWithBackupSemantics) {
  ASSERT_EQ(0, ::mkdir(Host("dir").c_str(), 0755));
  // The attribute probe of a File object: no access, yet refused for a folder.
  EXPECT_EQ(INVALID_HANDLE_VALUE,
            Open("dir", 0, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING, 0));
  EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), LastError());
  EXPECT_EQ(INVALID_HANDLE_VALUE, Open("dir", GENERIC_WRITE, 0, OPEN_EXISTING));
  EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), LastError());
  HANDLE h = Open("dir", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS);
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  BY_HANDLE_FILE_INFORMATION info;
  ASSERT_TRUE(GetFileInformationByHandle(h, &info));
  EXPECT_EQ(static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY), info.dwFileAttributes);
  char byte;
  DWORD read = 0;
  EXPECT_FALSE(ReadFile(h, &byte, 1, &read, nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_FUNCTION), LastError());
  EXPECT_TRUE(CloseHandle(h));
}

TEST_F(FileHandles, ProbeWithoutAccessOpensAnyFile) {
  WriteHostFile(Host("locked"), "data");
  ASSERT_EQ(0, ::chmod(Host("locked").c_str(), 0));
  HANDLE h = Open("locked", 0, FILE_SHARE_WRITE, OPEN_EXISTING, 0);
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  DWORD high = 7;
  EXPECT_EQ(4u, GetFileSize(h, &high));
  EXPECT_EQ(0u, high);
  char byte;
  DWORD read = 0;
  EXPECT_FALSE(ReadFile(h, &byte, 1, &read, nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), LastError());
  EXPECT_TRUE(CloseHandle(h));
}

// Pipes, sockets and devices open for an attribute probe only: an open for
// data is refused at once, neither waiting for a writer or reader nor
// reading without end.
TEST_F(FileHandles, OnlyRegularFilesOpenForData) {
  ASSERT_EQ(0, ::mkfifo(Host("fifo").c_str(), 0666));
  const int sock = ::socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_GE(sock, 0);
  struct sockaddr_un address = {};
  address.sun_family = AF_UNIX;
  const std::string socket_path = Host("sock");
  ASSERT_LT(socket_path.size(), sizeof(address.sun_path));
  std::strcpy(address.sun_path, socket_path.c_str());
  ASSERT_EQ(0, ::bind(sock, reinterpret_cast<struct sockaddr*>(&address), sizeof(address)));
  const int before = testing::CountOpenFds();
  for (const char* name : {"fifo", "sock"}) {
    for (const DWORD access :
         {DWORD{GENERIC_READ}, DWORD{GENERIC_WRITE}, DWORD{GENERIC_READ | GENERIC_WRITE}}) {
      for (const DWORD disposition : {OPEN_EXISTING, OPEN_ALWAYS, CREATE_ALWAYS}) {
        EXPECT_EQ(INVALID_HANDLE_VALUE, Open(name, access, FILE_SHARE_READ, disposition));
        EXPECT_EQ(static_cast<DWORD>(ERROR_CANT_ACCESS_FILE), LastError())
            << name << " " << access << " " << disposition;
      }
    }
    HANDLE probe = Open(name, 0, FILE_SHARE_READ, OPEN_EXISTING);
    EXPECT_NE(INVALID_HANDLE_VALUE, probe) << name;
    EXPECT_TRUE(CloseHandle(probe));
  }
  {
    testing::ScopedStore store(testing::StoreText({{"T:", dir_.path()}, {"D:", "/dev"}}));
    files::ReloadNamespace();
    EXPECT_EQ(INVALID_HANDLE_VALUE, CreateFileA("D:\\zero", GENERIC_READ, FILE_SHARE_READ, nullptr,
                                                OPEN_EXISTING, 0, nullptr));
    EXPECT_EQ(static_cast<DWORD>(ERROR_CANT_ACCESS_FILE), LastError());
  }
  files::ReloadNamespace();
  EXPECT_EQ(before, testing::CountOpenFds());
  ::close(sock);
}

TEST_F(FileHandles, ReadWriteAndTheFilePointer) {
  HANDLE h = Open("rw.bin", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, CREATE_ALWAYS);
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  DWORD n = 0;
  ASSERT_TRUE(WriteFile(h, "0123456789", 10, &n, nullptr));
  EXPECT_EQ(10u, SetFilePointer(h, 0, nullptr, FILE_CURRENT));
  EXPECT_EQ(2u, SetFilePointer(h, 2, nullptr, FILE_BEGIN));
  char buffer[16] = {};
  ASSERT_TRUE(ReadFile(h, buffer, 3, &n, nullptr));
  EXPECT_EQ(3u, n);
  EXPECT_STREQ("234", buffer);
  EXPECT_EQ(8u, SetFilePointer(h, -2, nullptr, FILE_END));
  ASSERT_TRUE(ReadFile(h, buffer, sizeof(buffer), &n, nullptr));
  EXPECT_EQ(2u, n);
  // At the end a read succeeds with nothing.
  ASSERT_TRUE(ReadFile(h, buffer, sizeof(buffer), &n, nullptr));
  EXPECT_EQ(0u, n);

  // A negative position is refused and leaves the pointer alone.
  EXPECT_EQ(INVALID_SET_FILE_POINTER, SetFilePointer(h, -20, nullptr, FILE_CURRENT));
  EXPECT_EQ(static_cast<DWORD>(ERROR_NEGATIVE_SEEK), LastError());
  EXPECT_EQ(10u, SetFilePointer(h, 0, nullptr, FILE_CURRENT));
  EXPECT_EQ(INVALID_SET_FILE_POINTER, SetFilePointer(h, 0, nullptr, 7));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), LastError());

  // Beyond 4 GiB only with a high part; the low part may be 0xFFFFFFFF.
  LONG high = 1;
  EXPECT_EQ(5u, SetFilePointer(h, 5, &high, FILE_BEGIN));
  EXPECT_EQ(1, high);
  high = 0;
  EXPECT_EQ(0xFFFFFFFFu, SetFilePointer(h, -1, &high, FILE_BEGIN));
  EXPECT_EQ(static_cast<DWORD>(NO_ERROR), LastError());
  EXPECT_EQ(0, high);
  high = 1;
  SetFilePointer(h, 0, &high, FILE_BEGIN);
  EXPECT_EQ(INVALID_SET_FILE_POINTER, SetFilePointer(h, 0, nullptr, FILE_CURRENT));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), LastError());
  LARGE_INTEGER move;
  move.QuadPart = 4;
  LARGE_INTEGER now;
  ASSERT_TRUE(SetFilePointerEx(h, move, &now, FILE_BEGIN));
  EXPECT_EQ(4, now.QuadPart);

  // SetEndOfFile cuts at the pointer; the size follows.
  ASSERT_TRUE(SetEndOfFile(h));
  LARGE_INTEGER size;
  ASSERT_TRUE(GetFileSizeEx(h, &size));
  EXPECT_EQ(4, size.QuadPart);
  EXPECT_TRUE(FlushFileBuffers(h));
  EXPECT_EQ(static_cast<DWORD>(FILE_TYPE_DISK), GetFileType(h));
  ASSERT_TRUE(CloseHandle(h));
  EXPECT_EQ("0123", ReadHostFile(Host("rw.bin")));
}

TEST_F(FileHandles, AccessIsCheckedPerHandle) {
  WriteHostFile(Host("f"), "abc");
  HANDLE reader = Open("f", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING);
  ASSERT_NE(INVALID_HANDLE_VALUE, reader);
  DWORD n = 0;
  EXPECT_FALSE(WriteFile(reader, "x", 1, &n, nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), LastError());
  EXPECT_FALSE(SetEndOfFile(reader));
  EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), LastError());
  EXPECT_FALSE(FlushFileBuffers(reader));
  EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), LastError());
  HANDLE writer = Open("f", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING);
  ASSERT_NE(INVALID_HANDLE_VALUE, writer);
  char c;
  EXPECT_FALSE(ReadFile(writer, &c, 1, &n, nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), LastError());
  // Each handle has its own pointer: writing at 0 overwrites without truncating.
  ASSERT_TRUE(WriteFile(writer, "X", 1, &n, nullptr));
  char buffer[4] = {};
  ASSERT_TRUE(ReadFile(reader, buffer, 3, &n, nullptr));
  EXPECT_STREQ("Xbc", buffer);
  EXPECT_TRUE(CloseHandle(reader));
  EXPECT_TRUE(CloseHandle(writer));
}

TEST_F(FileHandles, InvalidHandles) {
  DWORD n = 0;
  char c;
  EXPECT_FALSE(ReadFile(nullptr, &c, 1, &n, nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), LastError());
  EXPECT_FALSE(WriteFile(INVALID_HANDLE_VALUE, &c, 1, &n, nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), LastError());
  EXPECT_EQ(INVALID_SET_FILE_POINTER, SetFilePointer(&n, 0, nullptr, FILE_BEGIN));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), LastError());
  EXPECT_EQ(INVALID_FILE_SIZE, GetFileSize(nullptr, nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), LastError());
  HANDLE h = Open("once", GENERIC_WRITE, 0, CREATE_NEW);
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  EXPECT_TRUE(CloseHandle(h));
  EXPECT_FALSE(CloseHandle(h));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), LastError());
}

TEST_F(FileHandles, InformationAndTimes) {
  WriteHostFile(Host(".profile"), "12345");
  const struct timespec times[2] = {{1000000000, 0}, {1234567890, 500000000}};
  ASSERT_EQ(0, ::utimensat(AT_FDCWD, Host(".profile").c_str(), times, 0));
  HANDLE h = Open(".profile", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  BY_HANDLE_FILE_INFORMATION info;
  ASSERT_TRUE(GetFileInformationByHandle(h, &info));
  EXPECT_EQ(static_cast<DWORD>(FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_HIDDEN),
            info.dwFileAttributes);
  EXPECT_EQ(5u, info.nFileSizeLow);
  EXPECT_EQ(1u, info.nNumberOfLinks);
  struct stat st;
  ASSERT_EQ(0, ::stat(Host(".profile").c_str(), &st));
  EXPECT_EQ(static_cast<uint64_t>(st.st_ino),
            (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow);
  // 1234567890.5 s after 1970 in 100 ns ticks after 1601.
  const uint64_t expected = 1234567890ULL * 10000000 + 5000000 + 116444736000000000ULL;
  FILETIME write;
  ASSERT_TRUE(GetFileTime(h, nullptr, nullptr, &write));
  EXPECT_EQ(expected, (static_cast<uint64_t>(write.dwHighDateTime) << 32) | write.dwLowDateTime);
  EXPECT_EQ(write.dwLowDateTime, info.ftLastWriteTime.dwLowDateTime);
  EXPECT_TRUE(CloseHandle(h));
}

TEST_F(FileHandles, AttributesFollowModeBitsAndNames) {
  WriteHostFile(Host("plain.txt"), "x");
  WriteHostFile(Host(".hidden"), "x");
  ASSERT_EQ(0, ::mkdir(Host("dir").c_str(), 0755));
  EXPECT_EQ(static_cast<DWORD>(FILE_ATTRIBUTE_ARCHIVE),
            GetFileAttributesA(Win("plain.txt").c_str()));
  EXPECT_EQ(static_cast<DWORD>(FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_HIDDEN),
            GetFileAttributesA(Win(".hidden").c_str()));
  EXPECT_EQ(static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY), GetFileAttributesA(Win("dir").c_str()));
  EXPECT_EQ(static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY), GetFileAttributesA(Win("dir\\").c_str()));
  EXPECT_EQ(static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY), GetFileAttributesA("T:\\"));
  // Trailing dots name the same file, as on Windows.
  EXPECT_EQ(static_cast<DWORD>(FILE_ATTRIBUTE_ARCHIVE),
            GetFileAttributesA(Win("plain.txt.").c_str()));

  ASSERT_TRUE(SetFileAttributesA(Win("plain.txt").c_str(), FILE_ATTRIBUTE_READONLY));
  EXPECT_EQ(static_cast<DWORD>(FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_READONLY),
            GetFileAttributesA(Win("plain.txt").c_str()));
  struct stat st;
  ASSERT_EQ(0, ::stat(Host("plain.txt").c_str(), &st));
  EXPECT_EQ(0u, st.st_mode & 0222);
  // Writing a read-only file is refused even where POSIX would allow it.
  EXPECT_EQ(INVALID_HANDLE_VALUE, CreateFileA(Win("plain.txt").c_str(), GENERIC_WRITE, 0, nullptr,
                                              OPEN_EXISTING, 0, nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), LastError());
  EXPECT_EQ(INVALID_HANDLE_VALUE, CreateFileA(Win("plain.txt").c_str(), GENERIC_WRITE, 0, nullptr,
                                              CREATE_ALWAYS, 0, nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), LastError());
  ASSERT_TRUE(SetFileAttributesA(Win("plain.txt").c_str(), FILE_ATTRIBUTE_NORMAL));
  ASSERT_EQ(0, ::stat(Host("plain.txt").c_str(), &st));
  EXPECT_NE(0u, st.st_mode & S_IWUSR);
  // HIDDEN cannot be stored: accepted and without effect.
  ASSERT_TRUE(SetFileAttributesA(Win("plain.txt").c_str(), FILE_ATTRIBUTE_HIDDEN));
  EXPECT_EQ(static_cast<DWORD>(FILE_ATTRIBUTE_ARCHIVE),
            GetFileAttributesA(Win("plain.txt").c_str()));
  EXPECT_FALSE(SetFileAttributesA(Win("gone").c_str(), FILE_ATTRIBUTE_NORMAL));
  EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), LastError());

  // A link is a reparse point described by its target; one whose target is
  // gone by itself.
  ASSERT_EQ(0, ::symlink(Host("dir").c_str(), Host("link").c_str()));
  EXPECT_EQ(static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT),
            GetFileAttributesA(Win("link").c_str()));
  ASSERT_EQ(0, ::symlink(Host("gone").c_str(), Host("dangling").c_str()));
  EXPECT_EQ(static_cast<DWORD>(FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_REPARSE_POINT),
            GetFileAttributesA(Win("dangling").c_str()));
}

TEST_F(FileHandles, DeleteFileRules) {
  WriteHostFile(Host("f"), "x");
  ASSERT_TRUE(DeleteFileA(Win("f").c_str()));
  EXPECT_FALSE(HostExists(Host("f")));
  EXPECT_FALSE(DeleteFileA(Win("f").c_str()));
  EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), LastError());
  EXPECT_FALSE(DeleteFileA(Win("nodir/f").c_str()));
  EXPECT_EQ(static_cast<DWORD>(ERROR_PATH_NOT_FOUND), LastError());
  ASSERT_EQ(0, ::mkdir(Host("dir").c_str(), 0755));
  EXPECT_FALSE(DeleteFileA(Win("dir").c_str()));
  EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), LastError());
  EXPECT_FALSE(DeleteFileA("T:\\"));
  EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), LastError());
  WriteHostFile(Host("ro"), "x");
  ASSERT_TRUE(SetFileAttributesA(Win("ro").c_str(), FILE_ATTRIBUTE_READONLY));
  EXPECT_FALSE(DeleteFileA(Win("ro").c_str()));
  EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), LastError());
  EXPECT_TRUE(HostExists(Host("ro")));
  ASSERT_TRUE(SetFileAttributesA(Win("ro").c_str(), FILE_ATTRIBUTE_NORMAL));
  EXPECT_TRUE(DeleteFileA(Win("ro").c_str()));
  // A link goes, its target stays.
  ASSERT_EQ(0, ::symlink(Host("dir").c_str(), Host("link").c_str()));
  EXPECT_TRUE(DeleteFileA(Win("link").c_str()));
  EXPECT_TRUE(HostExists(Host("dir")));
}

TEST_F(FileHandles, FolderCreationAndRemoval) {
  ASSERT_TRUE(CreateDirectoryA(Win("d").c_str(), nullptr));
  EXPECT_FALSE(CreateDirectoryA(Win("d").c_str(), nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_ALREADY_EXISTS), LastError());
  EXPECT_FALSE(CreateDirectoryA(Win("x/y/z").c_str(), nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_PATH_NOT_FOUND), LastError());
  EXPECT_FALSE(CreateDirectoryA("", nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_PATH_NOT_FOUND), LastError());
  ASSERT_TRUE(CreateDirectoryA(Win("d/e\\").c_str(), nullptr));
  WriteHostFile(Host("d/e/f"), "x");

  EXPECT_FALSE(RemoveDirectoryA(Win("d").c_str()));
  EXPECT_EQ(static_cast<DWORD>(ERROR_DIR_NOT_EMPTY), LastError());
  EXPECT_FALSE(RemoveDirectoryA(Win("d/e/f").c_str()));
  EXPECT_EQ(static_cast<DWORD>(ERROR_DIRECTORY), LastError());
  EXPECT_FALSE(RemoveDirectoryA(Win("d/none").c_str()));
  EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), LastError());
  EXPECT_FALSE(RemoveDirectoryA(Win("none/none").c_str()));
  EXPECT_EQ(static_cast<DWORD>(ERROR_PATH_NOT_FOUND), LastError());
  ASSERT_TRUE(DeleteFileA(Win("d/e/f").c_str()));
  // A read-only folder is kept until its attribute is cleared.
  ASSERT_TRUE(SetFileAttributesA(Win("d/e").c_str(), FILE_ATTRIBUTE_READONLY));
  EXPECT_FALSE(RemoveDirectoryA(Win("d/e").c_str()));
  EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), LastError());
  ASSERT_TRUE(SetFileAttributesA(Win("d/e").c_str(), FILE_ATTRIBUTE_NORMAL));
  EXPECT_TRUE(RemoveDirectoryA(Win("d/e\\").c_str()));
  EXPECT_TRUE(RemoveDirectoryA(Win("d").c_str()));
  EXPECT_FALSE(HostExists(Host("d")));
}

TEST_F(FileHandles, ShortPathIsTheLongPath) {
  WriteHostFile(Host("Long Name.text"), "x");
  char buffer[MAX_PATH];
  const std::string name = Win("Long Name.text");
  ASSERT_EQ(name.size(), GetShortPathNameA(name.c_str(), buffer, sizeof(buffer)));
  EXPECT_EQ(name, buffer);
  EXPECT_EQ(name.size() + 1, GetShortPathNameA(name.c_str(), buffer, 4));
  EXPECT_EQ(0u, GetShortPathNameA(Win("none").c_str(), buffer, sizeof(buffer)));
  EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), LastError());
}

TEST_F(FileHandles, CreateFileWTakesUtf16Names) {
  HANDLE h = CreateFileW(u"T:\\caf\u00e9.txt", GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  EXPECT_TRUE(CloseHandle(h));
  EXPECT_TRUE(HostExists(Host("caf\xc3\xa9.txt")));
}

TEST_F(FileHandles, TempFileNames) {
  char name[MAX_PATH];
  // A chosen number makes the name only.
  ASSERT_EQ(0x1A2Bu, GetTempFileNameA("T:\\", "radical", 0x1A2B, name));
  EXPECT_STREQ("T:\\rad1A2B.tmp", name);
  EXPECT_FALSE(HostExists(Host("rad1A2B.tmp")));
  // Number 0: the system picks one and creates the empty file.
  const UINT number = GetTempFileNameA("T:", "rad", 0, name);
  ASSERT_NE(0u, number);
  char expected[MAX_PATH];
  std::snprintf(expected, sizeof(expected), "T:\\rad%X.tmp", number);
  EXPECT_STREQ(expected, name);
  EXPECT_TRUE(HostExists(Host(std::string(name + 3))));
  EXPECT_EQ(0u, GetTempFileNameA(Win("none").c_str(), "x", 0, name));
  EXPECT_EQ(static_cast<DWORD>(ERROR_DIRECTORY), LastError());
  EXPECT_EQ(0u, GetTempFileNameA(("T:\\" + std::string(250, 'a')).c_str(), "x", 0, name));
  EXPECT_EQ(static_cast<DWORD>(ERROR_BUFFER_OVERFLOW), LastError());
}

TEST_F(FileHandles, TempFileNamesAreExclusive) {
  // A collision (another process took the name first) moves on to the next number.
  // The drive mapping is read first, so that the fault meets the file, not the store.
  ASSERT_NE(INVALID_FILE_ATTRIBUTES, GetFileAttributesA("T:\\"));
  sys::InjectFault(sys::Call::open, 1, EEXIST);
  char name[MAX_PATH];
  ASSERT_NE(0u, GetTempFileNameA("T:\\", "col", 0, name));
  EXPECT_EQ(1, sys::FaultsFired());
  EXPECT_TRUE(HostExists(Host(std::string(name + 3))));
  sys::ClearFaults();

  // Threads racing for names each get a file of their own.
  constexpr int kThreads = 4;
  constexpr int kEach = 50;
  std::vector<std::vector<std::string>> made(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&made, t] {
      for (int i = 0; i < kEach; ++i) {
        char buffer[MAX_PATH];
        if (GetTempFileNameA("T:\\", "thr", 0, buffer) != 0) made[t].push_back(buffer);
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  std::set<std::string> all;
  for (const auto& names : made) {
    EXPECT_EQ(static_cast<size_t>(kEach), names.size());
    all.insert(names.begin(), names.end());
  }
  EXPECT_EQ(static_cast<size_t>(kThreads * kEach), all.size());
  for (const std::string& n : all) EXPECT_TRUE(HostExists(Host(n.substr(3)))) << n;
}

TEST_F(FileHandles, NoDescriptorLeaksOnFailedOpens) {
  WriteHostFile(Host("f"), "x");
  const int before = testing::CountOpenFds();
  for (int i = 1; i <= 3; ++i) {
    sys::InjectFault(sys::Call::statx, i, EIO);
    HANDLE h = Open("f", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    sys::ClearFaults();
  }
  sys::InjectFault(sys::Call::ftruncate, 1, EIO);
  EXPECT_EQ(INVALID_HANDLE_VALUE, Open("f", GENERIC_WRITE, 0, CREATE_ALWAYS));
  EXPECT_EQ(static_cast<DWORD>(ERROR_IO_DEVICE), LastError());
  sys::ClearFaults();
  EXPECT_EQ("x", ReadHostFile(Host("f")));
  EXPECT_EQ(before, testing::CountOpenFds());
}

}  // namespace
}  // namespace tessary
