// CopyFileA and MoveFileExA: what they carry over, what they refuse, and
// that a failure at any system call leaves the destination as it was, the
// source in place and no descriptor or temporary file behind.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "unit/platform/file_fixture.h"

namespace tessary {
namespace {

using testing::HostExists;
using testing::HostNames;
using testing::ReadHostFile;
using testing::WriteHostFile;

class CopyMove : public testing::MappedDriveTest {
 protected:
  void SetUp() override {
    MappedDriveTest::SetUp();
    source_data_ = std::string(200000, 'x');
    for (size_t i = 0; i < source_data_.size(); i += 997) source_data_[i] = static_cast<char>(i);
    WriteHostFile(Host("src.bin"), source_data_);
    ASSERT_EQ(0, ::chmod(Host("src.bin").c_str(), 0640));
    const struct timespec times[2] = {{1500000000, 0}, {1600000000, 123456700}};
    ASSERT_EQ(0, ::utimensat(AT_FDCWD, Host("src.bin").c_str(), times, 0));
    // Read the store now, so faults injected later hit the services only.
    GetFileAttributesA("T:\\");
  }
  std::string source_data_;
};

TEST_F(CopyMove, CopyCarriesContentsPermissionsAndModificationTime) {
  ASSERT_TRUE(CopyFileA(Win("src.bin").c_str(), Win("dst.bin").c_str(), TRUE));
  EXPECT_EQ(source_data_, ReadHostFile(Host("dst.bin")));
  struct stat st;
  ASSERT_EQ(0, ::stat(Host("dst.bin").c_str(), &st));
  EXPECT_EQ(0640u, st.st_mode & 07777);
  EXPECT_EQ(1600000000, st.st_mtim.tv_sec);
  EXPECT_EQ(123456700, st.st_mtim.tv_nsec);
  EXPECT_EQ((std::vector<std::string>{"dst.bin", "src.bin"}), HostNames(dir_.path()));
}

TEST_F(CopyMove, CopyWithoutOffloadFallsBackToReadAndWrite) {
  sys::InjectFault(sys::Call::copy_file_range, 1, EXDEV, true);
  ASSERT_TRUE(CopyFileA(Win("src.bin").c_str(), Win("dst.bin").c_str(), TRUE));
  EXPECT_GE(sys::FaultsFired(), 1);
  sys::ClearFaults();
  EXPECT_EQ(source_data_, ReadHostFile(Host("dst.bin")));
}

TEST_F(CopyMove, CopiesKeepHolesAndEveryByte) {
  // Data, a 64 MiB hole, data, and a hole at the end.
  const std::string head(300000, 'h'), tail(5000, 't');
  {
    const int fd = ::open(Host("sparse").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(static_cast<ssize_t>(head.size()), ::pwrite(fd, head.data(), head.size(), 0));
    ASSERT_EQ(static_cast<ssize_t>(tail.size()), ::pwrite(fd, tail.data(), tail.size(), 64 << 20));
    ASSERT_EQ(0, ::ftruncate(fd, (64 << 20) + (8 << 20)));
    ::close(fd);
  }
  struct stat source;
  ASSERT_EQ(0, ::stat(Host("sparse").c_str(), &source));
  for (const bool offload : {true, false}) {
    SCOPED_TRACE(offload ? "copy_file_range" : "read and write");
    if (!offload) sys::InjectFault(sys::Call::copy_file_range, 1, EXDEV, true);
    ::unlink(Host("copy").c_str());
    ASSERT_TRUE(CopyFileA(Win("sparse").c_str(), Win("copy").c_str(), TRUE));
    sys::ClearFaults();
    struct stat copy;
    ASSERT_EQ(0, ::stat(Host("copy").c_str(), &copy));
    EXPECT_EQ(source.st_size, copy.st_size);
    // The hole stays a hole: nowhere near 72 MiB is allocated.
    EXPECT_LT(copy.st_blocks * 512, 4 << 20);
    EXPECT_EQ(ReadHostFile(Host("sparse")), ReadHostFile(Host("copy")));
  }
}

TEST_F(CopyMove, CopyExCopiesALinkAsALinkWhenAsked) {
  std::filesystem::create_directory(Host("dir"));
  ASSERT_EQ(0, ::symlink(Host("dir").c_str(), Host("link").c_str()));
  ASSERT_TRUE(CopyFileExA(Win("link").c_str(), Win("copy").c_str(), nullptr, nullptr, nullptr,
                          COPY_FILE_COPY_SYMLINK));
  EXPECT_TRUE(std::filesystem::is_symlink(Host("copy")));
  EXPECT_EQ(std::filesystem::read_symlink(Host("link")),
            std::filesystem::read_symlink(Host("copy")));
  EXPECT_FALSE(CopyFileExA(Win("link").c_str(), Win("copy").c_str(), nullptr, nullptr, nullptr,
                           COPY_FILE_COPY_SYMLINK | COPY_FILE_FAIL_IF_EXISTS));
  EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_EXISTS), GetLastError());
  // Without the flag the link is followed, and a folder cannot be copied.
  EXPECT_FALSE(
      CopyFileExA(Win("link").c_str(), Win("other").c_str(), nullptr, nullptr, nullptr, 0));
  // A plain file is copied by content either way.
  ASSERT_TRUE(CopyFileExA(Win("src.bin").c_str(), Win("plain").c_str(), nullptr, nullptr, nullptr,
                          COPY_FILE_COPY_SYMLINK));
  EXPECT_EQ(source_data_, ReadHostFile(Host("plain")));
}

TEST_F(CopyMove, CopyRefusals) {
  WriteHostFile(Host("old"), "old");
  EXPECT_FALSE(CopyFileA(Win("src.bin").c_str(), Win("old").c_str(), TRUE));
  EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_EXISTS), GetLastError());
  EXPECT_EQ("old", ReadHostFile(Host("old")));
  ASSERT_TRUE(CopyFileA(Win("src.bin").c_str(), Win("old").c_str(), FALSE));
  EXPECT_EQ(source_data_, ReadHostFile(Host("old")));

  EXPECT_FALSE(CopyFileA(Win("none").c_str(), Win("x").c_str(), FALSE));
  EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), GetLastError());
  EXPECT_FALSE(CopyFileA(Win("src.bin").c_str(), Win("nodir/x").c_str(), FALSE));
  EXPECT_EQ(static_cast<DWORD>(ERROR_PATH_NOT_FOUND), GetLastError());
  ASSERT_EQ(0, ::mkdir(Host("dir").c_str(), 0755));
  EXPECT_FALSE(CopyFileA(Win("dir").c_str(), Win("x").c_str(), FALSE));
  EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError());
  EXPECT_FALSE(CopyFileA(Win("src.bin").c_str(), Win("dir").c_str(), FALSE));
  EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError());
  WriteHostFile(Host("ro"), "ro");
  ASSERT_TRUE(SetFileAttributesA(Win("ro").c_str(), FILE_ATTRIBUTE_READONLY));
  EXPECT_FALSE(CopyFileA(Win("src.bin").c_str(), Win("ro").c_str(), FALSE));
  EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError());
  EXPECT_EQ("ro", ReadHostFile(Host("ro")));
}

