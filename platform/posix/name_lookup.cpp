// Windows name rules on host folders.
//
// A Windows script may spell `C:\Data\Report.TXT` for the host file
// /data/report.txt. Resolving a path first tries the exact spelling (one
// lstat of the whole path); only when that misses is each component checked,
// and a missing one looked up in its folder's folded index: a map from the
// case-folded name to the entries spelt that way. The index is kept per
// folder while the folder's identity and change time stay as they were, so
// repeated misses in a large folder read it once. A folder changed in the
// same clock tick as our reading could keep its change time, so an index
// read then is used once and not kept (the same rule decides for file
// systems that keep times in whole seconds, with their coarser tick).
#include "platform/posix/name_lookup.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <iterator>
#include <memory>
#include <mutex>
#include <unordered_map>

#include "platform/files.h"
#include "platform/posix/files_internal.h"
#include "platform/posix/syscalls.h"

namespace tessary::files {
namespace {

struct FoldRun {
  uint32_t first;
  uint32_t last;
  int32_t delta;
  uint32_t step;
};

constexpr FoldRun kFoldRuns[] = {
#include "platform/posix/case_folding_table.inc"
};

uint32_t FoldCodePoint(uint32_t c) {
  if (c < 0x80) return c >= 'A' && c <= 'Z' ? c + 32 : c;
  const FoldRun* end = std::end(kFoldRuns);
  const FoldRun* run = std::upper_bound(std::begin(kFoldRuns), end, c,
                                        [](uint32_t v, const FoldRun& r) { return v < r.first; });
  if (run == std::begin(kFoldRuns)) return c;
  --run;
  if (c > run->last || (c - run->first) % run->step != 0) return c;
  return static_cast<uint32_t>(static_cast<int32_t>(c) + run->delta);
}

// The length of the UTF-8 sequence at `s` and its code point; 0 when the
// bytes are not a well-formed sequence.
size_t DecodeUtf8(std::string_view s, size_t i, uint32_t* c) {
  const unsigned char b0 = static_cast<unsigned char>(s[i]);
  size_t n;
  uint32_t min;
  if (b0 < 0x80) {
    *c = b0;
    return 1;
  } else if ((b0 & 0xE0) == 0xC0) {
    n = 2, *c = b0 & 0x1F, min = 0x80;
  } else if ((b0 & 0xF0) == 0xE0) {
    n = 3, *c = b0 & 0x0F, min = 0x800;
  } else if ((b0 & 0xF8) == 0xF0) {
    n = 4, *c = b0 & 0x07, min = 0x10000;
  } else {
    return 0;
  }
  if (i + n > s.size()) return 0;
  for (size_t k = 1; k < n; ++k) {
    const unsigned char b = static_cast<unsigned char>(s[i + k]);
    if ((b & 0xC0) != 0x80) return 0;
    *c = (*c << 6) | (b & 0x3F);
  }
  if (*c < min || *c > 0x10FFFF || (*c >= 0xD800 && *c <= 0xDFFF)) return 0;
  return n;
}

void AppendUtf8(uint32_t c, std::string* out) {
  if (c < 0x80) {
    *out += static_cast<char>(c);
  } else if (c < 0x800) {
    *out += static_cast<char>(0xC0 | (c >> 6));
    *out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    *out += static_cast<char>(0xE0 | (c >> 12));
    *out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    *out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    *out += static_cast<char>(0xF0 | (c >> 18));
    *out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    *out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    *out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

struct FolderIndex {
  dev_t dev = 0;
  ino_t ino = 0;
  struct timespec ctime = {};
  struct timespec mtime = {};
  // folded name -> the entries spelt that way
  std::unordered_map<std::string, std::vector<std::string>> names;
};

bool SameTime(const struct timespec& a, const struct timespec& b) {
  return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

// Kept folders; a process that wanders through more drops them all and
// starts again, which bounds the memory without bookkeeping on hits.
constexpr size_t kMaxIndexes = 64;

struct IndexCache {
  std::mutex mutex;
  std::unordered_map<std::string, std::shared_ptr<const FolderIndex>> folders;
};

IndexCache& TheIndexCache() {
  static IndexCache* cache = new IndexCache;  // services may run during static destruction
  return *cache;
}

std::atomic<unsigned long> g_index_reads{0};

// Whether an index read after `started` of a folder whose change time is
// `ctime` may be kept: any later change stamps a time at or after
// `started`, so it will differ. Times in whole seconds get a coarser tick.
bool MayKeep(const struct timespec& ctime, const struct timespec& started) {
  struct timespec limit = started;
  if (ctime.tv_nsec == 0) limit.tv_sec -= 2;
  return ctime.tv_sec < limit.tv_sec ||
         (ctime.tv_sec == limit.tv_sec && ctime.tv_nsec < limit.tv_nsec);
}

// The index of `folder`, read again when the folder changed; null when the
// folder cannot be read (the caller then has no match).
std::shared_ptr<const FolderIndex> IndexOf(const std::string& folder) {
  struct timespec started = {};
  clock_gettime(CLOCK_REALTIME_COARSE, &started);
  FileInfo info;
  if (StatPath(folder, true, &info) != 0 || !S_ISDIR(info.mode)) return nullptr;
  IndexCache& cache = TheIndexCache();
  {
    std::lock_guard<std::mutex> lock(cache.mutex);
    const auto found = cache.folders.find(folder);
    if (found != cache.folders.end()) {
      const FolderIndex& index = *found->second;
      if (index.dev == info.dev && index.ino == info.ino && SameTime(index.ctime, info.ctime) &&
          SameTime(index.mtime, info.mtime)) {
        return found->second;
      }
      cache.folders.erase(found);
    }
  }
  auto index = std::make_shared<FolderIndex>();
  index->dev = info.dev;
  index->ino = info.ino;
  index->ctime = info.ctime;
  index->mtime = info.mtime;
  DIR* dir = sys::opendir(folder.c_str());
  if (dir == nullptr) return nullptr;
  g_index_reads.fetch_add(1, std::memory_order_relaxed);
  const int err = ReadNames(dir, [&](const char* name) {
    const std::string_view entry(name);
    if (entry == "." || entry == "..") return;
    index->names[FoldCase(entry)].emplace_back(entry);
  });
  if (err != 0) return nullptr;
  if (MayKeep(info.ctime, started)) {
    std::lock_guard<std::mutex> lock(cache.mutex);
    if (cache.folders.size() >= kMaxIndexes) cache.folders.clear();
    cache.folders[folder] = index;
  }
  return index;
}

bool EntryExists(const std::string& host, int* err) {
  struct stat st;
  if (sys::fstatat(AT_FDCWD, host.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) return true;
  *err = errno;
  return false;
}

void AppendComponent(std::string_view component, std::string* host) {
  if (host->back() != '/') *host += '/';
  host->append(component);
}

}  // namespace

std::string FoldCase(std::string_view name) {
  std::string out;
  out.reserve(name.size());
  for (size_t i = 0; i < name.size();) {
    uint32_t c = 0;
    const size_t n = DecodeUtf8(name, i, &c);
    if (n == 0) {
      out += name[i++];
      continue;
    }
    AppendUtf8(FoldCodePoint(c), &out);
    i += n;
  }
  return out;
}

DWORD MatchHostPath(const std::string& root, const std::vector<std::string_view>& components,
                    bool last_is_pattern, Ambiguity ambiguity, std::string* host) {
  *host = root;
  for (std::string_view component : components) AppendComponent(component, host);
  int err = 0;
  // The exact spelling wins, and costs nothing more than this.
  if (components.empty() || EntryExists(*host, &err) || err != ENOENT) return ERROR_SUCCESS;

  std::string matched = root;
  for (size_t i = 0; i < components.size(); ++i) {
    const std::string_view component = components[i];
    std::string exact = matched;
    AppendComponent(component, &exact);
    const bool pattern = i + 1 == components.size() && last_is_pattern;
    if (pattern || EntryExists(exact, &err)) {
      matched = std::move(exact);
      continue;
    }
    const std::vector<std::string>* spellings = nullptr;
    std::shared_ptr<const FolderIndex> index;
    if (err == ENOENT) index = IndexOf(matched);
    if (index != nullptr) {
      const auto found = index->names.find(FoldCase(component));
      if (found != index->names.end()) spellings = &found->second;
    }
    if (spellings != nullptr && spellings->size() == 1) {
      AppendComponent(spellings->front(), &matched);
      continue;
    }
    // Several entries differ only in case and none is spelt as asked:
    // Windows would see one of them, and which one is unknown.
    if (spellings != nullptr && ambiguity == Ambiguity::kRefuse) {
      return ERROR_CANT_RESOLVE_FILENAME;
    }
    // No match (or an undecidable one for a read): the rest is as given.
    for (size_t k = i; k < components.size(); ++k) AppendComponent(components[k], &matched);
    break;
  }
  *host = std::move(matched);
  return ERROR_SUCCESS;
}

void DropFolderIndexes() {
  IndexCache& cache = TheIndexCache();
  std::lock_guard<std::mutex> lock(cache.mutex);
  cache.folders.clear();
}

unsigned long FolderIndexReads() { return g_index_reads.load(std::memory_order_relaxed); }

}  // namespace tessary::files
