// Seam group: the thread's last error, system message texts, code pages,
// time conversion, interlocked counts, critical sections and the debugger
// output channel (kernel32 on Windows, ours on POSIX).
#pragma once

#include "platform/automation.h"

#ifndef _WIN32
#include "platform/posix/winerror.h"

#define FORMAT_MESSAGE_ALLOCATE_BUFFER 0x00000100
#define FORMAT_MESSAGE_IGNORE_INSERTS 0x00000200
#define FORMAT_MESSAGE_FROM_STRING 0x00000400
#define FORMAT_MESSAGE_FROM_HMODULE 0x00000800
#define FORMAT_MESSAGE_FROM_SYSTEM 0x00001000
#define FORMAT_MESSAGE_ARGUMENT_ARRAY 0x00002000
#define FORMAT_MESSAGE_MAX_WIDTH_MASK 0x000000FF

#define MB_PRECOMPOSED 0x1
#define MB_ERR_INVALID_CHARS 0x8
#define WC_NO_BEST_FIT_CHARS 0x400
#define WC_ERR_INVALID_CHARS 0x80
#define CP_THREAD_ACP 3

#define LMEM_FIXED 0x0000
#define LMEM_ZEROINIT 0x0040
#define LPTR (LMEM_FIXED | LMEM_ZEROINIT)

typedef struct _CRITICAL_SECTION {
  // Large enough for a recursive pthread mutex on every POSIX target we build.
  alignas(8) unsigned char opaque[64];
} CRITICAL_SECTION, *LPCRITICAL_SECTION;

EXTERN_C {
  TESSARY_EXPORT DWORD GetLastError(void);
  TESSARY_EXPORT void SetLastError(DWORD dwErrCode);
  TESSARY_EXPORT DWORD FormatMessageA(DWORD dwFlags, LPCVOID lpSource, DWORD dwMessageId,
                                      DWORD dwLanguageId, LPSTR lpBuffer, DWORD nSize,
                                      void* Arguments);
  TESSARY_EXPORT HLOCAL LocalAlloc(UINT uFlags, SIZE_T uBytes);
  TESSARY_EXPORT HLOCAL LocalFree(HLOCAL hMem);

  // CP_ACP is UTF-8 on POSIX.
  TESSARY_EXPORT INT MultiByteToWideChar(UINT CodePage, DWORD dwFlags, LPCSTR lpMultiByteStr,
                                         INT cbMultiByte, LPWSTR lpWideCharStr, INT cchWideChar);
  TESSARY_EXPORT INT WideCharToMultiByte(UINT CodePage, DWORD dwFlags, LPCWSTR lpWideCharStr,
                                         INT cchWideChar, LPSTR lpMultiByteStr, INT cbMultiByte,
                                         LPCSTR lpDefaultChar, LPBOOL lpUsedDefaultChar);
  TESSARY_EXPORT UINT GetACP(void);

  // File times are 100 ns units since 1601-01-01 UTC; local time follows TZ.
  TESSARY_EXPORT BOOL FileTimeToLocalFileTime(const FILETIME* lpFileTime,
                                              LPFILETIME lpLocalFileTime);
  TESSARY_EXPORT BOOL LocalFileTimeToFileTime(const FILETIME* lpLocalFileTime,
                                              LPFILETIME lpFileTime);
  TESSARY_EXPORT BOOL FileTimeToSystemTime(const FILETIME* lpFileTime, LPSYSTEMTIME lpSystemTime);
  TESSARY_EXPORT BOOL SystemTimeToFileTime(const SYSTEMTIME* lpSystemTime, LPFILETIME lpFileTime);
  TESSARY_EXPORT void GetSystemTimeAsFileTime(LPFILETIME lpSystemTimeAsFileTime);
  TESSARY_EXPORT LCID GetUserDefaultLCID(void);

  TESSARY_EXPORT LONG InterlockedIncrement(LONG volatile * Addend);
  TESSARY_EXPORT LONG InterlockedDecrement(LONG volatile * Addend);
  TESSARY_EXPORT void InitializeCriticalSection(LPCRITICAL_SECTION lpCriticalSection);
  TESSARY_EXPORT void DeleteCriticalSection(LPCRITICAL_SECTION lpCriticalSection);

  TESSARY_EXPORT void OutputDebugStringA(LPCSTR lpOutputString);
}

