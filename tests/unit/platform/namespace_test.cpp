// Drive letters, shares and special folders as the configuration store maps
// them to host folders, and the services that report them.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstring>
#include <string>

#include "unit/platform/file_fixture.h"

namespace tessary {
namespace {

using files::HostPath;
using files::PathUse;
using testing::ScopedStore;
using testing::StoreText;
using testing::TempDir;

// Changes the process's current folder for one test.
class ScopedCwd {
 public:
  explicit ScopedCwd(const std::string& folder) {
    char buffer[PATH_MAX];
    if (::getcwd(buffer, sizeof(buffer)) != nullptr) old_ = buffer;
    EXPECT_EQ(0, ::chdir(folder.c_str())) << folder;
  }
  ~ScopedCwd() {
    if (!old_.empty()) {
      EXPECT_EQ(0, ::chdir(old_.c_str()));
    }
  }

 private:
  std::string old_;
};

class Namespace : public ::testing::Test {
 protected:
  Namespace()
      : store_(StoreText({{"Q:", dir_.path() + "/q"},
                          {"r", dir_.path() + "/q/inner/"},
                          {"S:", "\\\\srv\\data"},
                          {"not a drive", "/x"},
                          {"V:", "relative/folder"}},
                         {{"\\\\srv\\data", dir_.path() + "/share"}, {"\\\\broken", "/x"}},
                         {{"Temp", dir_.path() + "/q/temp"}})) {
    ::mkdir((dir_.path() + "/q").c_str(), 0755);
    ::mkdir((dir_.path() + "/q/inner").c_str(), 0755);
    ::mkdir((dir_.path() + "/share").c_str(), 0755);
  }
  void SetUp() override { files::ReloadNamespace(); }
  void TearDown() override { files::ReloadNamespace(); }

  DWORD Resolve(const std::string& path, std::string* host, PathUse use = PathUse::kName) {
    HostPath out;
    const DWORD error = files::ResolvePath(path.c_str(), use, &out);
    if (host != nullptr) *host = out.host;
    return error;
  }

