// The shell's type names. The Windows shell calls a folder "File folder"
// and a file by the description its extension's class registers, falling
// back to "<EXT> File" (or "File" without an extension).
#include "platform/shell.h"

#include <cctype>
#include <cstring>
#include <string>

#include "platform/files.h"
#include "platform/guard.h"
#include "platform/registry.h"

namespace {

std::string ClassesRootText(const std::string& key) {
  HKEY handle = nullptr;
  if (RegOpenKeyExA(HKEY_CLASSES_ROOT, key.c_str(), 0, KEY_READ, &handle) != ERROR_SUCCESS)
    return "";
  char text[256] = {0};
  DWORD size = sizeof text - 1;
  DWORD type = 0;
  LONG rc = RegQueryValueExA(handle, nullptr, nullptr, &type, reinterpret_cast<BYTE*>(text), &size);
  RegCloseKey(handle);
  if (rc != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ)) return "";
  return text;
}

std::string TypeName(const std::string& path, DWORD attributes) {
  if (attributes & FILE_ATTRIBUTE_DIRECTORY) return "File folder";
  size_t cut = path.find_last_of("\\/");
  const std::string name = cut == std::string::npos ? path : path.substr(cut + 1);
  size_t dot = name.rfind('.');
  if (dot == std::string::npos || dot + 1 == name.size()) return "File";
  const std::string extension = name.substr(dot);
  const std::string class_name = ClassesRootText(extension);
  if (!class_name.empty()) {
    const std::string description = ClassesRootText(class_name);
    if (!description.empty()) return description;
  }
  std::string upper = extension.substr(1);
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return upper + " File";
}

}  // namespace

DWORD_PTR SHGetFileInfoA(LPCSTR pszPath, DWORD dwFileAttributes, SHFILEINFOA* psfi, UINT cbFileInfo,
                         UINT uFlags) {
  return tessary::GuardWin32<DWORD_PTR>(0, [&]() -> DWORD_PTR {
    if (!pszPath || !psfi || cbFileInfo < sizeof(SHFILEINFOA)) return 0;
    DWORD attributes = GetFileAttributesA(pszPath);
    if (attributes == INVALID_FILE_ATTRIBUTES) return 0;
    std::memset(psfi, 0, sizeof *psfi);
    psfi->dwAttributes = attributes;
    if (uFlags & SHGFI_TYPENAME) {
      const std::string name = TypeName(pszPath, attributes);
      std::strncpy(psfi->szTypeName, name.c_str(), sizeof psfi->szTypeName - 1);
    }
    return 1;
  });
}
