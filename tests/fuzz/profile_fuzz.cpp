// Arbitrary bytes into the profile parser and writer: the file's bytes come
// back unchanged from a document nobody edited, and after any edit every key
// the edit did not name keeps its value, the edited key reads as written or
// is gone, and the result parses to the same bytes again.
//
// The format is compiled into this target so that coverage and the
// sanitizers see inside it. Input: one byte for the edit, three NUL-ended
// names (section, key, value), then the file's bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <tuple>
#include <vector>

#include "platform/posix/profile_format.cpp"

namespace {

using namespace tessary::profile;

std::string Take(const uint8_t** data, size_t* size) {
  std::string out;
  while (*size > 0) {
    const char c = static_cast<char>(**data);
    ++*data;
    --*size;
    if (c == '\0') break;
    out += c;
  }
  return out;
}

bool Same(const std::string& a, const std::string& b) {
  const std::string x = Trim(a), y = Trim(b);
  if (x.size() != y.size()) return false;
  for (size_t i = 0; i < x.size(); ++i) {
    if (Lower(x[i]) != Lower(y[i])) return false;
  }
  return true;
}

std::string Unquoted(const std::string& value) {
  std::string v = Trim(value);
  if (v.size() >= 2 && (v[0] == '"' || v[0] == '\'') && v.back() == v[0])
    v = v.substr(1, v.size() - 2);
  return v;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const int op = data[0] % 3;
  ++data;
  --size;
  const std::string section = Take(&data, &size);
  const std::string key = Take(&data, &size);
  const std::string value = Take(&data, &size);
  const std::string bytes(reinterpret_cast<const char*>(data), size);

  Document document = Parse(bytes);
  if (Serialize(document) != bytes) abort();
  // A UTF-16 file holds only text that has a UTF-16 form.
  if (document.encoding != Encoding::kAnsi) {
    for (const std::string* text : {&section, &key, &value}) {
      if (Utf16ToAnsi(AnsiToUtf16(*text)) != *text) return 0;
    }
  }

  std::vector<std::tuple<std::string, std::string, std::string>> before;
  for (const std::string& s : SectionNames(document)) {
    for (const std::string& k : KeyNames(document, s)) {
      std::string v;
      if (FindValue(document, s, k, &v)) before.emplace_back(s, k, v);
    }
  }

  if (op == 0) {
    if (!WritableSection(section) || !WritableKey(key) || !WritableValue(value)) return 0;
    SetValue(&document, section, key, value);
  } else if (op == 1) {
    DeleteKey(&document, section, key);
  } else {
    DeleteSection(&document, section);
  }
  const std::string written = Serialize(document);
  const Document again = Parse(written);
  if (Serialize(again) != written) abort();

  for (const auto& [s, k, v] : before) {
    const bool named_section = Same(s, section);
    if (named_section && (op == 2 || Same(k, key))) continue;
    std::string now;
    if (!FindValue(again, s, k, &now) || now != v) abort();
  }
  std::string now;
  const bool found = FindValue(again, section, key, &now);
  if (op == 0 && (!found || now != Unquoted(value))) abort();
  return 0;
}