TEST_F(CopyMove, InjectedWriteFailureLeavesNoPartialDestination) {
  WriteHostFile(Host("existing"), "keep me");
  const int before = testing::CountOpenFds();
  sys::InjectFault(sys::Call::copy_file_range, 2, ENOSPC);
  EXPECT_FALSE(CopyFileA(Win("src.bin").c_str(), Win("new").c_str(), FALSE));
  EXPECT_EQ(static_cast<DWORD>(ERROR_DISK_FULL), GetLastError());
  sys::ClearFaults();
  sys::InjectFault(sys::Call::copy_file_range, 1, EXDEV, true);
  sys::InjectFault(sys::Call::pwrite, 2, EIO);
  EXPECT_FALSE(CopyFileA(Win("src.bin").c_str(), Win("existing").c_str(), FALSE));
  EXPECT_EQ(static_cast<DWORD>(ERROR_IO_DEVICE), GetLastError());
  sys::ClearFaults();
  EXPECT_FALSE(HostExists(Host("new")));
  EXPECT_EQ("keep me", ReadHostFile(Host("existing")));
  EXPECT_EQ((std::vector<std::string>{"existing", "src.bin"}), HostNames(dir_.path()));
  EXPECT_EQ(before, testing::CountOpenFds());
}

// Every system call of a copy failing in turn, once: each run ends in
// success with the whole copy, or in failure with the destination
// untouched, no temporary file and no descriptor left open.
TEST_F(CopyMove, EveryFailingCallEndsCleanly) {
  const sys::Call calls[] = {
      sys::Call::open,      sys::Call::openat,       sys::Call::statx,
      sys::Call::lseek,     sys::Call::ftruncate,    sys::Call::copy_file_range,
      sys::Call::fchmod,    sys::Call::futimens,     sys::Call::close,
      sys::Call::renameat2, sys::Call::posix_fadvise};
  int before = testing::CountOpenFds();
  for (const bool fail_if_exists : {false, true}) {
    for (const sys::Call call : calls) {
      for (int nth = 1; nth < 20; ++nth) {
        SCOPED_TRACE(::testing::Message() << "call " << static_cast<int>(call) << " #" << nth
                                          << (fail_if_exists ? " new" : " replace"));
        const std::string dest = fail_if_exists ? "fresh" : "existing";
        WriteHostFile(Host("existing"), "keep me");
        ::unlink(Host("fresh").c_str());
        sys::InjectFault(call, nth, EIO);
        const BOOL ok = CopyFileA(Win("src.bin").c_str(), Win(dest).c_str(), fail_if_exists);
        const DWORD error = GetLastError();
        const bool fired = sys::FaultsFired() > 0;
        sys::ClearFaults();
        if (ok) {
          EXPECT_EQ(source_data_, ReadHostFile(Host(dest)));
        } else {
          EXPECT_NE(static_cast<DWORD>(ERROR_SUCCESS), error);
          EXPECT_EQ("keep me", ReadHostFile(Host("existing")));
          EXPECT_FALSE(HostExists(Host("fresh")));
        }
        std::vector<std::string> expected = {"existing", "src.bin"};
        if (ok && fail_if_exists) expected = {"existing", "fresh", "src.bin"};
        EXPECT_EQ(expected, HostNames(dir_.path()));
        EXPECT_EQ(before, testing::CountOpenFds());
        if (!fired) break;
      }
    }
  }
}

