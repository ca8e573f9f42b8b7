// Drives and volumes: what Windows reports about a drive letter or a share,
// answered from the host folder the store maps it to.
//
// - The drives are the mapped letters. A letter whose folder exists is
//   DRIVE_FIXED, or DRIVE_REMOTE when it is mapped to a share; a letter that
//   is not mapped, or whose folder is missing, has no root
//   (DRIVE_NO_ROOT_DIR). A listed share is DRIVE_REMOTE.
// - A volume's file-system name is the host's name for the mount that holds
//   the folder ("ext4", "xfs", "btrfs", "tmpfs", "nfs", ...), with the
//   Windows spelling where Windows has one ("vfat" is "FAT32", "msdos"
//   "FAT", "ntfs"/"ntfs3" "NTFS", "iso9660" "CDFS"). The serial number is
//   made from the device number, the label is empty and cannot be set.
// - The version is that of an NT system (6.1), the family the core targets.
#include <errno.h>
#include <limits.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>
#include <sys/vfs.h>

#include <cstdio>
#include <cstring>
#include <memory>

#include "platform/guard.h"
#include "platform/posix/files_internal.h"
#include "platform/posix/syscalls.h"
#include "platform/winpath.h"

namespace tessary::files {
namespace {

// Magic numbers of statfs f_type, for when the mount table cannot be read.
struct MagicName {
  uint64_t magic;
  const char* name;
};
constexpr MagicName kMagicNames[] = {
    {0xEF53, "ext4"},     {0x58465342, "xfs"},  {0x9123683E, "btrfs"},   {0x01021994, "tmpfs"},
    {0x6969, "nfs"},      {0x4d44, "FAT32"},    {0x5346544e, "NTFS"},    {0x2011BAB0, "exFAT"},
    {0x9660, "CDFS"},     {0x15013346, "UDF"},  {0x794c7630, "overlay"}, {0x2FC12FC1, "zfs"},
    {0xFF534D42, "cifs"}, {0x65735546, "fuse"},
};

// Windows spellings of the host's file-system names.
const char* WindowsName(const std::string& host_name) {
  if (host_name == "vfat") return "FAT32";
  if (host_name == "msdos") return "FAT";
  if (host_name == "ntfs" || host_name == "ntfs3") return "NTFS";
  if (host_name == "exfat") return "exFAT";
  if (host_name == "iso9660") return "CDFS";
  if (host_name == "udf") return "UDF";
  return nullptr;
}

// Undoes the octal escapes (\040 for a space) of the mount table.
std::string Unescape(std::string_view text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    const auto octal = [&](size_t at) { return text[at] >= '0' && text[at] <= '7'; };
    if (text[i] == '\\' && i + 3 < text.size() && octal(i + 1) && octal(i + 2) && octal(i + 3)) {
      out += static_cast<char>((text[i + 1] - '0') * 64 + (text[i + 2] - '0') * 8 +
                               (text[i + 3] - '0'));
      i += 3;
    } else {
      out += text[i];
    }
  }
  return out;
}

bool ReadWholeFile(const char* path, std::string* text) {
  const int fd = sys::open(path, O_RDONLY | O_CLOEXEC, 0);
  if (fd < 0) return false;
  char buffer[8192];
  bool ok = true;
  for (;;) {
    const ssize_t n = sys::read(fd, buffer, sizeof(buffer));
    if (n < 0) {
      if (errno == EINTR) continue;
      ok = false;
      break;
    }
    if (n == 0) break;
    text->append(buffer, static_cast<size_t>(n));
  }
  sys::close(fd);
  return ok;
}

// The type of the mount holding `host` on device `dev`, from the mount
// table: of the mounts of that device, the one whose mount point is the
// longest prefix of the folder.
std::string MountType(const std::string& host, dev_t dev) {
  std::string table;
  if (!ReadWholeFile("/proc/self/mountinfo", &table)) return std::string();
  std::string best_type;
  size_t best_length = 0;
  size_t pos = 0;
  while (pos < table.size()) {
    size_t end = table.find('\n', pos);
    if (end == std::string::npos) end = table.size();
    const std::string_view line(table.data() + pos, end - pos);
    pos = end + 1;
    // id parent major:minor root mount-point options [optional...] - type source super
    std::vector<std::string_view> fields;
    size_t f = 0;
    while (f < line.size()) {
      size_t g = line.find(' ', f);
      if (g == std::string_view::npos) g = line.size();
      fields.push_back(line.substr(f, g - f));
      f = g + 1;
    }
    if (fields.size() < 7) continue;
    unsigned major_number = 0;
    unsigned minor_number = 0;
    if (std::sscanf(std::string(fields[2]).c_str(), "%u:%u", &major_number, &minor_number) != 2) {
      continue;
    }
    if (makedev(major_number, minor_number) != dev) continue;
    size_t dash = 6;
    while (dash < fields.size() && fields[dash] != "-") ++dash;
    if (dash + 1 >= fields.size()) continue;
    const std::string mount_point = Unescape(fields[4]);
    const bool holds = mount_point == "/" ||
                       (host.compare(0, mount_point.size(), mount_point) == 0 &&
                        (host.size() == mount_point.size() || host[mount_point.size()] == '/'));
    const size_t length = holds ? mount_point.size() : 0;
    if (best_type.empty() || length > best_length) {
      best_length = length;
      best_type = std::string(fields[dash + 1]);
    }
  }
  return best_type;
}

std::string FileSystemName(const std::string& host, dev_t dev, uint64_t magic) {
  std::string name = MountType(host, dev);
  if (!name.empty()) {
    const char* windows = WindowsName(name);
    return windows != nullptr ? windows : name;
  }
  for (const MagicName& m : kMagicNames) {
    if (m.magic == magic) return m.name;
  }
  return "unknown";
}

// A root as the volume services take it: "C:\" (or "C:"), "\\server\share\"
// (or without the separator); null means the current folder's root.
DWORD ResolveRoot(LPCSTR root, HostPath* path, bool* remote) {
  std::string text;
  if (root == nullptr) {
    std::string current;
    const DWORD error = CurrentDirectory(&current);
    if (error != ERROR_SUCCESS) return error;
    const winpath::Root r = winpath::ParseRoot(current);
    text = current.substr(0, r.length);
  } else {
    text = root;
  }
  const winpath::Root r = winpath::ParseRoot(text);
  const bool drive = (r.kind == winpath::RootKind::kDriveAbsolute ||
                      r.kind == winpath::RootKind::kDriveRelative) &&
                     r.length == text.size();
  const bool share = r.kind == winpath::RootKind::kUnc && !r.share.empty() &&
                     (r.length == text.size() ||
                      (r.length + 1 == text.size() && winpath::IsSeparator(text.back())));
  if (!drive && !share) return ERROR_INVALID_NAME;
  if (drive && r.kind == winpath::RootKind::kDriveRelative) text += '\\';
  const DWORD error = ResolvePath(text.c_str(), PathUse::kName, path);
  if (error != ERROR_SUCCESS) return error;
  *remote = share;
  if (drive) {
    *remote = !CurrentMapping()->drives[winpath::UpperAscii(r.drive) - 'A'].remote.empty();
  }
  return ERROR_SUCCESS;
}

// The folder behind a root, which must exist: a missing folder is a drive
// without its medium.
DWORD StatRoot(const HostPath& path, FileInfo* info) {
  const int err = StatPath(path.host, true, info);
  if (err == ENOENT || err == ENOTDIR || (err == 0 && !S_ISDIR(info->mode))) return ERROR_NOT_READY;
  if (err != 0) return sys::Win32ErrorFromErrno(err, sys::ErrnoOp::kVolume);
  return ERROR_SUCCESS;
}

}  // namespace
}  // namespace tessary::files