  TempDir dir_;
  ScopedStore store_;
};

TEST_F(Namespace, DriveLettersMapToTheirFolders) {
  std::string host;
  ASSERT_EQ(ERROR_SUCCESS, Resolve("Q:\\a\\b.txt", &host));
  EXPECT_EQ(dir_.path() + "/q/a/b.txt", host);
  ASSERT_EQ(ERROR_SUCCESS, Resolve("q:/a/./c/../b.txt", &host));
  EXPECT_EQ(dir_.path() + "/q/a/b.txt", host);
  ASSERT_EQ(ERROR_SUCCESS, Resolve("R:\\x", &host));
  EXPECT_EQ(dir_.path() + "/q/inner/x", host);
  ASSERT_EQ(ERROR_SUCCESS, Resolve("Q:\\", &host));
  EXPECT_EQ(dir_.path() + "/q", host);
  ASSERT_EQ(ERROR_SUCCESS, Resolve("Q:\\dir\\", &host));
  EXPECT_EQ(dir_.path() + "/q/dir/", host);
  // ".." never climbs out of the drive's folder.
  ASSERT_EQ(ERROR_SUCCESS, Resolve("Q:\\..\\..\\etc\\passwd", &host));
  EXPECT_EQ(dir_.path() + "/q/etc/passwd", host);
}

TEST_F(Namespace, SharesAndNetworkDrives) {
  std::string host;
  ASSERT_EQ(ERROR_SUCCESS, Resolve("\\\\srv\\data\\f.txt", &host));
  EXPECT_EQ(dir_.path() + "/share/f.txt", host);
  ASSERT_EQ(ERROR_SUCCESS, Resolve("//SRV/Data/f.txt", &host));
  EXPECT_EQ(dir_.path() + "/share/f.txt", host);
  ASSERT_EQ(ERROR_SUCCESS, Resolve("S:\\f.txt", &host));
  EXPECT_EQ(dir_.path() + "/share/f.txt", host);
  EXPECT_EQ(ERROR_BAD_NETPATH, Resolve("\\\\other\\data\\f.txt", nullptr));
  EXPECT_EQ(ERROR_BAD_NETPATH, Resolve("\\\\srv", nullptr));
  EXPECT_EQ(ERROR_BAD_NETPATH, Resolve("\\\\broken\\x", nullptr));
}

TEST_F(Namespace, RefusalsAsWindowsWordsThem) {
  // With drives configured, C: is not implied; unmapped letters have no path.
  EXPECT_EQ(ERROR_PATH_NOT_FOUND, Resolve("C:\\x", nullptr));
  EXPECT_EQ(ERROR_PATH_NOT_FOUND, Resolve("V:\\x", nullptr));
  EXPECT_EQ(ERROR_PATH_NOT_FOUND, Resolve("", nullptr));
  EXPECT_EQ(ERROR_INVALID_NAME, Resolve("Q:\\a<b", nullptr));
  EXPECT_EQ(ERROR_INVALID_NAME, Resolve("Q:\\a|b\\c", nullptr));
  EXPECT_EQ(ERROR_INVALID_NAME, Resolve("Q:\\file.txt:stream", nullptr));
  EXPECT_EQ(ERROR_INVALID_NAME, Resolve("Q:\\a*b", nullptr));
  EXPECT_EQ(ERROR_INVALID_NAME, Resolve("Q:\\a*\\b", nullptr, PathUse::kPattern));
  EXPECT_EQ(ERROR_SUCCESS, Resolve("Q:\\a\\b*", nullptr, PathUse::kPattern));
}

TEST_F(Namespace, PathLengthLimitIsNeverTruncated) {
  // 259 bytes are accepted, 260 refused, whatever the host path's length.
  std::string path = "Q:\\" + std::string(100, 'a') + "\\" + std::string(100, 'b') + "\\";
  path += std::string(259 - path.size(), 'c');
  ASSERT_EQ(259u, path.size());
  EXPECT_EQ(ERROR_SUCCESS, Resolve(path, nullptr));
  EXPECT_EQ(ERROR_FILENAME_EXCED_RANGE, Resolve(path + "c", nullptr));
  SetLastError(0);
  EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesA((path + "c").c_str()));
  EXPECT_EQ(static_cast<DWORD>(ERROR_FILENAME_EXCED_RANGE), GetLastError());
  EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesA(path.c_str()));
  EXPECT_EQ(static_cast<DWORD>(ERROR_PATH_NOT_FOUND), GetLastError());

  // A short relative name whose full path is too long is refused as well.
  const std::string deep = dir_.path() + "/q/" + std::string(200, 'd');
  ASSERT_EQ(0, ::mkdir(deep.c_str(), 0755));
  ScopedCwd cwd(deep);
  EXPECT_EQ(ERROR_SUCCESS, Resolve(std::string(50, 'e'), nullptr));
  EXPECT_EQ(ERROR_FILENAME_EXCED_RANGE, Resolve(std::string(60, 'e'), nullptr));
}

TEST_F(Namespace, CurrentDirectoryOnTheLongestMappedFolder) {
  char buffer[MAX_PATH];
  {
    ScopedCwd cwd(dir_.path() + "/q/inner");
    ASSERT_EQ(3u, GetCurrentDirectoryA(sizeof(buffer), buffer));
    EXPECT_STREQ("R:\\", buffer);
    std::string host;
    ASSERT_EQ(ERROR_SUCCESS, Resolve("x.txt", &host));
    EXPECT_EQ(dir_.path() + "/q/inner/x.txt", host);
  }
  {
    ScopedCwd cwd(dir_.path() + "/q");
    ::mkdir((dir_.path() + "/q/sub").c_str(), 0755);
    ScopedCwd sub(dir_.path() + "/q/sub");
    ASSERT_EQ(6u, GetCurrentDirectoryA(sizeof(buffer), buffer));
    EXPECT_STREQ("Q:\\sub", buffer);
    // Too small: the size needed, terminator included, and nothing written.
    std::memset(buffer, 'z', sizeof(buffer));
    EXPECT_EQ(7u, GetCurrentDirectoryA(6, buffer));
    EXPECT_EQ('z', buffer[0]);
  }
  {
    ScopedCwd cwd(dir_.path() + "/share");
    ASSERT_NE(0u, GetCurrentDirectoryA(sizeof(buffer), buffer));
    EXPECT_STREQ("S:\\", buffer);
  }
  {
    // Outside every mapped folder the process has no Windows current folder.
    ScopedCwd cwd("/");
    SetLastError(0);
    EXPECT_EQ(0u, GetCurrentDirectoryA(sizeof(buffer), buffer));
    EXPECT_EQ(static_cast<DWORD>(ERROR_PATH_NOT_FOUND), GetLastError());
    EXPECT_EQ(ERROR_PATH_NOT_FOUND, Resolve("relative", nullptr));
    EXPECT_EQ(ERROR_SUCCESS, Resolve("Q:\\absolute", nullptr));
  }
}

