// The profile format: lines, sections in square brackets, key=value lines.
// A line whose first non-blank character is ';' is a comment; a line that is
// neither blank, a comment, a section header nor a key line is kept as it is
// and means nothing. Lines before the first header belong to no section and
// cannot be reached by name. Where a section or key appears twice, the first
// one counts, for reading and writing alike.
#include "platform/posix/profile_format.h"

#include <cstdint>

namespace tessary::profile {
namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; }

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool SameName(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (Lower(a[i]) != Lower(b[i])) return false;
  }
  return true;
}

enum class Kind { kBlank, kComment, kSection, kKey, kOther };

struct Meaning {
  Kind kind = Kind::kBlank;
  std::string name;
  std::string value;  // as written, trimmed, quotes kept
};

Meaning Classify(const std::string& text) {
  Meaning m;
  const std::string t = Trim(text);
  if (t.empty()) return m;
  if (t[0] == ';') {
    m.kind = Kind::kComment;
    return m;
  }
  if (t[0] == '[') {
    const size_t close = t.find(']');
    if (close != std::string::npos) {
      m.kind = Kind::kSection;
      m.name = Trim(t.substr(1, close - 1));
      return m;
    }
  }
  const size_t equals = t.find('=');
  if (equals == std::string::npos) {
    m.kind = Kind::kOther;
    return m;
  }
  m.kind = Kind::kKey;
  m.name = Trim(t.substr(0, equals));
  m.value = Trim(t.substr(equals + 1));
  return m;
}

// UTF-16 code units of `bytes` from `offset` in the given order; an odd
// last byte is no unit.
uint16_t UnitAt(const std::string& bytes, size_t i, Encoding encoding) {
  const auto lo = static_cast<unsigned char>(bytes[i]);
  const auto hi = static_cast<unsigned char>(bytes[i + 1]);
  return encoding == Encoding::kUtf16Le ? static_cast<uint16_t>(lo | hi << 8)
                                        : static_cast<uint16_t>(hi | lo << 8);
}

void AppendUtf8(uint32_t cp, std::string* out) {
  if (cp < 0x80) {
    *out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    *out += static_cast<char>(0xC0 | cp >> 6);
    *out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    *out += static_cast<char>(0xE0 | cp >> 12);
    *out += static_cast<char>(0x80 | (cp >> 6 & 0x3F));
    *out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    *out += static_cast<char>(0xF0 | cp >> 18);
    *out += static_cast<char>(0x80 | (cp >> 12 & 0x3F));
    *out += static_cast<char>(0x80 | (cp >> 6 & 0x3F));
    *out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

// The text of UTF-16 units; an unpaired surrogate reads as U+FFFD (the
// file's own bytes stay as they are).
std::string Utf16ToAnsi(const std::vector<uint16_t>& units) {
  std::string out;
  for (size_t i = 0; i < units.size(); ++i) {
    uint32_t u = units[i];
    if (u >= 0xD800 && u <= 0xDBFF && i + 1 < units.size() && units[i + 1] >= 0xDC00 &&
        units[i + 1] <= 0xDFFF) {
      u = 0x10000 + ((u - 0xD800) << 10) + (units[i + 1] - 0xDC00);
      ++i;
    } else if (u >= 0xD800 && u <= 0xDFFF) {
      u = 0xFFFD;
    }
    AppendUtf8(u, &out);
  }
  return out;
}

// ANSI (UTF-8) text as UTF-16 code units; a byte that starts no valid
// sequence becomes U+FFFD.
std::vector<uint16_t> AnsiToUtf16(const std::string& text) {
  std::vector<uint16_t> out;
  size_t i = 0;
  while (i < text.size()) {
    const auto c = static_cast<unsigned char>(text[i]);
    uint32_t cp = 0xFFFD;
    size_t length = 1;
    if (c < 0x80) {
      cp = c;
    } else {
      const size_t need = c >= 0xF0 && c <= 0xF4  ? 4
                          : c >= 0xE0             ? 3
                          : c >= 0xC2 && c < 0xE0 ? 2
                                                  : 0;
      if (need && c < 0xF5 && i + need <= text.size()) {
        uint32_t v = need == 2 ? c & 0x1F : need == 3 ? c & 0x0F : c & 0x07;
        bool ok = true;
        for (size_t k = 1; k < need; ++k) {
          const auto cc = static_cast<unsigned char>(text[i + k]);
          if ((cc & 0xC0) != 0x80) ok = false;
          v = v << 6 | (cc & 0x3F);
        }
        const uint32_t min = need == 2 ? 0x80 : need == 3 ? 0x800 : 0x10000;
        if (ok && v >= min && v <= 0x10FFFF && !(v >= 0xD800 && v <= 0xDFFF)) {
          cp = v;
          length = need;
        }
      }
    }
    if (cp >= 0x10000) {
      out.push_back(static_cast<uint16_t>(0xD800 + ((cp - 0x10000) >> 10)));
      out.push_back(static_cast<uint16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF)));
    } else {
      out.push_back(static_cast<uint16_t>(cp));
    }
    i += length;
  }
  return out;
}

