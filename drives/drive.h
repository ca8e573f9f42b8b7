// The Drive object: one volume, named by a drive letter or a share, and the
// Drives collection of every drive the system lists. A Drive keeps only the
// name it was given; every member asks the system afresh, so a drive that
// becomes ready (or goes away) later is reported as it is now.
#pragma once

#include <string>

#include "frame/com_object.h"
#include "fsobjects/collections.h"

class Drive : public tessary::Object<Drive, IDrive, IDriveInit> {
 public:
  static constexpr const CLSID* kErrorClass = &CLSID_Drive;

  // IDriveInit
  HRESULT STDMETHODCALLTYPE Init(BSTR drive_spec) override;

  // IDrive
  HRESULT STDMETHODCALLTYPE get_Path(BSTR* path) override;
  HRESULT STDMETHODCALLTYPE get_DriveLetter(BSTR* letter) override;
  HRESULT STDMETHODCALLTYPE get_ShareName(BSTR* share) override;
  HRESULT STDMETHODCALLTYPE get_DriveType(DriveTypeConst* type) override;
  HRESULT STDMETHODCALLTYPE get_RootFolder(IFolder** folder) override;
  HRESULT STDMETHODCALLTYPE get_AvailableSpace(VARIANT* bytes) override;
  HRESULT STDMETHODCALLTYPE get_FreeSpace(VARIANT* bytes) override;
  HRESULT STDMETHODCALLTYPE get_TotalSize(VARIANT* bytes) override;
  HRESULT STDMETHODCALLTYPE get_VolumeName(BSTR* name) override;
  HRESULT STDMETHODCALLTYPE put_VolumeName(BSTR name) override;
  HRESULT STDMETHODCALLTYPE get_FileSystem(BSTR* name) override;
  HRESULT STDMETHODCALLTYPE get_SerialNumber(LONG* serial) override;
  HRESULT STDMETHODCALLTYPE get_IsReady(VARIANT_BOOL* ready) override;

 private:
  enum class Space { kAvailable, kFree, kTotal };
  HRESULT SpaceQuery(Space which, VARIANT* bytes);
  // The root the volume services are asked about; null for a Drive bound to
  // no drive, which the system takes as the current folder's root.
  const char* QueryRoot() const { return spec_.empty() ? nullptr : query_root_.c_str(); }

  std::string spec_;        // as kept by Init
  std::string query_root_;  // spec_, with the separator a share root needs
  bool is_share_ = false;
};

class Drives : public tessary::Collection<Drives, IDriveCollection, IDriveCollectionAdd, IDrive> {};

namespace tessary {

// Creates a Drive for `spec` (as IDriveInit::Init takes it) and hands out its
// IDrive; a failure is returned as the Drive reported it.
HRESULT NewDrive(BSTR spec, IDrive** out);
HRESULT NewDrive(const std::string& ansi_spec, IDrive** out);

// A Drives collection of every drive the system lists whose Drive can be
// made; drives that fail are left out.
HRESULT NewDrives(IDriveCollection** out);

}  // namespace tessary
