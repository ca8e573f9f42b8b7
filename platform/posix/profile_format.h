// The profile (INI) format as text, apart from any file: the parser, the
// look-ups and the edits the profile services make. A document keeps every
// line's bytes as read, so that an edit rewrites only the lines it changes.
// Not part of the seam; exported for the tests and the fuzzer.
#pragma once

#include <string>
#include <vector>

#define TESSARY_PROFILE_API __attribute__((visibility("default")))

namespace tessary::profile {

enum class Encoding { kAnsi, kUtf16Le, kUtf16Be };

struct Line {
  std::string raw;     // the bytes as in the file, line break included
  std::string text;    // the line without its break, in the ANSI code page
  std::string ending;  // "\r\n", "\n", or "" for a last line without a break
};

struct Document {
  Encoding encoding = Encoding::kAnsi;
  std::string bom;          // the byte-order mark as read, if any
  std::vector<Line> lines;  // the first line's raw bytes follow the mark
  std::string line_break;   // for new lines: the file's first break, else CR LF
};

TESSARY_PROFILE_API Document Parse(const std::string& bytes);
TESSARY_PROFILE_API std::string Serialize(const Document& document);

// Names are compared without case and without surrounding blanks.
TESSARY_PROFILE_API bool FindValue(const Document& document, const std::string& section,
                                   const std::string& key, std::string* value);
TESSARY_PROFILE_API std::vector<std::string> SectionNames(const Document& document);
TESSARY_PROFILE_API std::vector<std::string> KeyNames(const Document& document,
                                                      const std::string& section);

// Edits; each says whether the document changed.
TESSARY_PROFILE_API bool SetValue(Document* document, const std::string& section,
                                  const std::string& key, const std::string& value);
TESSARY_PROFILE_API bool DeleteKey(Document* document, const std::string& section,
                                   const std::string& key);
TESSARY_PROFILE_API bool DeleteSection(Document* document, const std::string& section);

// Whether a section, key or value can be written so that it reads back as
// itself and leaves the other lines their meaning.
TESSARY_PROFILE_API bool WritableSection(const std::string& section);
TESSARY_PROFILE_API bool WritableKey(const std::string& key);
TESSARY_PROFILE_API bool WritableValue(const std::string& value);

TESSARY_PROFILE_API std::string Trim(const std::string& text);

}  // namespace tessary::profile
