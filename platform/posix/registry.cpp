// The registry on POSIX: the configuration store, one REGEDIT4 text file.
//
// Policy, where Windows gives no model to copy:
// - The file is $TESSARY_REGISTRY when that is set and non-empty, else
//   /etc/tessary/registry.reg. A missing file is an empty store.
// - Readers see the file as it is on disk now. The parsed tree is cached and
//   reused while the file's device, inode, size, mtime and ctime (ns) are
//   unchanged, except that a file changed within the last few seconds is
//   parsed again at each read: a timestamp only moves when the clock ticks,
//   so two quick rewrites of the same size could otherwise look alike.
// - The store fails closed. A file that is there but cannot be read answers
//   every call with the error that stopped the read (ERROR_ACCESS_DENIED,
//   ERROR_IO_DEVICE, ...); a file the parser cannot take whole (not blank and
//   without the REGEDIT4 header, or with a line it had to skip, or above
//   64 MiB) answers ERROR_BADDB. Neither is ever an empty store: the
//   administrator's switches and drive mappings live here, and a typo in the
//   line that switches deletes off must not switch them back on. Only a
//   missing file is an empty store. Such a file is never rewritten either.
// - Writers: each write is a transaction under an exclusive flock on
//   "<file>.lock" that re-reads the file, applies the change, writes a new
//   "<file>.tmp.<pid>" (created exclusively, so an existing name or link
//   there is never written through), syncs it and renames it over the file.
//   Concurrent processes never see a torn file and never lose an update, and
//   after a crash the file is the old one or the new one, whole. The folder
//   that holds the name is synced by RegFlushKey, once for a burst of writes
//   such as a registration.
// - A rewrite keeps the data but not comments; the first rewrite that drops
//   them keeps the administrator's text as "<file>.bak".
// - No access checks beyond the file's own permissions: samDesired is
//   ignored, and a refused write reports ERROR_ACCESS_DENIED. Volatile keys
//   are stored like the others. HKEY_CURRENT_USER is one tree for all users.
// - HKEY_CLASSES_ROOT\.ext and HKEY_CLASSES_ROOT\<MIME type>, where the
//   store lacks them or their values, are answered read-only from the
//   system's file-type databases (classes_database.h), as Windows answers
//   them from its own; the store's keys and values win.
// - A handle names a key by path. When the key is deleted behind it,
//   operations through it fail with ERROR_KEY_DELETED; if a key of the same
//   path is created again, the handle reaches the new key.
#include "platform/registry.h"

#include <errno.h>
#include <sys/file.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include "platform/guard.h"
#include "platform/posix/classes_database.h"
#include "platform/posix/errno_map.h"
#include "platform/posix/regedit_format.h"
#include "platform/posix/syscalls.h"
#include "platform/system.h"

