// The system message texts and FormatMessageA over them.
//
// The texts are those Windows (US English) returns from FormatMessage with
// FORMAT_MESSAGE_FROM_SYSTEM, each ending in "\r\n" as the system's message
// table stores them; callers that show a message strip that line end
// themselves. Every code in winerror.h has an entry (a unit test checks).
#include <stdlib.h>
#include <string.h>

#include <new>
#include <string>

#include "platform/crypt.h"
#include "platform/guard.h"
#include "platform/system.h"

namespace {

struct Message {
  DWORD code;
  const char* text;
};

// Sorted by code for the binary search below.
constexpr Message kMessages[] = {
    {ERROR_SUCCESS, "The operation completed successfully.\r\n"},
    {ERROR_INVALID_FUNCTION, "Incorrect function.\r\n"},
    {ERROR_FILE_NOT_FOUND, "The system cannot find the file specified.\r\n"},
    {ERROR_PATH_NOT_FOUND, "The system cannot find the path specified.\r\n"},
    {ERROR_TOO_MANY_OPEN_FILES, "The system cannot open the file.\r\n"},
    {ERROR_ACCESS_DENIED, "Access is denied.\r\n"},
    {ERROR_INVALID_HANDLE, "The handle is invalid.\r\n"},
    {ERROR_NOT_ENOUGH_MEMORY,
     "Not enough memory resources are available to process this command.\r\n"},
    {ERROR_BAD_FORMAT, "An attempt was made to load a program with an incorrect format.\r\n"},
    {ERROR_INVALID_DATA, "The data is invalid.\r\n"},
    {ERROR_OUTOFMEMORY,
     "Not enough memory resources are available to complete this operation.\r\n"},
    {ERROR_INVALID_DRIVE, "The system cannot find the drive specified.\r\n"},
    {ERROR_CURRENT_DIRECTORY, "The directory cannot be removed.\r\n"},
    {ERROR_NOT_SAME_DEVICE, "The system cannot move the file to a different disk drive.\r\n"},
    {ERROR_NO_MORE_FILES, "There are no more files.\r\n"},
    {ERROR_WRITE_PROTECT, "The media is write protected.\r\n"},
    {ERROR_NOT_READY, "The device is not ready.\r\n"},
    {ERROR_SEEK, "The drive cannot locate a specific area or track on the disk.\r\n"},
    {ERROR_GEN_FAILURE, "A device attached to the system is not functioning.\r\n"},
    {ERROR_SHARING_VIOLATION,
     "The process cannot access the file because it is being used by another process.\r\n"},
    {ERROR_LOCK_VIOLATION,
     "The process cannot access the file because another process has locked a portion of the "
     "file.\r\n"},
    {ERROR_HANDLE_EOF, "Reached the end of the file.\r\n"},
    {ERROR_HANDLE_DISK_FULL, "The disk is full.\r\n"},
    {ERROR_NOT_SUPPORTED, "The request is not supported.\r\n"},
    {ERROR_BAD_NETPATH, "The network path was not found.\r\n"},
    {ERROR_DEV_NOT_EXIST, "The specified network resource or device is no longer available.\r\n"},
    {ERROR_NETNAME_DELETED, "The specified network name is no longer available.\r\n"},
    {ERROR_NETWORK_ACCESS_DENIED, "Network access is denied.\r\n"},
    {ERROR_BAD_NET_NAME, "The network name cannot be found.\r\n"},
    {ERROR_FILE_EXISTS, "The file exists.\r\n"},
    {ERROR_CANNOT_MAKE, "The directory or file cannot be created.\r\n"},
    {ERROR_INVALID_PARAMETER, "The parameter is incorrect.\r\n"},
    {ERROR_BROKEN_PIPE, "The pipe has been ended.\r\n"},
    {ERROR_OPEN_FAILED, "The system cannot open the device or file specified.\r\n"},
    {ERROR_BUFFER_OVERFLOW, "The file name is too long.\r\n"},
    {ERROR_DISK_FULL, "There is not enough space on the disk.\r\n"},
    {ERROR_CALL_NOT_IMPLEMENTED, "This function is not supported on this system.\r\n"},
    {ERROR_SEM_TIMEOUT, "The semaphore timeout period has expired.\r\n"},
    {ERROR_INSUFFICIENT_BUFFER, "The data area passed to a system call is too small.\r\n"},
    {ERROR_INVALID_NAME, "The filename, directory name, or volume label syntax is incorrect.\r\n"},
    {ERROR_MOD_NOT_FOUND, "The specified module could not be found.\r\n"},
    {ERROR_PROC_NOT_FOUND, "The specified procedure could not be found.\r\n"},
    {ERROR_NEGATIVE_SEEK,
     "An attempt was made to move the file pointer before the beginning of the file.\r\n"},
    {ERROR_SEEK_ON_DEVICE, "The file pointer cannot be set on the specified device or file.\r\n"},
    {ERROR_DIR_NOT_EMPTY, "The directory is not empty.\r\n"},
    {ERROR_LABEL_TOO_LONG,
     "The volume label you entered exceeds the label character limit of the target file "
     "system.\r\n"},
    {ERROR_NOT_LOCKED, "The segment is already unlocked.\r\n"},
    {ERROR_BAD_PATHNAME, "The specified path is invalid.\r\n"},
    {ERROR_LOCK_FAILED, "Unable to lock a region of a file.\r\n"},
    {ERROR_BUSY, "The requested resource is in use.\r\n"},
    {ERROR_ALREADY_EXISTS, "Cannot create a file when that file already exists.\r\n"},
    {ERROR_BAD_EXE_FORMAT, "%1 is not a valid Win32 application.\r\n"},
    {ERROR_ENVVAR_NOT_FOUND,
     "The system could not find the environment option that was entered.\r\n"},
    {ERROR_FILENAME_EXCED_RANGE, "The filename or extension is too long.\r\n"},
    {ERROR_FILE_TOO_LARGE, "The file size exceeds the limit allowed and cannot be saved.\r\n"},
    {ERROR_MORE_DATA, "More data is available.\r\n"},
    {ERROR_NO_MORE_ITEMS, "No more data is available.\r\n"},
    {ERROR_DIRECTORY, "The directory name is invalid.\r\n"},
    {ERROR_MR_MID_NOT_FOUND,
     "The system cannot find message text for message number 0x%1 in the message file for "
     "%2.\r\n"},
    {ERROR_ARITHMETIC_OVERFLOW, "Arithmetic result exceeded 32 bits.\r\n"},
    {ERROR_OPERATION_ABORTED,
     "The I/O operation has been aborted because of either a thread exit or an application "
     "request.\r\n"},
    {ERROR_NOACCESS, "Invalid access to memory location.\r\n"},
    {ERROR_INVALID_FLAGS, "Invalid flags.\r\n"},
    {ERROR_UNRECOGNIZED_VOLUME,
     "The volume does not contain a recognized file system.\r\nPlease make sure that all required "
     "file system drivers are loaded and that the volume is not corrupted.\r\n"},
    {ERROR_FILE_INVALID,
     "The volume for a file has been externally altered so that the opened file is no longer "
     "valid.\r\n"},
    {ERROR_BADDB, "The configuration registry database is corrupt.\r\n"},
    {ERROR_BADKEY, "The configuration registry key is invalid.\r\n"},
    {ERROR_CANTOPEN, "The configuration registry key could not be opened.\r\n"},
    {ERROR_CANTREAD, "The configuration registry key could not be read.\r\n"},
    {ERROR_CANTWRITE, "The configuration registry key could not be written.\r\n"},
    {ERROR_KEY_DELETED,
     "Illegal operation attempted on a registry key that has been marked for deletion.\r\n"},
    {ERROR_NO_UNICODE_TRANSLATION,
     "No mapping for the Unicode character exists in the target multi-byte code page.\r\n"},
    {ERROR_DLL_INIT_FAILED, "A dynamic link library (DLL) initialization routine failed.\r\n"},
    {ERROR_IO_DEVICE, "The request could not be performed because of an I/O device error.\r\n"},
    {ERROR_POSSIBLE_DEADLOCK, "A potential deadlock condition has been detected.\r\n"},
    {ERROR_TOO_MANY_LINKS,
     "An attempt was made to create more links on a file than the file system supports.\r\n"},
    {ERROR_NOT_FOUND, "Element not found.\r\n"},
    {ERROR_BAD_DEVICE, "The specified device name is invalid.\r\n"},
    {ERROR_NO_NETWORK, "The network is not present or not started.\r\n"},
    {ERROR_PRIVILEGE_NOT_HELD, "A required privilege is not held by the client.\r\n"},
    {ERROR_INTERNAL_ERROR, "An internal error occurred.\r\n"},
    {ERROR_FILE_CORRUPT, "The file or directory is corrupted and unreadable.\r\n"},
    {ERROR_RESOURCE_LANG_NOT_FOUND,
     "The specified resource language ID cannot be found in the image file.\r\n"},
    {ERROR_CANT_ACCESS_FILE, "The file cannot be accessed by the system.\r\n"},
    {ERROR_CANT_RESOLVE_FILENAME, "The name of the file cannot be resolved by the system.\r\n"},
    {ERROR_NOT_CONNECTED, "This network connection does not exist.\r\n"},
    // The cryptographic providers' codes, which our provider layer sets.
    {DWORD(NTE_BAD_UID), "Bad UID.\r\n"},
    {DWORD(NTE_BAD_HASH), "Bad Hash.\r\n"},
    {DWORD(NTE_BAD_KEY), "Bad Key.\r\n"},
    {DWORD(NTE_BAD_LEN), "Bad Length.\r\n"},
    {DWORD(NTE_BAD_ALGID), "Invalid algorithm specified.\r\n"},
    {DWORD(NTE_BAD_FLAGS), "Invalid flags specified.\r\n"},
    {DWORD(NTE_BAD_TYPE), "Invalid type specified.\r\n"},
    {DWORD(NTE_EXISTS), "Object already exists.\r\n"},
    {DWORD(NTE_BAD_KEYSET), "Keyset does not exist\r\n"},
    {DWORD(NTE_PROV_TYPE_NOT_DEF), "Provider type not defined.\r\n"},
    {DWORD(NTE_KEYSET_NOT_DEF), "The keyset is not defined.\r\n"},
    {DWORD(NTE_BAD_KEYSET_PARAM), "The Keyset parameter is invalid.\r\n"},
};

constexpr bool IsSortedAndUnique() {
  for (size_t i = 1; i < sizeof(kMessages) / sizeof(kMessages[0]); ++i) {
    if (kMessages[i - 1].code >= kMessages[i].code) return false;
  }
  return true;
}
static_assert(IsSortedAndUnique(), "kMessages must be sorted by code, each code once");

const char* FindMessage(DWORD code) {
  size_t lo = 0;
  size_t hi = sizeof(kMessages) / sizeof(kMessages[0]);
  while (lo < hi) {
    const size_t mid = lo + (hi - lo) / 2;
    if (kMessages[mid].code == code) return kMessages[mid].text;
    if (kMessages[mid].code < code) {
      lo = mid + 1;
    } else {
      hi = mid;
    }
  }
  return nullptr;
}

// The languages the catalogue answers for: neutral (the caller's or the
// system's default) and US English, which is what it holds.
bool IsKnownLanguage(DWORD language) {
  return language == 0 || language == MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT) ||
         language == 0x0800 || language == 0x0409;
}

