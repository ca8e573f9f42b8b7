#include "permissions/permission_engine.h"

#include "platform/files.h"

namespace tessary {

namespace {

// The system's major version, asked once: it cannot change while the
// process runs, and Files are made by the thousand for a listing.
DWORD SystemMajorVersion() {
  static const DWORD major = [] {
    OSVERSIONINFOA version = {};
    version.dwOSVersionInfoSize = sizeof version;
    return ::GetVersionExA(&version) ? version.dwMajorVersion : 0;
  }();
  return major;
}

}  // namespace

PermissionEngine::PermissionEngine() : system_major_version_(SystemMajorVersion()) {}

PermissionEngine::~PermissionEngine() {
  if (access_list_owned_ && access_list_) ::LocalFree(access_list_);
  if (security_descriptor_) ::LocalFree(security_descriptor_);
  delete[] server_name_;
}

DWORD PermissionEngine::Load(const char*, const char*) { return ERROR_CALL_NOT_IMPLEMENTED; }

DWORD PermissionEngine::Grant(const char*, DWORD, DWORD) { return ERROR_CALL_NOT_IMPLEMENTED; }

DWORD PermissionEngine::Revoke(const char*, DWORD, DWORD) { return ERROR_CALL_NOT_IMPLEMENTED; }

DWORD PermissionEngine::Commit(const char*, DWORD) { return ERROR_CALL_NOT_IMPLEMENTED; }

DWORD PermissionEngine::CopyAccessList(void** copy) const {
  *copy = nullptr;
  return ERROR_CALL_NOT_IMPLEMENTED;
}

}  // namespace tessary