namespace {

using tessary::regedit::Key;
using tessary::regedit::Root;
using tessary::regedit::Store;
using tessary::regedit::Value;
using tessary::sys::ErrnoOp;
using tessary::sys::Fd;
using tessary::sys::Win32ErrorFromErrno;
namespace sys = tessary::sys;
namespace regedit = tessary::regedit;

constexpr char kDefaultStorePath[] = "/etc/tessary/registry.reg";
// Far above any real configuration; keeps a runaway file from exhausting memory.
constexpr off_t kMaxStoreBytes = off_t{64} << 20;
// Longer than the coarsest timestamp granularity of the file systems we expect.
constexpr int64_t kRacyWindowNs = int64_t{2'000'000'000};
// Windows' limits on key names and nesting.
constexpr size_t kMaxKeyNameLength = 255;
constexpr size_t kMaxKeyDepth = 512;
constexpr size_t kMaxValueNameLength = 16383;

int64_t Nanoseconds(const struct timespec& ts) {
  return static_cast<int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

int64_t NowNanoseconds() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

struct FileIdentity {
  dev_t dev = 0;
  ino_t ino = 0;
  off_t size = 0;
  int64_t mtime_ns = 0;
  int64_t ctime_ns = 0;

  static FileIdentity Of(const struct stat& st) {
    return FileIdentity{st.st_dev, st.st_ino, st.st_size, Nanoseconds(st.st_mtim),
                        Nanoseconds(st.st_ctim)};
  }
  bool operator==(const FileIdentity& o) const {
    return dev == o.dev && ino == o.ino && size == o.size && mtime_ns == o.mtime_ns &&
           ctime_ns == o.ctime_ns;
  }
};

// ---------------------------------------------------------------------------
// Reading the file

struct Snapshot {
  std::shared_ptr<const Store> store;
  int64_t mtime_ns = 0;
};

std::string StorePath() { return TessaryRegistryPath(); }

const std::shared_ptr<const Store>& EmptyStore() {
  static const auto* empty = new std::shared_ptr<const Store>(std::make_shared<const Store>());
  return *empty;
}

// Reads the whole file. `*exists` is false when there is no file (not an error).
LSTATUS ReadStoreFile(const std::string& path, std::string* text, struct stat* st, bool* exists) {
  *exists = false;
  text->clear();
  // Non-blocking, so that a FIFO put in the file's place cannot hang the reader.
  Fd fd(sys::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK, 0));
  if (!fd.valid()) {
    if (errno == ENOENT || errno == ENOTDIR) return ERROR_SUCCESS;
    return Win32ErrorFromErrno(errno, ErrnoOp::kOpenExisting);
  }
  // Identity before content: a change made while we read shows as a new
  // identity at the next read, never as old identity with new content.
  if (sys::fstat(fd.get(), st) != 0) return Win32ErrorFromErrno(errno, ErrnoOp::kStat);
  if (S_ISDIR(st->st_mode)) return ERROR_ACCESS_DENIED;  // as Windows answers for a folder
  if (!S_ISREG(st->st_mode)) return ERROR_BADDB;
  if (st->st_size > kMaxStoreBytes) return ERROR_BADDB;
  *exists = true;
  text->reserve(static_cast<size_t>(st->st_size));
  char buf[65536];
  for (;;) {
    ssize_t n = sys::read(fd.get(), buf, sizeof buf);
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      return Win32ErrorFromErrno(errno, ErrnoOp::kRead);
    }
    text->append(buf, static_cast<size_t>(n));
    if (text->size() > static_cast<size_t>(kMaxStoreBytes)) return ERROR_BADDB;
  }
  return ERROR_SUCCESS;
}

struct Cache {
  std::mutex mutex;
  bool valid = false;
  std::string path;
  FileIdentity identity;
  Snapshot snapshot;
};

Cache& TheCache() {
  static Cache* cache = new Cache;  // outlives every static destructor that may read the store
  return *cache;
}

void Remember(const std::string& path, const struct stat& st, std::shared_ptr<const Store> store,
              int64_t read_time_ns) {
  Cache& cache = TheCache();
  std::lock_guard<std::mutex> lock(cache.mutex);
  FileIdentity identity = FileIdentity::Of(st);
  cache.valid = identity.mtime_ns + kRacyWindowNs < read_time_ns &&
                identity.ctime_ns + kRacyWindowNs < read_time_ns;
  cache.path = path;
  cache.identity = identity;
  cache.snapshot.store = std::move(store);
  cache.snapshot.mtime_ns = identity.mtime_ns;
}

LSTATUS LoadSnapshot(Snapshot* out) {
  std::string path = StorePath();
  struct stat st;
  if (sys::stat(path.c_str(), &st) != 0) {
    if (errno == ENOENT || errno == ENOTDIR) {
      *out = Snapshot{EmptyStore(), 0};
      return ERROR_SUCCESS;
    }
    return Win32ErrorFromErrno(errno, ErrnoOp::kStat);
  }
  {
    Cache& cache = TheCache();
    std::lock_guard<std::mutex> lock(cache.mutex);
    if (cache.valid && cache.path == path && cache.identity == FileIdentity::Of(st)) {
      *out = cache.snapshot;
      return ERROR_SUCCESS;
    }
  }
  int64_t read_time = NowNanoseconds();
  std::string text;
  bool exists = false;
  LSTATUS rc = ReadStoreFile(path, &text, &st, &exists);
  if (rc != ERROR_SUCCESS) return rc;
  if (!exists) {
    *out = Snapshot{EmptyStore(), 0};
    return ERROR_SUCCESS;
  }
  regedit::ParseResult parsed = regedit::Parse(text);
  if (!parsed.Complete()) return ERROR_BADDB;
  auto store = std::make_shared<const Store>(std::move(parsed.store));
  *out = Snapshot{store, Nanoseconds(st.st_mtim)};
  Remember(path, st, std::move(store), read_time);
  return ERROR_SUCCESS;
}

// ---------------------------------------------------------------------------
// Writing the file

// mkdir -p of the folder that holds the store.
LSTATUS MakeParentFolders(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos || slash == 0) return ERROR_SUCCESS;
  std::string folder = path.substr(0, slash);
  struct stat st;
  if (sys::stat(folder.c_str(), &st) == 0) {
    return S_ISDIR(st.st_mode) ? ERROR_SUCCESS : ERROR_PATH_NOT_FOUND;
  }
  for (size_t pos = 1; pos <= folder.size(); ++pos) {
    if (pos != folder.size() && folder[pos] != '/') continue;
    std::string prefix = folder.substr(0, pos);
    if (sys::mkdir(prefix.c_str(), 0755) == 0 || errno == EEXIST) continue;
    int err = errno;
    if (sys::stat(prefix.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) continue;
    return Win32ErrorFromErrno(err, ErrnoOp::kMkdir);
  }
  return ERROR_SUCCESS;
}

LSTATUS WriteAll(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = sys::write(fd, text.data() + done, text.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return Win32ErrorFromErrno(errno, ErrnoOp::kWrite);
    }
    if (n == 0) return ERROR_CANTWRITE;
    done += static_cast<size_t>(n);
  }
  return ERROR_SUCCESS;
}