TEST_F(CopyMove, MoveWithinAVolume) {
  ASSERT_TRUE(MoveFileExA(Win("src.bin").c_str(), Win("moved.bin").c_str(),
                          MOVEFILE_COPY_ALLOWED | MOVEFILE_WRITE_THROUGH));
  EXPECT_FALSE(HostExists(Host("src.bin")));
  EXPECT_EQ(source_data_, ReadHostFile(Host("moved.bin")));
  // Without MOVEFILE_REPLACE_EXISTING an existing name stays as it was.
  WriteHostFile(Host("other"), "other");
  EXPECT_FALSE(MoveFileExA(Win("moved.bin").c_str(), Win("other").c_str(), MOVEFILE_COPY_ALLOWED));
  EXPECT_EQ(static_cast<DWORD>(ERROR_ALREADY_EXISTS), GetLastError());
  EXPECT_EQ("other", ReadHostFile(Host("other")));
  EXPECT_TRUE(HostExists(Host("moved.bin")));
  ASSERT_TRUE(MoveFileExA(Win("moved.bin").c_str(), Win("other").c_str(),
                          MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED));
  EXPECT_EQ(source_data_, ReadHostFile(Host("other")));
  EXPECT_FALSE(HostExists(Host("moved.bin")));
  // A move onto itself changes nothing.
  EXPECT_TRUE(MoveFileExA(Win("other").c_str(), Win("other").c_str(), 0));
  EXPECT_TRUE(HostExists(Host("other")));
}

