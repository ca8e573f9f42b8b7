// The Drive class: one drive letter or share, and the questions a script
// asks about it, each answered by one or two volume services.
#include "drives/drive.h"

#include "frame/values.h"
#include "fsobjects/folder.h"
#include "platform/files.h"
#include "platform/winpath.h"

TESSARY_CREATABLE(Drive)

namespace {

// Only a path that starts with two backslashes names a share.
bool IsUnc(const std::string& text) {
  return tessary::winpath::IsUnc(text, tessary::winpath::Separators::kBackslash);
}

// Room for any name the volume services hand back, and the terminator.
constexpr DWORD kNameBuffer = MAX_PATH + 1;

}  // namespace

HRESULT Drive::Init(BSTR drive_spec) {
  std::string spec;
  HRESULT hr = tessary::ToAnsiPath(drive_spec, &spec);
  if (FAILED(hr)) return ReportWin32Error(static_cast<DWORD>(HRESULT_CODE(hr)));
  // A letter, or a letter and colon, is completed to its root: that is the
  // drive it names, and the volume services refuse the shorter forms.
  std::string root = spec;
  if (spec.size() == 1) root += ":\\";
  if (spec.size() == 2) root += "\\";
  bool share = false;
  if (spec.size() > 3) {
    if (::GetFileAttributesA(root.c_str()) == INVALID_FILE_ATTRIBUTES)
      return ReportLastWin32Error();
    // Only a UNC path names a share; a drive-qualified path that exists is
    // kept as given.
    share = IsUnc(spec);
  } else if (spec.empty() || ::GetDriveTypeA(root.c_str()) == DRIVE_NO_ROOT_DIR) {
    return ReportError("Device Unavailable.", 0);
  }
  spec_ = root;
  is_share_ = share;
  // A share is a volume root only with its closing separator.
  query_root_ = spec_;
  if (share && !tessary::winpath::IsSeparator(query_root_.back())) query_root_ += '\\';
  return S_OK;
}

HRESULT Drive::get_Path(BSTR* path) {
  if (IsUnc(spec_)) return tessary::ReturnAnsi(spec_, path);
  return tessary::ReturnAnsi(spec_.substr(0, spec_.find('\\')), path);
}

HRESULT Drive::get_DriveLetter(BSTR* letter) {
  return tessary::ReturnAnsi(spec_.substr(0, 1), letter);
}

HRESULT Drive::get_ShareName(BSTR* share) {
  if (!share) return E_POINTER;
  if (is_share_) return tessary::ReturnAnsi(spec_, share);
  // A letter mapped to a share names it; any failure means there is none.
  const std::string local = spec_.substr(0, spec_.find('\\'));
  char remote[MAX_PATH] = {0};
  DWORD length = MAX_PATH;
  if (::WNetGetConnectionA(local.c_str(), remote, &length) != NO_ERROR) remote[0] = '\0';
  return tessary::ReturnAnsi(remote, share);
}

HRESULT Drive::get_DriveType(DriveTypeConst* type) {
  if (!type) return E_POINTER;
  switch (::GetDriveTypeA(QueryRoot())) {
    case DRIVE_REMOVABLE:
      *type = Removable;
      break;
    case DRIVE_FIXED:
      *type = Fixed;
      break;
    case DRIVE_REMOTE:
      *type = Remote;
      break;
    case DRIVE_CDROM:
      *type = CDRom;
      break;
    case DRIVE_RAMDISK:
      *type = RamDisk;
      break;
    default:
      // Unknown, no root (the drive went away) and anything newer.
      *type = QNUnknown;
      break;
  }
  return S_OK;
}

HRESULT Drive::get_RootFolder(IFolder** folder) { return tessary::NewFolder(query_root_, folder); }

HRESULT Drive::SpaceQuery(Space which, VARIANT* bytes) {
  if (!bytes) return E_POINTER;
  VariantInit(bytes);
  ULARGE_INTEGER available, total, free_bytes;
  if (!::GetDiskFreeSpaceExA(QueryRoot(), &available, &total, &free_bytes))
    return ReportLastWin32Error();
  const ULONGLONG value = which == Space::kAvailable ? available.QuadPart
                          : which == Space::kFree    ? free_bytes.QuadPart
                                                     : total.QuadPart;
  // A double holds every byte count below 2^53 exactly.
  bytes->vt = VT_R8;
  bytes->dblVal = static_cast<double>(value);
  return S_OK;
}

HRESULT Drive::get_AvailableSpace(VARIANT* bytes) { return SpaceQuery(Space::kAvailable, bytes); }

HRESULT Drive::get_FreeSpace(VARIANT* bytes) { return SpaceQuery(Space::kFree, bytes); }

HRESULT Drive::get_TotalSize(VARIANT* bytes) { return SpaceQuery(Space::kTotal, bytes); }

HRESULT Drive::get_VolumeName(BSTR* name) {
  if (!name) return E_POINTER;
  *name = nullptr;
  char label[kNameBuffer] = {0};
  if (!::GetVolumeInformationA(QueryRoot(), label, kNameBuffer, nullptr, nullptr, nullptr, nullptr,
                               0))
    return ReportLastWin32Error();
  return tessary::ReturnAnsi(label, name);
}

HRESULT Drive::put_VolumeName(BSTR name) {
  std::string label;
  HRESULT hr = tessary::ToAnsi(name, &label);
  if (FAILED(hr)) return hr;
  if (label.find('\0') != std::string::npos) return ReportWin32Error(ERROR_INVALID_NAME);
  if (!::SetVolumeLabelA(QueryRoot(), label.c_str())) return ReportLastWin32Error();
  return S_OK;
}

HRESULT Drive::get_FileSystem(BSTR* name) {
  if (!name) return E_POINTER;
  *name = nullptr;
  char file_system[kNameBuffer] = {0};
  if (!::GetVolumeInformationA(QueryRoot(), nullptr, 0, nullptr, nullptr, nullptr, file_system,
                               kNameBuffer))
    return ReportLastWin32Error();
  return tessary::ReturnAnsi(file_system, name);
}

HRESULT Drive::get_SerialNumber(LONG* serial) {
  if (!serial) return E_POINTER;
  DWORD number = 0;
  if (!::GetVolumeInformationA(QueryRoot(), nullptr, 0, &number, nullptr, nullptr, nullptr, 0))
    return ReportLastWin32Error();
  *serial = static_cast<LONG>(number);
  return S_OK;
}

HRESULT Drive::get_IsReady(VARIANT_BOOL* ready) {
  if (!ready) return E_POINTER;
  char label[kNameBuffer];
  char file_system[kNameBuffer];
  DWORD serial = 0;
  *ready = tessary::ToVariantBool(::GetVolumeInformationA(
      QueryRoot(), label, kNameBuffer, &serial, nullptr, nullptr, file_system, kNameBuffer));
  return S_OK;
}

namespace tessary {

HRESULT NewDrive(BSTR spec, IDrive** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  Drive* drive = nullptr;
  HRESULT hr = CreateObject(&drive);
  if (FAILED(hr)) return hr;
  hr = drive->Init(spec);
  if (FAILED(hr)) {
    drive->Release();
    return hr;
  }
  return HandOut(drive, out);
}

HRESULT NewDrive(const std::string& ansi_spec, IDrive** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  Bstr spec;
  HRESULT hr = spec.FromAnsi(ansi_spec);
  if (FAILED(hr)) return hr;
  return NewDrive(spec.get(), out);
}

}  // namespace tessary