TEST_F(Namespace, HostToWindows) {
  std::string win;
  ASSERT_TRUE(files::HostToWindows(dir_.path() + "/q/a/b", &win));
  EXPECT_EQ("Q:\\a\\b", win);
  ASSERT_TRUE(files::HostToWindows(dir_.path() + "/q/inner", &win));
  EXPECT_EQ("R:\\", win);
  ASSERT_TRUE(files::HostToWindows(dir_.path() + "//q/./x/", &win));
  EXPECT_EQ("Q:\\x", win);
  EXPECT_FALSE(files::HostToWindows("/", &win));
  EXPECT_FALSE(files::HostToWindows(dir_.path() + "/qq", &win));
  EXPECT_FALSE(files::HostToWindows(dir_.path() + "/q/back\\slash", &win));
  EXPECT_FALSE(files::HostToWindows("relative", &win));
}

TEST_F(Namespace, LogicalDrivesAndTheirTypes) {
  char buffer[64];
  std::memset(buffer, 'z', sizeof(buffer));
  ASSERT_EQ(12u, GetLogicalDriveStringsA(sizeof(buffer), buffer));
  EXPECT_EQ(0, std::memcmp("Q:\\\0R:\\\0S:\\\0\0", buffer, 13));
  EXPECT_EQ(13u, GetLogicalDriveStringsA(12, buffer));
  EXPECT_EQ(13u, GetLogicalDriveStringsA(0, nullptr));

  EXPECT_EQ(static_cast<UINT>(DRIVE_FIXED), GetDriveTypeA("Q:\\"));
  EXPECT_EQ(static_cast<UINT>(DRIVE_FIXED), GetDriveTypeA("q:"));
  EXPECT_EQ(static_cast<UINT>(DRIVE_REMOTE), GetDriveTypeA("S:\\"));
  EXPECT_EQ(static_cast<UINT>(DRIVE_REMOTE), GetDriveTypeA("\\\\srv\\data\\"));
  EXPECT_EQ(static_cast<UINT>(DRIVE_NO_ROOT_DIR), GetDriveTypeA("\\\\srv\\nope\\"));
  EXPECT_EQ(static_cast<UINT>(DRIVE_NO_ROOT_DIR), GetDriveTypeA("Z:\\"));
  EXPECT_EQ(static_cast<UINT>(DRIVE_NO_ROOT_DIR), GetDriveTypeA("Q:\\inner"));
  EXPECT_EQ(static_cast<UINT>(DRIVE_NO_ROOT_DIR), GetDriveTypeA("Q"));
  // A mapped folder that is missing is a drive without a root.
  ASSERT_EQ(0, ::rmdir((dir_.path() + "/q/inner").c_str()));
  EXPECT_EQ(static_cast<UINT>(DRIVE_NO_ROOT_DIR), GetDriveTypeA("R:\\"));
  SetLastError(0);
  EXPECT_FALSE(GetVolumeInformationA("R:\\", nullptr, 0, nullptr, nullptr, nullptr, nullptr, 0));
  EXPECT_EQ(static_cast<DWORD>(ERROR_NOT_READY), GetLastError());
}