// The thread sanitizer knows pthread mutexes, not our futex word, so under
// it a critical section is a recursive pthread mutex and the race checks see
// every hand-over.
#if defined(__SANITIZE_THREAD__)
#define TESSARY_PTHREAD_SECTIONS 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define TESSARY_PTHREAD_SECTIONS 1
#endif
#endif

#if defined(TESSARY_PTHREAD_SECTIONS)
EXTERN_C {
  TESSARY_EXPORT void EnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection);
  TESSARY_EXPORT void LeaveCriticalSection(LPCRITICAL_SECTION lpCriticalSection);
}
#else
#include <new>

// Every call into an object enters its critical section, nearly always one
// nobody else holds: that case is made here, inline, one atomic operation to
// enter and one to leave, and only a section held by another thread (or by
// this one, entering again) or one with a thread asleep on it calls into
// the library.
// A section is a word that is 0 when free, 1 when held and 2 when held with
// a thread asleep on it, beside the owner and its recursion count, which only
// the owner writes; the words are reached through atomic operations only.
struct TessarySection {
  uint32_t state;
  uint32_t recursion;
  uintptr_t owner;
};
static_assert(sizeof(TessarySection) <= sizeof(CRITICAL_SECTION::opaque),
              "a section must fit in CRITICAL_SECTION");

EXTERN_C {
  // The thread's identity as an owner is the address of its own copy of this
  // byte: a fixed offset from the thread pointer, the same address in every
  // library, found without a call.
  TESSARY_EXPORT extern __thread char tessary_section_self
      __attribute__((tls_model("initial-exec")));
  // A section that could not be taken at once: entered again by its owner, or
  // waited for.
  TESSARY_EXPORT void EnterCriticalSectionHeld(LPCRITICAL_SECTION lpCriticalSection);
  // Wakes one thread asleep on a section just left.
  TESSARY_EXPORT void LeaveCriticalSectionWake(LPCRITICAL_SECTION lpCriticalSection);
}

inline TessarySection* TessarySectionOf(LPCRITICAL_SECTION lpCriticalSection) {
  return std::launder(reinterpret_cast<TessarySection*>(lpCriticalSection->opaque));
}

// Re-entrant for the owning thread, as on Windows.
extern "C" inline void EnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
  TessarySection* section = TessarySectionOf(lpCriticalSection);
  uint32_t expected = 0;
  if (__builtin_expect(__atomic_compare_exchange_n(&section->state, &expected, 1, false,
                                                   __ATOMIC_ACQUIRE, __ATOMIC_RELAXED),
                       1)) {
    __atomic_store_n(&section->owner, reinterpret_cast<uintptr_t>(&tessary_section_self),
                     __ATOMIC_RELAXED);
    section->recursion = 1;
    return;
  }
  EnterCriticalSectionHeld(lpCriticalSection);
}

// A thread that does not own the section leaves it untouched. Only a thread
// itself stores its identity as an owner, so a relaxed look at the owner
// answers "is it me" correctly.
extern "C" inline void LeaveCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
  TessarySection* section = TessarySectionOf(lpCriticalSection);
  if (__atomic_load_n(&section->owner, __ATOMIC_RELAXED) !=
      reinterpret_cast<uintptr_t>(&tessary_section_self))
    return;
  if (--section->recursion > 0) return;
  __atomic_store_n(&section->owner, 0, __ATOMIC_RELAXED);
  if (__atomic_exchange_n(&section->state, 0, __ATOMIC_RELEASE) == 2)
    LeaveCriticalSectionWake(lpCriticalSection);
}
#endif
#endif
