// The open probe of a listed entry on Windows, answered by the attribute query
// of the native layer instead of an open and a close.
//
// The question is what CreateFileA(lpFullName, 0, FILE_SHARE_READ |
// FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr) would answer.
// CreateFileA turns the name into UTF-16 with the file services' code page,
// then into an NT path with RtlDosPathNameToNtPathName_U, and opens that path
// case-insensitively for FILE_READ_ATTRIBUTES | SYNCHRONIZE (what an access
// of 0 becomes) as a non-directory. NtQueryAttributesFile makes that same
// open for FILE_READ_ATTRIBUTES inside the system, without a handle to hand
// out: an access that takes no part in share modes, so it is refused for the
// same reasons (no such entry, no right to read its attributes, a delete
// pending), with the same status. Unlike GetFileAttributesExA it never falls
// back to the folder's listing data when the open is refused. Under Wine it
// is answered in the process, without the two server round trips of an open
// and a close.
//
// Where the two differ, the probe asks CreateFileA itself:
// - NtQueryAttributesFile describes a reparse point (a link) itself, while
//   CreateFileA follows it to its target;
// - a reserved device name (CON, NUL, COM1 ...) and the device namespaces
//   ("\\.\", "\\?\") may open a device, which has no attributes to query;
// - a name that does not convert, that the path rules refuse, or that ends
//   in a separator fails in CreateFileA with that function's own error
//   (ERROR_INVALID_NAME for "name\", where the query says the path is not
//   found);
// - Wine refuses the query for an entry that is neither a file nor a folder
//   (a FIFO or a device node of the host) with STATUS_INVALID_INFO_CLASS,
//   while its open succeeds.
// A directory opens for the query but not for CreateFileA without backup
// semantics, which refuses it with access denied; the probe answers the same.
//
// Under Wine the query itself is three file-system calls of the host (a
// look-up, the entry's own status, its DOS attributes), and those are nearly
// all of the probe's time. A listed path is nearly always a plain drive path,
// whose NT path is made on the stack (platform/win32/nt_path.h) rather than
// by the path rules, which allocate it on the heap.
#include "platform/find_probe.h"

#include <winternl.h>

#include "platform/win32/find_names.h"
#include "platform/win32/nt_path.h"

extern "C" {
NTSTATUS NTAPI NtQueryAttributesFile(const OBJECT_ATTRIBUTES* ObjectAttributes,
                                     FILE_BASIC_INFORMATION* FileInformation);
ULONG NTAPI RtlIsDosDeviceName_U(PCWSTR DosFileName);
}

namespace {

// STATUS_INVALID_INFO_CLASS, without the clash of ntstatus.h and windows.h.
constexpr NTSTATUS kInvalidInfoClass = static_cast<NTSTATUS>(0xC0000003);

BOOL OpenProbe(LPCSTR full_name) {
  HANDLE probe = CreateFileA(full_name, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                             OPEN_EXISTING, 0, nullptr);
  if (probe == INVALID_HANDLE_VALUE) return FALSE;
  return CloseHandle(probe);
}

bool IsSeparator(WCHAR c) { return c == L'\\' || c == L'/'; }

// "\\.\" and "\\?\" (either separator) name objects past the path rules,
// devices among them.
bool IsDeviceNamespace(const WCHAR* name) {
  return IsSeparator(name[0]) && IsSeparator(name[1]) && (name[2] == L'.' || name[2] == L'?') &&
         IsSeparator(name[3]);
}

bool EndsInSeparator(const WCHAR* name, int length) {
  return length >= 2 && IsSeparator(name[length - 2]);
}

}  // namespace

BOOL tessary::win32::ProbeFullNameA(LPCSTR lpFullName) {
  WCHAR wide[MAX_PATH];
  const UINT code_page = AreFileApisANSI() ? CP_ACP : CP_OEMCP;
  const int length = lpFullName == nullptr || *lpFullName == '\0'
                         ? 0
                         : MultiByteToWideChar(code_page, 0, lpFullName, -1, wide, MAX_PATH);
  if (length == 0 || EndsInSeparator(wide, length) || IsDeviceNamespace(wide) ||
      RtlIsDosDeviceName_U(wide) != 0)
    return OpenProbe(lpFullName);
  WCHAR plain[tessary::win32::kNtPathCapacity];
  UNICODE_STRING nt_name;
  const int plain_length = tessary::win32::PlainDriveNtPath(wide, length - 1, plain);
  if (plain_length != 0) {
    nt_name.Buffer = plain;
    nt_name.Length = static_cast<USHORT>(plain_length * sizeof(WCHAR));
    nt_name.MaximumLength = static_cast<USHORT>(sizeof(plain));
  } else if (!RtlDosPathNameToNtPathName_U(wide, &nt_name, nullptr, nullptr)) {
    return OpenProbe(lpFullName);
  }
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &nt_name, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
  FILE_BASIC_INFORMATION basic;
  const NTSTATUS status = NtQueryAttributesFile(&attributes, &basic);
  if (plain_length == 0) RtlFreeUnicodeString(&nt_name);
  if (status == kInvalidInfoClass) return OpenProbe(lpFullName);
  if (!NT_SUCCESS(status)) {
    SetLastError(RtlNtStatusToDosError(status));
    return FALSE;
  }
  if (basic.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) return OpenProbe(lpFullName);
  if (basic.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  return TRUE;
}

// The entry's own name is not needed: the system resolves lpFullName as the
// open does. A large folder's search may have probed the entry already.
BOOL FindProbeEntryA(HANDLE hFindFile, LPCSTR lpFullName, LPCSTR lpName) {
  (void)lpName;
  BOOL passed = FALSE;
  if (tessary::win32::ReadAheadProbeAnswer(hFindFile, lpFullName, &passed)) return passed;
  return tessary::win32::ProbeFullNameA(lpFullName);
}
