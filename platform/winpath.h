// Windows path rules as pure text operations: no system calls, the same
// answers on any host, tested from tables.
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

// Exported from the platform library so the core and the tests share one copy.
#if defined(_WIN32)
#define TESSARY_WINPATH_API
#else
#define TESSARY_WINPATH_API __attribute__((visibility("default")))
#endif

namespace tessary::winpath {

// MAX_PATH: 259 bytes of path plus the terminator.
constexpr size_t kMaxPath = 260;

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

inline bool IsSeparator(char c) { return c == '\\' || c == '/'; }
inline bool IsDriveLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
inline char UpperAscii(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c; }

TESSARY_WINPATH_API Root ParseRoot(std::string_view path);

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

// The C runtime's _splitpath: drive ("C:" or empty), folder up to and
// including the last separator, name, and extension from the last dot.
struct SplitParts {
  std::string drive;
  std::string dir;
  std::string fname;
  std::string ext;
};
TESSARY_WINPATH_API SplitParts SplitPath(std::string_view path);

// Wildcard matching as the Windows find services do it: "*" any run, "?" one
// character, with the DOS rules the services apply (a "?" before a dot or at
// the end may match nothing, "*." and ".*" treat a name without a dot as
// having an empty extension, so "*.*" matches every name). ASCII letters
// match without regard to case; other bytes must be equal.
TESSARY_WINPATH_API bool MatchPattern(std::string_view pattern, std::string_view name);

}  // namespace tessary::winpath