TEST_F(CopyMove, MoveRefusals) {
  EXPECT_FALSE(MoveFileA(Win("none").c_str(), Win("x").c_str()));
  EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), GetLastError());
  EXPECT_FALSE(MoveFileA(Win("nodir/none").c_str(), Win("x").c_str()));
  EXPECT_EQ(static_cast<DWORD>(ERROR_PATH_NOT_FOUND), GetLastError());
  EXPECT_FALSE(MoveFileA(Win("src.bin").c_str(), Win("nodir/x").c_str()));
  EXPECT_EQ(static_cast<DWORD>(ERROR_PATH_NOT_FOUND), GetLastError());
  ASSERT_EQ(0, ::mkdir(Host("dir").c_str(), 0755));
  EXPECT_FALSE(MoveFileExA(Win("src.bin").c_str(), Win("dir").c_str(), MOVEFILE_REPLACE_EXISTING));
  EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError());
  WriteHostFile(Host("ro"), "ro");
  ASSERT_TRUE(SetFileAttributesA(Win("ro").c_str(), FILE_ATTRIBUTE_READONLY));
  EXPECT_FALSE(MoveFileExA(Win("src.bin").c_str(), Win("ro").c_str(), MOVEFILE_REPLACE_EXISTING));
  EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError());
  EXPECT_TRUE(HostExists(Host("src.bin")));
  // Folders move by name; into themselves they cannot.
  ASSERT_TRUE(MoveFileA(Win("dir").c_str(), Win("dir2").c_str()));
  EXPECT_FALSE(MoveFileA(Win("dir2").c_str(), Win("dir2/inside").c_str()));
  EXPECT_TRUE(HostExists(Host("dir2")));
  EXPECT_FALSE(MoveFileExA(Win("src.bin").c_str(), Win("x").c_str(), MOVEFILE_DELAY_UNTIL_REBOOT));
  EXPECT_EQ(static_cast<DWORD>(ERROR_NOT_SUPPORTED), GetLastError());
}

TEST_F(CopyMove, NoReplaceFallsBackToLinkWhereUnsupported) {
  sys::InjectFault(sys::Call::renameat2, 1, EINVAL);
  ASSERT_TRUE(MoveFileExA(Win("src.bin").c_str(), Win("moved").c_str(), 0));
  sys::ClearFaults();
  EXPECT_FALSE(HostExists(Host("src.bin")));
  EXPECT_EQ(source_data_, ReadHostFile(Host("moved")));
  WriteHostFile(Host("taken"), "taken");
  sys::InjectFault(sys::Call::renameat2, 1, EINVAL);
  EXPECT_FALSE(MoveFileExA(Win("moved").c_str(), Win("taken").c_str(), 0));
  EXPECT_EQ(static_cast<DWORD>(ERROR_ALREADY_EXISTS), GetLastError());
  sys::ClearFaults();
  EXPECT_EQ("taken", ReadHostFile(Host("taken")));
  EXPECT_TRUE(HostExists(Host("moved")));
}

