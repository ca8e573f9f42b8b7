// The thread's last error, interlocked counts, critical sections and the
// debugger output channel.
#include <linux/futex.h>
#include <pthread.h>
#include <stdlib.h>
#include <string.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <new>

#include "platform/posix/syscalls.h"
#include "platform/system.h"

namespace {

// Like Windows, each thread has its own last error, untouched by errno.
thread_local DWORD t_last_error = ERROR_SUCCESS;

#if defined(__SANITIZE_THREAD__)
#define TESSARY_PTHREAD_SECTIONS 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define TESSARY_PTHREAD_SECTIONS 1
#endif
#endif

#if defined(TESSARY_PTHREAD_SECTIONS)
// The thread sanitizer knows pthread mutexes, not our futex word, so under
// it a critical section stays a recursive pthread mutex and the race checks
// see every hand-over.
static_assert(sizeof(pthread_mutex_t) <= sizeof(CRITICAL_SECTION::opaque),
              "a pthread mutex must fit in CRITICAL_SECTION");
static_assert(alignof(pthread_mutex_t) <= alignof(CRITICAL_SECTION),
              "CRITICAL_SECTION must be aligned for a pthread mutex");

pthread_mutex_t* MutexOf(LPCRITICAL_SECTION cs) {
  return std::launder(reinterpret_cast<pthread_mutex_t*>(cs->opaque));
}
#else
// A critical section is entered by every call into an object, so entering
// and leaving one that nobody else holds must cost one atomic operation
// each: a word that is 0 when free, 1 when held and 2 when held with a
// thread asleep on it (only then does leaving wake anyone), beside the
// owner and its recursion count, which only the owner writes.
struct Section {
  std::atomic<uint32_t> state;
  uint32_t recursion;
  std::atomic<uintptr_t> owner;
};
static_assert(sizeof(Section) <= sizeof(CRITICAL_SECTION::opaque),
              "a section must fit in CRITICAL_SECTION");
static_assert(alignof(Section) <= alignof(CRITICAL_SECTION),
              "CRITICAL_SECTION must be aligned for a section");
static_assert(std::atomic<uint32_t>::is_always_lock_free &&
                  std::atomic<uintptr_t>::is_always_lock_free,
              "a section's words must be plain atomic words");

Section* SectionOf(LPCRITICAL_SECTION cs) {
  return std::launder(reinterpret_cast<Section*>(cs->opaque));
}

// The thread's identity is the address of its own copy of this byte: a
// fixed offset from the thread pointer, so finding it costs no call. Only a
// thread itself ever stores its identity as an owner, so a relaxed look at
// the owner answers "is it me" correctly.
thread_local char t_self __attribute__((tls_model("initial-exec")));

uintptr_t Self() { return reinterpret_cast<uintptr_t>(&t_self); }

void FutexWait(std::atomic<uint32_t>* word, uint32_t expected) {
  // An early return (the word changed, a signal) only sends the caller
  // round its loop again.
  syscall(SYS_futex, reinterpret_cast<uint32_t*>(word), FUTEX_WAIT_PRIVATE, expected, nullptr,
          nullptr, 0);
}

void FutexWakeOne(std::atomic<uint32_t>* word) {
  syscall(SYS_futex, reinterpret_cast<uint32_t*>(word), FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
}

__attribute__((noinline)) void WaitForSection(Section* section) {
  // From here on the word says 2, so whoever leaves next wakes a sleeper;
  // a thread that finds it free this way owns it, still marked 2, which at
  // worst costs one needless wake.
  while (section->state.exchange(2, std::memory_order_acquire) != 0) FutexWait(&section->state, 2);
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
void InitializeCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
  Section* section = new (lpCriticalSection->opaque) Section;
  section->state.store(0, std::memory_order_relaxed);
  section->recursion = 0;
  section->owner.store(0, std::memory_order_relaxed);
}

// Re-entrant for the owning thread, as on Windows.
void EnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
  Section* section = SectionOf(lpCriticalSection);
  const uintptr_t self = Self();
  // A free section is the common case; only a held one asks who holds it.
  uint32_t expected = 0;
  if (!section->state.compare_exchange_strong(expected, 1, std::memory_order_acquire,
                                              std::memory_order_relaxed)) {
    if (section->owner.load(std::memory_order_relaxed) == self) {
      ++section->recursion;
      return;
    }
    WaitForSection(section);
  }
  section->owner.store(self, std::memory_order_relaxed);
  section->recursion = 1;
}

// A thread that does not own the section leaves it untouched.
void LeaveCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
  Section* section = SectionOf(lpCriticalSection);
  if (section->owner.load(std::memory_order_relaxed) != Self()) return;
  if (--section->recursion > 0) return;
  section->owner.store(0, std::memory_order_relaxed);
  if (section->state.exchange(0, std::memory_order_release) == 2) FutexWakeOne(&section->state);
}

void DeleteCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
  SectionOf(lpCriticalSection)->~Section();
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
