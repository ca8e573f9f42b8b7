#include "platform/posix/regedit_format.h"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <optional>
#include <unordered_map>

#include "platform/registry.h"
#include "platform/system.h"

namespace tessary::regedit {
namespace {

constexpr std::string_view kHeader4 = "REGEDIT4";
// Windows' own export header. Such files are normally UTF-16 and keep their
// hex(1), hex(2) and hex(7) strings as UTF-16 too; we read them, and write
// back REGEDIT4.
constexpr std::string_view kHeader5 = "Windows Registry Editor Version 5.00";

// Windows refuses keys nested deeper than this; holding the parser to it also
// bounds the recursion of the writer and of the tree's destructor.
constexpr size_t kMaxDepth = 512;

// Regedit wraps hex data before column 80; we do the same so that the file
// stays readable in a terminal.
constexpr size_t kHexWrapColumn = 77;

struct RootInfo {
  const char* name;
  const char* abbreviation;
};
constexpr RootInfo kRoots[kRootCount] = {
    {"HKEY_CLASSES_ROOT", "HKCR"},
    {"HKEY_CURRENT_USER", "HKCU"},
    {"HKEY_LOCAL_MACHINE", "HKLM"},
    {"HKEY_USERS", "HKU"},
};

unsigned char Fold(unsigned char c) { return (c >= 'a' && c <= 'z') ? c - 'a' + 'A' : c; }

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\r'; }

std::string_view Trim(std::string_view s) {
  while (!s.empty() && IsSpace(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsSpace(s.back())) s.remove_suffix(1);
  return s;
}

bool StartsWithNoCase(std::string_view s, std::string_view prefix) {
  return s.size() >= prefix.size() && NamesEqual(s.substr(0, prefix.size()), prefix);
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// 1 to 8 hex digits, nothing else.
bool ParseHex32(std::string_view s, uint32_t* out) {
  if (s.empty() || s.size() > 8) return false;
  uint32_t v = 0;
  for (char c : s) {
    int d = HexDigit(c);
    if (d < 0) return false;
    v = (v << 4) | static_cast<uint32_t>(d);
  }
  *out = v;
  return true;
}

// Comma-separated bytes of one or two hex digits; a trailing comma is what
// regedit leaves before a line continuation and is accepted.
bool ParseHexBytes(std::string_view s, std::vector<uint8_t>* out) {
  out->clear();
  s = Trim(s);
  while (!s.empty()) {
    size_t comma = s.find(',');
    std::string_view token = Trim(s.substr(0, comma));
    if (token.empty() || token.size() > 2) return false;
    uint32_t v = 0;
    if (!ParseHex32(token, &v)) return false;
    out->push_back(static_cast<uint8_t>(v));
    if (comma == std::string_view::npos) break;
    s = Trim(s.substr(comma + 1));
  }
  return true;
}

bool IsHexContinuation(std::string_view line) {
  if (line.empty()) return false;
  return std::all_of(line.begin(), line.end(), [](char c) {
    return HexDigit(c) >= 0 || c == ',' || c == ' ' || c == '\t' || c == '\\';
  });
}

// UTF-16LE bytes to UTF-8 through the platform's converter; an odd last byte
// is dropped. False when the converter refuses the text.
bool Utf16LeToUtf8(const uint8_t* bytes, size_t size, std::string* out) {
  // Registry calls leave the thread's last error alone, as on Windows.
  struct KeepLastError {
    DWORD saved = GetLastError();
    ~KeepLastError() { SetLastError(saved); }
  } keep;
  out->clear();
  size_t units = size / 2;
  if (units == 0) return true;
  if (units > 0x3fffffff) return false;
  std::u16string wide(units, u'\0');
  for (size_t i = 0; i < units; ++i) {
    wide[i] = static_cast<char16_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8));
  }
  int n = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(units), nullptr, 0, nullptr,
                              nullptr);
  if (n <= 0) return false;
  out->resize(static_cast<size_t>(n));
  n = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(units), out->data(), n, nullptr,
                          nullptr);
  if (n <= 0) return false;
  out->resize(static_cast<size_t>(n));
  return true;
}

