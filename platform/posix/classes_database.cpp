#include "platform/posix/classes_database.h"

#include <errno.h>

#include <utility>

#include "platform/posix/syscalls.h"

namespace tessary::classes {
namespace {

namespace sys = tessary::sys;

constexpr char kMediaTypes[] = "/etc/mime.types";
constexpr char kMimeFolder[] = "/usr/share/mime";
// Far above the real files (a few hundred KiB); a runaway file is refused.
constexpr off_t kMaxFileBytes = off_t{16} << 20;

enum class ReadResult { kRead, kMissing, kFailed };

ReadResult ReadSmallFile(const std::string& path, std::string* text) {
  text->clear();
  // Non-blocking, so that a FIFO in the file's place cannot hang the reader.
  int fd = sys::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK, 0);
  if (fd < 0)
    return errno == ENOENT || errno == ENOTDIR ? ReadResult::kMissing : ReadResult::kFailed;
  struct stat st;
  ReadResult result = ReadResult::kRead;
  if (sys::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > kMaxFileBytes) {
    result = ReadResult::kFailed;
  } else {
    char buf[65536];
    for (;;) {
      ssize_t n = sys::read(fd, buf, sizeof buf);
      if (n == 0) break;
      if (n < 0) {
        if (errno == EINTR) continue;
        result = ReadResult::kFailed;
        break;
      }
      text->append(buf, static_cast<size_t>(n));
      if (text->size() > static_cast<size_t>(kMaxFileBytes)) {
        result = ReadResult::kFailed;
        break;
      }
    }
  }
  sys::close(fd);
  if (result != ReadResult::kRead) text->clear();
  return result;
}

// Registry names compare without ASCII case; the maps hold them folded.
std::string Folded(std::string_view s) {
  std::string out(s);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

// Calls `line` for each line of `text`, without its line break.
template <class F>
void ForEachLine(std::string_view text, F line) {
  while (!text.empty()) {
    size_t end = text.find('\n');
    line(text.substr(0, end));
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + 1);
  }
}

// A name the registry could hold and a description file could be named by.
bool IsTypeName(std::string_view type) {
  size_t slash = type.find('/');
  if (slash == 0 || slash == std::string_view::npos || slash + 1 == type.size() ||
      type.find('/', slash + 1) != std::string_view::npos || type.size() > 255)
    return false;
  for (char c : type) {
    const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                    c == '/' || c == '.' || c == '+' || c == '-' || c == '_';
    if (!ok) return false;
  }
  return type.find("..") == std::string_view::npos && type[0] != '.';
}

// A plain extension: what follows "*." in a glob, or a word of mime.types.
bool IsExtension(std::string_view ext) {
  if (ext.empty() || ext.size() > 254) return false;
  for (char c : ext)
    if (c == '*' || c == '?' || c == '[' || c == ']' || c == '\\' || c == '/' ||
        static_cast<unsigned char>(c) < 0x20)
      return false;
  return true;
}

std::string ResolveReferences(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  while (!text.empty()) {
    size_t amp = text.find('&');
    out.append(text.substr(0, amp));
    if (amp == std::string_view::npos) break;
    text.remove_prefix(amp);
    size_t semi = text.find(';');
    std::string_view ref = text.substr(0, semi == std::string_view::npos ? 0 : semi + 1);
    static const std::pair<std::string_view, char> kNamed[] = {
        {"&amp;", '&'}, {"&lt;", '<'}, {"&gt;", '>'}, {"&quot;", '"'}, {"&apos;", '\''}};
    bool done = false;
    for (const auto& [name, c] : kNamed) {
      if (ref == name) {
        out += c;
        done = true;
        break;
      }
    }
    // A numeric reference to ASCII; anything else stays as written.
    if (!done && ref.size() > 3 && ref[1] == '#') {
      unsigned long code = 0;
      bool hex = ref[2] == 'x' || ref[2] == 'X';
      bool ok = true;
      for (size_t i = hex ? 3 : 2; i + 1 < ref.size() && ok; ++i) {
        char c = ref[i];
        int digit = c >= '0' && c <= '9'          ? c - '0'
                    : hex && c >= 'a' && c <= 'f' ? c - 'a' + 10
                    : hex && c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                  : -1;
        ok = digit >= 0 && code < 0x80;
        code = code * (hex ? 16 : 10) + static_cast<unsigned long>(digit < 0 ? 0 : digit);
      }
      if (ok && code > 0 && code < 0x80) {
        out += static_cast<char>(code);
        done = true;
      }
    }
    if (done) {
      text.remove_prefix(ref.size());
    } else {
      out += '&';
      text.remove_prefix(1);
    }
  }
  return out;
}

}  // namespace

