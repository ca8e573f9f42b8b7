// Share modes between handles of this process and, through the locks,
// between processes: the opens Windows refuses with a sharing violation,
// refused before anything on disk changes.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "unit/platform/file_fixture.h"

namespace tessary {
namespace {

using testing::HostExists;
using testing::ReadHostFile;
using testing::WriteHostFile;

class ShareModes : public testing::MappedDriveTest {
 protected:
  void SetUp() override {
    MappedDriveTest::SetUp();
    WriteHostFile(Host("file1"), "first");
    WriteHostFile(Host("file2"), "second");
  }
  HANDLE Open(const std::string& relative, DWORD access, DWORD share,
              DWORD disposition = OPEN_EXISTING) {
    return CreateFileA(Win(relative).c_str(), access, share, nullptr, disposition, 0, nullptr);
  }
  // Whether a second open with `access`/`share` is refused while one with
  // `held_access`/`held_share` is open.
  bool Refused(DWORD held_access, DWORD held_share, DWORD access, DWORD share) {
    HANDLE held = Open("file1", held_access, held_share);
    EXPECT_NE(INVALID_HANDLE_VALUE, held);
    HANDLE second = Open("file1", access, share);
    const bool refused = second == INVALID_HANDLE_VALUE;
    if (refused) {
      EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), GetLastError());
    } else {
      CloseHandle(second);
    }
    CloseHandle(held);
    return refused;
  }
};

TEST_F(ShareModes, ConcatFilesOntoItsOwnSourceIsRefusedBeforeTruncating) {
  // The sources are open for shared reading only...
  HANDLE source1 = Open("file1", GENERIC_READ, FILE_SHARE_READ);
  ASSERT_NE(INVALID_HANDLE_VALUE, source1);
  HANDLE source2 = Open("file2", GENERIC_READ, FILE_SHARE_READ);
  ASSERT_NE(INVALID_HANDLE_VALUE, source2);
  // ...so the destination, the same file as file1, cannot be created over it.
  HANDLE dest = Open("file1", GENERIC_WRITE, FILE_SHARE_READ, CREATE_ALWAYS);
  EXPECT_EQ(INVALID_HANDLE_VALUE, dest);
  EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), GetLastError());
  EXPECT_EQ("first", ReadHostFile(Host("file1")));
  char buffer[16] = {};
  DWORD n = 0;
  ASSERT_TRUE(ReadFile(source1, buffer, sizeof(buffer), &n, nullptr));
  EXPECT_STREQ("first", buffer);
  EXPECT_TRUE(CloseHandle(source1));
  EXPECT_TRUE(CloseHandle(source2));
  // Once the sources are closed the destination opens and truncates.
  dest = Open("file1", GENERIC_WRITE, FILE_SHARE_READ, CREATE_ALWAYS);
  ASSERT_NE(INVALID_HANDLE_VALUE, dest);
  EXPECT_TRUE(CloseHandle(dest));
  EXPECT_EQ("", ReadHostFile(Host("file1")));
}

TEST_F(ShareModes, WindowsSharingRules) {
  constexpr DWORD R = FILE_SHARE_READ;
  constexpr DWORD W = FILE_SHARE_WRITE;
  constexpr DWORD D = FILE_SHARE_DELETE;
  EXPECT_FALSE(Refused(GENERIC_READ, R, GENERIC_READ, R));
  EXPECT_TRUE(Refused(GENERIC_READ, R, GENERIC_WRITE, R | W));
  EXPECT_FALSE(Refused(GENERIC_READ, R | W, GENERIC_READ, R));  // denies a write nobody has
  EXPECT_FALSE(Refused(GENERIC_READ, R | W, GENERIC_WRITE, R | W));
  EXPECT_TRUE(Refused(GENERIC_WRITE, R, GENERIC_READ, R));  // denies write the holder has
  EXPECT_FALSE(Refused(GENERIC_WRITE, R, GENERIC_READ, R | W));
  EXPECT_TRUE(Refused(GENERIC_READ, 0, GENERIC_READ, R | W | D));
  EXPECT_TRUE(Refused(GENERIC_READ | GENERIC_WRITE, R | W, DELETE, R | W | D));
  EXPECT_FALSE(Refused(GENERIC_READ | GENERIC_WRITE, R | W | D, DELETE, R | W | D));
  // Without data access nothing is checked, either way round.
  EXPECT_FALSE(Refused(GENERIC_READ | GENERIC_WRITE, 0, 0, R | W));
  EXPECT_FALSE(Refused(0, 0, GENERIC_READ | GENERIC_WRITE, R | W | D));
  EXPECT_FALSE(Refused(FILE_READ_ATTRIBUTES, 0, GENERIC_WRITE, 0));
}

TEST_F(ShareModes, WholeFileOperationsRespectOpenHandles) {
  HANDLE held = Open("file1", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE);
  ASSERT_NE(INVALID_HANDLE_VALUE, held);
  EXPECT_FALSE(DeleteFileA(Win("file1").c_str()));
  EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), GetLastError());
  EXPECT_FALSE(MoveFileExA(Win("file1").c_str(), Win("moved").c_str(), 0));
  EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), GetLastError());
  EXPECT_FALSE(MoveFileExA(Win("file2").c_str(), Win("file1").c_str(), MOVEFILE_REPLACE_EXISTING));
  EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), GetLastError());
  // The holder shares writing: copying over it is allowed.
  EXPECT_TRUE(CopyFileA(Win("file2").c_str(), Win("file1").c_str(), FALSE));
  EXPECT_TRUE(HostExists(Host("file1")));
  EXPECT_TRUE(CloseHandle(held));

  held = Open("file1", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE);
  ASSERT_NE(INVALID_HANDLE_VALUE, held);
  EXPECT_FALSE(CopyFileA(Win("file2").c_str(), Win("file1").c_str(), FALSE));
  EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), GetLastError());
  // FILE_SHARE_DELETE lets it be renamed and deleted under the handle.
  EXPECT_TRUE(MoveFileExA(Win("file1").c_str(), Win("moved").c_str(), 0));
  EXPECT_TRUE(DeleteFileA(Win("moved").c_str()));
  EXPECT_TRUE(CloseHandle(held));
}

