// The configuration store's file format: the REGEDIT4 text an administrator
// can read and edit, parsed into a tree of keys and values and written back.
//
// The tree holds value data exactly as the A functions hand it out: strings
// are UTF-8 (our ANSI code page) with their terminating NULs, a DWORD is four
// little-endian bytes. The parser never fails: a line it cannot understand is
// skipped and counted, and the caller decides from the counts whether the
// file can be trusted (the store trusts only a complete one).
// Exported only so the tests and the fuzzer can reach it; not part of the seam.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/posix/com_types.h"

namespace tessary::regedit {

// The four trees of the file, in the order the writer emits them.
enum class Root { kClassesRoot, kCurrentUser, kLocalMachine, kUsers };
constexpr int kRootCount = 4;

struct Value {
  std::string name;  // "" is the key's default value (written "@")
  uint32_t type = 0;
  std::vector<uint8_t> data;

  bool operator==(const Value& other) const {
    return name == other.name && type == other.type && data == other.data;
  }
};

struct TESSARY_EXPORT Key {
  std::string name;           // case preserved; compared without ASCII case
  std::vector<Value> values;  // in the order they were first set, as Windows enumerates them
  std::vector<Key> subkeys;   // sorted without case, as Windows enumerates them

  Key* FindSubkey(std::string_view subkey_name);
  const Key* FindSubkey(std::string_view subkey_name) const;
  // The existing subkey of that name, or a new empty one in sorted position.
  Key* AddSubkey(std::string_view subkey_name, bool* created = nullptr);
  bool RemoveSubkey(std::string_view subkey_name);
  const Value* FindValue(std::string_view value_name) const;
  // Replaces the value of the same name in place, or appends it.
  void SetValue(Value value);
  bool RemoveValue(std::string_view value_name);

  bool operator==(const Key& other) const {
    return name == other.name && values == other.values && subkeys == other.subkeys;
  }
};

struct TESSARY_EXPORT Store {
  Key roots[kRootCount];

  Store();
  Key& root(Root r) { return roots[static_cast<int>(r)]; }
  const Key& root(Root r) const { return roots[static_cast<int>(r)]; }
  // The key at `path` (components below the root), or null.
  Key* Find(Root r, const std::vector<std::string>& path);
  const Key* Find(Root r, const std::vector<std::string>& path) const;

  bool operator==(const Store& other) const;
};

struct ParseResult {
  Store store;
  // The first line is "REGEDIT4" (or the header of the newer UTF-16 export).
  bool recognised = false;
  // Nothing but whitespace: a store nobody has written yet.
  bool blank = false;
  size_t skipped_lines = 0;  // lines that said nothing we could use
  size_t comment_lines = 0;

  // A file the store may answer from: blank, or headed and with every line
  // understood. A line we had to skip may be the very setting that was meant
  // to switch something off, so a store that holds one answers nothing.
  bool Complete() const { return blank || (recognised && skipped_lines == 0); }
};

// Key and value names compare as Windows compares them for ASCII letters;
// other bytes must match exactly.
TESSARY_EXPORT bool NamesEqual(std::string_view a, std::string_view b);
TESSARY_EXPORT bool NameLess(std::string_view a, std::string_view b);

// "HKEY_LOCAL_MACHINE" or "HKLM" (any case) to its tree.
TESSARY_EXPORT bool RootFromName(std::string_view name, Root* root);
TESSARY_EXPORT const char* RootName(Root root);

// Splits "A\\B\\C" into components; empty components (doubled or trailing
// backslashes) are dropped, so a stored key never has an empty name.
TESSARY_EXPORT std::vector<std::string> SplitKeyPath(std::string_view path);

TESSARY_EXPORT ParseResult Parse(std::string_view text);
TESSARY_EXPORT std::string Write(const Store& store);

// A name the file cannot hold: a line break would end the line early.
TESSARY_EXPORT bool NameIsWritable(std::string_view name);

}  // namespace tessary::regedit
