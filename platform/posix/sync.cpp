// The thread's last error, interlocked counts, critical sections and the
// debugger output channel.
#include <linux/futex.h>
#include <pthread.h>
#include <stdlib.h>
#include <string.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdint>
#include <new>

#include "platform/posix/syscalls.h"
#include "platform/system.h"

namespace {

// Like Windows, each thread has its own last error, untouched by errno.
thread_local DWORD t_last_error = ERROR_SUCCESS;

#if defined(TESSARY_PTHREAD_SECTIONS)
static_assert(sizeof(pthread_mutex_t) <= sizeof(CRITICAL_SECTION::opaque),
              "a pthread mutex must fit in CRITICAL_SECTION");
static_assert(alignof(pthread_mutex_t) <= alignof(CRITICAL_SECTION),
              "CRITICAL_SECTION must be aligned for a pthread mutex");

pthread_mutex_t* MutexOf(LPCRITICAL_SECTION cs) {
  return std::launder(reinterpret_cast<pthread_mutex_t*>(cs->opaque));
}
#else
TessarySection* SectionOf(LPCRITICAL_SECTION cs) { return TessarySectionOf(cs); }

uintptr_t Self() { return reinterpret_cast<uintptr_t>(&tessary_section_self); }

void FutexWait(uint32_t* word, uint32_t expected) {
  // An early return (the word changed, a signal) only sends the caller
  // round its loop again.
  syscall(SYS_futex, word, FUTEX_WAIT_PRIVATE, expected, nullptr, nullptr, 0);
}

void FutexWakeOne(uint32_t* word) {
  syscall(SYS_futex, word, FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
}

void WaitForSection(TessarySection* section) {
  // From here on the word says 2, so whoever leaves next wakes a sleeper;
  // a thread that finds it free this way owns it, still marked 2, which at
  // worst costs one needless wake.
  while (__atomic_exchange_n(&section->state, 2, __ATOMIC_ACQUIRE) != 0)
    FutexWait(&section->state, 2);
}
#endif

}  // namespace

extern "C" {
DWORD GetLastError(void) { return t_last_error; }

void SetLastError(DWORD dwErrCode) { t_last_error = dwErrCode; }

LONG InterlockedIncrement(LONG volatile* Addend) {
  return __atomic_add_fetch(Addend, 1, __ATOMIC_SEQ_CST);
}

LONG InterlockedDecrement(LONG volatile* Addend) {
  return __atomic_sub_fetch(Addend, 1, __ATOMIC_SEQ_CST);
}

#if defined(TESSARY_PTHREAD_SECTIONS)
// Critical sections are re-entrant for their owning thread, so the mutex is
// a recursive one.
void InitializeCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
  pthread_mutexattr_t attr;
  pthread_mutexattr_init(&attr);
  pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
  pthread_mutex_t* mutex = new (lpCriticalSection->opaque) pthread_mutex_t;
  if (pthread_mutex_init(mutex, &attr) != 0) abort();
  pthread_mutexattr_destroy(&attr);
}

void EnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
  // Windows raises an exception when a critical section cannot be entered;
  // there is no error to return, so failing loudly is the faithful choice.
  if (pthread_mutex_lock(MutexOf(lpCriticalSection)) != 0) abort();
}

// A thread that does not own the section leaves it untouched.
void LeaveCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
  pthread_mutex_unlock(MutexOf(lpCriticalSection));
}

void DeleteCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
  pthread_mutex_destroy(MutexOf(lpCriticalSection));
}
#else
__thread char tessary_section_self __attribute__((tls_model("initial-exec")));

void InitializeCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
  TessarySection* section = new (lpCriticalSection->opaque) TessarySection;
  __atomic_store_n(&section->state, 0, __ATOMIC_RELAXED);
  section->recursion = 0;
  __atomic_store_n(&section->owner, 0, __ATOMIC_RELAXED);
}

void EnterCriticalSectionHeld(LPCRITICAL_SECTION lpCriticalSection) {
  TessarySection* section = SectionOf(lpCriticalSection);
  const uintptr_t self = Self();
  if (__atomic_load_n(&section->owner, __ATOMIC_RELAXED) == self) {
    ++section->recursion;
    return;
  }
  WaitForSection(section);
  __atomic_store_n(&section->owner, self, __ATOMIC_RELAXED);
  section->recursion = 1;
}

void LeaveCriticalSectionWake(LPCRITICAL_SECTION lpCriticalSection) {
  FutexWakeOne(&SectionOf(lpCriticalSection)->state);
}

void DeleteCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
  SectionOf(lpCriticalSection)->~TessarySection();
}
#endif

// Windows hands the text to an attached debugger and drops it otherwise.
// Here the "debugger" is stderr, attached by setting TESSARY_DEBUG_OUTPUT.
void OutputDebugStringA(LPCSTR lpOutputString) {
  if (lpOutputString == nullptr || getenv("TESSARY_DEBUG_OUTPUT") == nullptr) return;
  const size_t len = strlen(lpOutputString);
  size_t done = 0;
  while (done < len) {
    const ssize_t n = tessary::sys::write(2, lpOutputString + done, len - done);
    if (n <= 0) return;
    done += static_cast<size_t>(n);
  }
}

}  // extern "C"
