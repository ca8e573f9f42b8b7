#include "platform/winpath.h"

#include <cstdint>

namespace tessary::winpath {
namespace {

size_t NextSeparator(std::string_view path, size_t from, Separators which = Separators::kEither) {
  for (size_t i = from; i < path.size(); ++i) {
    if (IsSeparator(path[i], which)) return i;
  }
  return path.size();
}

// Appends the components of `rest` to `components`, folding "." and "..".
// Returns whether the last component came from `rest` (so it may be
// trimmed) and whether `rest` ended in a separator.
void AddComponents(std::string_view rest, std::vector<std::string>* components,
                   bool* last_from_rest, bool* trailing_separator) {
  size_t pos = 0;
  while (pos < rest.size()) {
    const size_t end = NextSeparator(rest, pos);
    const std::string_view part = rest.substr(pos, end - pos);
    if (part.empty() || part == ".") {
      // Runs of separators and "." name the same folder.
    } else if (part == "..") {
      if (!components->empty()) components->pop_back();
      *last_from_rest = false;
    } else {
      components->emplace_back(part);
      *last_from_rest = true;
    }
    pos = end + 1;
  }
  *trailing_separator = !rest.empty() && IsSeparator(rest.back());
  if (*trailing_separator) *last_from_rest = false;
}

}  // namespace

Root ParseRoot(std::string_view path, Separators which) {
  Root root;
  if (IsUnc(path, which)) {
    root.kind = RootKind::kUnc;
    const size_t server_end = NextSeparator(path, 2, which);
    root.server = path.substr(2, server_end - 2);
    if (server_end >= path.size()) {
      root.length = path.size();
      return root;
    }
    const size_t share_end = NextSeparator(path, server_end + 1, which);
    root.share = path.substr(server_end + 1, share_end - server_end - 1);
    root.length = share_end;
    return root;
  }
  if (path.size() >= 2 && IsDriveLetter(path[0]) && path[1] == ':') {
    root.drive = path[0];
    if (path.size() >= 3 && IsSeparator(path[2], which)) {
      root.kind = RootKind::kDriveAbsolute;
      root.length = 3;
    } else {
      root.kind = RootKind::kDriveRelative;
      root.length = 2;
    }
    return root;
  }
  if (!path.empty() && IsSeparator(path[0], which)) {
    root.kind = RootKind::kRooted;
    root.length = 1;
    return root;
  }
  return root;
}

bool NeedsCurrentDirectory(std::string_view path) {
  const RootKind kind = ParseRoot(path).kind;
  return kind == RootKind::kRelative || kind == RootKind::kDriveRelative ||
         kind == RootKind::kRooted;
}

bool SplitFullPath(std::string_view full, FullPathParts* parts) {
  *parts = FullPathParts();
  const Root root = ParseRoot(full);
  if (root.kind == RootKind::kDriveAbsolute) {
    parts->kind = RootKind::kDriveAbsolute;
    parts->drive = root.drive;
  } else if (root.kind == RootKind::kUnc && !root.server.empty() && !root.share.empty()) {
    parts->kind = RootKind::kUnc;
    parts->server = root.server;
    parts->share = root.share;
  } else {
    return false;
  }
  std::string_view rest = full.substr(root.length);
  parts->components.reserve(16);
  size_t pos = 0;
  while (pos < rest.size()) {
    const size_t end = NextSeparator(rest, pos);
    if (end > pos) parts->components.push_back(rest.substr(pos, end - pos));
    pos = end + 1;
  }
  parts->trailing_separator =
      !parts->components.empty() && !rest.empty() && IsSeparator(rest.back());
  return true;
}

bool FullPath(std::string_view path, std::string_view current, std::string* out, Trim trim) {
  out->clear();
  if (path.empty()) return false;
  const Root root = ParseRoot(path);

  std::string prefix;  // "C:" or "\\server\share"
  std::vector<std::string> components;
  components.reserve(16);
  std::string_view rest = path.substr(root.length);

  auto start_from = [&](std::string_view base, bool root_only) {
    FullPathParts parts;
    if (!SplitFullPath(base, &parts)) return false;
    if (parts.kind == RootKind::kDriveAbsolute) {
      prefix.assign(base.substr(0, 2));
    } else {
      prefix = "\\\\";
      prefix.append(parts.server);
      prefix += '\\';
      prefix.append(parts.share);
    }
    if (!root_only) {
      for (std::string_view c : parts.components) components.emplace_back(c);
    }
    return true;
  };

  switch (root.kind) {
    case RootKind::kUnc:
      if (root.share.empty()) {
        // "\\server" names no share; the caller refuses it as a network path.
        out->assign("\\\\");
        out->append(root.server);
        if (!root.server.empty() && IsSeparator(path.back())) *out += '\\';
        return true;
      }
      prefix = "\\\\";
      prefix.append(root.server);
      prefix += '\\';
      prefix.append(root.share);
      break;
    case RootKind::kDriveAbsolute:
      prefix.assign(path.substr(0, 2));
      rest = path.substr(2);
      break;
    case RootKind::kDriveRelative: {
      // The current folder counts only when it is on the named drive.
      const Root cur = ParseRoot(current);
      if (cur.kind == RootKind::kDriveAbsolute && UpperAscii(cur.drive) == UpperAscii(root.drive)) {
        if (!start_from(current, false)) return false;
      } else {
        prefix.assign(path.substr(0, 2));
      }
      break;
    }
    case RootKind::kRooted:
      if (!start_from(current, true)) return false;
      break;
    case RootKind::kRelative:
      if (!start_from(current, false)) return false;
      break;
  }

  bool last_from_rest = false;
  bool trailing = false;
  AddComponents(rest, &components, &last_from_rest, &trailing);

  if (trim == Trim::kFinalDotsAndSpaces && last_from_rest && !components.empty()) {
    std::string& last = components.back();
    size_t keep = last.size();
    while (keep > 0 && (last[keep - 1] == '.' || last[keep - 1] == ' ')) --keep;
    if (keep == 0) {
      // Nothing but dots and spaces: the name vanishes and the folder remains.
      components.pop_back();
      trailing = true;
    } else {
      last.resize(keep);
    }
  }

  *out = prefix;
  const bool unc = root.kind == RootKind::kUnc || prefix.size() > 2;
  if (components.empty()) {
    // A drive root always ends in a separator; a share root only when written so.
    if (!unc || trailing) *out += '\\';
    return true;
  }
  for (const std::string& c : components) {
    *out += '\\';
    *out += c;
  }
  if (trailing) *out += '\\';
  return true;
}

size_t FinalComponentOffset(std::string_view full) {
  if (full.empty() || IsSeparator(full.back())) return std::string_view::npos;
  const Root root = ParseRoot(full);
  if (root.length >= full.size()) return std::string_view::npos;
  size_t i = full.size();
  while (i > root.length && !IsSeparator(full[i - 1])) --i;
  return i;
}

bool IsValidComponent(std::string_view component, bool allow_wildcards) {
  for (char ch : component) {
    const unsigned char c = static_cast<unsigned char>(ch);
    if (c < 0x20) return false;
    switch (c) {
      case '<':
      case '>':
      case ':':
      case '"':
      case '|':
      case '/':
      case '\\':
        return false;
      case '?':
      case '*':
        if (!allow_wildcards) return false;
        break;
      default:
        break;
    }
  }
  return true;
}

bool HasWildcards(std::string_view text) {
  return text.find_first_of("*?") != std::string_view::npos;
}

size_t LastSeparator(std::string_view path, Separators which) {
  return path.find_last_of(which == Separators::kEither ? "\\/" : "\\");
}

std::string_view AfterLastSeparator(std::string_view path, Separators which) {
  const size_t cut = LastSeparator(path, which);
  return cut == std::string_view::npos ? path : path.substr(cut + 1);
}

std::string WithFinalBackslash(std::string_view folder) {
  std::string out(folder);
  if (out.empty() || out.back() != '\\') out += '\\';
  return out;
}

std::string Join(std::string_view folder, std::string_view name) {
  std::string out = WithFinalBackslash(folder);
  out.append(name);
  return out;
}

std::string JoinSubfolder(std::string_view folder, std::string_view name) {
  std::string out(folder);
  out += '\\';
  out.append(name);
  return out;
}

std::string Combine(std::string_view left, std::string_view right) {
  const bool left_ends = !left.empty() && left.back() == '\\';
  const bool right_starts = !right.empty() && right.front() == '\\';
  std::string out(left);
  if (left_ends && right_starts) {
    out.pop_back();
  } else if (!left_ends && !right_starts && !left.empty() && !right.empty()) {
    out += '\\';
  }
  out.append(right);
  return out;
}

namespace {

// The DOS wildcards the find services turn a pattern into before matching.
enum class Token : uint8_t { kLiteral, kStar, kDosStar, kDosQm, kDosDot };

struct PatternChar {
  Token token;
  char c;
};

std::vector<PatternChar> Compile(std::string_view pattern) {
  std::vector<PatternChar> out;
  if (pattern == "*.*") {
    out.push_back({Token::kStar, 0});
    return out;
  }
  for (size_t i = 0; i < pattern.size(); ++i) {
    const char c = pattern[i];
    const char next = i + 1 < pattern.size() ? pattern[i + 1] : '\0';
    if (c == '?') {
      out.push_back({Token::kDosQm, 0});
    } else if (c == '*') {
      out.push_back({next == '.' ? Token::kDosStar : Token::kStar, 0});
    } else if (c == '.' && (next == '?' || next == '*' || i + 1 == pattern.size())) {
      out.push_back({Token::kDosDot, 0});
    } else {
      out.push_back({Token::kLiteral, UpperAscii(c)});
    }
  }
  return out;
}

}  // namespace

bool MatchPattern(std::string_view pattern, std::string_view name) {
  const std::vector<PatternChar> p = Compile(pattern);
  const size_t m = p.size();
  const size_t n = name.size();
  const size_t last_dot = name.rfind('.');
  // match[i][j]: p[i..] matches name[j..]; filled from the ends backwards.
  std::vector<std::vector<char>> match(m + 1, std::vector<char>(n + 1, 0));
  match[m][n] = 1;
  for (size_t i = m; i-- > 0;) {
    for (size_t j = n + 1; j-- > 0;) {
      const bool more = j < n;
      bool ok = false;
      switch (p[i].token) {
        case Token::kLiteral:
          ok = more && UpperAscii(name[j]) == p[i].c && match[i + 1][j + 1];
          break;
        case Token::kStar:
          ok = match[i + 1][j] || (more && match[i][j + 1]);
          break;
        case Token::kDosStar:
          // Any run that does not swallow the name's final dot.
          ok = match[i + 1][j] || (more && j != last_dot && match[i][j + 1]);
          break;
        case Token::kDosQm:
          // One character, or nothing at a dot or at the end of the name.
          ok = (more && name[j] != '.') ? match[i + 1][j + 1] : match[i + 1][j];
          break;
        case Token::kDosDot:
          // A dot, or nothing at the end of the name.
          ok = more ? (name[j] == '.' && match[i + 1][j + 1]) : match[i + 1][j];
          break;
      }
      match[i][j] = ok ? 1 : 0;
    }
  }
  return match[0][0] != 0;
}

}  // namespace tessary::winpath
