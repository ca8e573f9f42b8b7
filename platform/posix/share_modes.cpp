// Share modes: what a Windows handle's dwShareMode promises the other handles
// on the same file.
//
// Within the process the rule is exact. A table keyed by (st_dev, st_ino)
// holds every open handle that has data access, with its access and share
// mode. An open conflicts, as on Windows, when
//   - it wants read, write or delete access that an open handle does not
//     share (FILE_SHARE_READ, FILE_SHARE_WRITE, FILE_SHARE_DELETE), or
//   - its own share mode leaves out an access an open handle already has.
// Only read data/execute, write data/append and DELETE count; a handle
// opened for no access (an attribute probe) neither conflicts nor blocks.
//
// Between processes the rule is kept by open-file-description locks, which
// belong to the handle's own descriptor and vanish when it closes (also when
// the process dies). Six bytes far beyond any real end of file stand for
// "has read/write/delete access" and "denies read/write/delete". A handle
// takes a shared lock on the bytes of its accesses and of what it denies,
// then tests (F_OFD_GETLK, exclusive) the bytes it must not meet: "denies X"
// for each access X it wants, "has X" for each X it denies. Locking before
// testing means two conflicting opens racing each other can both fail but
// never both succeed. Limits, all best effort:
//   - only processes that use this layer take part;
//   - a descriptor must be open for reading to take shared locks, so a
//     write-only handle (a file we may write but not read) and folders are
//     enforced within the process only;
//   - file systems without OFD locks (some network and FUSE file systems)
//     fall back to the process-local rule;
//   - another program's whole-file lock covers our bytes too and reads as a
//     conflict.
#include <errno.h>
#include <fcntl.h>

#include <cstdint>
#include <map>
#include <mutex>
#include <utility>

#include "platform/posix/files_internal.h"
#include "platform/posix/syscalls.h"

namespace tessary::files {
namespace {

constexpr DWORD kReadAccess = FILE_READ_DATA | FILE_EXECUTE;
constexpr DWORD kWriteAccess = FILE_WRITE_DATA | FILE_APPEND_DATA;
constexpr DWORD kDeleteAccess = DELETE;

// The three sharing classes, in the order of their lock bytes.
struct SharingClass {
  DWORD access;
  DWORD share;
};
constexpr SharingClass kClasses[] = {
    {kReadAccess, FILE_SHARE_READ},
    {kWriteAccess, FILE_SHARE_WRITE},
    {kDeleteAccess, FILE_SHARE_DELETE},
};

// Far beyond any file a file system can hold, and below OFFSET_MAX.
constexpr off_t kLockBase = INT64_MAX - 255;
constexpr off_t kHasAccessByte = 0;  // + class index
constexpr off_t kDeniesByte = 3;     // + class index

bool HasDataAccess(DWORD access) {
  return (access & (kReadAccess | kWriteAccess | kDeleteAccess)) != 0;
}

bool Conflicts(DWORD access, DWORD share, DWORD other_access, DWORD other_share) {
  for (const SharingClass& c : kClasses) {
    if ((access & c.access) != 0 && (other_share & c.share) == 0) return true;
    if ((other_access & c.access) != 0 && (share & c.share) == 0) return true;
  }
  return false;
}

struct Entry {
  const void* owner;
  DWORD access;
  DWORD share;
};

struct Table {
  std::mutex mutex;
  std::map<std::pair<dev_t, ino_t>, std::vector<Entry>> files;
};

Table& TheTable() {
  static Table* table = new Table;  // handles may be closed during static destruction
  return *table;
}

bool ConflictsInProcess(const Table& table, const FileId& id, DWORD access, DWORD share) {
  const auto it = table.files.find({id.dev, id.ino});
  if (it == table.files.end()) return false;
  for (const Entry& entry : it->second) {
    if (Conflicts(access, share, entry.access, entry.share)) return true;
  }
  return false;
}

struct flock LockByte(short type, off_t byte) {
  struct flock lock = {};
  lock.l_type = type;
  lock.l_whence = SEEK_SET;
  lock.l_start = kLockBase + byte;
  lock.l_len = 1;
  lock.l_pid = 0;  // required by the OFD commands
  return lock;
}

// False when the file system or descriptor cannot take part.
bool TakeSharedLock(int fd, off_t byte) {
  struct flock lock = LockByte(F_RDLCK, byte);
  return sys::fcntl_lock(fd, F_OFD_SETLK, &lock) == 0;
}

// Whether another descriptor (of any process) holds a lock on the byte. An
// error reads as "no": the locks are a best effort.
bool HeldElsewhere(int fd, off_t byte) {
  struct flock lock = LockByte(F_WRLCK, byte);
  if (sys::fcntl_lock(fd, F_OFD_GETLK, &lock) != 0) return false;
  return lock.l_type != F_UNLCK;
}

bool ConflictsAcrossProcesses(int fd, DWORD access, DWORD share) {
  for (off_t i = 0; i < 3; ++i) {
    const SharingClass& c = kClasses[i];
    if ((access & c.access) != 0 && HeldElsewhere(fd, kDeniesByte + i)) return true;
    if ((share & c.share) == 0 && HeldElsewhere(fd, kHasAccessByte + i)) return true;
  }
  return false;
}

}  // namespace

DWORD ShareOpen(const void* owner, const FileId& id, int fd, bool lockable, DWORD access,
                DWORD share) {
  if (!HasDataAccess(access)) return ERROR_SUCCESS;
  if (lockable) {
    for (off_t i = 0; i < 3 && lockable; ++i) {
      const SharingClass& c = kClasses[i];
      if ((access & c.access) != 0) lockable = TakeSharedLock(fd, kHasAccessByte + i);
      if (lockable && (share & c.share) == 0) lockable = TakeSharedLock(fd, kDeniesByte + i);
    }
  }
  Table& table = TheTable();
  std::lock_guard<std::mutex> lock(table.mutex);
  if (ConflictsInProcess(table, id, access, share)) return ERROR_SHARING_VIOLATION;
  // The caller closes the descriptor on failure, which drops the locks taken above.
  if (lockable && ConflictsAcrossProcesses(fd, access, share)) return ERROR_SHARING_VIOLATION;
  table.files[{id.dev, id.ino}].push_back({owner, access, share});
  return ERROR_SUCCESS;
}

void ShareClose(const void* owner, const FileId& id) {
  Table& table = TheTable();
  std::lock_guard<std::mutex> lock(table.mutex);
  const auto it = table.files.find({id.dev, id.ino});
  if (it == table.files.end()) return;
  std::vector<Entry>& entries = it->second;
  for (auto e = entries.begin(); e != entries.end(); ++e) {
    if (e->owner == owner) {
      entries.erase(e);
      break;
    }
  }
  if (entries.empty()) table.files.erase(it);
}

DWORD ShareCheck(const FileId& id, int fd, DWORD access, DWORD share) {
  if (!HasDataAccess(access)) return ERROR_SUCCESS;
  {
    Table& table = TheTable();
    std::lock_guard<std::mutex> lock(table.mutex);
    if (ConflictsInProcess(table, id, access, share)) return ERROR_SHARING_VIOLATION;
  }
  if (fd >= 0 && ConflictsAcrossProcesses(fd, access, share)) return ERROR_SHARING_VIOLATION;
  return ERROR_SUCCESS;
}

}  // namespace tessary::files
