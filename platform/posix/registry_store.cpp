// The configuration store of the POSIX registry: one REGEDIT4 text file.
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
#include "platform/posix/registry_store.h"

#include <errno.h>
#include <sys/file.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

#include "platform/posix/errno_map.h"
#include "platform/posix/regedit_format.h"
#include "platform/posix/syscalls.h"
#include "platform/system.h"

namespace tessary::regstore {

constexpr char kDefaultStorePath[] = "/etc/tessary/registry.reg";

namespace {

using tessary::regedit::Store;
using tessary::sys::ErrnoOp;
using tessary::sys::Fd;
using tessary::sys::Win32ErrorFromErrno;
namespace sys = tessary::sys;
namespace regedit = tessary::regedit;

// Far above any real configuration; keeps a runaway file from exhausting memory.
constexpr off_t kMaxStoreBytes = off_t{64} << 20;
// Longer than the coarsest timestamp granularity of the file systems we expect.
constexpr int64_t kRacyWindowNs = int64_t{2'000'000'000};

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

}  // namespace

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

LSTATUS Transact(const Mutation& mutate) {
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

void DropCache() {
  Cache& cache = TheCache();
  std::lock_guard<std::mutex> lock(cache.mutex);
  cache.valid = false;
  cache.snapshot = Snapshot{};
}

}  // namespace tessary::regstore

EXTERN_C {
  const char* TessaryRegistryPath(void) {
    const char* env = getenv("TESSARY_REGISTRY");
    return env && *env ? env : tessary::regstore::kDefaultStorePath;
  }

  void TessaryRegistryDropCache(void) { tessary::regstore::DropCache(); }
}