TEST_F(CopyMove, MoveAcrossVolumesCopiesThenDeletes) {
  // The file systems answer EXDEV as for another volume.
  sys::InjectFault(sys::Call::renameat2, 1, EXDEV);
  EXPECT_FALSE(MoveFileExA(Win("src.bin").c_str(), Win("far").c_str(), 0));
  EXPECT_EQ(static_cast<DWORD>(ERROR_NOT_SAME_DEVICE), GetLastError());
  sys::ClearFaults();
  EXPECT_TRUE(HostExists(Host("src.bin")));
  EXPECT_FALSE(HostExists(Host("far")));

  sys::InjectFault(sys::Call::renameat2, 1, EXDEV);
  ASSERT_TRUE(MoveFileExA(Win("src.bin").c_str(), Win("far").c_str(),
                          MOVEFILE_COPY_ALLOWED | MOVEFILE_WRITE_THROUGH));
  sys::ClearFaults();
  EXPECT_FALSE(HostExists(Host("src.bin")));
  EXPECT_EQ(source_data_, ReadHostFile(Host("far")));

  // A failed copy never costs the source.
  const int before = testing::CountOpenFds();
  sys::InjectFault(sys::Call::rename, 1, EXDEV);
  sys::InjectFault(sys::Call::copy_file_range, 1, ENOSPC);
  WriteHostFile(Host("target"), "target");
  EXPECT_FALSE(MoveFileExA(Win("far").c_str(), Win("target").c_str(),
                           MOVEFILE_COPY_ALLOWED | MOVEFILE_REPLACE_EXISTING));
  EXPECT_EQ(static_cast<DWORD>(ERROR_DISK_FULL), GetLastError());
  sys::ClearFaults();
  EXPECT_EQ(source_data_, ReadHostFile(Host("far")));
  EXPECT_EQ("target", ReadHostFile(Host("target")));
  EXPECT_EQ((std::vector<std::string>{"far", "target"}), HostNames(dir_.path()));
  EXPECT_EQ(before, testing::CountOpenFds());

  // A folder does not move to another volume.
  ASSERT_EQ(0, ::mkdir(Host("dir").c_str(), 0755));
  sys::InjectFault(sys::Call::renameat2, 1, EXDEV);
  EXPECT_FALSE(MoveFileA(Win("dir").c_str(), Win("dir2").c_str()));
  EXPECT_EQ(static_cast<DWORD>(ERROR_NOT_SAME_DEVICE), GetLastError());
  sys::ClearFaults();
}

// One file under two spellings: through a linked folder and through two
// drives mapped onto overlapping folders. A move onto the other spelling
// must keep the file; a copy onto itself is a sharing violation.
TEST_F(CopyMove, AnotherNameOfTheSameEntryNeverCostsTheFile) {
  ASSERT_EQ(0, ::mkdir(Host("data").c_str(), 0755));
  ASSERT_EQ(0, ::symlink(Host("data").c_str(), Host("alias").c_str()));
  WriteHostFile(Host("data/x.txt"), "precious");
  ASSERT_EQ(0, ::symlink(Host("data/x.txt").c_str(), Host("data/to_x").c_str()));
  const DWORD flags = MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED | MOVEFILE_WRITE_THROUGH;
  EXPECT_TRUE(MoveFileExA(Win("data/x.txt").c_str(), Win("alias/x.txt").c_str(), flags));
  EXPECT_TRUE(MoveFileExA(Win("data/x.txt").c_str(), Win("alias/x.txt").c_str(), 0));
  EXPECT_EQ("precious", ReadHostFile(Host("data/x.txt")));
  for (const char* other : {"alias/x.txt", "data/x.txt", "data/to_x"}) {
    for (const BOOL fail_if_exists : {FALSE, TRUE}) {
      EXPECT_FALSE(CopyFileA(Win("data/x.txt").c_str(), Win(other).c_str(), fail_if_exists));
      EXPECT_EQ(static_cast<DWORD>(fail_if_exists ? ERROR_FILE_EXISTS : ERROR_SHARING_VIOLATION),
                GetLastError())
          << other;
    }
  }
  EXPECT_EQ("precious", ReadHostFile(Host("data/x.txt")));
  EXPECT_TRUE(std::filesystem::is_symlink(Host("data/to_x").c_str()));
  {
    testing::ScopedStore store(testing::StoreText({{"T:", dir_.path()}, {"U:", Host("alias")}}));
    files::ReloadNamespace();
    EXPECT_TRUE(MoveFileExA("T:\\data\\x.txt", "U:\\x.txt", flags));
    EXPECT_TRUE(MoveFileExA("U:\\x.txt", "T:\\alias\\x.txt", flags));
    EXPECT_FALSE(CopyFileA("U:\\x.txt", "T:\\data\\x.txt", FALSE));
    EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), GetLastError());
  }
  files::ReloadNamespace();
  EXPECT_EQ("precious", ReadHostFile(Host("data/x.txt")));
  EXPECT_EQ((std::vector<std::string>{"to_x", "x.txt"}), HostNames(Host("data")));
}