DWORD Fail(DWORD error) {
  SetLastError(error);
  return 0;
}

// Expands the insert sequences of a message (%1..%99, with an optional
// !printf-format! of which only the string form is supported) from an array
// of string pointers, and the escapes %0 (end), %% and %n. False when an
// insert cannot be filled.
bool ExpandInserts(const char* text, const DWORD_PTR* args, std::string* out) {
  for (const char* p = text; *p != 0; ++p) {
    if (*p != '%') {
      out->push_back(*p);
      continue;
    }
    const char c = *++p;
    if (c == 0) break;
    if (c == '0') return true;
    if (c == 'n') {
      out->append("\r\n");
      continue;
    }
    if (c < '1' || c > '9') {
      out->push_back(c);  // %%, %., %! and the like stand for the character
      continue;
    }
    int index = c - '0';
    if (p[1] >= '0' && p[1] <= '9') index = index * 10 + (*++p - '0');
    if (p[1] == '!') {
      const char* end = strchr(p + 2, '!');
      if (end == nullptr || std::string(p + 2, end) != "s") return false;
      p = end;
    }
    if (args == nullptr) return false;
    const char* value = reinterpret_cast<const char*>(args[index - 1]);
    if (value == nullptr) return false;
    out->append(value);
  }
  return true;
}