// Durability of the renames: the folder holds the store's name. A folder we
// cannot open is left to the system; a file system that cannot sync a
// folder (EINVAL) offers nothing more to do.
LSTATUS SyncFolder(const std::string& path) {
  size_t slash = path.rfind('/');
  std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  Fd dir(sys::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0));
  if (!dir.valid() || sys::fsync(dir.get()) == 0 || errno == EINVAL) return ERROR_SUCCESS;
  return Win32ErrorFromErrno(errno, ErrnoOp::kWrite);
}

// A temporary file of our own. Writers of this process queue and other
// processes hold the lock, so a file already of that name was left by a
// writer that died, or put there by someone else: it goes, and we never
// write through it.
int CreateTemporary(const std::string& tmp) {
  constexpr int kFlags = O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW;
  int fd = sys::open(tmp.c_str(), kFlags, 0644);
  if (fd < 0 && errno == EEXIST && sys::unlink(tmp.c_str()) == 0) {
    fd = sys::open(tmp.c_str(), kFlags, 0644);
  }
  return fd;
}

// Replaces the file with `text` so that every reader sees either the old
// file or the new one, also after a crash: the data is on disk before the
// name moves. On failure the old file is untouched and the temporary gone.
LSTATUS ReplaceFile(const std::string& path, const std::string& text, const struct stat* old,
                    struct stat* written) {
  std::string tmp = path + ".tmp." + std::to_string(getpid());
  Fd fd(CreateTemporary(tmp));
  if (!fd.valid()) return Win32ErrorFromErrno(errno, ErrnoOp::kCreateNew);
  LSTATUS rc = ERROR_SUCCESS;
  // A new store gets the umask's say; a rewrite keeps the permissions the
  // administrator gave the file.
  if (old && sys::fchmod(fd.get(), old->st_mode & 07777) != 0) {
    rc = Win32ErrorFromErrno(errno, ErrnoOp::kSetAttributes);
  }
  if (rc == ERROR_SUCCESS) rc = WriteAll(fd.get(), text);
  if (rc == ERROR_SUCCESS && sys::fsync(fd.get()) != 0) {
    rc = Win32ErrorFromErrno(errno, ErrnoOp::kWrite);
  }
  if (rc == ERROR_SUCCESS && sys::rename(tmp.c_str(), path.c_str()) != 0) {
    rc = Win32ErrorFromErrno(errno, ErrnoOp::kRename);
  }
  if (rc != ERROR_SUCCESS) {
    sys::unlink(tmp.c_str());
    return rc;
  }
  if (sys::fstat(fd.get(), written) != 0) written->st_ino = 0;  // identity unknown: no caching
  return ERROR_SUCCESS;
}

// Makes every write so far durable. Our rewrites synced their data already;
// the file is synced again for text an administrator saved by hand, then the
// folder, so that the last rename survives a crash.
LSTATUS FlushStore() {
  std::string path = StorePath();
  Fd fd(sys::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK, 0));
  if (!fd.valid())
    return errno == ENOENT ? ERROR_SUCCESS : Win32ErrorFromErrno(errno, ErrnoOp::kOpenExisting);
  if (sys::fsync(fd.get()) != 0) return Win32ErrorFromErrno(errno, ErrnoOp::kWrite);
  return SyncFolder(path);
}

