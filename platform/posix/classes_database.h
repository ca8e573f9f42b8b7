// The system's own file-type databases behind HKEY_CLASSES_ROOT where the
// configuration store holds nothing, as Windows keeps them in that tree:
//
//   HKEY_CLASSES_ROOT\.ext        "Content Type" from media-types' /etc/mime.types
//                                 default value: the shared-mime-info type of *.ext
//   HKEY_CLASSES_ROOT\<type>      default value: that type's description in
//                                 /usr/share/mime (the untranslated <comment>)
//
// So the default value of .txt is "text/plain", whose default value is "plain
// text document". The registry asks only for keys and values the store does
// not hold, so an administrator overrides any of them there.
// Exported only so the tests and the fuzzer can reach it; not part of the seam.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>

#include "platform/posix/com_types.h"

namespace tessary::classes {

class TESSARY_EXPORT Database {
 public:
  // media-types' format: "type ext ext ..." a line, "#" comments. The first
  // type that names an extension keeps it.
  void AddMediaTypes(std::string_view text);
  // shared-mime-info's globs2: "weight:type:glob[:flags]" a line, heaviest
  // first. Only plain "*.ext" globs name an extension; registry names ignore
  // case, so a case-sensitive glob fills a gap but never displaces another.
  void AddGlobs(std::string_view text);
  // shared-mime-info's list of types, one a line, and the folder that holds
  // each type's description as <media>/<subtype>.xml, read on first use.
  void SetDescriptions(std::string_view types, std::string folder);

  // Whether a key directly under HKEY_CLASSES_ROOT is known here.
  bool HasKey(std::string_view key) const;
  // A value of such a key ("" is the default value); false when it has none.
  bool Value(std::string_view key, std::string_view value_name, std::string* out) const;

  // The machine's databases, read once, on first use. A database that
  // cannot be read for a reason other than its absence is tried again at
  // the next use rather than taken for empty.
  static std::shared_ptr<const Database> System();

 private:
  struct Description {
    std::string type;  // as the list spells it, which names its file
    bool read = false;
    std::string text;
  };

  std::unordered_map<std::string, std::string> content_types_;  // ".ext" -> type
  std::unordered_map<std::string, std::string> classes_;        // ".ext" -> type
  std::string folder_;
  mutable std::mutex mutex_;  // descriptions are filled in lazily by readers
  mutable std::unordered_map<std::string, Description> descriptions_;  // lower-case type -> text
};

// The untranslated <comment> of a shared-mime-info type description, with
// the XML character references resolved; "" when there is none.
TESSARY_EXPORT std::string CommentOfDescription(std::string_view xml);

}  // namespace tessary::classes
