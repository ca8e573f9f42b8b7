// The thread's last error, interlocked counts, critical sections and the
// debugger output channel.
#include <pthread.h>
#include <stdlib.h>
#include <string.h>

#include <new>

#include "platform/posix/syscalls.h"
#include "platform/system.h"

namespace {

// Like Windows, each thread has its own last error, untouched by errno.
thread_local DWORD t_last_error = ERROR_SUCCESS;

static_assert(sizeof(pthread_mutex_t) <= sizeof(CRITICAL_SECTION::opaque),
              "a pthread mutex must fit in CRITICAL_SECTION");
static_assert(alignof(pthread_mutex_t) <= alignof(CRITICAL_SECTION),
              "CRITICAL_SECTION must be aligned for a pthread mutex");

pthread_mutex_t* MutexOf(LPCRITICAL_SECTION cs) {
  return std::launder(reinterpret_cast<pthread_mutex_t*>(cs->opaque));
}

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

void LeaveCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
  pthread_mutex_unlock(MutexOf(lpCriticalSection));
}

void DeleteCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
  pthread_mutex_destroy(MutexOf(lpCriticalSection));
}

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
