// The root object's path strings and special folders. Apart from
// GetTempName, which creates a file, and GetSpecialFolder, which returns a
// Folder, these never touch the file system beyond asking the system to
// normalise a path, and never fail: what they cannot handle gives "".
#include <string>

#include "frame/values.h"
#include "fsobjects/folder.h"
#include "platform/files.h"
#include "platform/winpath.h"
#include "root/tessary.h"

namespace winpath = tessary::winpath;

namespace {

using tessary::ReturnAnsi;

// The argument as the system code page takes it; "" when it cannot (an
// over-long path included: these entries answer "" rather than fail).
std::string Argument(BSTR text) {
  std::string out;
  if (FAILED(tessary::ToAnsi(text, &out)) || out.find('\0') != std::string::npos) out.clear();
  return out;
}

// The final component the system reports for a path; "" when the path ends
// in a separator or cannot be normalised.
std::string FinalComponent(const std::string& path) {
  if (path.empty() || path.size() >= MAX_PATH) return std::string();
  char full[MAX_PATH] = {0};
  char* part = nullptr;
  DWORD length = ::GetFullPathNameA(path.c_str(), MAX_PATH, full, &part);
  if (length == 0 || length >= MAX_PATH || !part) return std::string();
  return part;
}

}  // namespace

HRESULT Tessary::BuildPath(BSTR path, BSTR name, BSTR* result) {
  // Exactly one backslash at the joint when both parts are given; a forward
  // slash is not taken for a separator here.
  return ReturnAnsi(winpath::Combine(Argument(path), Argument(name)), result);
}

HRESULT Tessary::GetDriveName(BSTR path, BSTR* result) {
  const std::string p = Argument(path);
  // The drive of a UNC path is its server and share; the folders below the
  // share are no part of it. A server alone, or a share name that is empty,
  // is no drive. Only the backslash separates here.
  const winpath::Root root = winpath::ParseRoot(p, winpath::Separators::kBackslash);
  std::string drive;
  if (root.kind == winpath::RootKind::kDriveRelative ||
      root.kind == winpath::RootKind::kDriveAbsolute) {
    drive = p.substr(0, 2);
  } else if (root.kind == winpath::RootKind::kUnc && !root.server.empty() && !root.share.empty()) {
    drive = p.substr(0, root.length);
  }
  return ReturnAnsi(drive, result);
}

HRESULT Tessary::GetParentFolderName(BSTR path, BSTR* result) {
  const std::string p = Argument(path);
  std::string parent;
  const std::string probe = p + "\\..";
  char full[MAX_PATH] = {0};
  if (probe.size() < MAX_PATH) {
    DWORD length = ::GetFullPathNameA(probe.c_str(), MAX_PATH, full, nullptr);
    // A drive's root is its own parent: the answer is then "".
    if (length != 0 && length < MAX_PATH && p != full) parent = full;
  }
  return ReturnAnsi(parent, result);
}

HRESULT Tessary::GetFileName(BSTR path, BSTR* result) {
  return ReturnAnsi(FinalComponent(Argument(path)), result);
}

HRESULT Tessary::GetBaseName(BSTR path, BSTR* result) {
  std::string name = FinalComponent(Argument(path));
  size_t dot = name.rfind('.');
  if (dot != std::string::npos) name.erase(dot);
  return ReturnAnsi(name, result);
}

HRESULT Tessary::GetExtensionName(BSTR path, BSTR* result) {
  const std::string name = FinalComponent(Argument(path));
  size_t dot = name.rfind('.');
  return ReturnAnsi(dot == std::string::npos ? std::string() : name.substr(dot + 1), result);
}

HRESULT Tessary::GetAbsolutePathName(BSTR path, BSTR* result) {
  const std::string p = Argument(path);
  char full[MAX_PATH] = {0};
  DWORD length =
      p.empty()
          ? ::GetCurrentDirectoryA(MAX_PATH, full)
          : (p.size() < MAX_PATH ? ::GetFullPathNameA(p.c_str(), MAX_PATH, full, nullptr) : 0);
  if (length == 0 || length >= MAX_PATH) full[0] = '\0';
  return ReturnAnsi(full, result);
}

HRESULT Tessary::GetTempName(BSTR* result) {
  if (!result) return E_POINTER;
  *result = nullptr;
  char folder[MAX_PATH] = {0};
  DWORD length = ::GetTempPathA(MAX_PATH, folder);
  if (length == 0 || length >= MAX_PATH) return ReportLastWin32Error();
  char name[MAX_PATH] = {0};
  if (::GetTempFileNameA(folder, "rad", 0, name) == 0) return ReportLastWin32Error();
  return ReturnAnsi(std::string(winpath::AfterLastSeparator(name, winpath::Separators::kBackslash)),
                    result);
}

HRESULT Tessary::GetSpecialFolder(SpecialFolderConst which, IFolder** folder) {
  if (!folder) return E_POINTER;
  *folder = nullptr;
  char path[MAX_PATH] = {0};
  UINT length = 0;
  switch (static_cast<int>(which)) {
    case WindowsFolder:
      length = ::GetWindowsDirectoryA(path, MAX_PATH);
      break;
    case SystemFolder:
      length = ::GetSystemDirectoryA(path, MAX_PATH);
      break;
    case TemporaryFolder:
      length = ::GetTempPathA(MAX_PATH, path);
      // The system always ends the temporary folder with a backslash.
      if (length > 0 && length < MAX_PATH) path[--length] = '\0';
      break;
    default:
      return ReportError("Invalid argument", E_INVALIDARG);
  }
  if (length == 0) return ReportLastWin32Error();
  if (length >= MAX_PATH) return ReportWin32Error(ERROR_FILENAME_EXCED_RANGE);
  return tessary::NewFolder(std::string(path), folder);
}
