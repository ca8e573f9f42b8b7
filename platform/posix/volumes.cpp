// Drives and volumes: what Windows reports about a drive letter or a share,
// answered from the host folder the store maps it to.
//
// - The drives are the mapped letters (C: when none is). A letter whose
//   folder is missing has no root (DRIVE_NO_ROOT_DIR); otherwise the type
//   comes from the mount that holds the folder: a letter mapped to a listed
//   share, a share itself and a network file system are DRIVE_REMOTE,
//   iso9660 and udf DRIVE_CDROM, tmpfs and ramfs DRIVE_RAMDISK, a block
//   device that sysfs marks removable (or whose disk it marks so, for a
//   partition) DRIVE_REMOVABLE, anything else DRIVE_FIXED.
// - A volume's file-system name is the host's name for the mount that holds
//   the folder ("ext4", "xfs", "btrfs", "tmpfs", "nfs", ...), with the
//   Windows spelling where Windows has one ("vfat" is "FAT32", "msdos"
//   "FAT", "ntfs"/"ntfs3" "NTFS", "iso9660" "CDFS"), so that scripts that
//   look for those names find them.
// - The label of a letter (or share) is the one the store keeps under
//   ...\Labels, else the file system's own label where the kernel reports
//   one, else empty. SetVolumeLabelA writes the store, never the disk: the
//   disk's label belongs to the host's administration, and a drive letter
//   may be only a folder of a larger volume.
// - The serial number is made from the file system's identity: its UUID
//   where the kernel reports one, else the statfs identifier, else the mount's
//   source and type; so it stays the same across calls and reboots.
// - The version is that of an NT system (6.1), the family the core targets.
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>
#include <sys/vfs.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "platform/guard.h"
#include "platform/posix/files_internal.h"
#include "platform/posix/syscalls.h"
#include "platform/registry.h"
#include "platform/winpath.h"

#ifndef FS_IOC_GETFSUUID
struct fsuuid2 {
  __u8 len;
  __u8 uuid[16];
};
#define FS_IOC_GETFSUUID _IOR(0x15, 0, struct fsuuid2)
#endif