// A quoted name or string starting at s[*pos] == '"'. Only \\ and \" are
// escapes; any other backslash is kept as written, so that an administrator
// who types "C:\Program Files" gets what was meant.
bool ParseQuoted(std::string_view s, size_t* pos, std::string* out) {
  out->clear();
  size_t i = *pos + 1;
  while (i < s.size()) {
    char c = s[i];
    if (c == '"') {
      *pos = i + 1;
      return true;
    }
    if (c == '\\' && i + 1 < s.size() && (s[i + 1] == '\\' || s[i + 1] == '"')) {
      out->push_back(s[i + 1]);
      i += 2;
      continue;
    }
    out->push_back(c);
    ++i;
  }
  return false;  // the line ended inside the quotes
}

void AppendQuoted(std::string* out, std::string_view s) {
  out->push_back('"');
  for (char c : s) {
    if (c == '\\' || c == '"') out->push_back('\\');
    out->push_back(c);
  }
  out->push_back('"');
}

struct ValueLine {
  std::string name;
  bool remove = false;
  uint32_t type = 0;
  std::vector<uint8_t> data;
};

// One value line, with the continuation lines of hex data that follow it
// (`*index` moves past those it consumed).
bool ParseValueLine(const std::vector<std::string_view>& lines, size_t* index, bool unicode,
                    ValueLine* out) {
  std::string_view line = Trim(lines[*index]);
  size_t pos = 0;
  if (line[0] == '@') {
    out->name.clear();
    pos = 1;
  } else if (!ParseQuoted(line, &pos, &out->name)) {
    return false;
  }
  while (pos < line.size() && IsSpace(line[pos])) ++pos;
  if (pos >= line.size() || line[pos] != '=') return false;
  std::string_view rest = Trim(line.substr(pos + 1));
  if (rest.empty()) return false;

  if (rest == "-") {
    out->remove = true;
    return true;
  }
  if (rest[0] == '"') {
    size_t end = 0;
    std::string text;
    if (!ParseQuoted(rest, &end, &text) || end != rest.size()) return false;
    out->type = REG_SZ;
    out->data.assign(text.begin(), text.end());
    out->data.push_back(0);
    return true;
  }
  if (StartsWithNoCase(rest, "dword:")) {
    uint32_t v = 0;
    if (!ParseHex32(Trim(rest.substr(6)), &v)) return false;
    out->type = REG_DWORD;
    out->data = {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8),
                 static_cast<uint8_t>(v >> 16), static_cast<uint8_t>(v >> 24)};
    return true;
  }
  if (!StartsWithNoCase(rest, "hex")) return false;
  rest.remove_prefix(3);
  uint32_t type = REG_BINARY;
  if (!rest.empty() && rest[0] == '(') {
    size_t close = rest.find(')');
    if (close == std::string_view::npos || !ParseHex32(rest.substr(1, close - 1), &type)) {
      return false;
    }
    rest.remove_prefix(close + 1);
  }
  if (rest.empty() || rest[0] != ':') return false;
  rest.remove_prefix(1);

  std::string joined(Trim(rest));
  while (!joined.empty() && joined.back() == '\\') {
    joined.pop_back();
    if (*index + 1 >= lines.size()) break;
    std::string_view next = Trim(lines[*index + 1]);
    // Anything but hex is the next line of the file, not ours: the value ends
    // here rather than swallowing a key or value that follows.
    if (!IsHexContinuation(next)) break;
    ++*index;
    joined.append(next);
    while (!joined.empty() && IsSpace(joined.back())) joined.pop_back();
  }
  if (!ParseHexBytes(joined, &out->data)) return false;
  out->type = type;
  if (unicode && (type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ)) {
    std::string utf8;
    if (!Utf16LeToUtf8(out->data.data(), out->data.size(), &utf8)) return false;
    out->data.assign(utf8.begin(), utf8.end());
  }
  return true;
}

// A string the quoted form can carry and give back byte for byte.
bool IsPlainString(const std::vector<uint8_t>& data) {
  if (data.empty() || data.back() != 0) return false;
  for (size_t i = 0; i + 1 < data.size(); ++i) {
    if (data[i] == 0 || data[i] == '\r' || data[i] == '\n') return false;
  }
  return true;
}