// Two hard links are two names: a move onto the other removes the source's
// name and keeps the file under the destination's, also when the names
// differ only in case.
TEST_F(CopyMove, AMoveOntoAnotherHardLinkRemovesOnlyTheSourceName) {
  ASSERT_EQ(0, ::mkdir(Host("a").c_str(), 0755));
  ASSERT_EQ(0, ::link(Host("src.bin").c_str(), Host("a/f").c_str()));
  ASSERT_EQ(0, ::link(Host("src.bin").c_str(), Host("SRC.BIN").c_str()));
  EXPECT_FALSE(MoveFileExA(Win("src.bin").c_str(), Win("SRC.BIN").c_str(), 0));
  EXPECT_EQ(static_cast<DWORD>(ERROR_ALREADY_EXISTS), GetLastError());
  ASSERT_TRUE(MoveFileExA(Win("src.bin").c_str(), Win("SRC.BIN").c_str(),
                          MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH));
  EXPECT_EQ((std::vector<std::string>{"SRC.BIN", "a"}), HostNames(dir_.path()));
  ASSERT_TRUE(MoveFileExA(Win("a/f").c_str(), Win("SRC.BIN").c_str(), MOVEFILE_REPLACE_EXISTING));
  EXPECT_TRUE(HostNames(Host("a")).empty());
  EXPECT_EQ(source_data_, ReadHostFile(Host("SRC.BIN")));
  struct stat st;
  ASSERT_EQ(0, ::stat(Host("SRC.BIN").c_str(), &st));
  EXPECT_EQ(1u, st.st_nlink);
}

// The decision for a source and destination of one device and inode.
// A file system that ignores case lists one entry for "a.txt" and "A.TXT";
// the entry is renamed, never unlinked.
TEST_F(CopyMove, SameFileMovesRenameOrKeepButNeverUnlinkTheOnlyName) {
  using files::SameFileMove;
  EXPECT_EQ(SameFileMove::kNothing, files::DecideSameFileMove(true, "x", "x", false, 1));
  EXPECT_EQ(SameFileMove::kNothing, files::DecideSameFileMove(true, "x", "x", true, 2));
  EXPECT_EQ(SameFileMove::kRenameEntry,
            files::DecideSameFileMove(true, "a.txt", "A.TXT", false, 1));
  EXPECT_EQ(SameFileMove::kRenameEntry,
            files::DecideSameFileMove(true, "a.txt", "A.TXT", false, 3));
  EXPECT_EQ(SameFileMove::kRemoveSourceName,
            files::DecideSameFileMove(true, "a.txt", "A.TXT", true, 2));
  EXPECT_EQ(SameFileMove::kRemoveSourceName, files::DecideSameFileMove(false, "x", "x", false, 2));
  EXPECT_EQ(SameFileMove::kNothing, files::DecideSameFileMove(false, "x", "x", false, 1));
  EXPECT_EQ(SameFileMove::kNothing, files::DecideSameFileMove(true, "a", "b", true, 1));
}