namespace tessary::files {
namespace {

constexpr char kLabelsKey[] = "SOFTWARE\\Quennel\\QN-Tessary\\Labels";
// Windows' longest label (NTFS).
constexpr size_t kMaxLabelLength = 32;

// Magic numbers of statfs f_type, for when the mount table cannot be read.
struct MagicName {
  uint64_t magic;
  const char* name;
};
constexpr MagicName kMagicNames[] = {
    {0xEF53, "ext4"},      {0x58465342, "xfs"},  {0x9123683E, "btrfs"},   {0x01021994, "tmpfs"},
    {0x6969, "nfs"},       {0x4d44, "FAT32"},    {0x5346544e, "NTFS"},    {0x2011BAB0, "exFAT"},
    {0x9660, "CDFS"},      {0x15013346, "UDF"},  {0x794c7630, "overlay"}, {0x2FC12FC1, "zfs"},
    {0xFF534D42, "cifs"},  {0xFE534D42, "smb3"}, {0x517B, "smbfs"},       {0x65735546, "fuse"},
    {0x858458f6, "ramfs"}, {0x00C36400, "ceph"}, {0x01021997, "9p"},
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

// File systems whose data lives on another machine.
bool IsNetworkType(const std::string& type) {
  static const char* const kNetwork[] = {
      "nfs",    "nfs4",       "cifs",        "smb3",           "smbfs",
      "ncpfs",  "afs",        "ceph",        "glusterfs",      "9p",
      "lustre", "davfs",      "fuse.sshfs",  "fuse.s3fs",      "coda",
      "ocfs2",  "fuse.davfs", "fuse.rclone", "fuse.glusterfs", "fuse.cephfs",
  };
  for (const char* name : kNetwork) {
    if (type == name) return true;
  }
  return false;
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

// One line of the mount table.
struct Mount {
  unsigned major_number = 0;
  unsigned minor_number = 0;
  std::string mount_point;
  std::string type;
  std::string source;
};

// The mount holding `host` on device `dev`: of the mounts of that device,
// the one whose mount point is the longest prefix of the folder (with
// symbolic links resolved, as the table spells mount points).
bool FindMountIn(const std::string& table, const std::string& folder, dev_t dev, Mount* out) {
  bool found = false;
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
                       (folder.compare(0, mount_point.size(), mount_point) == 0 &&
                        (folder.size() == mount_point.size() || folder[mount_point.size()] == '/'));
    const size_t length = holds ? mount_point.size() : 0;
    if (!found || length > best_length) {
      found = true;
      best_length = length;
      out->major_number = major_number;
      out->minor_number = minor_number;
      out->mount_point = mount_point;
      out->type = std::string(fields[dash + 1]);
      out->source = dash + 2 < fields.size() ? Unescape(fields[dash + 2]) : std::string();
    }
  }
  return found;
}

bool FindMount(const std::string& host, dev_t dev, Mount* out) {
  std::string table;
  if (!ReadWholeFile("/proc/self/mountinfo", &table)) return false;
  char resolved[PATH_MAX];
  const std::string folder = sys::realpath(host.c_str(), resolved) != nullptr ? resolved : host;
  return FindMountIn(table, folder, dev, out);
}

std::string FileSystemName(const Mount* mount, uint64_t magic) {
  if (mount != nullptr && !mount->type.empty()) {
    const char* windows = WindowsName(mount->type);
    return windows != nullptr ? windows : mount->type;
  }
  for (const MagicName& m : kMagicNames) {
    if (m.magic == magic) return m.name;
  }
  return "unknown";
}

// Whether sysfs marks the block device, or for a partition its disk,
// removable.
bool IsRemovableDevice(unsigned major_number, unsigned minor_number) {
  char link[64];
  std::snprintf(link, sizeof(link), "/sys/dev/block/%u:%u", major_number, minor_number);
  char resolved[PATH_MAX];
  if (sys::realpath(link, resolved) == nullptr) return false;
  std::string device(resolved);
  std::string flag;
  if (!ReadWholeFile((device + "/removable").c_str(), &flag)) {
    const size_t cut = device.rfind('/');
    if (cut == std::string::npos || cut == 0) return false;
    flag.clear();
    if (!ReadWholeFile((device.substr(0, cut) + "/removable").c_str(), &flag)) return false;
  }
  return !flag.empty() && flag[0] == '1';
}

UINT DriveTypeOfMount(const Mount* mount, uint64_t magic) {
  if (mount == nullptr) {
    switch (magic) {
      case 0x6969:
      case 0x517B:
      case 0xFF534D42:
      case 0xFE534D42:
      case 0x00C36400:
      case 0x01021997:
        return DRIVE_REMOTE;
      case 0x9660:
      case 0x15013346:
        return DRIVE_CDROM;
      case 0x01021994:
      case 0x858458f6:
        return DRIVE_RAMDISK;
      default:
        return DRIVE_FIXED;
    }
  }
  if (IsNetworkType(mount->type)) return DRIVE_REMOTE;
  if (mount->type == "iso9660" || mount->type == "udf") return DRIVE_CDROM;
  if (mount->type == "tmpfs" || mount->type == "ramfs") return DRIVE_RAMDISK;
  // Device numbers with major 0 are the kernel's own, not block devices.
  if (mount->major_number != 0 && IsRemovableDevice(mount->major_number, mount->minor_number)) {
    return DRIVE_REMOVABLE;
  }
  return DRIVE_FIXED;
}

// 32-bit FNV-1a.
DWORD Fnv1a(const void* data, size_t size, DWORD hash = 2166136261u) {
  const auto* bytes = static_cast<const unsigned char*>(data);
  for (size_t i = 0; i < size; ++i) {
    hash ^= bytes[i];
    hash *= 16777619u;
  }
  return hash;
}

// The serial number from the file system's identity, which outlives the
// device numbering of one boot: its UUID where the kernel reports one, else
// the statfs identifier, else the mount's type and source. Any mount of the
// device will do, since they all show the same file system. False when the
// mount table does not know the device.
bool SerialFromIdentity(dev_t dev, DWORD* serial) {
  std::string table;
  if (!ReadWholeFile("/proc/self/mountinfo", &table)) return false;
  Mount mount;
  if (!FindMountIn(table, "/", dev, &mount)) return false;
  const int fd = sys::open(mount.mount_point.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
  if (fd >= 0) {
    struct fsuuid2 uuid = {};
    uuid.len = sizeof(uuid.uuid);
    const int rc = sys::ioctl_ptr(fd, FS_IOC_GETFSUUID, &uuid);
    sys::close(fd);
    if (rc == 0 && uuid.len > 0 && uuid.len <= sizeof(uuid.uuid)) {
      *serial = Fnv1a(uuid.uuid, uuid.len);
      return true;
    }
  }
  struct statfs fs;
  if (sys::statfs(mount.mount_point.c_str(), &fs) == 0) {
    int fsid[2];
    std::memcpy(fsid, &fs.f_fsid, sizeof(fsid));
    if (fsid[0] != 0 || fsid[1] != 0) {
      *serial = Fnv1a(fsid, sizeof(fsid));
      return true;
    }
  }
  const std::string identity = mount.type + '\n' + mount.source;
  *serial = Fnv1a(identity.data(), identity.size());
  return true;
}

// The file system's own label, where the kernel reports one.
std::string FileSystemLabel(const std::string& host) {
  const int fd = sys::open(host.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
  if (fd < 0) return std::string();
  char label[FSLABEL_MAX + 1] = {};
  const int rc = sys::ioctl_ptr(fd, FS_IOC_GETFSLABEL, label);
  sys::close(fd);
  if (rc != 0) return std::string();
  return std::string(label, strnlen(label, FSLABEL_MAX));
}

// The label the store keeps for a letter ("C:") or share; an absent key or
// value is no label.
DWORD StoreLabel(const std::string& name, std::string* label) {
  label->clear();
  HKEY key = nullptr;
  LSTATUS rc = RegOpenKeyExA(HKEY_LOCAL_MACHINE, kLabelsKey, 0, KEY_READ, &key);
  if (rc == ERROR_FILE_NOT_FOUND) return ERROR_SUCCESS;
  if (rc != ERROR_SUCCESS) return static_cast<DWORD>(rc);
  char data[256];
  DWORD size = sizeof(data);
  DWORD type = REG_NONE;
  rc = RegQueryValueExA(key, name.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(data), &size);
  RegCloseKey(key);
  if (rc == ERROR_FILE_NOT_FOUND) return ERROR_SUCCESS;
  // A value too long for any label is none of ours.
  if (rc == ERROR_MORE_DATA) return ERROR_SUCCESS;
  if (rc != ERROR_SUCCESS) return static_cast<DWORD>(rc);
  if (type != REG_SZ && type != REG_EXPAND_SZ) return ERROR_SUCCESS;
  label->assign(data, strnlen(data, size));
  return ERROR_SUCCESS;
}

// Writes (or, for an empty label, removes) the store's label. A store the
// process may not write refuses with ERROR_ACCESS_DENIED.
DWORD WriteStoreLabel(const std::string& name, const std::string& label) {
  HKEY key = nullptr;
  LSTATUS rc = RegCreateKeyExA(HKEY_LOCAL_MACHINE, kLabelsKey, 0, nullptr, 0, KEY_WRITE, nullptr,
                               &key, nullptr);
  if (rc == ERROR_SUCCESS) {
    if (label.empty()) {
      rc = RegDeleteValueA(key, name.c_str());
      if (rc == ERROR_FILE_NOT_FOUND) rc = ERROR_SUCCESS;
    } else {
      rc =
          RegSetValueExA(key, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(label.c_str()),
                         static_cast<DWORD>(label.size() + 1));
    }
    if (rc == ERROR_SUCCESS) rc = RegFlushKey(key);
    RegCloseKey(key);
  }
  if (rc == ERROR_WRITE_PROTECT) rc = ERROR_ACCESS_DENIED;
  return static_cast<DWORD>(rc);
}

// What Windows refuses in a label.
DWORD CheckLabel(const std::string& label) {
  if (label.size() > kMaxLabelLength) return ERROR_LABEL_TOO_LONG;
  for (const char c : label) {
    if (static_cast<unsigned char>(c) < 0x20 || std::strchr("\\/:*?\"<>|", c) != nullptr) {
      return ERROR_INVALID_NAME;
    }
  }
  return ERROR_SUCCESS;
}

// A root as the volume services take it: "C:\" (or "C:"), "\\server\share\"
// (or without the separator); null means the current folder's root.
struct Volume {
  HostPath path;
  bool remote = false;
  std::string name;  // "C:" or "\\server\share": the key of the store's label
};

DWORD ResolveRoot(LPCSTR root, Volume* volume) {
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
  if (drive) {
    volume->name = {winpath::UpperAscii(r.drive), ':'};
  } else {
    volume->name = "\\\\" + std::string(r.server) + "\\" + std::string(r.share);
  }
  if (drive && r.kind == winpath::RootKind::kDriveRelative) text += '\\';
  const DWORD error = ResolvePath(text.c_str(), PathUse::kName, &volume->path);
  if (error != ERROR_SUCCESS) return error;
  volume->remote = share;
  if (drive) {
    volume->remote = !CurrentMapping()->drives[winpath::UpperAscii(r.drive) - 'A'].remote.empty();
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

// Copies `text` and its terminator into a caller's buffer of `size` bytes.
DWORD CopyName(const std::string& text, char* buffer, DWORD size) {
  if (buffer == nullptr) return ERROR_SUCCESS;
  if (text.size() + 1 > size) return ERROR_INSUFFICIENT_BUFFER;
  std::memcpy(buffer, text.c_str(), text.size() + 1);
  return ERROR_SUCCESS;
}

}  // namespace

// Worked out once per device and process: the files of a volume report it
// too, and a tree walk asks for thousands of them.
DWORD VolumeSerialOf(dev_t dev) {
  static std::mutex* mutex = new std::mutex;
  static auto* known = new std::vector<std::pair<dev_t, DWORD>>;
  {
    std::lock_guard<std::mutex> lock(*mutex);
    for (const auto& [device, serial] : *known) {
      if (device == dev) return serial;
    }
  }
  DWORD serial = 0;
  if (!SerialFromIdentity(dev, &serial)) {
    // Not in the mount table (or it could not be read just now): the device
    // number, unremembered, so that a later call can do better.
    const uint64_t value = static_cast<uint64_t>(dev);
    return static_cast<DWORD>(value ^ (value >> 32));
  }
  std::lock_guard<std::mutex> lock(*mutex);
  known->emplace_back(dev, serial);
  return serial;
}

}  // namespace tessary::files

namespace files = tessary::files;
namespace sys = tessary::sys;
using files::FailWith;

EXTERN_C {
  UINT GetDriveTypeA(LPCSTR lpRootPathName) {
    return tessary::GuardWin32<UINT>(DRIVE_UNKNOWN, [&]() -> UINT {
      files::Volume volume;
      if (files::ResolveRoot(lpRootPathName, &volume) != ERROR_SUCCESS) return DRIVE_NO_ROOT_DIR;
      files::FileInfo info;
      if (files::StatRoot(volume.path, &info) != ERROR_SUCCESS) return DRIVE_NO_ROOT_DIR;
      if (volume.remote) return DRIVE_REMOTE;
      struct statfs fs;
      const uint64_t magic =
          sys::statfs(volume.path.host.c_str(), &fs) == 0 ? static_cast<uint64_t>(fs.f_type) : 0;
      files::Mount mount;
      const bool found = files::FindMount(volume.path.host, info.dev, &mount);
      return files::DriveTypeOfMount(found ? &mount : nullptr, magic);
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
      files::Volume volume;
      DWORD error = files::ResolveRoot(lpRootPathName, &volume);
      if (error != ERROR_SUCCESS) return FailWith(error);
      const std::string& host = volume.path.host;
      files::FileInfo info;
      error = files::StatRoot(volume.path, &info);
      if (error != ERROR_SUCCESS) return FailWith(error);
      struct statfs fs;
      if (sys::statfs(host.c_str(), &fs) != 0) {
        return FailWith(sys::Win32ErrorFromErrno(errno, sys::ErrnoOp::kVolume));
      }
      struct statvfs vfs;
      if (sys::statvfs(host.c_str(), &vfs) != 0) {
        return FailWith(sys::Win32ErrorFromErrno(errno, sys::ErrnoOp::kVolume));
      }
      files::Mount mount;
      const files::Mount* found = files::FindMount(host, info.dev, &mount) ? &mount : nullptr;
      if (lpVolumeNameBuffer != nullptr) {
        std::string label;
        error = files::StoreLabel(volume.name, &label);
        if (error != ERROR_SUCCESS) return FailWith(error);
        if (label.empty()) label = files::FileSystemLabel(host);
        error = files::CopyName(label, lpVolumeNameBuffer, nVolumeNameSize);
        if (error != ERROR_SUCCESS) return FailWith(error);
      }
      const std::string name = files::FileSystemName(found, static_cast<uint64_t>(fs.f_type));
      error = files::CopyName(name, lpFileSystemNameBuffer, nFileSystemNameSize);
      if (error != ERROR_SUCCESS) return FailWith(error);
      if (lpVolumeSerialNumber != nullptr) {
        *lpVolumeSerialNumber = files::VolumeSerialOf(info.dev);
      }
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
      files::Volume volume;
      DWORD error = files::ResolveRoot(lpRootPathName, &volume);
      if (error != ERROR_SUCCESS) return FailWith(error);
      files::FileInfo info;
      error = files::StatRoot(volume.path, &info);
      if (error != ERROR_SUCCESS) return FailWith(error);
      // No name removes the label, as on Windows.
      const std::string label = lpVolumeName != nullptr ? lpVolumeName : "";
      error = files::CheckLabel(label);
      if (error == ERROR_SUCCESS) error = files::WriteStoreLabel(volume.name, label);
      if (error != ERROR_SUCCESS) return FailWith(error);
      return TRUE;
    });
  }

  BOOL GetDiskFreeSpaceExA(LPCSTR lpDirectoryName, PULARGE_INTEGER lpFreeBytesAvailableToCaller,
                           PULARGE_INTEGER lpTotalNumberOfBytes,
                           PULARGE_INTEGER lpTotalNumberOfFreeBytes) {
    return tessary::GuardWin32<BOOL>(FALSE, [&]() -> BOOL {
      files::HostPath path;
      DWORD error = ERROR_SUCCESS;
      if (lpDirectoryName == nullptr) {
        files::Volume volume;
        error = files::ResolveRoot(nullptr, &volume);
        path = volume.path;
      } else {
        error = files::ResolvePath(lpDirectoryName, files::PathUse::kName, &path);
      }
      if (error != ERROR_SUCCESS) return FailWith(error);
      struct statvfs vfs;
      if (sys::statvfs(path.host.c_str(), &vfs) != 0) {
        // A root whose folder is gone is a drive without its medium.
        if (path.is_root && (errno == ENOENT || errno == ENOTDIR)) return FailWith(ERROR_NOT_READY);
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
            // A letter that is not mapped to a share, whether it maps a
            // local folder or nothing, is no redirected device.
            if (!drive.mapped || drive.remote.empty()) {
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