// A non-zero width mask asks for the text's own line breaks to be dropped:
// Windows turns each into a blank, which also ends the text with one.
void ApplyWidth(DWORD width, std::string* text) {
  if (width == 0) return;
  std::string flowed;
  for (size_t i = 0; i < text->size(); ++i) {
    if ((*text)[i] == '\r' && i + 1 < text->size() && (*text)[i + 1] == '\n') {
      flowed.push_back(' ');
      ++i;
    } else {
      flowed.push_back((*text)[i]);
    }
  }
  text->swap(flowed);
}

}  // namespace

extern "C" {
HLOCAL LocalAlloc(UINT uFlags, SIZE_T uBytes) {
  void* p = (uFlags & LMEM_ZEROINIT) ? calloc(uBytes == 0 ? 1 : uBytes, 1)
                                     : malloc(uBytes == 0 ? 1 : uBytes);
  if (p == nullptr) SetLastError(ERROR_NOT_ENOUGH_MEMORY);
  return p;
}

HLOCAL LocalFree(HLOCAL hMem) {
  free(hMem);
  return nullptr;
}

DWORD FormatMessageA(DWORD dwFlags, LPCVOID lpSource, DWORD dwMessageId, DWORD dwLanguageId,
                     LPSTR lpBuffer, DWORD nSize, void* Arguments) {
  return tessary::GuardWin32<DWORD>(0, [&]() -> DWORD {
    const bool allocate = (dwFlags & FORMAT_MESSAGE_ALLOCATE_BUFFER) != 0;
    if (lpBuffer == nullptr) return Fail(ERROR_INVALID_PARAMETER);
    if (allocate) *reinterpret_cast<LPSTR*>(lpBuffer) = nullptr;

    const char* text = nullptr;
    if (dwFlags & FORMAT_MESSAGE_FROM_STRING) {
      text = static_cast<const char*>(lpSource);
      if (text == nullptr) return Fail(ERROR_INVALID_PARAMETER);
    } else if (dwFlags & FORMAT_MESSAGE_FROM_SYSTEM) {
      // There are no module message tables here, so FROM_HMODULE only ever
      // falls back to the system's.
      if (!IsKnownLanguage(dwLanguageId)) return Fail(ERROR_RESOURCE_LANG_NOT_FOUND);
      DWORD code = dwMessageId;
      // An HRESULT made from a Win32 error reads as that error, as on Windows.
      if ((code & 0xFFFF0000u) == 0x80070000u) code &= 0xFFFF;
      text = FindMessage(code);
      if (text == nullptr) return Fail(ERROR_MR_MID_NOT_FOUND);
    } else {
      return Fail(ERROR_INVALID_PARAMETER);
    }

    std::string result;
    if (dwFlags & FORMAT_MESSAGE_IGNORE_INSERTS) {
      result = text;
    } else {
      // Only an argument array can be read portably; a va_list is refused, as
      // Windows refuses inserts without arguments.
      const DWORD_PTR* args = (dwFlags & FORMAT_MESSAGE_ARGUMENT_ARRAY)
                                  ? static_cast<const DWORD_PTR*>(Arguments)
                                  : nullptr;
      if (!ExpandInserts(text, args, &result)) return Fail(ERROR_INVALID_PARAMETER);
    }
    ApplyWidth(dwFlags & FORMAT_MESSAGE_MAX_WIDTH_MASK, &result);

    const size_t needed = result.size() + 1;
    if (allocate) {
      const size_t bytes = needed > nSize ? needed : nSize;
      char* block = static_cast<char*>(LocalAlloc(LMEM_FIXED, bytes));
      if (block == nullptr) return Fail(ERROR_NOT_ENOUGH_MEMORY);
      memcpy(block, result.c_str(), needed);
      *reinterpret_cast<LPSTR*>(lpBuffer) = block;
    } else {
      if (needed > nSize) return Fail(ERROR_INSUFFICIENT_BUFFER);
      memcpy(lpBuffer, result.c_str(), needed);
    }
    return static_cast<DWORD>(result.size());
  });
}

}  // extern "C"