// A link moved or copied (as a link) over the item it points at would
// leave a link to itself where the item's contents were.
TEST_F(CopyMove, ALinkNeverReplacesItsOwnTarget) {
  ASSERT_EQ(0, ::symlink(Host("src.bin").c_str(), Host("link").c_str()));
  ASSERT_EQ(0, ::mkdir(Host("dir").c_str(), 0755));
  ASSERT_EQ(0, ::symlink("dir", Host("dirlink").c_str()));
  for (const DWORD flags : {0u, 1u * MOVEFILE_REPLACE_EXISTING}) {
    EXPECT_FALSE(MoveFileExA(Win("link").c_str(), Win("src.bin").c_str(), flags));
    EXPECT_EQ(static_cast<DWORD>(ERROR_CANT_RESOLVE_FILENAME), GetLastError());
    EXPECT_FALSE(MoveFileExA(Win("dirlink").c_str(), Win("dir").c_str(), flags));
    EXPECT_EQ(static_cast<DWORD>(ERROR_CANT_RESOLVE_FILENAME), GetLastError());
  }
  EXPECT_FALSE(CopyFileExA(Win("link").c_str(), Win("src.bin").c_str(), nullptr, nullptr, nullptr,
                           COPY_FILE_COPY_SYMLINK));
  EXPECT_EQ(static_cast<DWORD>(ERROR_CANT_RESOLVE_FILENAME), GetLastError());
  EXPECT_FALSE(CopyFileExA(Win("link").c_str(), Win("link").c_str(), nullptr, nullptr, nullptr,
                           COPY_FILE_COPY_SYMLINK));
  EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), GetLastError());
  EXPECT_EQ(source_data_, ReadHostFile(Host("src.bin")));
  EXPECT_TRUE(std::filesystem::is_symlink(Host("link")));
  EXPECT_TRUE(std::filesystem::is_directory(Host("dir")) &&
              !std::filesystem::is_symlink(Host("dir")));
  EXPECT_EQ((std::vector<std::string>{"dir", "dirlink", "link", "src.bin"}),
            HostNames(dir_.path()));
}

// A pipe, a socket or a device is no file to copy: refused at once, never
// read for ever or waited on.
TEST_F(CopyMove, OnlyRegularFilesAreCopied) {
  ASSERT_EQ(0, ::mkfifo(Host("fifo").c_str(), 0644));
  EXPECT_FALSE(CopyFileA(Win("fifo").c_str(), Win("copy").c_str(), FALSE));
  EXPECT_EQ(static_cast<DWORD>(ERROR_CANT_ACCESS_FILE), GetLastError());
  {
    testing::ScopedStore store(testing::StoreText({{"T:", dir_.path()}, {"D:", "/dev"}}));
    files::ReloadNamespace();
    EXPECT_FALSE(CopyFileA("D:\\zero", "T:\\zero", FALSE));
    EXPECT_EQ(static_cast<DWORD>(ERROR_CANT_ACCESS_FILE), GetLastError());
  }
  files::ReloadNamespace();
  EXPECT_EQ((std::vector<std::string>{"fifo", "src.bin"}), HostNames(dir_.path()));
}

// A real second volume where the host has one: /dev/shm is a tmpfs.
TEST_F(CopyMove, MoveToAnotherRealVolume) {
  char shm_template[] = "/dev/shm/tessary-move-XXXXXX";
  if (::mkdtemp(shm_template) == nullptr) GTEST_SKIP() << "no /dev/shm";
  const std::string shm = shm_template;
  struct stat a;
  struct stat b;
  ASSERT_EQ(0, ::stat(dir_.path().c_str(), &a));
  ASSERT_EQ(0, ::stat(shm.c_str(), &b));
  if (a.st_dev == b.st_dev) {
    ::rmdir(shm.c_str());
    GTEST_SKIP() << "/dev/shm is on the same volume";
  }
  {
    testing::ScopedStore store(testing::StoreText({{"T:", dir_.path()}, {"M:", shm}}));
    files::ReloadNamespace();
    ASSERT_TRUE(MoveFileExA("T:\\src.bin", "M:\\moved.bin",
                            MOVEFILE_COPY_ALLOWED | MOVEFILE_WRITE_THROUGH));
    EXPECT_FALSE(HostExists(Host("src.bin")));
    EXPECT_EQ(source_data_, ReadHostFile(shm + "/moved.bin"));
    WriteHostFile(Host("back"), "x");
    EXPECT_FALSE(MoveFileExA("T:\\back", "M:\\moved.bin", MOVEFILE_COPY_ALLOWED));
    EXPECT_EQ(static_cast<DWORD>(ERROR_ALREADY_EXISTS), GetLastError());
    EXPECT_TRUE(HostExists(Host("back")));
    EXPECT_FALSE(MoveFileA("T:\\back", "M:\\"));
  }
  std::error_code ec;
  std::filesystem::remove_all(shm, ec);
  files::ReloadNamespace();
}

}  // namespace
}  // namespace tessary