void Database::AddMediaTypes(std::string_view text) {
  ForEachLine(text, [&](std::string_view line) {
    size_t hash = line.find('#');
    if (hash != std::string_view::npos) line = line.substr(0, hash);
    std::string_view type;
    while (!line.empty()) {
      size_t start = 0;
      while (start < line.size() && IsBlank(line[start])) ++start;
      size_t end = start;
      while (end < line.size() && !IsBlank(line[end])) ++end;
      std::string_view word = line.substr(start, end - start);
      line.remove_prefix(end);
      if (word.empty()) break;
      if (type.empty()) {
        if (!IsTypeName(word)) return;
        type = word;
      } else if (IsExtension(word)) {
        content_types_.emplace("." + Folded(word), std::string(type));
      }
    }
  });
}

void Database::AddGlobs(std::string_view text) {
  for (bool case_sensitive_pass : {false, true}) {
    ForEachLine(text, [&](std::string_view line) {
      if (line.empty() || line[0] == '#') return;
      size_t first = line.find(':');
      size_t second = first == std::string_view::npos ? first : line.find(':', first + 1);
      if (second == std::string_view::npos) return;
      std::string_view type = line.substr(first + 1, second - first - 1);
      std::string_view glob = line.substr(second + 1);
      std::string_view flags;
      size_t third = glob.find(':');
      if (third != std::string_view::npos) {
        flags = glob.substr(third + 1);
        glob = glob.substr(0, third);
      }
      const bool case_sensitive = flags.find("cs") != std::string_view::npos;
      if (case_sensitive != case_sensitive_pass || !IsTypeName(type) || glob.size() < 3 ||
          glob.substr(0, 2) != "*." || !IsExtension(glob.substr(2)))
        return;
      // The list is heaviest first: the first type to claim a name keeps it.
      classes_.emplace("." + Folded(glob.substr(2)), std::string(type));
    });
  }
}

void Database::SetDescriptions(std::string_view types, std::string folder) {
  folder_ = std::move(folder);
  ForEachLine(types, [&](std::string_view line) {
    while (!line.empty() && IsBlank(line.back())) line.remove_suffix(1);
    if (IsTypeName(line))
      descriptions_.emplace(Folded(line), Description{std::string(line), false, std::string()});
  });
}

bool Database::HasKey(std::string_view key) const {
  const std::string folded = Folded(key);
  if (!folded.empty() && folded[0] == '.')
    return content_types_.count(folded) != 0 || classes_.count(folded) != 0;
  return descriptions_.count(folded) != 0;
}

bool Database::Value(std::string_view key, std::string_view value_name, std::string* out) const {
  const std::string folded = Folded(key);
  const std::string name = Folded(value_name);
  if (!folded.empty() && folded[0] == '.') {
    const auto& map = name.empty() ? classes_ : content_types_;
    if (!name.empty() && name != "content type") return false;
    auto it = map.find(folded);
    if (it == map.end()) return false;
    *out = it->second;
    return true;
  }
  if (!name.empty()) return false;
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = descriptions_.find(folded);
  if (it == descriptions_.end()) return false;
  Description& description = it->second;
  if (!description.read) {
    std::string xml;
    ReadResult read = ReadSmallFile(folder_ + "/" + description.type + ".xml", &xml);
    if (read == ReadResult::kFailed) return false;  // tried again next time
    description.text = CommentOfDescription(xml);
    description.read = true;
  }
  if (description.text.empty()) return false;
  *out = description.text;
  return true;
}

std::shared_ptr<const Database> Database::System() {
  static std::mutex* mutex = new std::mutex;
  static auto* loaded = new std::shared_ptr<const Database>;
  std::lock_guard<std::mutex> lock(*mutex);
  if (*loaded) return *loaded;
  std::string media_types, globs, types;
  const std::string folder = kMimeFolder;
  if (ReadSmallFile(kMediaTypes, &media_types) == ReadResult::kFailed ||
      ReadSmallFile(folder + "/globs2", &globs) == ReadResult::kFailed ||
      ReadSmallFile(folder + "/types", &types) == ReadResult::kFailed)
    return std::make_shared<const Database>();
  auto database = std::make_shared<Database>();
  database->AddMediaTypes(media_types);
  database->AddGlobs(globs);
  database->SetDescriptions(types, folder);
  *loaded = database;
  return *loaded;
}

std::string CommentOfDescription(std::string_view xml) {
  size_t pos = 0;
  while ((pos = xml.find("<comment", pos)) != std::string_view::npos) {
    size_t close = xml.find('>', pos);
    if (close == std::string_view::npos) return "";
    std::string_view tag = xml.substr(pos, close - pos);
    pos = close + 1;
    // "<comment>" or "<comment attr...>", not "<commentary>"; the translations
    // carry xml:lang.
    if (tag.size() > 8 && !IsBlank(tag[8]) && tag[8] != '\n') continue;
    if (tag.find("xml:lang") != std::string_view::npos || (!tag.empty() && tag.back() == '/'))
      continue;
    size_t end = xml.find("</comment>", pos);
    if (end == std::string_view::npos) return "";
    return ResolveReferences(xml.substr(pos, end - pos));
  }
  return "";
}

}  // namespace tessary::classes