// `text` in the document's encoding.
std::string Encode(const Document& document, const std::string& text) {
  if (document.encoding == Encoding::kAnsi) return text;
  std::string out;
  for (uint16_t u : AnsiToUtf16(text)) {
    const char lo = static_cast<char>(u & 0xFF);
    const char hi = static_cast<char>(u >> 8);
    if (document.encoding == Encoding::kUtf16Le) {
      out += lo;
      out += hi;
    } else {
      out += hi;
      out += lo;
    }
  }
  return out;
}

Line MakeLine(const Document& document, const std::string& text) {
  Line line;
  line.text = text;
  line.ending = document.line_break;
  line.raw = Encode(document, text + line.ending);
  return line;
}

// A last line without a break gets one before a line follows it.
void EndLastLine(Document* document, size_t index) {
  Line& line = document->lines[index];
  if (!line.ending.empty()) return;
  // An odd byte at the end of a UTF-16 file is half a unit the reader never
  // saw as text: it goes, so the lines after it are read in step and the last
  // line keeps the meaning it had (padding it would add a character).
  if (document->encoding != Encoding::kAnsi && (document->bom.size() + line.raw.size()) % 2 != 0)
    line.raw.pop_back();
  line.ending = document->line_break;
  line.raw += Encode(*document, line.ending);
}

// The first header of `section` and the end of its lines; false when absent.
bool FindSection(const Document& document, const std::string& section, size_t* header,
                 size_t* end) {
  const std::string wanted = Trim(section);
  const size_t n = document.lines.size();
  for (size_t i = 0; i < n; ++i) {
    const Meaning m = Classify(document.lines[i].text);
    if (m.kind != Kind::kSection || !SameName(m.name, wanted)) continue;
    size_t j = i + 1;
    while (j < n && Classify(document.lines[j].text).kind != Kind::kSection) ++j;
    *header = i;
    *end = j;
    return true;
  }
  return false;
}

bool FindKey(const Document& document, size_t header, size_t end, const std::string& key,
             size_t* index, Meaning* meaning) {
  const std::string wanted = Trim(key);
  for (size_t i = header + 1; i < end; ++i) {
    Meaning m = Classify(document.lines[i].text);
    if (m.kind == Kind::kKey && SameName(m.name, wanted)) {
      *index = i;
      *meaning = std::move(m);
      return true;
    }
  }
  return false;
}

}  // namespace

std::string Trim(const std::string& text) {
  size_t begin = 0;
  size_t end = text.size();
  while (begin < end && IsBlank(text[begin])) ++begin;
  while (end > begin && IsBlank(text[end - 1])) --end;
  return text.substr(begin, end - begin);
}

Document Parse(const std::string& bytes) {
  Document document;
  size_t start = 0;
  if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
      static_cast<unsigned char>(bytes[1]) == 0xFE) {
    document.encoding = Encoding::kUtf16Le;
  } else if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFE &&
             static_cast<unsigned char>(bytes[1]) == 0xFF) {
    document.encoding = Encoding::kUtf16Be;
  } else if (bytes.compare(0, 3, "\xEF\xBB\xBF") == 0) {
    start = 3;
  }
  if (document.encoding != Encoding::kAnsi) start = 2;
  document.bom = bytes.substr(0, start);

  if (document.encoding == Encoding::kAnsi) {
    size_t pos = start;
    while (pos < bytes.size()) {
      const size_t nl = bytes.find('\n', pos);
      Line line;
      const size_t stop = nl == std::string::npos ? bytes.size() : nl + 1;
      line.raw = bytes.substr(pos, stop - pos);
      size_t text_end = nl == std::string::npos ? bytes.size() : nl;
      if (nl != std::string::npos && text_end > pos && bytes[text_end - 1] == '\r') --text_end;
      line.text = bytes.substr(pos, text_end - pos);
      line.ending = line.raw.substr(line.text.size());
      if (!line.ending.empty() && document.line_break.empty()) document.line_break = line.ending;
      document.lines.push_back(std::move(line));
      pos = stop;
    }
  } else {
    size_t pos = start;
    while (pos < bytes.size()) {
      Line line;
      std::vector<uint16_t> units;
      bool has_break = false;
      size_t i = pos;
      while (i + 1 < bytes.size()) {
        const uint16_t u = UnitAt(bytes, i, document.encoding);
        i += 2;
        if (u == '\n') {
          has_break = true;
          break;
        }
        units.push_back(u);
      }
      if (!has_break && i < bytes.size()) i = bytes.size();  // an odd last byte
      line.raw = bytes.substr(pos, i - pos);
      if (has_break) {
        line.ending = "\n";
        if (!units.empty() && units.back() == '\r') {
          units.pop_back();
          line.ending = "\r\n";
        }
      }
      line.text = Utf16ToAnsi(units);
      if (!line.ending.empty() && document.line_break.empty()) document.line_break = line.ending;
      document.lines.push_back(std::move(line));
      pos = i;
    }
  }
  if (document.line_break.empty()) document.line_break = "\r\n";
  return document;
}