namespace files = tessary::files;
namespace sys = tessary::sys;
using files::FailWith;

EXTERN_C {
  UINT GetDriveTypeA(LPCSTR lpRootPathName) {
    return tessary::GuardWin32<UINT>(DRIVE_UNKNOWN, [&]() -> UINT {
      files::HostPath path;
      bool remote = false;
      if (files::ResolveRoot(lpRootPathName, &path, &remote) != ERROR_SUCCESS) {
        return DRIVE_NO_ROOT_DIR;
      }
      files::FileInfo info;
      if (files::StatRoot(path, &info) != ERROR_SUCCESS) return DRIVE_NO_ROOT_DIR;
      return remote ? DRIVE_REMOTE : DRIVE_FIXED;
    });
  }

  DWORD GetLogicalDriveStringsA(DWORD nBufferLength, LPSTR lpBuffer) {
    return tessary::GuardWin32<DWORD>(0, [&]() -> DWORD {
      const std::shared_ptr<const files::Mapping> mapping = files::CurrentMapping();
      std::string list;
      for (int i = 0; i < 26; ++i) {
        if (!mapping->drives[i].mapped) continue;
        list += static_cast<char>('A' + i);
        list.append(":\\", 2);
        list += '\0';
      }
      // The list ends in a second terminator, which the result does not count.
      if (lpBuffer == nullptr || list.size() + 1 > nBufferLength) {
        return static_cast<DWORD>(list.size() + 1);
      }
      std::memcpy(lpBuffer, list.data(), list.size());
      lpBuffer[list.size()] = '\0';
      return static_cast<DWORD>(list.size());
    });
  }

  BOOL GetVolumeInformationA(LPCSTR lpRootPathName, LPSTR lpVolumeNameBuffer, DWORD nVolumeNameSize,
                             LPDWORD lpVolumeSerialNumber, LPDWORD lpMaximumComponentLength,
                             LPDWORD lpFileSystemFlags, LPSTR lpFileSystemNameBuffer,
                             DWORD nFileSystemNameSize) {
    return tessary::GuardWin32<BOOL>(FALSE, [&]() -> BOOL {
      files::HostPath path;
      bool remote = false;
      DWORD error = files::ResolveRoot(lpRootPathName, &path, &remote);
      if (error != ERROR_SUCCESS) return FailWith(error);
      files::FileInfo info;
      error = files::StatRoot(path, &info);
      if (error != ERROR_SUCCESS) return FailWith(error);
      struct statfs fs;
      if (sys::statfs(path.host.c_str(), &fs) != 0) {
        return FailWith(sys::Win32ErrorFromErrno(errno, sys::ErrnoOp::kVolume));
      }
      struct statvfs vfs;
      if (sys::statvfs(path.host.c_str(), &vfs) != 0) {
        return FailWith(sys::Win32ErrorFromErrno(errno, sys::ErrnoOp::kVolume));
      }
      const std::string name =
          files::FileSystemName(path.host, info.dev, static_cast<uint64_t>(fs.f_type));
      if (lpVolumeNameBuffer != nullptr) {
        if (nVolumeNameSize == 0) return FailWith(ERROR_INSUFFICIENT_BUFFER);
        lpVolumeNameBuffer[0] = '\0';
      }
      if (lpFileSystemNameBuffer != nullptr) {
        if (name.size() + 1 > nFileSystemNameSize) return FailWith(ERROR_INSUFFICIENT_BUFFER);
        std::memcpy(lpFileSystemNameBuffer, name.c_str(), name.size() + 1);
      }
      if (lpVolumeSerialNumber != nullptr) *lpVolumeSerialNumber = files::VolumeSerialOf(info.dev);
      if (lpMaximumComponentLength != nullptr) {
        *lpMaximumComponentLength = static_cast<DWORD>(vfs.f_namemax);
      }
      if (lpFileSystemFlags != nullptr) {
        DWORD flags = FILE_CASE_SENSITIVE_SEARCH | FILE_CASE_PRESERVED_NAMES |
                      FILE_UNICODE_ON_DISK | FILE_SUPPORTS_HARD_LINKS;
        if ((vfs.f_flag & ST_RDONLY) != 0) flags |= FILE_READ_ONLY_VOLUME;
        *lpFileSystemFlags = flags;
      }
      return TRUE;
    });
  }

  BOOL SetVolumeLabelA(LPCSTR lpRootPathName, LPCSTR lpVolumeName) {
    return tessary::GuardWin32<BOOL>(FALSE, [&]() -> BOOL {
      files::HostPath path;
      bool remote = false;
      const DWORD error = files::ResolveRoot(lpRootPathName, &path, &remote);
      if (error != ERROR_SUCCESS) return FailWith(error);
      // Labels belong to the host's administration, not to us.
      return FailWith(ERROR_NOT_SUPPORTED);
    });
  }

  BOOL GetDiskFreeSpaceExA(LPCSTR lpDirectoryName, PULARGE_INTEGER lpFreeBytesAvailableToCaller,
                           PULARGE_INTEGER lpTotalNumberOfBytes,
                           PULARGE_INTEGER lpTotalNumberOfFreeBytes) {
    return tessary::GuardWin32<BOOL>(FALSE, [&]() -> BOOL {
      files::HostPath path;
      DWORD error = ERROR_SUCCESS;
      if (lpDirectoryName == nullptr) {
        bool remote = false;
        error = files::ResolveRoot(nullptr, &path, &remote);
      } else {
        error = files::ResolvePath(lpDirectoryName, files::PathUse::kName, &path);
      }
      if (error != ERROR_SUCCESS) return FailWith(error);
      struct statvfs vfs;
      if (sys::statvfs(path.host.c_str(), &vfs) != 0) {
        return FailWith(files::ErrorForPath(errno, sys::ErrnoOp::kVolume, path.host));
      }
      const uint64_t unit = vfs.f_frsize != 0 ? vfs.f_frsize : vfs.f_bsize;
      if (lpFreeBytesAvailableToCaller != nullptr) {
        lpFreeBytesAvailableToCaller->QuadPart = static_cast<uint64_t>(vfs.f_bavail) * unit;
      }
      if (lpTotalNumberOfBytes != nullptr) {
        lpTotalNumberOfBytes->QuadPart = static_cast<uint64_t>(vfs.f_blocks) * unit;
      }
      if (lpTotalNumberOfFreeBytes != nullptr) {
        lpTotalNumberOfFreeBytes->QuadPart = static_cast<uint64_t>(vfs.f_bfree) * unit;
      }
      return TRUE;
    });
  }

  BOOL GetDiskFreeSpaceA(LPCSTR lpRootPathName, LPDWORD lpSectorsPerCluster,
                         LPDWORD lpBytesPerSector, LPDWORD lpNumberOfFreeClusters,
                         LPDWORD lpTotalNumberOfClusters) {
    ULARGE_INTEGER available;
    ULARGE_INTEGER total;
    ULARGE_INTEGER free_bytes;
    if (!GetDiskFreeSpaceExA(lpRootPathName, &available, &total, &free_bytes)) return FALSE;
    // 512-byte sectors, 4 KiB clusters; counts beyond 32 bits are capped as
    // the old interface does for large volumes.
    constexpr uint64_t kSector = 512;
    constexpr uint64_t kCluster = 4096;
    auto clusters = [](uint64_t bytes) {
      const uint64_t n = bytes / kCluster;
      return static_cast<DWORD>(n > 0xFFFFFFFFu ? 0xFFFFFFFFu : n);
    };
    if (lpSectorsPerCluster != nullptr) *lpSectorsPerCluster = kCluster / kSector;
    if (lpBytesPerSector != nullptr) *lpBytesPerSector = kSector;
    if (lpNumberOfFreeClusters != nullptr) *lpNumberOfFreeClusters = clusters(free_bytes.QuadPart);
    if (lpTotalNumberOfClusters != nullptr) *lpTotalNumberOfClusters = clusters(total.QuadPart);
    return TRUE;
  }

  DWORD WNetGetConnectionA(LPCSTR lpLocalName, LPSTR lpRemoteName, LPDWORD lpnLength) {
    // This service answers its error rather than a failure value.
    const DWORD result = tessary::Guard(
        [&]() -> DWORD {
          DWORD error = ERROR_SUCCESS;
          if (lpLocalName == nullptr || lpnLength == nullptr) {
            error = ERROR_INVALID_PARAMETER;
          } else if (!(tessary::winpath::IsDriveLetter(lpLocalName[0]) && lpLocalName[1] == ':' &&
                       lpLocalName[2] == '\0')) {
            error = ERROR_BAD_DEVICE;
          } else {
            const files::Mapping::Drive& drive =
                files::CurrentMapping()->drives[tessary::winpath::UpperAscii(lpLocalName[0]) - 'A'];
            if (!drive.mapped) {
              error = ERROR_BAD_DEVICE;
            } else if (drive.remote.empty()) {
              error = ERROR_NOT_CONNECTED;
            } else if (lpRemoteName == nullptr || drive.remote.size() + 1 > *lpnLength) {
              *lpnLength = static_cast<DWORD>(drive.remote.size() + 1);
              error = ERROR_MORE_DATA;
            } else {
              std::memcpy(lpRemoteName, drive.remote.c_str(), drive.remote.size() + 1);
            }
          }
          return error;
        },
        [](HRESULT hr) { return tessary::Win32ErrorFor(hr); });
    SetLastError(result);
    return result;
  }

  BOOL GetVersionExA(LPOSVERSIONINFOA lpVersionInformation) {
    if (lpVersionInformation == nullptr) return FailWith(ERROR_INVALID_PARAMETER);
    // OSVERSIONINFOA (148 bytes) or OSVERSIONINFOEXA (156), as Windows accepts.
    const DWORD size = lpVersionInformation->dwOSVersionInfoSize;
    if (size != sizeof(OSVERSIONINFOA) && size != sizeof(OSVERSIONINFOA) + 8) {
      return FailWith(ERROR_INSUFFICIENT_BUFFER);
    }
    std::memset(reinterpret_cast<char*>(lpVersionInformation) + sizeof(DWORD), 0,
                size - sizeof(DWORD));
    lpVersionInformation->dwMajorVersion = 6;
    lpVersionInformation->dwMinorVersion = 1;
    lpVersionInformation->dwBuildNumber = 7601;
    lpVersionInformation->dwPlatformId = VER_PLATFORM_WIN32_NT;
    return TRUE;
  }

}  // EXTERN_C
