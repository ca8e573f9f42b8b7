// The root object's drive producers. The root adds no check of its own: the
// Drive judges the name it is given and reports under its own class.
#include "drives/drive.h"
#include "root/tessary.h"

HRESULT Tessary::get_Drives(IDriveCollection** drives) { return tessary::NewDrives(drives); }

HRESULT Tessary::GetDrive(BSTR drive_spec, IDrive** drive) {
  return tessary::NewDrive(drive_spec, drive);
}