std::string Serialize(const Document& document) {
  std::string out = document.bom;
  for (const Line& line : document.lines) out += line.raw;
  return out;
}

bool FindValue(const Document& document, const std::string& section, const std::string& key,
               std::string* value) {
  size_t header = 0;
  size_t end = 0;
  size_t index = 0;
  Meaning m;
  if (!FindSection(document, section, &header, &end) ||
      !FindKey(document, header, end, key, &index, &m))
    return false;
  std::string v = m.value;
  if (v.size() >= 2 && (v[0] == '"' || v[0] == '\'') && v.back() == v[0])
    v = v.substr(1, v.size() - 2);
  *value = v;
  return true;
}

std::vector<std::string> SectionNames(const Document& document) {
  std::vector<std::string> names;
  for (const Line& line : document.lines) {
    const Meaning m = Classify(line.text);
    if (m.kind != Kind::kSection) continue;
    bool seen = false;
    for (const std::string& n : names) seen = seen || SameName(n, m.name);
    if (!seen) names.push_back(m.name);
  }
  return names;
}

std::vector<std::string> KeyNames(const Document& document, const std::string& section) {
  std::vector<std::string> names;
  size_t header = 0;
  size_t end = 0;
  if (!FindSection(document, section, &header, &end)) return names;
  for (size_t i = header + 1; i < end; ++i) {
    const Meaning m = Classify(document.lines[i].text);
    if (m.kind == Kind::kKey) names.push_back(m.name);
  }
  return names;
}

bool SetValue(Document* document, const std::string& section, const std::string& key,
              const std::string& value) {
  const std::string name = Trim(key);
  size_t header = 0;
  size_t end = 0;
  if (!FindSection(*document, section, &header, &end)) {
    if (!document->lines.empty()) EndLastLine(document, document->lines.size() - 1);
    document->lines.push_back(MakeLine(*document, "[" + Trim(section) + "]"));
    document->lines.push_back(MakeLine(*document, name + "=" + value));
    return true;
  }
  size_t index = 0;
  Meaning m;
  if (FindKey(*document, header, end, key, &index, &m)) {
    if (m.value == value) return false;
    // The line keeps the key as the file spells it, and its break.
    Line line;
    line.text = m.name + "=" + value;
    line.ending = document->lines[index].ending;
    line.raw = Encode(*document, line.text + line.ending);
    document->lines[index] = std::move(line);
    return true;
  }
  // A new key goes after the section's last line that is not blank, so the
  // blank lines that part it from the next section stay where they are.
  size_t after = header;
  for (size_t i = header + 1; i < end; ++i) {
    if (Classify(document->lines[i].text).kind != Kind::kBlank) after = i;
  }
  EndLastLine(document, after);
  document->lines.insert(document->lines.begin() + static_cast<std::ptrdiff_t>(after) + 1,
                         MakeLine(*document, name + "=" + value));
  return true;
}

bool DeleteKey(Document* document, const std::string& section, const std::string& key) {
  size_t header = 0;
  size_t end = 0;
  size_t index = 0;
  Meaning m;
  if (!FindSection(*document, section, &header, &end) ||
      !FindKey(*document, header, end, key, &index, &m))
    return false;
  document->lines.erase(document->lines.begin() + static_cast<std::ptrdiff_t>(index));
  return true;
}

bool DeleteSection(Document* document, const std::string& section) {
  size_t header = 0;
  size_t end = 0;
  if (!FindSection(*document, section, &header, &end)) return false;
  document->lines.erase(document->lines.begin() + static_cast<std::ptrdiff_t>(header),
                        document->lines.begin() + static_cast<std::ptrdiff_t>(end));
  return true;
}

bool WritableSection(const std::string& section) {
  return section.find_first_of("]\r\n", 0, 3) == std::string::npos;
}

bool WritableKey(const std::string& key) {
  const std::string t = Trim(key);
  if (!t.empty() && (t[0] == ';' || t[0] == '[')) return false;
  return key.find_first_of("=\r\n", 0, 3) == std::string::npos;
}

bool WritableValue(const std::string& value) {
  return value.find_first_of("\r\n", 0, 2) == std::string::npos;
}

}  // namespace tessary::profile
