// The Drive of a File or Folder: the drive part of its full path, handed to
// a new Drive. A File keeps its path as it was given, which may be relative,
// so the path is made full first: the drive of "data\a.txt" is the current
// folder's.
#include <string>

#include "drives/drive.h"
#include "fsobjects/file.h"
#include "fsobjects/folder.h"
#include "platform/files.h"
#include "platform/winpath.h"

namespace {

// "C:\" for "C:\data\a.txt"; "\\server\share" for a path on a share. The
// server alone ("\\server\") names no volume the system can answer for, so
// the share is the drive of a UNC path, as GetDriveName says.
std::string DriveSpecOf(const std::string& full_path) {
  const tessary::winpath::Root root =
      tessary::winpath::ParseRoot(full_path, tessary::winpath::Separators::kBackslash);
  if (root.kind == tessary::winpath::RootKind::kUnc) return full_path.substr(0, root.length);
  return full_path.substr(0, 3);
}

// The full form of `path`; false with the thread's last error set when the
// system cannot make one.
bool FullPathOf(const std::string& path, std::string* out) {
  char full[MAX_PATH] = {0};
  char* final_component = nullptr;
  const DWORD length = ::GetFullPathNameA(path.c_str(), MAX_PATH, full, &final_component);
  if (length == 0) return false;
  if (length >= MAX_PATH) {
    ::SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return false;
  }
  *out = full;
  return true;
}

}  // namespace

HRESULT File::get_Drive(IDrive** drive) {
  if (!drive) return E_POINTER;
  *drive = nullptr;
  std::string full;
  if (!FullPathOf(full_path_, &full)) return ReportLastWin32Error();
  return tessary::NewDrive(DriveSpecOf(full), drive);
}

HRESULT Folder::get_Drive(IDrive** drive) {
  if (!drive) return E_POINTER;
  *drive = nullptr;
  return tessary::NewDrive(DriveSpecOf(full_path_), drive);
}
