// The names-and-kinds search of a listing on Windows: the system's search at
// its basic level, read ahead on a thread of its own once the folder proves
// large.
//
// A listing probes each file it keeps, and on Windows the probe is an
// attribute query of the file's own path, which costs as much again as the
// search's reading of the entry (under Wine each is a few file-system calls
// of the host). Done in turn, the two add up; so after the first
// kReadAheadAfter entries, handed out straight from the system's search, the
// rest of the folder is read on a second thread into a queue while the
// caller takes entries from the queue and probes them. A small folder never
// starts the thread. The entries, their order and the error that ends the
// search are the system search's, whichever thread read them: only the time
// changes.
#include <windows.h>

#include <new>
#include <string>
#include <utility>
#include <vector>

#include "platform/find_probe.h"

namespace {

constexpr DWORD kSearchMark = 0x6E616D65;  // "name"
// Entries handed out before the rest is read ahead: a thread costs about as
// much as probing a few dozen entries.
constexpr size_t kReadAheadAfter = 64;
// Entries the reader gathers before it hands them over.
constexpr size_t kBatch = 64;

struct Entry {
  DWORD attributes;
  std::string name;
};

struct NameSearch {
  DWORD mark = kSearchMark;
  HANDLE system = INVALID_HANDLE_VALUE;
  size_t handed_out = 0;
  HANDLE reader = nullptr;  // the thread reading ahead, once started
  // Shared with the reader, under `lock`.
  CRITICAL_SECTION lock;
  CONDITION_VARIABLE changed;
  std::vector<Entry> ready;               // read, not yet taken
  bool done = false;                      // the system search has ended ...
  DWORD end_error = ERROR_NO_MORE_FILES;  // ... with this error
  bool stop = false;                      // the caller closed the search
  // The caller's own: the batch it takes entries from.
  std::vector<Entry> taking;
  size_t next = 0;

  NameSearch() {
    InitializeCriticalSection(&lock);
    InitializeConditionVariable(&changed);
  }
  ~NameSearch() { DeleteCriticalSection(&lock); }
};

NameSearch* SearchOf(HANDLE handle) {
  NameSearch* search = static_cast<NameSearch*>(handle);
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE || search->mark != kSearchMark)
    return nullptr;
  return search;
}

DWORD WINAPI ReadAhead(void* parameter) {
  NameSearch* search = static_cast<NameSearch*>(parameter);
  std::vector<Entry> batch;
  batch.reserve(kBatch);
  WIN32_FIND_DATAA found;
  for (;;) {
    const bool more = FindNextFileA(search->system, &found) != FALSE;
    const DWORD error = more ? ERROR_SUCCESS : GetLastError();
    if (more) batch.push_back(Entry{found.dwFileAttributes, found.cFileName});
    if (more && batch.size() < kBatch) continue;
    EnterCriticalSection(&search->lock);
    for (Entry& entry : batch) search->ready.push_back(std::move(entry));
    if (!more) {
      search->done = true;
      search->end_error = error;
    }
    const bool stop = search->stop;
    LeaveCriticalSection(&search->lock);
    WakeConditionVariable(&search->changed);
    batch.clear();
    if (!more || stop) return 0;
  }
}

void Describe(const Entry& entry, LPWIN32_FIND_DATAA data) {
  ZeroMemory(data, sizeof(*data));
  data->dwFileAttributes = entry.attributes;
  entry.name.copy(data->cFileName, sizeof(data->cFileName) - 1);
}

// The next entry read ahead, waiting for the reader when it has none yet.
BOOL NextReadAhead(NameSearch* search, LPWIN32_FIND_DATAA data) {
  if (search->next == search->taking.size()) {
    search->taking.clear();
    search->next = 0;
    EnterCriticalSection(&search->lock);
    while (search->ready.empty() && !search->done)
      SleepConditionVariableCS(&search->changed, &search->lock, INFINITE);
    search->taking.swap(search->ready);
    const DWORD end_error = search->end_error;
    LeaveCriticalSection(&search->lock);
    if (search->taking.empty()) {
      SetLastError(end_error);
      return FALSE;
    }
  }
  Describe(search->taking[search->next++], data);
  return TRUE;
}

}  // namespace

HANDLE FindFirstFileNamesA(LPCSTR lpFileName, LPWIN32_FIND_DATAA lpFindFileData) {
  NameSearch* search = new (std::nothrow) NameSearch;
  if (search == nullptr) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return INVALID_HANDLE_VALUE;
  }
  search->system = FindFirstFileExA(lpFileName, FindExInfoBasic, lpFindFileData,
                                    FindExSearchNameMatch, nullptr, FIND_FIRST_EX_LARGE_FETCH);
  if (search->system == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    delete search;
    SetLastError(error);
    return INVALID_HANDLE_VALUE;
  }
  search->handed_out = 1;
  return search;
}

BOOL FindNextFileNamesA(HANDLE hFindFile, LPWIN32_FIND_DATAA lpFindFileData) {
  NameSearch* search = SearchOf(hFindFile);
  if (search == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (search->reader != nullptr) return NextReadAhead(search, lpFindFileData);
  if (search->handed_out == kReadAheadAfter) {
    // From here the system search is the reader's alone. Without a thread
    // the search goes on as it was.
    search->reader = CreateThread(nullptr, 0, ReadAhead, search, 0, nullptr);
    if (search->reader != nullptr) return NextReadAhead(search, lpFindFileData);
  }
  if (!FindNextFileA(search->system, lpFindFileData)) return FALSE;
  ++search->handed_out;
  return TRUE;
}

BOOL FindCloseNames(HANDLE hFindFile) {
  NameSearch* search = SearchOf(hFindFile);
  if (search == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (search->reader != nullptr) {
    EnterCriticalSection(&search->lock);
    search->stop = true;
    LeaveCriticalSection(&search->lock);
    WaitForSingleObject(search->reader, INFINITE);
    CloseHandle(search->reader);
  }
  const BOOL closed = FindClose(search->system);
  search->mark = 0;
  delete search;
  return closed;
}
