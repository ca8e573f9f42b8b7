// Windows name rules on host folders: a path component that does not exist
// with its exact spelling finds the one entry of its folder whose name is
// equal under Unicode simple case folding. Not part of the seam.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/posix/com_types.h"

namespace tessary::files {

// The simple case folding of UTF-8 text; bytes that are not UTF-8 are kept
// as they are, so such names still match only themselves.
__attribute__((visibility("default"))) std::string FoldCase(std::string_view name);

// What a lookup does when two or more entries match and none exactly.
enum class Ambiguity {
  kMiss,    // a read: the name stays as given, and does not exist
  kRefuse,  // a change: fail with ERROR_CANT_RESOLVE_FILENAME
};

// Appends `components` to the host folder `root` (each after a "/"), taking
// for each one missing under its exact spelling the single entry that
// matches it without regard to case. The final component is kept as given
// when `last_is_pattern`. Stops matching at the first component that has no
// match (the rest keeps the given spelling, so a new name is created as the
// caller spelt it). Only a miss reads a folder.
DWORD MatchHostPath(const std::string& root, const std::vector<std::string_view>& components,
                    bool last_is_pattern, Ambiguity ambiguity, std::string* host);

// Forgets every folder index (tests and ReloadNamespace).
__attribute__((visibility("default"))) void DropFolderIndexes();

// How many times a folder was read into an index since the process
// started; lets tests see that an unchanged folder is read once.
__attribute__((visibility("default"))) unsigned long FolderIndexReads();

}  // namespace tessary::files
