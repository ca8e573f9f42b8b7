// The Windows path namespace over the host's folders.
//
// The configuration store maps names to host folders (values as the
// REGEDIT4 file spells them, backslashes doubled):
//   [HKEY_LOCAL_MACHINE\SOFTWARE\Quennel\QN-Tessary\Drives]
//   "C:"="/srv/files"            a drive letter on a host folder
//   "S:"="\\\\srv\\data"           a drive letter on a share listed below: a
//                                network drive (DRIVE_REMOTE, WNetGetConnection)
//   [...\Shares]
//   "\\\\srv\\data"="/mnt/data"    the UNC root \\srv\data; shares not listed are
//                                refused with ERROR_BAD_NETPATH
//   [...\Drives\CaseSensitive]
//   "D:"=dword:00000001          names on D: (or a share, by its name) must be
//                                spelt as on disk; elsewhere a name missing
//                                under its exact spelling finds the entry
//                                that differs only in case (name_lookup.h)
//   [...\Folders]
//   "Temp", "Windows", "System"  a host folder (or a Windows path) for
//                                GetTempPath, GetWindowsDirectory, GetSystemDirectory;
//                                defaults $TMPDIR or /tmp, /etc, /usr/lib
// With no drive mapped, C: is "/". Host folders must be absolute; values
// that are not are ignored. Letters and share names ignore case. A store file
// that is there but cannot be read or parsed maps nothing at all: every path
// then fails with ERROR_BADDB (a damaged file) or ERROR_CANTREAD (an
// unreadable one) rather than reaching a folder the administrator may have
// meant to keep out of reach.
//
// The store is read at first use and again whenever $TESSARY_REGISTRY names
// another file, or after ReloadNamespace(). Translating a path therefore
// reads no store; a changed mapping takes effect in the next process. On a
// drive that ignores case (the default) it costs one lstat of the whole path,
// and more only when a name is missing as spelt (name_lookup.h); a service
// that looks at the entry anyway (GetFileAttributesA) maps it as spelt and
// pays that only on a miss. The tree walks name entries relative to their
// folders and never come here.
#include <errno.h>
#include <limits.h>
#include <stdlib.h>

#include <cstring>
#include <mutex>

#include "platform/guard.h"
#include "platform/posix/files_internal.h"
#include "platform/posix/name_lookup.h"
#include "platform/posix/syscalls.h"
#include "platform/winpath.h"