void AppendValue(std::string* out, const Value& value) {
  if (value.name.empty()) {
    out->push_back('@');
  } else {
    AppendQuoted(out, value.name);
  }
  out->push_back('=');
  if (value.type == REG_SZ && IsPlainString(value.data)) {
    AppendQuoted(out, std::string_view(reinterpret_cast<const char*>(value.data.data()),
                                       value.data.size() - 1));
  } else if (value.type == REG_DWORD && value.data.size() == 4) {
    uint32_t v = value.data[0] | (value.data[1] << 8) | (value.data[2] << 16) |
                 (static_cast<uint32_t>(value.data[3]) << 24);
    char buf[16];
    snprintf(buf, sizeof buf, "dword:%08x", v);
    out->append(buf);
  } else {
    size_t line_start = out->rfind('\n');
    line_start = line_start == std::string::npos ? 0 : line_start + 1;
    if (value.type == REG_BINARY) {
      out->append("hex:");
    } else {
      char buf[24];
      snprintf(buf, sizeof buf, "hex(%x):", static_cast<unsigned>(value.type));
      out->append(buf);
    }
    size_t column = out->size() - line_start;
    for (size_t i = 0; i < value.data.size(); ++i) {
      bool last = i + 1 == value.data.size();
      size_t width = last ? 2 : 3;
      if (column + width > kHexWrapColumn) {
        out->append("\\\n  ");
        column = 2;
      }
      char buf[4];
      snprintf(buf, sizeof buf, "%02x", value.data[i]);
      out->append(buf);
      if (!last) out->push_back(',');
      column += width;
    }
  }
  out->push_back('\n');
}

// The tree while a file is read. A file can be large and in any order, so
// lookups are hashed and removals leave empty slots; Finish() turns it into
// the Key tree, subkeys sorted, in one pass at the end.
struct Node {
  std::string name;
  std::vector<std::optional<Value>> values;
  std::unordered_map<std::string, size_t> value_slot;  // by folded name
  std::vector<std::unique_ptr<Node>> children;         // null once removed
  std::unordered_map<std::string, size_t> child_slot;  // by folded name

  static std::string Folded(std::string_view s) {
    std::string folded(s);
    for (char& c : folded) c = static_cast<char>(Fold(static_cast<unsigned char>(c)));
    return folded;
  }

  Node* Child(const std::string& child_name) {
    auto [it, inserted] = child_slot.try_emplace(Folded(child_name), children.size());
    if (inserted) {
      children.push_back(std::make_unique<Node>());
      children.back()->name = child_name;
    }
    return children[it->second].get();
  }
  Node* FindChild(const std::string& child_name) {
    auto it = child_slot.find(Folded(child_name));
    return it == child_slot.end() ? nullptr : children[it->second].get();
  }
  void RemoveChild(const std::string& child_name) {
    auto it = child_slot.find(Folded(child_name));
    if (it == child_slot.end()) return;
    children[it->second].reset();
    child_slot.erase(it);
  }
  void SetValue(Value value) {
    auto [it, inserted] = value_slot.try_emplace(Folded(value.name), values.size());
    if (inserted) {
      values.emplace_back(std::move(value));
    } else {
      // The name keeps its first spelling, as Key::SetValue does.
      values[it->second]->type = value.type;
      values[it->second]->data = std::move(value.data);
    }
  }
  void RemoveValue(const std::string& value_name) {
    auto it = value_slot.find(Folded(value_name));
    if (it == value_slot.end()) return;
    values[it->second].reset();
    value_slot.erase(it);
  }
  void Finish(Key* key) {
    for (std::optional<Value>& value : values) {
      if (value) key->values.push_back(std::move(*value));
    }
    for (std::unique_ptr<Node>& child : children) {
      if (!child) continue;
      key->subkeys.emplace_back();
      key->subkeys.back().name = std::move(child->name);
      child->Finish(&key->subkeys.back());
      child.reset();
    }
    std::sort(key->subkeys.begin(), key->subkeys.end(),
              [](const Key& a, const Key& b) { return NameLess(a.name, b.name); });
  }
};