TEST_F(ShareModes, CopyingAFileOntoItselfIsASharingViolation) {
  EXPECT_FALSE(CopyFileA(Win("file1").c_str(), Win("file1").c_str(), FALSE));
  EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), GetLastError());
  EXPECT_EQ("first", ReadHostFile(Host("file1")));
  EXPECT_FALSE(CopyFileA(Win("file1").c_str(), Win("./file1").c_str(), TRUE));
  EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_EXISTS), GetLastError());
}

TEST_F(ShareModes, ClosingAHandleLiftsItsShareMode) {
  HANDLE held = Open("file1", GENERIC_READ, 0);
  ASSERT_NE(INVALID_HANDLE_VALUE, held);
  EXPECT_EQ(INVALID_HANDLE_VALUE, Open("file1", GENERIC_READ, FILE_SHARE_READ));
  EXPECT_TRUE(CloseHandle(held));
  HANDLE again = Open("file1", GENERIC_READ, FILE_SHARE_READ);
  EXPECT_NE(INVALID_HANDLE_VALUE, again);
  CloseHandle(again);
}

TEST_F(ShareModes, FolderHandlesDenyRemoval) {
  ASSERT_TRUE(CreateDirectoryA(Win("d").c_str(), nullptr));
  HANDLE dir = CreateFileA(Win("d").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                           FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, dir);
  EXPECT_FALSE(RemoveDirectoryA(Win("d").c_str()));
  EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), GetLastError());
  EXPECT_TRUE(CloseHandle(dir));
  EXPECT_TRUE(RemoveDirectoryA(Win("d").c_str()));
}

// Readers and a writer racing on one file: every open either succeeds or
// is a sharing violation, and whatever a writer opens it opens alone.
TEST_F(ShareModes, ConcurrentOpensKeepTheRules) {
  const int before = testing::CountOpenFds();
  const std::string name = Win("file1");
  std::atomic<int> readers_inside{0};
  std::atomic<int> broken{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 6; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 100; ++i) {
        HANDLE h = CreateFileA(name.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                               0, nullptr);
        if (h == INVALID_HANDLE_VALUE) {
          if (GetLastError() != ERROR_SHARING_VIOLATION) ++broken;
          continue;
        }
        ++readers_inside;
        char buffer[8];
        DWORD n = 0;
        if (!ReadFile(h, buffer, sizeof(buffer), &n, nullptr)) ++broken;
        --readers_inside;
        if (!CloseHandle(h)) ++broken;
      }
    });
  }
  threads.emplace_back([&] {
    for (int i = 0; i < 100; ++i) {
      HANDLE h = CreateFileA(name.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
      if (h == INVALID_HANDLE_VALUE) {
        if (GetLastError() != ERROR_SHARING_VIOLATION) ++broken;
        continue;
      }
      if (readers_inside.load() != 0) ++broken;
      if (!CloseHandle(h)) ++broken;
    }
  });
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(0, broken.load());
  EXPECT_EQ(before, testing::CountOpenFds());
}

// Another process that uses this layer holds file1 open for reading and
// denies writing: our writer is refused, our reader is not.
TEST_F(ShareModes, AcrossProcessesThroughLocks) {
  int ready[2];
  int done[2];
  ASSERT_EQ(0, ::pipe(ready));
  ASSERT_EQ(0, ::pipe(done));
  const std::string name = Win("file1");
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    HANDLE h = CreateFileA(name.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                           nullptr);
    const char status = h != INVALID_HANDLE_VALUE ? 'y' : 'n';
    if (::write(ready[1], &status, 1) != 1) ::_exit(2);
    char c;
    if (::read(done[0], &c, 1) != 1) ::_exit(3);
    ::_exit(0);
  }
  char status = 0;
  ASSERT_EQ(1, ::read(ready[0], &status, 1));
  ASSERT_EQ('y', status);

  HANDLE writer = Open("file1", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, CREATE_ALWAYS);
  EXPECT_EQ(INVALID_HANDLE_VALUE, writer);
  EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), GetLastError());
  EXPECT_EQ("first", ReadHostFile(Host("file1")));
  EXPECT_FALSE(DeleteFileA(name.c_str()));
  EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), GetLastError());
  HANDLE reader = Open("file1", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE);
  EXPECT_NE(INVALID_HANDLE_VALUE, reader);
  CloseHandle(reader);

  ASSERT_EQ(1, ::write(done[1], "x", 1));
  int wstatus = 0;
  ASSERT_EQ(child, ::waitpid(child, &wstatus, 0));
  EXPECT_TRUE(WIFEXITED(wstatus) && WEXITSTATUS(wstatus) == 0);
  for (int fd : {ready[0], ready[1], done[0], done[1]}) ::close(fd);

  // The child's locks died with it.
  writer = Open("file1", GENERIC_WRITE, FILE_SHARE_READ, CREATE_ALWAYS);
  EXPECT_NE(INVALID_HANDLE_VALUE, writer);
  CloseHandle(writer);
}

}  // namespace
}  // namespace tessary