namespace tessary::files {
namespace {

constexpr char kDrivesKey[] = "SOFTWARE\\Quennel\\QN-Tessary\\Drives";
constexpr char kCaseSensitiveKey[] = "SOFTWARE\\Quennel\\QN-Tessary\\Drives\\CaseSensitive";
constexpr char kSharesKey[] = "SOFTWARE\\Quennel\\QN-Tessary\\Shares";
constexpr char kFoldersKey[] = "SOFTWARE\\Quennel\\QN-Tessary\\Folders";
constexpr char kDefaultWindowsFolder[] = "/etc";
constexpr char kDefaultSystemFolder[] = "/usr/lib";
constexpr char kDefaultTempFolder[] = "/tmp";

struct StoreValue {
  std::string name;
  std::string data;
};

// What a path reports when the store failed the registry call `rc`.
DWORD StoreFailure(LSTATUS rc) { return rc == ERROR_BADDB ? ERROR_BADDB : ERROR_CANTREAD; }

// Calls `take(name, type, data, size)` for each value of one key up to a
// folder's length; longer ones are no names or folders we accept. An absent
// key has none. A failure of the store itself is returned, never taken for an
// absent key.
template <typename Take>
DWORD ForEachValue(const char* subkey, Take take) {
  HKEY key = nullptr;
  const LSTATUS open_rc = RegOpenKeyExA(HKEY_LOCAL_MACHINE, subkey, 0, KEY_READ, &key);
  if (open_rc == ERROR_FILE_NOT_FOUND) return ERROR_SUCCESS;
  if (open_rc != ERROR_SUCCESS) return StoreFailure(open_rc);
  DWORD failure = ERROR_SUCCESS;
  std::vector<char> name(256);
  std::vector<BYTE> data(PATH_MAX + 1);
  for (DWORD index = 0;; ++index) {
    DWORD name_size = static_cast<DWORD>(name.size());
    DWORD data_size = static_cast<DWORD>(data.size());
    DWORD type = REG_NONE;
    const LSTATUS rc =
        RegEnumValueA(key, index, name.data(), &name_size, nullptr, &type, data.data(), &data_size);
    if (rc == ERROR_NO_MORE_ITEMS) break;
    if (rc == ERROR_MORE_DATA) continue;
    if (rc != ERROR_SUCCESS) {
      failure = StoreFailure(rc);
      break;
    }
    take(std::string(name.data(), name_size), type, data.data(), data_size);
  }
  RegCloseKey(key);
  return failure;
}

// The string values of one key.
DWORD ReadStringValues(const char* subkey, std::vector<StoreValue>* values) {
  values->clear();
  return ForEachValue(subkey, [&](std::string name, DWORD type, const BYTE* data, DWORD size) {
    if (type != REG_SZ && type != REG_EXPAND_SZ) return;
    const char* text = reinterpret_cast<const char*>(data);
    values->push_back({std::move(name), std::string(text, strnlen(text, size))});
  });
}

// The names of the DWORD values of one key that are not 0.
DWORD ReadSetSwitches(const char* subkey, std::vector<std::string>* names) {
  names->clear();
  return ForEachValue(subkey, [&](std::string name, DWORD type, const BYTE* data, DWORD size) {
    DWORD value = 0;
    if (type != REG_DWORD || size != sizeof(value)) return;
    std::memcpy(&value, data, sizeof(value));
    if (value != 0) names->push_back(std::move(name));
  });
}

// "/a//b/./c/../" becomes "/a/b"; false for a relative path.
bool NormalizeHostPath(std::string_view path, std::string* out) {
  if (path.empty() || path[0] != '/') return false;
  std::vector<std::string_view> parts;
  size_t pos = 0;
  while (pos < path.size()) {
    size_t end = path.find('/', pos);
    if (end == std::string_view::npos) end = path.size();
    const std::string_view part = path.substr(pos, end - pos);
    if (part.empty() || part == ".") {
    } else if (part == "..") {
      if (!parts.empty()) parts.pop_back();
    } else {
      parts.push_back(part);
    }
    pos = end + 1;
  }
  out->clear();
  for (std::string_view part : parts) {
    *out += '/';
    out->append(part);
  }
  if (out->empty()) *out = "/";
  return true;
}

std::string CanonicalOf(const std::string& folder) {
  char resolved[PATH_MAX];
  if (sys::realpath(folder.c_str(), resolved) == nullptr) return std::string();
  std::string canonical(resolved);
  return canonical == folder ? std::string() : canonical;
}

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (winpath::UpperAscii(a[i]) != winpath::UpperAscii(b[i])) return false;
  }
  return true;
}

// "C", "C:" and "C:\" all name drive C.
int DriveIndexOfValueName(std::string_view name) {
  if (name.empty() || !winpath::IsDriveLetter(name[0])) return -1;
  if (name.size() == 1 || (name.size() == 2 && name[1] == ':') ||
      (name.size() == 3 && name[1] == ':' && winpath::IsSeparator(name[2]))) {
    return winpath::UpperAscii(name[0]) - 'A';
  }
  return -1;
}

bool IsShareName(std::string_view name) {
  const winpath::Root root = winpath::ParseRoot(name);
  return root.kind == winpath::RootKind::kUnc && !root.server.empty() && !root.share.empty() &&
         root.length == name.size();
}

const Mapping::Share* FindShare(const Mapping& mapping, std::string_view name) {
  for (const Mapping::Share& share : mapping.shares) {
    if (share.name.size() != name.size()) continue;
    bool same = true;
    for (size_t i = 0; i < name.size() && same; ++i) {
      const char a =
          winpath::IsSeparator(share.name[i]) ? '\\' : winpath::UpperAscii(share.name[i]);
      const char b = winpath::IsSeparator(name[i]) ? '\\' : winpath::UpperAscii(name[i]);
      same = a == b;
    }
    if (same) return &share;
  }
  return nullptr;
}

