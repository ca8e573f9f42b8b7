// The per-item permission engine that every File and Folder owns. This
// system reads and writes no permission: every operation answers
// ERROR_CALL_NOT_IMPLEMENTED and the engine never holds an access list, which
// is what the owners' enumeration of permission entries observes. The fields
// are those a working engine fills when it reads an item's security
// descriptor, so that one can be put in without changing the owners.
#pragma once

#include <string>

#include "platform/system.h"

namespace tessary {

class PermissionEngine {
 public:
  PermissionEngine();
  virtual ~PermissionEngine();
  PermissionEngine(const PermissionEngine&) = delete;
  PermissionEngine& operator=(const PermissionEngine&) = delete;

  // Reads the item's descriptor for look-ups on `account_server`. Results
  // are Win32 codes; callers look only at AccessList afterwards.
  virtual DWORD Load(const char* item_path, const char* account_server);
  // Adds or removes an entry for an account (rights, kind of item).
  virtual DWORD Grant(const char* account, DWORD rights, DWORD rights_type);
  virtual DWORD Revoke(const char* account, DWORD rights, DWORD rights_type);
  // Writes the edited list back to the item.
  virtual DWORD Commit(const char* item_path, DWORD flags);

  // The item's discretionary access list; null when there is none.
  void* AccessList() const { return access_list_; }
  // A private copy of the access list for an enumerator, which frees it
  // with LocalFree; there is never a list to copy here.
  DWORD CopyAccessList(void** copy) const;

  DWORD system_major_version() const { return system_major_version_; }

 private:
  std::string unknown_account_name_;
  std::string deleted_account_name_;
  void* access_list_ = nullptr;
  void* security_descriptor_ = nullptr;
  std::string item_path_;
  char* server_name_ = nullptr;
  DWORD system_major_version_ = 0;
  BOOL access_list_owned_ = FALSE;
  std::string account_server_;
};

}  // namespace tessary