TEST_F(Namespace, NetworkConnectionOfADriveLetter) {
  char remote[64];
  DWORD size = sizeof(remote);
  ASSERT_EQ(static_cast<DWORD>(NO_ERROR), WNetGetConnectionA("s:", remote, &size));
  EXPECT_STREQ("\\\\srv\\data", remote);
  size = 4;
  EXPECT_EQ(static_cast<DWORD>(ERROR_MORE_DATA), WNetGetConnectionA("S:", remote, &size));
  EXPECT_EQ(11u, size);
  size = sizeof(remote);
  EXPECT_EQ(static_cast<DWORD>(ERROR_NOT_CONNECTED), WNetGetConnectionA("Q:", remote, &size));
  EXPECT_EQ(static_cast<DWORD>(ERROR_NOT_CONNECTED), WNetGetConnectionA("Z:", remote, &size));
  EXPECT_EQ(static_cast<DWORD>(ERROR_BAD_DEVICE), WNetGetConnectionA("Q:\\", remote, &size));
}

TEST_F(Namespace, SpecialFoldersFromTheStore) {
  char buffer[MAX_PATH];
  ASSERT_EQ(8u, GetTempPathA(sizeof(buffer), buffer));
  EXPECT_STREQ("Q:\\temp\\", buffer);
  EXPECT_EQ(9u, GetTempPathA(8, buffer));
  // The defaults /etc and /usr/lib lie outside every mapped folder here.
  SetLastError(0);
  EXPECT_EQ(0u, GetWindowsDirectoryA(buffer, sizeof(buffer)));
  EXPECT_EQ(static_cast<DWORD>(ERROR_PATH_NOT_FOUND), GetLastError());
  EXPECT_EQ(0u, GetSystemDirectoryA(buffer, sizeof(buffer)));
}

TEST(NamespaceDefaults, WithoutConfigurationCIsTheHostRoot) {
  ScopedStore store;  // an empty store
  files::ReloadNamespace();
  char buffer[MAX_PATH];
  ASSERT_EQ(4u, GetLogicalDriveStringsA(sizeof(buffer), buffer));
  EXPECT_EQ(0, std::memcmp("C:\\\0\0", buffer, 5));
  HostPath path;
  ASSERT_EQ(ERROR_SUCCESS, files::ResolvePath("C:\\etc\\hostname", PathUse::kName, &path));
  EXPECT_EQ("/etc/hostname", path.host);
  ASSERT_EQ(6u, GetWindowsDirectoryA(buffer, sizeof(buffer)));
  EXPECT_STREQ("C:\\etc", buffer);
  ASSERT_EQ(10u, GetSystemDirectoryA(buffer, sizeof(buffer)));
  EXPECT_STREQ("C:\\usr\\lib", buffer);
  const char* tmpdir = getenv("TMPDIR");
  std::string expected;
  ASSERT_TRUE(files::HostToWindows(tmpdir != nullptr ? tmpdir : "/tmp", &expected));
  ASSERT_NE(0u, GetTempPathA(sizeof(buffer), buffer));
  EXPECT_EQ(expected + "\\", buffer);
  EXPECT_EQ(static_cast<UINT>(DRIVE_FIXED), GetDriveTypeA(nullptr));
  files::ReloadNamespace();
}

// A store that is there but unusable maps nothing, not even the C: of a
// machine without one: each path names the store's failure instead.
TEST(NamespaceDefaults, AStoreThatCannotBeUsedMapsNoDrive) {
  TempDir dir;
  const std::string drives = StoreText({{"C:", dir.path()}});
  const struct {
    std::string text;
    int open_errno;
    DWORD expected;
  } cases[] = {
      {"[HKEY_LOCAL_MACHINE\\SOFTWARE]\n", 0, ERROR_BADDB},  // no header
      {drives + "\"Typo\"=dword:zz\n", 0, ERROR_BADDB},
      {drives, EACCES, ERROR_CANTREAD},
      {drives, EIO, ERROR_CANTREAD},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    ScopedStore store(c.text);
    files::ReloadNamespace();
    // The shares are read first: a fault on that read must not leave the drives readable.
    if (c.open_errno != 0) sys::InjectFault(sys::Call::open, 1, c.open_errno);
    HostPath path;
    EXPECT_EQ(c.expected, files::ResolvePath("C:\\etc\\hostname", PathUse::kName, &path));
    sys::ClearFaults();
    EXPECT_EQ("", path.host);
    EXPECT_EQ(c.expected, files::ResolvePath("\\\\srv\\data\\x", PathUse::kName, &path));
    char buffer[MAX_PATH];
    SetLastError(0);
    EXPECT_EQ(0u, GetTempPathA(sizeof(buffer), buffer));
    EXPECT_EQ(c.expected, GetLastError());
    EXPECT_EQ(0u, GetWindowsDirectoryA(buffer, sizeof(buffer)));
    EXPECT_EQ(0u, GetCurrentDirectoryA(sizeof(buffer), buffer));
    EXPECT_EQ(c.expected, GetLastError());
    EXPECT_FALSE(files::HostToWindows("/etc", &path.full));
  }
  files::ReloadNamespace();
}