std::shared_ptr<const Mapping> LoadMapping() {
  auto mapping = std::make_shared<Mapping>();
  std::vector<StoreValue> shares, drives, folders;
  std::vector<std::string> case_sensitive;
  DWORD error = ReadStringValues(kSharesKey, &shares);
  if (error == ERROR_SUCCESS) error = ReadStringValues(kDrivesKey, &drives);
  if (error == ERROR_SUCCESS) error = ReadStringValues(kFoldersKey, &folders);
  if (error == ERROR_SUCCESS) error = ReadSetSwitches(kCaseSensitiveKey, &case_sensitive);
  if (error != ERROR_SUCCESS) {
    // Not even the C: of a machine without a store: whatever the file says
    // is unknown, and it may confine the drives.
    mapping->store_error = error;
    return mapping;
  }
  for (const StoreValue& value : shares) {
    std::string folder;
    if (!IsShareName(value.name) || !NormalizeHostPath(value.data, &folder)) continue;
    Mapping::Share share;
    share.name = value.name;
    for (char& c : share.name) {
      if (c == '/') c = '\\';
    }
    share.folder = folder;
    share.canonical = CanonicalOf(folder);
    mapping->shares.push_back(std::move(share));
  }
  bool any = false;
  for (const StoreValue& value : drives) {
    const int index = DriveIndexOfValueName(value.name);
    if (index < 0) continue;
    Mapping::Drive& drive = mapping->drives[index];
    std::string folder;
    if (IsShareName(value.data)) {
      const Mapping::Share* share = FindShare(*mapping, value.data);
      if (share == nullptr) continue;
      drive.folder = share->folder;
      drive.canonical = share->canonical;
      drive.remote = share->name;
    } else if (NormalizeHostPath(value.data, &folder)) {
      drive.folder = folder;
      drive.canonical = CanonicalOf(folder);
    } else {
      continue;
    }
    drive.mapped = true;
    any = true;
  }
  if (!any) {
    mapping->drives['C' - 'A'].mapped = true;
    mapping->drives['C' - 'A'].folder = "/";
  }
  for (const std::string& name : case_sensitive) {
    const int index = DriveIndexOfValueName(name);
    if (index >= 0) mapping->drives[index].exact_names = true;
    for (Mapping::Share& share : mapping->shares) {
      if (&share == FindShare(*mapping, name)) share.exact_names = true;
    }
  }
  for (const StoreValue& value : folders) {
    if (EqualsIgnoringCase(value.name, "Temp")) mapping->temp_folder = value.data;
    if (EqualsIgnoringCase(value.name, "Windows")) mapping->windows_folder = value.data;
    if (EqualsIgnoringCase(value.name, "System")) mapping->system_folder = value.data;
  }
  return mapping;
}

struct Cache {
  std::mutex mutex;
  bool loaded = false;
  std::string location;
  std::shared_ptr<const Mapping> mapping;
};

Cache& TheCache() {
  static Cache* cache = new Cache;  // used by services that may run during static destruction
  return *cache;
}

// Length of `folder` when it holds `host` (component-wise), else 0.
size_t HoldLength(const std::string& folder, std::string_view host) {
  if (folder.empty()) return 0;
  if (folder == "/") return 1;
  if (host.size() < folder.size() || host.compare(0, folder.size(), folder) != 0) return 0;
  if (host.size() > folder.size() && host[folder.size()] != '/') return 0;
  return folder.size();
}

bool AppendHostRest(std::string_view rest, std::string* out) {
  size_t pos = 0;
  while (pos < rest.size()) {
    size_t end = rest.find('/', pos);
    if (end == std::string_view::npos) end = rest.size();
    const std::string_view part = rest.substr(pos, end - pos);
    if (!part.empty()) {
      // A host name holding a backslash has no Windows spelling.
      if (part.find('\\') != std::string_view::npos) return false;
      if (out->back() != '\\') *out += '\\';
      out->append(part);
    }
    pos = end + 1;
  }
  return true;
}

