// Windows path rules as pure text operations: no system calls, the same
// answers on any host, tested from tables. Both targets build this module:
// the POSIX layer resolves paths with it, and the component splits and joins
// the paths scripts give it by the same rules on Windows and POSIX.
//
// The rules reproduced are those of the Windows path normaliser that every
// ANSI file service runs first:
// - "\" and "/" are both separators; runs of separators count as one.
// - Roots: "C:\" (drive absolute), "C:" (drive relative: the current folder
//   when it is on that drive, else the drive's root), "\" (the root of the
//   current folder's drive or share) and "\\server\share" (UNC).
// - "." components vanish and ".." removes the previous component, never the
//   root.
// - A trailing separator is kept. Without one, trailing dots and spaces of
//   the final component are dropped ("a.txt. " names "a.txt").
// - A path handed to a file service holds at most 259 bytes (MAX_PATH with
//   its terminator).
// - Names never hold < > : " | ? * or control characters; ? and * are
//   wildcards in search patterns only.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

// Exported from the POSIX platform library so the core and the tests share
// one copy; on Windows the module is compiled into the DLL.
#if defined(_WIN32)
#define TESSARY_WINPATH_API
#else
#define TESSARY_WINPATH_API __attribute__((visibility("default")))
#endif

namespace tessary::winpath {

// MAX_PATH: 259 bytes of path plus the terminator.
constexpr size_t kMaxPath = 260;
// The 256-byte buffers a Folder normalises its path into and the short-name
// and file-system-name queries answer into: a Folder path of 256 to 259
// bytes, which the file services would take, is refused there with
// ERROR_FILENAME_EXCED_RANGE.
constexpr size_t kFolderBuffer = 256;

enum class RootKind {
  kRelative,       // "dir\name"
  kDriveRelative,  // "C:dir\name"
  kDriveAbsolute,  // "C:\dir\name"
  kRooted,         // "\dir\name"
  kUnc,            // "\\server\share\dir\name"
};

struct Root {
  RootKind kind = RootKind::kRelative;
  char drive = 0;           // as written, for the two drive kinds
  std::string_view server;  // kUnc
  std::string_view share;   // kUnc; empty for "\\server" alone
  size_t length = 0;        // bytes of the input the root takes, separator included
};

// Which characters end a component: the file services take both, but some
// of the component's own rules (GetDriveName, the UNC test of the drive name a
// Drive member takes) count the backslash alone.
enum class Separators { kEither, kBackslash };

inline bool IsSeparator(char c, Separators which = Separators::kEither) {
  return c == '\\' || (c == '/' && which == Separators::kEither);
}

// Whether `path` starts as a UNC path does ("\\server..."), by the
// separators `which` names.
inline bool IsUnc(std::string_view path, Separators which = Separators::kEither) {
  return path.size() >= 2 && IsSeparator(path[0], which) && IsSeparator(path[1], which);
}

inline bool IsDriveLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
inline char UpperAscii(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c; }

TESSARY_WINPATH_API Root ParseRoot(std::string_view path, Separators which = Separators::kEither);

// True when resolving `path` needs the current folder (relative, drive
// relative and rooted forms).
TESSARY_WINPATH_API bool NeedsCurrentDirectory(std::string_view path);

enum class Trim {
  kFinalDotsAndSpaces,  // what the file services do with a name
  kNone,                // search patterns keep "*." as written
};

// The full path of `path`: a drive root or "\\server\share" followed by the
// components, "\" separators only. `current` is the full path of the current
// folder; it is only read for the forms that need it. False for an empty
// path, or when `current` is needed and is not a full path.
TESSARY_WINPATH_API bool FullPath(std::string_view path, std::string_view current, std::string* out,
                                  Trim trim = Trim::kFinalDotsAndSpaces);

// A full path (as FullPath makes it) taken apart.
struct FullPathParts {
  RootKind kind = RootKind::kDriveAbsolute;  // kDriveAbsolute or kUnc
  char drive = 0;
  std::string_view server;
  std::string_view share;
  std::vector<std::string_view> components;
  bool trailing_separator = false;
};
TESSARY_WINPATH_API bool SplitFullPath(std::string_view full, FullPathParts* parts);

// Where the final component of a full path starts; npos when the path ends
// in a separator or is a root.
TESSARY_WINPATH_API size_t FinalComponentOffset(std::string_view full);

// The characters Windows refuses in a name; `allow_wildcards` admits ? and *.
TESSARY_WINPATH_API bool IsValidComponent(std::string_view component, bool allow_wildcards);
TESSARY_WINPATH_API bool HasWildcards(std::string_view text);

// ---------------------------------------------------------------------------
// What the component does with paths before the system sees them. Text a
// script hands over is split and joined by these rules; only the system's
// own normalisation (GetFullPathNameA) goes further.

// The last separator of `path`, or npos.
TESSARY_WINPATH_API size_t LastSeparator(std::string_view path,
                                         Separators which = Separators::kEither);
// The text after the last separator, or all of `path` when it has none.
TESSARY_WINPATH_API std::string_view AfterLastSeparator(std::string_view path,
                                                        Separators which = Separators::kEither);

// `folder` ending in exactly one added backslash unless it ends in one
// already ("" gives "\"): the folder part a name is appended to.
TESSARY_WINPATH_API std::string WithFinalBackslash(std::string_view folder);
// A name in a folder: WithFinalBackslash(folder) + name.
TESSARY_WINPATH_API std::string Join(std::string_view folder, std::string_view name);
// `folder` + "\" + `name` whatever `folder` ends in: after a root the
// doubled separator stays (the file services accept it). The folder walks
// name subfolders this way and files by Join.
TESSARY_WINPATH_API std::string JoinSubfolder(std::string_view folder, std::string_view name);
// Two parts of a path with exactly one backslash at the joint when both are
// given: a backslash ending `left` and one starting `right` make one; either
// part alone is returned as it is. A forward slash is no separator here.
TESSARY_WINPATH_API std::string Combine(std::string_view left, std::string_view right);

// Wildcard matching as the Windows find services do it: "*" any run, "?" one
// character, with the DOS rules the services apply (a "?" before a dot or at
// the end may match nothing, "*." and ".*" treat a name without a dot as
// having an empty extension, so "*.*" matches every name). ASCII letters
// match without regard to case; other bytes must be equal.
TESSARY_WINPATH_API bool MatchPattern(std::string_view pattern, std::string_view name);

}  // namespace tessary::winpath