LSTATUS LockStore(const std::string& path, Fd* lock) {
  std::string lock_path = path + ".lock";
  int fd = sys::open(lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  // Another account created the lock file: a read-only descriptor locks as well.
  if (fd < 0 && errno == EACCES) fd = sys::open(lock_path.c_str(), O_RDONLY | O_CLOEXEC, 0);
  if (fd < 0) return Win32ErrorFromErrno(errno, ErrnoOp::kCreateAlways);
  lock->reset(fd);
  while (sys::flock(fd, LOCK_EX) != 0) {
    if (errno != EINTR) return Win32ErrorFromErrno(errno, ErrnoOp::kLock);
  }
  return ERROR_SUCCESS;
}

// One read-modify-write transaction. `mutate` edits the freshly read store and
// sets `*changed` when there is something to write; what it returns is the
// result of the call when it is not ERROR_SUCCESS.
template <class Mutate>
LSTATUS Transact(Mutate&& mutate) {
  // Threads of one process queue here; flock queues the processes.
  static std::mutex* writers = new std::mutex;
  std::lock_guard<std::mutex> guard(*writers);

  std::string path = StorePath();
  LSTATUS rc = MakeParentFolders(path);
  if (rc != ERROR_SUCCESS) return rc;
  Fd lock;
  rc = LockStore(path, &lock);
  if (rc != ERROR_SUCCESS) return rc;

  std::string text;
  struct stat st;
  bool exists = false;
  rc = ReadStoreFile(path, &text, &st, &exists);
  if (rc != ERROR_SUCCESS) return rc;
  regedit::ParseResult parsed;
  if (exists) {
    parsed = regedit::Parse(text);
    if (!parsed.Complete()) return ERROR_BADDB;
  }
  bool changed = false;
  rc = mutate(parsed.store, &changed);
  if (rc != ERROR_SUCCESS || !changed) return rc;

  if (exists && parsed.comment_lines > 0) {
    std::string backup = path + ".bak";
    sys::unlink(backup.c_str());
    sys::link(path.c_str(), backup.c_str());  // best effort: the data itself is kept regardless
  }
  int64_t write_time = NowNanoseconds();
  struct stat written;
  rc = ReplaceFile(path, regedit::Write(parsed.store), exists ? &st : nullptr, &written);
  if (rc != ERROR_SUCCESS) return rc;
  if (written.st_ino != 0) {
    Remember(path, written, std::make_shared<const Store>(std::move(parsed.store)), write_time);
  } else {
    TessaryRegistryDropCache();
  }
  return ERROR_SUCCESS;
}

// ---------------------------------------------------------------------------
// Handles

struct KeyHandle {
  Root root;
  std::vector<std::string> path;
};

struct HandleTable {
  std::mutex mutex;
  std::unordered_set<const KeyHandle*> live;
};

HandleTable& Handles() {
  static HandleTable* table = new HandleTable;
  return *table;
}

bool PredefinedRoot(HKEY key, Root* root) {
  if (key == HKEY_CLASSES_ROOT) {
    *root = Root::kClassesRoot;
  } else if (key == HKEY_CURRENT_USER) {
    *root = Root::kCurrentUser;
  } else if (key == HKEY_LOCAL_MACHINE) {
    *root = Root::kLocalMachine;
  } else if (key == HKEY_USERS) {
    *root = Root::kUsers;
  } else {
    return false;
  }
  return true;
}

// The key a handle names; the handle pointer is never followed unless we handed it out.
LSTATUS ResolveHandle(HKEY key, KeyHandle* out) {
  if (PredefinedRoot(key, &out->root)) {
    out->path.clear();
    return ERROR_SUCCESS;
  }
  HandleTable& table = Handles();
  std::lock_guard<std::mutex> lock(table.mutex);
  auto it = table.live.find(reinterpret_cast<const KeyHandle*>(key));
  if (it == table.live.end()) return ERROR_INVALID_HANDLE;
  *out = **it;
  return ERROR_SUCCESS;
}

HKEY NewHandle(KeyHandle key) {
  auto* handle = new KeyHandle(std::move(key));
  HandleTable& table = Handles();
  std::lock_guard<std::mutex> lock(table.mutex);
  table.live.insert(handle);
  return reinterpret_cast<HKEY>(handle);
}

// The handle's key with `subkey` appended; names the file could not hold are refused.
LSTATUS Target(HKEY key, LPCSTR subkey, KeyHandle* out) {
  LSTATUS rc = ResolveHandle(key, out);
  if (rc != ERROR_SUCCESS) return rc;
  if (!subkey) return ERROR_SUCCESS;
  for (std::string& part : regedit::SplitKeyPath(subkey)) {
    if (part.size() > kMaxKeyNameLength || !regedit::NameIsWritable(part)) {
      return ERROR_INVALID_PARAMETER;
    }
    out->path.push_back(std::move(part));
  }
  if (out->path.size() > kMaxKeyDepth) return ERROR_INVALID_PARAMETER;
  return ERROR_SUCCESS;
}

// Why a key is missing: the handle's own key went away, or only the subkey is not there.
LSTATUS MissingKey(const Store& store, HKEY key) {
  KeyHandle base;
  if (ResolveHandle(key, &base) != ERROR_SUCCESS) return ERROR_INVALID_HANDLE;
  return store.Find(base.root, base.path) ? ERROR_FILE_NOT_FOUND : ERROR_KEY_DELETED;
}

// The key of a handle, for the calls that work on the key itself.
LSTATUS KeyOf(HKEY key, Snapshot* snapshot, const Key** out) {
  KeyHandle handle;
  LSTATUS rc = ResolveHandle(key, &handle);
  if (rc != ERROR_SUCCESS) return rc;
  rc = LoadSnapshot(snapshot);
  if (rc != ERROR_SUCCESS) return rc;
  *out = snapshot->store->Find(handle.root, handle.path);
  return *out ? ERROR_SUCCESS : ERROR_KEY_DELETED;
}

// Keys and values of HKEY_CLASSES_ROOT that the store lacks come from the
// system's file-type databases (classes_database.h); the store's own win.
bool SystemClassKey(const KeyHandle& key) {
  return key.root == Root::kClassesRoot && key.path.size() == 1 &&
         tessary::classes::Database::System()->HasKey(key.path[0]);
}

bool SystemClassValue(HKEY key, LPCSTR value_name, std::string* text) {
  KeyHandle handle;
  return ResolveHandle(key, &handle) == ERROR_SUCCESS && SystemClassKey(handle) &&
         tessary::classes::Database::System()->Value(handle.path[0], value_name ? value_name : "",
                                                     text);
}

// RegQueryValueEx's buffer protocol: size only without a buffer, the needed
// size and ERROR_MORE_DATA when the buffer is short.
LSTATUS CopyOut(DWORD type, const uint8_t* bytes, size_t size, LPDWORD lpType, LPBYTE lpData,
                LPDWORD lpcbData) {
  if (lpType) *lpType = type;
  if (size > 0xFFFFFFFFu) return ERROR_NOT_ENOUGH_MEMORY;
  DWORD needed = static_cast<DWORD>(size);
  if (!lpData) {
    if (lpcbData) *lpcbData = needed;
    return ERROR_SUCCESS;
  }
  if (*lpcbData < needed) {
    *lpcbData = needed;
    return ERROR_MORE_DATA;
  }
  if (size) memcpy(lpData, bytes, size);
  *lpcbData = needed;
  return ERROR_SUCCESS;
}

bool IsStringType(DWORD type) {
  return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
}

bool ValueNameAcceptable(const char* name) {
  std::string_view n = name ? name : "";
  return n.size() <= kMaxValueNameLength && regedit::NameIsWritable(n);
}

LSTATUS CopyName(const std::string& name, LPSTR buffer, LPDWORD cch) {
  if (name.size() + 1 > *cch) return ERROR_MORE_DATA;
  memcpy(buffer, name.c_str(), name.size() + 1);
  *cch = static_cast<DWORD>(name.size());
  return ERROR_SUCCESS;
}

FILETIME FileTimeFromNanoseconds(int64_t ns) {
  // 100 ns units since 1601-01-01; 0 stays 0 (no file yet).
  uint64_t ticks = ns == 0 ? 0 : static_cast<uint64_t>(ns / 100) + 116444736000000000ull;
  return FILETIME{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
}

}  // namespace

EXTERN_C {
  const char* TessaryRegistryPath(void) {
    const char* env = getenv("TESSARY_REGISTRY");
    return env && *env ? env : kDefaultStorePath;
  }

  void TessaryRegistryDropCache(void) {
    Cache& cache = TheCache();
    std::lock_guard<std::mutex> lock(cache.mutex);
    cache.valid = false;
    cache.snapshot = Snapshot{};
  }

  LSTATUS RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions, REGSAM samDesired,
                        PHKEY phkResult) {
    return tessary::GuardStatus([&]() -> LSTATUS {
      if (!phkResult) return ERROR_INVALID_PARAMETER;
      *phkResult = nullptr;
      KeyHandle target;
      LSTATUS rc = Target(hKey, lpSubKey, &target);
      if (rc != ERROR_SUCCESS) return rc;
      Snapshot snapshot;
      rc = LoadSnapshot(&snapshot);
      if (rc != ERROR_SUCCESS) return rc;
      if (!snapshot.store->Find(target.root, target.path) && !SystemClassKey(target))
        return MissingKey(*snapshot.store, hKey);
      *phkResult = NewHandle(std::move(target));
      return ERROR_SUCCESS;
    });
  }

  LSTATUS RegCreateKeyExA(
      HKEY hKey, LPCSTR lpSubKey, DWORD Reserved, LPSTR lpClass, DWORD dwOptions, REGSAM samDesired,
      LPSECURITY_ATTRIBUTES lpSecurityAttributes, PHKEY phkResult, LPDWORD lpdwDisposition) {
    return tessary::GuardStatus([&]() -> LSTATUS {
      if (!phkResult || !lpSubKey) return ERROR_INVALID_PARAMETER;
      *phkResult = nullptr;
      KeyHandle target;
      LSTATUS rc = Target(hKey, lpSubKey, &target);
      if (rc != ERROR_SUCCESS) return rc;
      KeyHandle base;
      rc = ResolveHandle(hKey, &base);
      if (rc != ERROR_SUCCESS) return rc;

      // Opening what exists needs no write, so no lock and no rewrite of the file.
      Snapshot snapshot;
      rc = LoadSnapshot(&snapshot);
      if (rc != ERROR_SUCCESS) return rc;
      DWORD disposition = REG_OPENED_EXISTING_KEY;
      if (!snapshot.store->Find(target.root, target.path)) {
        rc = Transact([&](Store& store, bool* changed) -> LSTATUS {
          Key* key = store.Find(base.root, base.path);
          if (!key) return ERROR_KEY_DELETED;
          for (size_t i = base.path.size(); i < target.path.size(); ++i) {
            bool created = false;
            key = key->AddSubkey(target.path[i], &created);
            *changed = *changed || created;
          }
          if (*changed) disposition = REG_CREATED_NEW_KEY;
          return ERROR_SUCCESS;
        });
        if (rc != ERROR_SUCCESS) return rc;
      }
      if (lpdwDisposition) *lpdwDisposition = disposition;
      *phkResult = NewHandle(std::move(target));
      return ERROR_SUCCESS;
    });
  }

  LSTATUS RegFlushKey(HKEY hKey) {
    return tessary::GuardStatus([&]() -> LSTATUS {
      KeyHandle handle;
      LSTATUS rc = ResolveHandle(hKey, &handle);
      if (rc != ERROR_SUCCESS) return rc;
      return FlushStore();
    });
  }

  LSTATUS RegCloseKey(HKEY hKey) {
    return tessary::GuardStatus([&]() -> LSTATUS {
      Root root;
      if (PredefinedRoot(hKey, &root)) return ERROR_SUCCESS;
      const KeyHandle* handle = reinterpret_cast<const KeyHandle*>(hKey);
      {
        HandleTable& table = Handles();
        std::lock_guard<std::mutex> lock(table.mutex);
        if (table.live.erase(handle) == 0) return ERROR_INVALID_HANDLE;
      }
      delete handle;
      return ERROR_SUCCESS;
    });
  }

  LSTATUS RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType,
                           LPBYTE lpData, LPDWORD lpcbData) {
    return tessary::GuardStatus([&]() -> LSTATUS {
      if (lpReserved || (lpData && !lpcbData)) return ERROR_INVALID_PARAMETER;
      Snapshot snapshot;
      const Key* key = nullptr;
      LSTATUS rc = KeyOf(hKey, &snapshot, &key);
      if (rc != ERROR_SUCCESS && rc != ERROR_KEY_DELETED) return rc;
      const Value* value = key ? key->FindValue(lpValueName ? lpValueName : "") : nullptr;
      if (!value) {
        std::string text;
        if (!SystemClassValue(hKey, lpValueName, &text))
          return rc != ERROR_SUCCESS ? rc : ERROR_FILE_NOT_FOUND;
        return CopyOut(REG_SZ, reinterpret_cast<const uint8_t*>(text.c_str()), text.size() + 1,
                       lpType, lpData, lpcbData);
      }
      return CopyOut(value->type, value->data.data(), value->data.size(), lpType, lpData, lpcbData);
    });
  }

  LSTATUS RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType,
                           LPBYTE lpData, LPDWORD lpcbData) {
    return tessary::GuardStatus([&]() -> LSTATUS {
      if (lpReserved || (lpData && !lpcbData)) return ERROR_INVALID_PARAMETER;
      // The converters set the last error when they fail; registry calls never do.
      struct KeepLastError {
        DWORD saved = GetLastError();
        ~KeepLastError() { SetLastError(saved); }
      } keep;
      std::string name;
      if (lpValueName && *lpValueName) {
        int n = WideCharToMultiByte(CP_ACP, 0, lpValueName, -1, nullptr, 0, nullptr, nullptr);
        if (n <= 0) return ERROR_INVALID_PARAMETER;
        name.resize(static_cast<size_t>(n));
        if (WideCharToMultiByte(CP_ACP, 0, lpValueName, -1, name.data(), n, nullptr, nullptr) !=
            n) {
          return ERROR_INVALID_PARAMETER;
        }
        name.resize(static_cast<size_t>(n) - 1);
      }
      Snapshot snapshot;
      const Key* key = nullptr;
      LSTATUS rc = KeyOf(hKey, &snapshot, &key);
      if (rc != ERROR_SUCCESS) return rc;
      const Value* value = key->FindValue(name);
      if (!value) return ERROR_FILE_NOT_FOUND;
      if (!IsStringType(value->type) || value->data.empty()) {
        return CopyOut(value->type, value->data.data(), value->data.size(), lpType, lpData,
                       lpcbData);
      }
      // As Windows hands W callers strings in UTF-16, terminators and all.
      if (value->data.size() > 0x7fffffff) return ERROR_NOT_ENOUGH_MEMORY;
      const char* bytes = reinterpret_cast<const char*>(value->data.data());
      int size = static_cast<int>(value->data.size());
      int units = MultiByteToWideChar(CP_ACP, 0, bytes, size, nullptr, 0);
      std::u16string wide(units > 0 ? static_cast<size_t>(units) : 0, u'\0');
      if (units > 0 && MultiByteToWideChar(CP_ACP, 0, bytes, size, wide.data(), units) != units) {
        return ERROR_NOT_ENOUGH_MEMORY;
      }
      return CopyOut(value->type, reinterpret_cast<const uint8_t*>(wide.data()),
                     wide.size() * sizeof(char16_t), lpType, lpData, lpcbData);
    });
  }

  LSTATUS RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD Reserved, DWORD dwType,
                         const BYTE* lpData, DWORD cbData) {
    return tessary::GuardStatus([&]() -> LSTATUS {
      if ((!lpData && cbData) || !ValueNameAcceptable(lpValueName)) return ERROR_INVALID_PARAMETER;
      KeyHandle handle;
      LSTATUS rc = ResolveHandle(hKey, &handle);
      if (rc != ERROR_SUCCESS) return rc;
      Value value;
      value.name = lpValueName ? lpValueName : "";
      value.type = dwType;
      if (cbData) value.data.assign(lpData, lpData + cbData);
      // Stored terminated whatever the caller counted, so every reader gets a
      // terminated string (a multi-string ends with an empty one).
      if (IsStringType(dwType)) {
        if (value.data.empty() || value.data.back() != 0) value.data.push_back(0);
        if (dwType == REG_MULTI_SZ && value.data.size() >= 2 && value.data[value.data.size() - 2]) {
          value.data.push_back(0);
        }
      }
      return Transact([&](Store& store, bool* changed) -> LSTATUS {
        Key* key = store.Find(handle.root, handle.path);
        if (!key) return ERROR_KEY_DELETED;
        const Value* old = key->FindValue(value.name);
        *changed = !old || old->type != value.type || old->data != value.data;
        if (*changed) key->SetValue(value);
        return ERROR_SUCCESS;
      });
    });
  }

  LSTATUS RegDeleteValueA(HKEY hKey, LPCSTR lpValueName) {
    return tessary::GuardStatus([&]() -> LSTATUS {
      KeyHandle handle;
      LSTATUS rc = ResolveHandle(hKey, &handle);
      if (rc != ERROR_SUCCESS) return rc;
      std::string name = lpValueName ? lpValueName : "";
      return Transact([&](Store& store, bool* changed) -> LSTATUS {
        Key* key = store.Find(handle.root, handle.path);
        if (!key) return ERROR_KEY_DELETED;
        *changed = key->RemoveValue(name);
        return *changed ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
      });
    });
  }

  LSTATUS RegDeleteKeyA(HKEY hKey, LPCSTR lpSubKey) {
    return tessary::GuardStatus([&]() -> LSTATUS {
      if (!lpSubKey) return ERROR_INVALID_PARAMETER;
      KeyHandle target;
      LSTATUS rc = Target(hKey, lpSubKey, &target);
      if (rc != ERROR_SUCCESS) return rc;
      if (target.path.empty()) return ERROR_ACCESS_DENIED;  // the roots cannot go
      return Transact([&](Store& store, bool* changed) -> LSTATUS {
        Key* key = store.Find(target.root, target.path);
        if (!key) return MissingKey(store, hKey);
        // As on Windows: only a leaf key can be deleted this way.
        if (!key->subkeys.empty()) return ERROR_ACCESS_DENIED;
        std::string leaf = target.path.back();
        target.path.pop_back();
        store.Find(target.root, target.path)->RemoveSubkey(leaf);
        *changed = true;
        return ERROR_SUCCESS;
      });
    });
  }

  LSTATUS RegDeleteTreeA(HKEY hKey, LPCSTR lpSubKey) {
    return tessary::GuardStatus([&]() -> LSTATUS {
      KeyHandle target;
      LSTATUS rc = Target(hKey, lpSubKey, &target);
      if (rc != ERROR_SUCCESS) return rc;
      bool contents_only = !lpSubKey || regedit::SplitKeyPath(lpSubKey).empty();
      return Transact([&](Store& store, bool* changed) -> LSTATUS {
        Key* key = store.Find(target.root, target.path);
        if (!key) return contents_only ? ERROR_KEY_DELETED : MissingKey(store, hKey);
        if (contents_only) {
          *changed = !key->values.empty() || !key->subkeys.empty();
          key->values.clear();
          key->subkeys.clear();
          return ERROR_SUCCESS;
        }
        std::string leaf = target.path.back();
        target.path.pop_back();
        store.Find(target.root, target.path)->RemoveSubkey(leaf);
        *changed = true;
        return ERROR_SUCCESS;
      });
    });
  }

  LSTATUS RegEnumKeyExA(HKEY hKey, DWORD dwIndex, LPSTR lpName, LPDWORD lpcchName,
                        LPDWORD lpReserved, LPSTR lpClass, LPDWORD lpcchClass,
                        PFILETIME lpftLastWriteTime) {
    return tessary::GuardStatus([&]() -> LSTATUS {
      if (!lpName || !lpcchName || lpReserved) return ERROR_INVALID_PARAMETER;
      Snapshot snapshot;
      const Key* key = nullptr;
      LSTATUS rc = KeyOf(hKey, &snapshot, &key);
      if (rc != ERROR_SUCCESS) return rc;
      if (dwIndex >= key->subkeys.size()) return ERROR_NO_MORE_ITEMS;
      rc = CopyName(key->subkeys[dwIndex].name, lpName, lpcchName);
      if (rc != ERROR_SUCCESS) return rc;
      // Keys have no classes here; the store file's time stands for every key's.
      if (lpClass && lpcchClass && *lpcchClass > 0) *lpClass = '\0';
      if (lpcchClass) *lpcchClass = 0;
      if (lpftLastWriteTime) *lpftLastWriteTime = FileTimeFromNanoseconds(snapshot.mtime_ns);
      return ERROR_SUCCESS;
    });
  }

  LSTATUS RegEnumValueA(HKEY hKey, DWORD dwIndex, LPSTR lpValueName, LPDWORD lpcchValueName,
                        LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
    return tessary::GuardStatus([&]() -> LSTATUS {
      if (!lpValueName || !lpcchValueName || lpReserved || (lpData && !lpcbData)) {
        return ERROR_INVALID_PARAMETER;
      }
      Snapshot snapshot;
      const Key* key = nullptr;
      LSTATUS rc = KeyOf(hKey, &snapshot, &key);
      if (rc != ERROR_SUCCESS) return rc;
      if (dwIndex >= key->values.size()) return ERROR_NO_MORE_ITEMS;
      const Value& value = key->values[dwIndex];
      rc = CopyName(value.name, lpValueName, lpcchValueName);
      if (rc != ERROR_SUCCESS) return rc;
      return CopyOut(value.type, value.data.data(), value.data.size(), lpType, lpData, lpcbData);
    });
  }

}  // EXTERN_C