TEST(NamespaceDefaults, FoldersMayBeWindowsPaths) {
  TempDir dir;
  ScopedStore store(StoreText({{"W:", dir.path()}}, {},
                              {{"Windows", "w:\\win\\"}, {"System", "W:\\win\\system32"}}));
  files::ReloadNamespace();
  char buffer[MAX_PATH];
  ASSERT_NE(0u, GetWindowsDirectoryA(buffer, sizeof(buffer)));
  EXPECT_STREQ("w:\\win", buffer);
  ASSERT_NE(0u, GetSystemDirectoryA(buffer, sizeof(buffer)));
  EXPECT_STREQ("W:\\win\\system32", buffer);
  files::ReloadNamespace();
}

TEST_F(Namespace, GetFullPathNameCases) {
  char buffer[MAX_PATH];
  char* part = nullptr;
  ASSERT_EQ(8u, GetFullPathNameA("Q:\\a\\..\\b.txt\\..\\c.txt", sizeof(buffer), buffer, &part));
  EXPECT_STREQ("Q:\\c.txt", buffer);
  ASSERT_NE(nullptr, part);
  EXPECT_STREQ("c.txt", part);

  ASSERT_EQ(5u, GetFullPathNameA("Q:/a/", sizeof(buffer), buffer, &part));
  EXPECT_STREQ("Q:\\a\\", buffer);
  EXPECT_EQ(nullptr, part);
  ASSERT_EQ(3u, GetFullPathNameA("Q:\\a\\..", sizeof(buffer), buffer, &part));
  EXPECT_STREQ("Q:\\", buffer);
  EXPECT_EQ(nullptr, part);

  // Too small: the size with the terminator.
  EXPECT_EQ(9u, GetFullPathNameA("Q:\\c.txt", 8, buffer, &part));
  EXPECT_EQ(9u, GetFullPathNameA("Q:\\c.txt", 0, nullptr, nullptr));

  // Unmapped drives and missing files are still only text.
  ASSERT_EQ(6u, GetFullPathNameA("Z:\\x\\y", sizeof(buffer), buffer, nullptr));

  {
    ScopedCwd cwd(dir_.path() + "/q/inner");
    ASSERT_EQ(8u, GetFullPathNameA("..\\f.txt", sizeof(buffer), buffer, &part));
    EXPECT_STREQ("R:\\f.txt", buffer);
    ASSERT_EQ(8u, GetFullPathNameA("r:f.txt", sizeof(buffer), buffer, &part));
    EXPECT_STREQ("R:\\f.txt", buffer);
    ASSERT_EQ(8u, GetFullPathNameA("Q:f.txt", sizeof(buffer), buffer, &part));
    EXPECT_STREQ("Q:\\f.txt", buffer);
    ASSERT_EQ(9u, GetFullPathNameA("\\f.txt\\", sizeof(buffer), buffer, &part));
    EXPECT_STREQ("R:\\f.txt\\", buffer);
  }
  SetLastError(0);
  EXPECT_EQ(0u, GetFullPathNameA("", sizeof(buffer), buffer, &part));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_NAME), GetLastError());
}