// A store value for a special folder: a host folder, or a Windows path.
bool SpecialFolder(const std::string& value, std::string* out) {
  if (value.empty()) return false;
  if (value[0] == '/') {
    std::string host;
    return NormalizeHostPath(value, &host) && HostToWindows(host, out);
  }
  const winpath::RootKind kind = winpath::ParseRoot(value).kind;
  if (kind != winpath::RootKind::kDriveAbsolute && kind != winpath::RootKind::kUnc) return false;
  return winpath::FullPath(value, std::string_view(), out);
}

// The folder a special-folder service reports, without a trailing separator
// except at a root.
DWORD FolderServiceResult(const std::string& value, const char* fallback, std::string* out) {
  if (!SpecialFolder(value, out) && !SpecialFolder(fallback, out)) return ERROR_PATH_NOT_FOUND;
  if (out->size() > 3 && out->back() == '\\') out->pop_back();
  return ERROR_SUCCESS;
}

// The current folder when `path` needs it. "X:name" falls back to the root
// of X: when the current folder is on no drive, as it does when it is on
// another drive.
DWORD CurrentDirectoryFor(std::string_view path, std::string* current) {
  current->clear();
  if (!winpath::NeedsCurrentDirectory(path)) return ERROR_SUCCESS;
  const DWORD error = CurrentDirectory(current);
  if (error != ERROR_SUCCESS) {
    current->clear();
    if (winpath::ParseRoot(path).kind != winpath::RootKind::kDriveRelative) return error;
  }
  return ERROR_SUCCESS;
}

}  // namespace

std::shared_ptr<const Mapping> CurrentMapping() {
  const char* env = getenv("TESSARY_REGISTRY");
  const std::string_view location = env != nullptr ? env : "";
  Cache& cache = TheCache();
  std::lock_guard<std::mutex> lock(cache.mutex);
  if (!cache.loaded || cache.location != location) {
    cache.mapping = LoadMapping();
    cache.location.assign(location);
    cache.loaded = true;
  }
  return cache.mapping;
}

void ReloadNamespace() {
  Cache& cache = TheCache();
  {
    std::lock_guard<std::mutex> lock(cache.mutex);
    cache.loaded = false;
  }
  DropFolderIndexes();
}

bool HostToWindows(std::string_view host_in, std::string* out) {
  std::string host;
  if (!NormalizeHostPath(host_in, &host)) return false;
  const std::shared_ptr<const Mapping> mapping = CurrentMapping();
  size_t best = 0;
  std::string root;
  for (int i = 0; i < 26; ++i) {
    const Mapping::Drive& drive = mapping->drives[i];
    if (!drive.mapped) continue;
    for (const std::string* folder : {&drive.folder, &drive.canonical}) {
      const size_t length = HoldLength(*folder, host);
      if (length > best) {
        best = length;
        root = std::string(1, static_cast<char>('A' + i)) + ":\\";
      }
    }
  }
  if (best == 0) {
    // Only a share holds it: the current folder may be a UNC path on Windows too.
    for (const Mapping::Share& share : mapping->shares) {
      for (const std::string* folder : {&share.folder, &share.canonical}) {
        const size_t length = HoldLength(*folder, host);
        if (length > best) {
          best = length;
          root = share.name;
        }
      }
    }
  }
  if (best == 0) return false;
  std::string result = root;
  if (!AppendHostRest(std::string_view(host).substr(best), &result)) return false;
  *out = std::move(result);
  return true;
}

DWORD CurrentDirectory(std::string* out) {
  const DWORD store_error = CurrentMapping()->store_error;
  if (store_error != ERROR_SUCCESS) return store_error;
  char buffer[PATH_MAX];
  if (sys::getcwd(buffer, sizeof(buffer)) == nullptr) {
    return sys::Win32ErrorFromErrno(errno, sys::ErrnoOp::kStat);
  }
  if (!HostToWindows(buffer, out)) return ERROR_PATH_NOT_FOUND;
  return ERROR_SUCCESS;
}

