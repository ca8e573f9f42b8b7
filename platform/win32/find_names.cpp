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
// caller takes entries from the queue and probes them. Once the folder is
// read, the reader probes the files still queued, from the last one back,
// until it meets the caller, which takes the answer already made for an
// entry instead of asking again. A small folder never starts the thread.
// The entries, their order, their probes' answers and the error that ends
// the search are what the caller alone would have had: only the time
// changes.
#include "platform/win32/find_names.h"

#include <windows.h>

#include <cstring>
#include <deque>
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

// Who probes an entry, and its answer once made.
enum class Probe { kNobody, kCaller, kReader, kPassed, kRefused };

struct Entry {
  DWORD attributes;
  std::string name;
  Probe probe = Probe::kNobody;
  DWORD error = ERROR_SUCCESS;
};

struct NameSearch {
  DWORD mark = kSearchMark;
  HANDLE system = INVALID_HANDLE_VALUE;
  // The pattern up to its last separator: what the caller's full names of
  // the entries start with.
  std::string folder;
  size_t handed_out = 0;
  HANDLE reader = nullptr;  // the thread reading ahead, once started
  // Shared with the reader, under `lock`. The caller takes entries from the
  // front; the reader adds them at the back and, once the folder is read,
  // probes them from the back. Neither moves an entry the other may hold.
  CRITICAL_SECTION lock;
  CONDITION_VARIABLE changed;
  std::deque<Entry> entries;
  bool front_handed_out = false;          // the front entry is the caller's
  bool done = false;                      // the system search has ended ...
  DWORD end_error = ERROR_NO_MORE_FILES;  // ... with this error
  bool stop = false;                      // the caller closed the search

  NameSearch() {
    InitializeCriticalSection(&lock);
    InitializeConditionVariable(&changed);
  }
  ~NameSearch() { DeleteCriticalSection(&lock); }
  void Wait() { SleepConditionVariableCS(&changed, &lock, INFINITE); }
};

NameSearch* SearchOf(HANDLE handle) {
  NameSearch* search = static_cast<NameSearch*>(handle);
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE || search->mark != kSearchMark)
    return nullptr;
  return search;
}

// After the folder is read: probes the queued files from the last one back,
// until the caller's own entries are reached or the search is closed.
void ProbeFromTheBack(NameSearch* search) {
  size_t from_back = 0;  // entries behind the next one to look at
  std::string full_name;
  for (;;) {
    Entry* claimed = nullptr;
    EnterCriticalSection(&search->lock);
    while (!search->stop && from_back < search->entries.size()) {
      Entry& entry = search->entries[search->entries.size() - 1 - from_back];
      if (entry.probe != Probe::kNobody) break;  // the caller's, or behind it
      ++from_back;
      if (entry.attributes & FILE_ATTRIBUTE_DIRECTORY) continue;  // never probed
      entry.probe = Probe::kReader;
      claimed = &entry;
      break;
    }
    LeaveCriticalSection(&search->lock);
    if (claimed == nullptr) return;
    full_name.assign(search->folder).append(claimed->name);
    const bool passed = tessary::win32::ProbeFullNameA(full_name.c_str()) != FALSE;
    const DWORD error = passed ? ERROR_SUCCESS : GetLastError();
    EnterCriticalSection(&search->lock);
    claimed->probe = passed ? Probe::kPassed : Probe::kRefused;
    claimed->error = error;
    LeaveCriticalSection(&search->lock);
    WakeAllConditionVariable(&search->changed);
  }
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
    for (Entry& entry : batch) search->entries.push_back(std::move(entry));
    if (!more) {
      search->done = true;
      search->end_error = error;
    }
    const bool stop = search->stop;
    LeaveCriticalSection(&search->lock);
    WakeAllConditionVariable(&search->changed);
    batch.clear();
    if (stop) return 0;
    if (!more) break;
  }
  ProbeFromTheBack(search);
  return 0;
}

// The next entry read ahead, waiting for the reader when it has none yet.
BOOL NextReadAhead(NameSearch* search, LPWIN32_FIND_DATAA data) {
  EnterCriticalSection(&search->lock);
  if (search->front_handed_out) {
    // The caller is done with it; the reader may still be probing it.
    while (search->entries.front().probe == Probe::kReader) search->Wait();
    search->entries.pop_front();
    search->front_handed_out = false;
  }
  while (search->entries.empty() && !search->done) search->Wait();
  if (search->entries.empty()) {
    const DWORD end_error = search->end_error;
    LeaveCriticalSection(&search->lock);
    SetLastError(end_error);
    return FALSE;
  }
  const Entry& entry = search->entries.front();
  ZeroMemory(data, sizeof(*data));
  data->dwFileAttributes = entry.attributes;
  entry.name.copy(data->cFileName, sizeof(data->cFileName) - 1);
  search->front_handed_out = true;
  LeaveCriticalSection(&search->lock);
  return TRUE;
}

size_t FolderLength(LPCSTR pattern) {
  size_t length = 0;
  for (size_t i = 0; pattern[i] != '\0'; ++i) {
    if (pattern[i] == '\\' || pattern[i] == '/') length = i + 1;
  }
  return length;
}

}  // namespace

namespace tessary::win32 {

bool ReadAheadProbeAnswer(HANDLE hFindFile, LPCSTR lpFullName, BOOL* passed) {
  NameSearch* search = SearchOf(hFindFile);
  if (search == nullptr || search->reader == nullptr) return false;
  EnterCriticalSection(&search->lock);
  bool answered = false;
  if (search->front_handed_out) {
    Entry& entry = search->entries.front();
    if (entry.probe == Probe::kNobody) entry.probe = Probe::kCaller;
    while (entry.probe == Probe::kReader) search->Wait();
    const std::string& folder = search->folder;
    // The answer is for the name the reader made; any other the caller probes.
    answered = (entry.probe == Probe::kPassed || entry.probe == Probe::kRefused) &&
               folder.compare(0, folder.size(), lpFullName, folder.size()) == 0 &&
               std::strlen(lpFullName) == folder.size() + entry.name.size() &&
               entry.name.compare(lpFullName + folder.size()) == 0;
    if (answered) {
      *passed = entry.probe == Probe::kPassed ? TRUE : FALSE;
      if (!*passed) SetLastError(entry.error);
    }
  }
  LeaveCriticalSection(&search->lock);
  return answered;
}

}  // namespace tessary::win32

HANDLE FindFirstFileNamesA(LPCSTR lpFileName, LPWIN32_FIND_DATAA lpFindFileData) {
  if (lpFileName == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  NameSearch* search = new (std::nothrow) NameSearch;
  if (search == nullptr) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return INVALID_HANDLE_VALUE;
  }
  search->folder.assign(lpFileName, FolderLength(lpFileName));
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