void AppendKey(std::string* out, const std::string& path, const Key& key, bool is_root) {
  // A root with no values of its own is implied by its subkeys.
  if (!is_root || !key.values.empty()) {
    out->push_back('[');
    out->append(path);
    out->append("]\n");
    for (const Value& value : key.values) AppendValue(out, value);
    out->push_back('\n');
  }
  for (const Key& sub : key.subkeys) AppendKey(out, path + "\\" + sub.name, sub, false);
}

}  // namespace

bool NamesEqual(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (Fold(static_cast<unsigned char>(a[i])) != Fold(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return true;
}

bool NameLess(std::string_view a, std::string_view b) {
  size_t n = std::min(a.size(), b.size());
  for (size_t i = 0; i < n; ++i) {
    unsigned char x = Fold(static_cast<unsigned char>(a[i]));
    unsigned char y = Fold(static_cast<unsigned char>(b[i]));
    if (x != y) return x < y;
  }
  return a.size() < b.size();
}

Key* Key::FindSubkey(std::string_view subkey_name) {
  auto it = std::lower_bound(subkeys.begin(), subkeys.end(), subkey_name,
                             [](const Key& k, std::string_view n) { return NameLess(k.name, n); });
  if (it != subkeys.end() && NamesEqual(it->name, subkey_name)) return &*it;
  return nullptr;
}

const Key* Key::FindSubkey(std::string_view subkey_name) const {
  return const_cast<Key*>(this)->FindSubkey(subkey_name);
}

Key* Key::AddSubkey(std::string_view subkey_name, bool* created) {
  auto it = std::lower_bound(subkeys.begin(), subkeys.end(), subkey_name,
                             [](const Key& k, std::string_view n) { return NameLess(k.name, n); });
  if (it != subkeys.end() && NamesEqual(it->name, subkey_name)) {
    if (created) *created = false;
    return &*it;
  }
  Key key;
  key.name = std::string(subkey_name);
  if (created) *created = true;
  return &*subkeys.insert(it, std::move(key));
}

bool Key::RemoveSubkey(std::string_view subkey_name) {
  Key* key = FindSubkey(subkey_name);
  if (!key) return false;
  subkeys.erase(subkeys.begin() + (key - subkeys.data()));
  return true;
}

const Value* Key::FindValue(std::string_view value_name) const {
  for (const Value& v : values) {
    if (NamesEqual(v.name, value_name)) return &v;
  }
  return nullptr;
}

void Key::SetValue(Value value) {
  for (Value& v : values) {
    // Windows keeps the name as first written when a value is overwritten.
    if (NamesEqual(v.name, value.name)) {
      v.type = value.type;
      v.data = std::move(value.data);
      return;
    }
  }
  values.push_back(std::move(value));
}

bool Key::RemoveValue(std::string_view value_name) {
  for (auto it = values.begin(); it != values.end(); ++it) {
    if (NamesEqual(it->name, value_name)) {
      values.erase(it);
      return true;
    }
  }
  return false;
}

Store::Store() {
  for (int i = 0; i < kRootCount; ++i) roots[i].name = kRoots[i].name;
}

Key* Store::Find(Root r, const std::vector<std::string>& path) {
  Key* key = &root(r);
  for (const std::string& name : path) {
    key = key->FindSubkey(name);
    if (!key) return nullptr;
  }
  return key;
}

const Key* Store::Find(Root r, const std::vector<std::string>& path) const {
  return const_cast<Store*>(this)->Find(r, path);
}

bool Store::operator==(const Store& other) const {
  return std::equal(std::begin(roots), std::end(roots), std::begin(other.roots));
}

bool RootFromName(std::string_view name, Root* root) {
  for (int i = 0; i < kRootCount; ++i) {
    if (NamesEqual(name, kRoots[i].name) || NamesEqual(name, kRoots[i].abbreviation)) {
      *root = static_cast<Root>(i);
      return true;
    }
  }
  return false;
}

const char* RootName(Root root) { return kRoots[static_cast<int>(root)].name; }

std::vector<std::string> SplitKeyPath(std::string_view path) {
  std::vector<std::string> parts;
  while (!path.empty()) {
    size_t sep = path.find('\\');
    std::string_view part = path.substr(0, sep);
    if (!part.empty()) parts.emplace_back(part);
    if (sep == std::string_view::npos) break;
    path.remove_prefix(sep + 1);
  }
  return parts;
}

bool NameIsWritable(std::string_view name) {
  return name.find_first_of(std::string_view("\r\n\0", 3)) == std::string_view::npos;
}

ParseResult Parse(std::string_view text) {
  ParseResult result;
  std::string converted;
  if (text.size() >= 2 && static_cast<uint8_t>(text[0]) == 0xFF &&
      static_cast<uint8_t>(text[1]) == 0xFE) {
    if (!Utf16LeToUtf8(reinterpret_cast<const uint8_t*>(text.data()) + 2, text.size() - 2,
                       &converted)) {
      return result;  // neither blank nor recognised: writers leave it alone
    }
    text = converted;
  } else if (text.size() >= 3 && text.substr(0, 3) == "\xEF\xBB\xBF") {
    text.remove_prefix(3);
  }

  std::vector<std::string_view> lines;
  for (size_t start = 0; start <= text.size();) {
    size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  result.blank =
      std::all_of(text.begin(), text.end(), [](char c) { return IsSpace(c) || c == '\n'; });

  size_t first = 0;
  bool unicode = false;
  std::string_view header = Trim(lines[0]);
  if (header == kHeader4 || header == kHeader5) {
    result.recognised = true;
    unicode = header == kHeader5;
    first = 1;
  }

  Node roots[kRootCount];
  Node* current = nullptr;
  for (size_t i = first; i < lines.size(); ++i) {
    std::string_view line = Trim(lines[i]);
    if (line.empty()) continue;
    if (line[0] == ';') {
      ++result.comment_lines;
      continue;
    }
    // No text editor leaves NULs in a line; such a line is junk, whatever else it holds.
    if (line.find('\0') != std::string_view::npos) {
      ++result.skipped_lines;
      continue;
    }
    if (line[0] == '[') {
      current = nullptr;
      size_t close = line.rfind(']');
      std::string_view inner = close == std::string_view::npos ? "" : line.substr(1, close - 1);
      bool remove = !inner.empty() && inner[0] == '-';
      if (remove) inner.remove_prefix(1);
      std::vector<std::string> parts = SplitKeyPath(inner);
      Root root;
      if (parts.empty() || !RootFromName(parts[0], &root) || parts.size() - 1 > kMaxDepth ||
          (remove && parts.size() == 1)) {
        ++result.skipped_lines;  // the values below it have nowhere to go either
        continue;
      }
      parts.erase(parts.begin());
      if (remove) {
        std::string leaf = parts.back();
        parts.pop_back();
        Node* parent = &roots[static_cast<int>(root)];
        for (size_t p = 0; parent && p < parts.size(); ++p) parent = parent->FindChild(parts[p]);
        if (parent) parent->RemoveChild(leaf);
        continue;
      }
      current = &roots[static_cast<int>(root)];
      for (const std::string& part : parts) current = current->Child(part);
      continue;
    }
    if (line[0] == '"' || line[0] == '@') {
      ValueLine value;
      if (!ParseValueLine(lines, &i, unicode, &value) || !current) {
        ++result.skipped_lines;
        continue;
      }
      if (value.remove) {
        current->RemoveValue(value.name);
      } else {
        current->SetValue(Value{std::move(value.name), value.type, std::move(value.data)});
      }
      continue;
    }
    ++result.skipped_lines;
  }
  for (int r = 0; r < kRootCount; ++r) roots[r].Finish(&result.store.roots[r]);
  return result;
}

std::string Write(const Store& store) {
  std::string out(kHeader4);
  out.append("\n\n");
  for (int i = 0; i < kRootCount; ++i) AppendKey(&out, kRoots[i].name, store.roots[i], true);
  return out;
}

}  // namespace tessary::regedit