namespace {

DWORD Resolve(const char* path, PathUse use, bool look_up_case, HostPath* out) {
  *out = HostPath();
  if (path == nullptr || *path == '\0') return ERROR_PATH_NOT_FOUND;
  const std::string_view input(path);
  if (input.size() >= winpath::kMaxPath) return ERROR_FILENAME_EXCED_RANGE;
  const std::shared_ptr<const Mapping> mapping = CurrentMapping();
  if (mapping->store_error != ERROR_SUCCESS) return mapping->store_error;

  std::string current;
  const DWORD current_error = CurrentDirectoryFor(input, &current);
  if (current_error != ERROR_SUCCESS) return current_error;
  // A pattern such as "*." keeps its dots; a plain name loses them as on Windows.
  winpath::Trim trim = winpath::Trim::kFinalDotsAndSpaces;
  if (use == PathUse::kPattern) {
    size_t last = input.size();
    while (last > 0 && !winpath::IsSeparator(input[last - 1])) --last;
    if (winpath::HasWildcards(input.substr(last))) trim = winpath::Trim::kNone;
  }
  if (!winpath::FullPath(input, current, &out->full, trim)) return ERROR_PATH_NOT_FOUND;
  if (out->full.size() >= winpath::kMaxPath) return ERROR_FILENAME_EXCED_RANGE;

  winpath::FullPathParts parts;
  if (!winpath::SplitFullPath(out->full, &parts)) {
    return winpath::ParseRoot(out->full).kind == winpath::RootKind::kUnc ? ERROR_BAD_NETPATH
                                                                         : ERROR_INVALID_NAME;
  }
  for (size_t i = 0; i < parts.components.size(); ++i) {
    const bool last = i + 1 == parts.components.size();
    if (!winpath::IsValidComponent(parts.components[i], use == PathUse::kPattern && last)) {
      return ERROR_INVALID_NAME;
    }
  }

  bool exact_names = false;
  if (parts.kind == winpath::RootKind::kDriveAbsolute) {
    const Mapping::Drive& drive = mapping->drives[winpath::UpperAscii(parts.drive) - 'A'];
    if (!drive.mapped) return ERROR_PATH_NOT_FOUND;
    out->host = drive.folder;
    exact_names = drive.exact_names;
  } else {
    std::string name = "\\\\";
    name.append(parts.server);
    name += '\\';
    name.append(parts.share);
    const Mapping::Share* share = FindShare(*mapping, name);
    if (share == nullptr) return ERROR_BAD_NETPATH;
    out->host = share->folder;
    exact_names = share->exact_names;
  }
  if (exact_names || !look_up_case) {
    out->unmatched = !exact_names && !parts.components.empty();
    for (std::string_view component : parts.components) {
      if (out->host.back() != '/') out->host += '/';
      out->host.append(component);
    }
  } else {
    const std::string root = out->host;
    const DWORD error =
        MatchHostPath(root, parts.components,
                      use == PathUse::kPattern && !parts.components.empty() &&
                          winpath::HasWildcards(parts.components.back()),
                      use == PathUse::kChange ? Ambiguity::kRefuse : Ambiguity::kMiss, &out->host);
    if (error != ERROR_SUCCESS) return error;
  }
  if (parts.trailing_separator) out->host += '/';
  if (out->host.size() >= PATH_MAX) return ERROR_FILENAME_EXCED_RANGE;
  out->name_offset = winpath::FinalComponentOffset(out->full);
  out->is_root = parts.components.empty();
  out->trailing_separator = parts.trailing_separator;
  return ERROR_SUCCESS;
}

}  // namespace

DWORD ResolvePath(const char* path, PathUse use, HostPath* out) {
  return Resolve(path, use, true, out);
}

DWORD ResolvePathAsSpelt(const char* path, PathUse use, HostPath* out) {
  return Resolve(path, use, false, out);
}

namespace {

// Which bytes a name may hold, by the rule every other path is judged by.
struct NameBytes {
  bool allowed[256];
  NameBytes() {
    for (int i = 0; i < 256; ++i) {
      const char c = static_cast<char>(i);
      allowed[i] = i != 0 && winpath::IsValidComponent(std::string_view(&c, 1), false);
    }
  }
};

}  // namespace