TEST_F(Namespace, VolumeInformationOfAMappedDrive) {
  char fs_name[32];
  char label[32] = "x";
  DWORD serial = 0;
  DWORD max_component = 0;
  DWORD flags = 0;
  ASSERT_TRUE(GetVolumeInformationA("Q:\\", label, sizeof(label), &serial, &max_component, &flags,
                                    fs_name, sizeof(fs_name)))
      << GetLastError();
  EXPECT_STREQ("", label);
  EXPECT_NE('\0', fs_name[0]);
  EXPECT_EQ(255u, max_component);
  EXPECT_NE(0u, flags & FILE_CASE_SENSITIVE_SEARCH);
  // The serial number is the one the files of the volume report.
  HANDLE dir = CreateFileA("Q:\\", 0, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                           FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, dir);
  BY_HANDLE_FILE_INFORMATION info;
  ASSERT_TRUE(GetFileInformationByHandle(dir, &info));
  EXPECT_EQ(info.dwVolumeSerialNumber, serial);
  EXPECT_TRUE(CloseHandle(dir));
  // The share of a network drive answers the same.
  ASSERT_TRUE(GetVolumeInformationA("\\\\srv\\data\\", nullptr, 0, nullptr, nullptr, nullptr,
                                    fs_name, sizeof(fs_name)));
  SetLastError(0);
  EXPECT_FALSE(
      GetVolumeInformationA("Q:\\x\\", nullptr, 0, nullptr, nullptr, nullptr, fs_name, 32));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_NAME), GetLastError());
  EXPECT_FALSE(GetVolumeInformationA("Q:\\", nullptr, 0, nullptr, nullptr, nullptr, fs_name, 2));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER), GetLastError());

  ULARGE_INTEGER available;
  ULARGE_INTEGER total;
  ULARGE_INTEGER free_bytes;
  ASSERT_TRUE(GetDiskFreeSpaceExA("Q:\\", &available, &total, &free_bytes));
  EXPECT_GT(total.QuadPart, 0u);
  EXPECT_LE(free_bytes.QuadPart, total.QuadPart);
  EXPECT_LE(available.QuadPart, free_bytes.QuadPart);
  DWORD spc = 0;
  DWORD bps = 0;
  DWORD free_clusters = 0;
  DWORD clusters = 0;
  ASSERT_TRUE(GetDiskFreeSpaceA("Q:\\", &spc, &bps, &free_clusters, &clusters));
  EXPECT_EQ(4096u, spc * bps);
  EXPECT_GT(clusters, 0u);
  EXPECT_FALSE(GetDiskFreeSpaceExA("Z:\\", &available, &total, &free_bytes));
  EXPECT_EQ(static_cast<DWORD>(ERROR_PATH_NOT_FOUND), GetLastError());
}

TEST(SystemVersion, ReportsAnNtSystem) {
  OSVERSIONINFOA info;
  std::memset(&info, 0xAB, sizeof(info));
  info.dwOSVersionInfoSize = sizeof(info);
  ASSERT_TRUE(GetVersionExA(&info));
  EXPECT_EQ(148u, info.dwOSVersionInfoSize);
  EXPECT_EQ(static_cast<DWORD>(VER_PLATFORM_WIN32_NT), info.dwPlatformId);
  EXPECT_EQ(6u, info.dwMajorVersion);
  EXPECT_STREQ("", info.szCSDVersion);
  info.dwOSVersionInfoSize = 100;
  EXPECT_FALSE(GetVersionExA(&info));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER), GetLastError());
}

