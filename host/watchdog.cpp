// The script's time limit (WScript.Timeout, --timeout). The engine cannot be
// interrupted from outside, so a thread of its own watches the clock and, as
// the Windows host does once the limit has passed, ends the process: what
// standard output holds is written out first, unless the script is itself
// in the middle of writing it.
#include <pthread.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "host/wscript_parts.h"

namespace tessary::host {
namespace {

// Plain data with static initialisers and no destructors: the thread may
// still wait on them while the process exits.
pthread_mutex_t g_lock = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t g_changed;
bool g_started = false;
long g_timeout = 0;
timespec g_start{};
const char* g_script = "";

void Expire() {
  if (ftrylockfile(stdout) == 0) {
    std::fflush(stdout);
    funlockfile(stdout);
  }
  char text[1200];
  int n = std::snprintf(text, sizeof text,
                        "Script execution time was exceeded on script \"%.1024s\".\n"
                        "Script execution terminated.\n",
                        g_script);
  if (n > 0) {
    size_t size = static_cast<size_t>(n) < sizeof text ? static_cast<size_t>(n) : sizeof text - 1;
    ssize_t written = ::write(STDERR_FILENO, text, size);
    (void)written;
  }
  _exit(1);
}

void* Watch(void*) {
  pthread_mutex_lock(&g_lock);
  for (;;) {
    if (g_timeout <= 0) {
      pthread_cond_wait(&g_changed, &g_lock);
      continue;
    }
    timespec deadline = g_start;
    deadline.tv_sec += g_timeout;
    if (pthread_cond_timedwait(&g_changed, &g_lock, &deadline) == ETIMEDOUT) {
      timespec now{};
      clock_gettime(CLOCK_MONOTONIC, &now);
      bool passed = now.tv_sec > deadline.tv_sec ||
                    (now.tv_sec == deadline.tv_sec && now.tv_nsec >= deadline.tv_nsec);
      if (g_timeout > 0 && passed) break;
    }
  }
  pthread_mutex_unlock(&g_lock);
  Expire();
  return nullptr;
}

// Called with g_lock held.
void StartWatching() {
  if (g_started) return;
  pthread_condattr_t attributes;
  pthread_condattr_init(&attributes);
  pthread_condattr_setclock(&attributes, CLOCK_MONOTONIC);
  pthread_cond_init(&g_changed, &attributes);
  pthread_condattr_destroy(&attributes);
  pthread_t thread;
  if (pthread_create(&thread, nullptr, Watch, nullptr) == 0) {
    pthread_detach(thread);
    g_started = true;
  }
}

}  // namespace

void StartScriptClock(const char* script) {
  pthread_mutex_lock(&g_lock);
  clock_gettime(CLOCK_MONOTONIC, &g_start);
  g_script = script ? script : "";
  pthread_mutex_unlock(&g_lock);
}

void SetScriptTimeout(long seconds) {
  pthread_mutex_lock(&g_lock);
  g_timeout = seconds > 0 ? seconds : 0;
  if (g_timeout > 0) StartWatching();
  if (g_started) pthread_cond_signal(&g_changed);
  pthread_mutex_unlock(&g_lock);
}

long ScriptTimeout() {
  pthread_mutex_lock(&g_lock);
  long seconds = g_timeout;
  pthread_mutex_unlock(&g_lock);
  return seconds;
}

}  // namespace tessary::host