bool MapPlainPath(const char* path, PlainHostPath* out) {
  if (path == nullptr || !winpath::IsDriveLetter(path[0]) || path[1] != ':' || path[2] != '\\') {
    return false;
  }
  const std::shared_ptr<const Mapping> mapping = CurrentMapping();
  if (mapping->store_error != ERROR_SUCCESS) return false;
  const Mapping::Drive& drive = mapping->drives[winpath::UpperAscii(path[0]) - 'A'];
  if (!drive.mapped) return false;
  const std::string& folder = drive.folder;
  const size_t base = folder.back() == '/' ? folder.size() : folder.size() + 1;
  if (base >= PATH_MAX) return false;
  std::memcpy(out->host, folder.data(), folder.size());
  out->host[base - 1] = '/';

  // One pass over the names, copying them after the folder: each must be
  // there (a doubled or trailing separator is not plain), be no "." or ".."
  // (which fold away) and hold only what a name may hold ("/" is not).
  static const NameBytes name_bytes;
  char* to = out->host + base;
  char* const last = out->host + PATH_MAX - 1;  // the terminator's place at the latest
  size_t start = 3;
  size_t end = start;
  for (;; ++end) {
    if (end >= winpath::kMaxPath) return false;
    const char c = path[end];
    if (c == '\\' || c == '\0') {
      const size_t length = end - start;
      if (length == 0 ||
          (path[start] == '.' && (length == 1 || (length == 2 && path[start + 1] == '.')))) {
        return false;
      }
      if (c == '\0') break;
      start = end + 1;
    } else if (!name_bytes.allowed[static_cast<unsigned char>(c)]) {
      return false;
    }
    if (to == last) return false;
    *to++ = c == '\\' ? '/' : c;
  }
  // The file services drop a final name's trailing dots and spaces.
  if (path[end - 1] == '.' || path[end - 1] == ' ') return false;
  *to = '\0';
  out->name = std::string_view(path + start, end - start);
  out->unmatched = !drive.exact_names;
  return true;
}

DWORD ResolveMove(const char* from_text, const char* to_text, HostPath* from, HostPath* to) {
  DWORD error = ResolvePath(from_text, PathUse::kChange, from);
  if (error == ERROR_SUCCESS) error = ResolvePath(to_text, PathUse::kChange, to);
  if (error != ERROR_SUCCESS || to->name_offset == std::string::npos) return error;
  // The destination found an entry only by ignoring case. When that entry is
  // the source itself, the move changes the case of its name, so the
  // destination keeps the caller's spelling (as a new name would).
  const std::string_view given = std::string_view(to->full).substr(to->name_offset);
  const size_t slash = to->host.rfind('/');
  if (slash == std::string::npos || std::string_view(to->host).substr(slash + 1) == given) {
    return ERROR_SUCCESS;
  }
  FileInfo source, dest;
  if (StatPath(from->host, false, &source) == 0 && StatPath(to->host, false, &dest) == 0 &&
      source.dev == dest.dev && source.ino == dest.ino) {
    to->host.resize(slash + 1);
    to->host.append(given);
  }
  return ERROR_SUCCESS;
}

DWORD CopyOut(std::string_view text, char* buffer, DWORD size) {
  if (buffer == nullptr || text.size() + 1 > size) return static_cast<DWORD>(text.size() + 1);
  std::memcpy(buffer, text.data(), text.size());
  buffer[text.size()] = '\0';
  return static_cast<DWORD>(text.size());
}

// GetWindowsDirectoryA and GetSystemDirectoryA: the store's folder, or
// the default; none at all while the store cannot be used.
UINT SystemFolderResult(std::string Mapping::*member, const char* fallback, char* buffer,
                        UINT size) {
  const std::shared_ptr<const Mapping> mapping = CurrentMapping();
  if (mapping->store_error != ERROR_SUCCESS) return FailWith(mapping->store_error);
  std::string folder;
  const DWORD error = FolderServiceResult((*mapping).*member, fallback, &folder);
  if (error != ERROR_SUCCESS) return FailWith(error);
  return CopyOut(folder, buffer, size);
}

}  // namespace tessary::files

using tessary::files::CopyOut;
using tessary::files::CurrentMapping;
using tessary::files::SystemFolderResult;