// The plain drive path ("X:\a\b") is mapped without the general resolution;
// every text must get the same answer either way. Each path is checked
// against its spelling with "/" after the drive, which is the same path to
// the general resolution but never plain.
TEST(PlainPaths, AnswerAsTheGeneralResolutionDoes) {
  TempDir dir;
  std::string windows_dir = dir.path();
  for (char& c : windows_dir)
    if (c == '/') c = '\\';
  ScopedStore store(StoreText({{"Q:", dir.path() + "/q"}, {"U:", dir.path() + "/q"}, {"W:", "/"}}) +
                    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Quennel\\QN-Tessary\\Drives\\CaseSensitive]\n"
                    "\"U:\"=dword:00000001\n");
  files::ReloadNamespace();
  const std::string q = dir.path() + "/q";
  for (const char* folder : {"", "/Dir", "/Dir/Sub"})
    ASSERT_EQ(0, ::mkdir((q + folder).c_str(), 0755));
  for (const char* file : {"/Dir/File.txt", "/.hidden", "/ro.txt", "/caf\xC3\xA9.txt"})
    testing::WriteHostFile(q + file, "x");
  ASSERT_EQ(0, ::chmod((q + "/ro.txt").c_str(), 0444));
  ASSERT_EQ(0, ::symlink("Dir/File.txt", (q + "/link").c_str()));
  ASSERT_EQ(0, ::symlink("gone", (q + "/dangling").c_str()));
  std::string long_name = "Q:\\" + std::string(100, 'a') + "\\" + std::string(100, 'b') + "\\";
  long_name += std::string(259 - long_name.size(), 'c');

  struct Case {
    std::string path;
    bool plain;
    bool found;
  };
  const Case cases[] = {
      {"Q:\\Dir\\File.txt", true, true},
      {"q:\\dIR\\file.TXT", true, true},  // another case, on a drive that ignores it
      {"U:\\Dir\\File.txt", true, true},
      {"U:\\dir\\file.txt", true, false},  // not on a drive that keeps it
      {"Q:\\Dir\\Sub", true, true},
      {"Q:\\DIR\\SUB", true, true},
      {"Q:\\.hidden", true, true},
      {"Q:\\.HIDDEN", true, true},
      {"Q:\\ro.txt", true, true},
      {"Q:\\CAF\xC3\x89.txt", true, true},
      {"Q:\\link", true, true},
      {"Q:\\dangling", true, true},
      {"Q:\\missing", true, false},
      {"Q:\\missing\\x", true, false},
      {"Q:\\Dir\\File.txt\\x", true, false},
      {"Q:\\Dir.\\File.txt", true, false},
      {"Q:\\ Dir", true, false},
      {"W:" + windows_dir + "\\q\\Dir\\File.txt", true, true},
      {long_name, true, false},
      {long_name + "c", false, false},
      {"Q:\\Dir\\", false, true},
      {"Q:\\Dir\\File.txt.", false, true},
      {"Q:\\Dir\\File.txt .", false, true},
      {"Q:\\Dir\\.\\File.txt", false, true},
      {"Q:\\Dir\\..\\Dir\\File.txt", false, true},
      {"Q:\\.", false, true},
      {"Q:\\Dir\\\\File.txt", false, true},
      {"Q:\\Dir/File.txt", false, true},
      {"Q:\\", false, true},
      {"Q:", false, true},
      {"Q:Dir", false, true},  // the root of Q:, the current folder being elsewhere
      {"\\Dir", false, false},
      {"Q:\\a<b", false, false},
      {"Q:\\a:b", false, false},
      {"Q:\\a?b", false, false},
      {"Q:\\a\tb", false, false},
      {"C:\\Dir", false, false},  // no such drive
      {"\\\\srv\\x\\y", false, false},
      {"", false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    files::PlainHostPath plain;
    ASSERT_EQ(c.plain, files::MapPlainPath(c.path.c_str(), &plain));
    if (c.plain) {
      HostPath general;
      ASSERT_EQ(ERROR_SUCCESS, files::ResolvePathAsSpelt(c.path.c_str(), PathUse::kName, &general));
      EXPECT_EQ(general.host, plain.host);
      EXPECT_EQ(general.unmatched, plain.unmatched);
      EXPECT_EQ(std::string_view(general.full).substr(general.name_offset), plain.name);
    }
    std::string other = c.path;
    if (other.size() > 2 && other[2] == '\\') other[2] = '/';
    SetLastError(0);
    const DWORD attributes = GetFileAttributesA(c.path.c_str());
    const DWORD error = GetLastError();
    SetLastError(0);
    EXPECT_EQ(GetFileAttributesA(other.c_str()), attributes);
    EXPECT_EQ(GetLastError(), error);
    EXPECT_EQ(c.found, attributes != INVALID_FILE_ATTRIBUTES);
  }
  files::ReloadNamespace();
}

}  // namespace
}  // namespace tessary