EXTERN_C {
  DWORD GetFullPathNameA(LPCSTR lpFileName, DWORD nBufferLength, LPSTR lpBuffer,
                         LPSTR * lpFilePart) {
    return tessary::GuardWin32<DWORD>(0, [&]() -> DWORD {
      if (lpFilePart != nullptr) *lpFilePart = nullptr;
      if (lpFileName == nullptr) return tessary::files::FailWith(ERROR_INVALID_PARAMETER);
      if (*lpFileName == '\0') return tessary::files::FailWith(ERROR_INVALID_NAME);
      const std::string_view input(lpFileName);
      std::string current;
      const DWORD error = tessary::files::CurrentDirectoryFor(input, &current);
      if (error != ERROR_SUCCESS) return tessary::files::FailWith(error);
      std::string full;
      if (!tessary::winpath::FullPath(input, current, &full)) {
        return tessary::files::FailWith(ERROR_INVALID_NAME);
      }
      const DWORD result = CopyOut(full, lpBuffer, nBufferLength);
      if (result == full.size() && lpFilePart != nullptr) {
        const size_t offset = tessary::winpath::FinalComponentOffset(full);
        if (offset != std::string::npos) *lpFilePart = lpBuffer + offset;
      }
      return result;
    });
  }

  DWORD GetShortPathNameA(LPCSTR lpszLongPath, LPSTR lpszShortPath, DWORD cchBuffer) {
    return tessary::GuardWin32<DWORD>(0, [&]() -> DWORD {
      if (lpszLongPath == nullptr) return tessary::files::FailWith(ERROR_INVALID_PARAMETER);
      tessary::files::HostPath path;
      DWORD error =
          tessary::files::ResolvePath(lpszLongPath, tessary::files::PathUse::kName, &path);
      if (error != ERROR_SUCCESS) return tessary::files::FailWith(error);
      tessary::files::FileInfo info;
      const int err = tessary::files::StatPath(path.host, false, &info);
      if (err != 0) {
        return tessary::files::FailWith(
            tessary::files::ErrorForPath(err, tessary::sys::ErrnoOp::kStat, path.host));
      }
      // No short names exist: every component already is its own short form.
      return CopyOut(lpszLongPath, lpszShortPath, cchBuffer);
    });
  }

  DWORD GetCurrentDirectoryA(DWORD nBufferLength, LPSTR lpBuffer) {
    return tessary::GuardWin32<DWORD>(0, [&]() -> DWORD {
      std::string current;
      const DWORD error = tessary::files::CurrentDirectory(&current);
      if (error != ERROR_SUCCESS) return tessary::files::FailWith(error);
      return CopyOut(current, lpBuffer, nBufferLength);
    });
  }

  DWORD GetTempPathA(DWORD nBufferLength, LPSTR lpBuffer) {
    return tessary::GuardWin32<DWORD>(0, [&]() -> DWORD {
      const std::shared_ptr<const tessary::files::Mapping> mapping = CurrentMapping();
      if (mapping->store_error != ERROR_SUCCESS)
        return tessary::files::FailWith(mapping->store_error);
      const char* tmpdir = getenv("TMPDIR");
      std::string folder;
      if (!tessary::files::SpecialFolder(mapping->temp_folder, &folder) &&
          !(tmpdir != nullptr && tessary::files::SpecialFolder(tmpdir, &folder)) &&
          !tessary::files::SpecialFolder(tessary::files::kDefaultTempFolder, &folder)) {
        return tessary::files::FailWith(ERROR_PATH_NOT_FOUND);
      }
      if (folder.back() != '\\') folder += '\\';
      return CopyOut(folder, lpBuffer, nBufferLength);
    });
  }

  UINT GetWindowsDirectoryA(LPSTR lpBuffer, UINT uSize) {
    return tessary::GuardWin32<UINT>(0, [&]() -> UINT {
      return SystemFolderResult(&tessary::files::Mapping::windows_folder,
                                tessary::files::kDefaultWindowsFolder, lpBuffer, uSize);
    });
  }

  UINT GetSystemDirectoryA(LPSTR lpBuffer, UINT uSize) {
    return tessary::GuardWin32<UINT>(0, [&]() -> UINT {
      return SystemFolderResult(&tessary::files::Mapping::system_folder,
                                tessary::files::kDefaultSystemFolder, lpBuffer, uSize);
    });
  }

}  // EXTERN_C
