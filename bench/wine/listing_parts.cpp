// What a listing of the files of a folder costs under the system's own file
// services before any object is made: the search alone, and the search with
// the open probe of each file. A Windows program that
// bench/wine_files_bench.sh runs under Wine beside the script figures, to
// show how much of the listing is the probe itself.
//
//   wine_listing_parts.exe FOLDER LISTINGS
//
// Prints "WALK_MS PROBED_MS FILES": the best of three rounds of LISTINGS
// searches each, and the files one search finds.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/find_probe.h"

namespace {

// One search of folder\*, as the listing makes it; with `probe` each file it
// finds is probed too. Returns the files found (and passed).
int Walk(const std::string& folder, bool probe) {
  const std::string pattern = folder + "\\*";
  WIN32_FIND_DATAA found;
  HANDLE search = FindFirstFileNamesA(pattern.c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return 0;
  int files = 0;
  std::string full;
  do {
    if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
    if (probe) {
      full.assign(folder).append("\\").append(found.cFileName);
      if (!FindProbeEntryA(search, full.c_str(), found.cFileName)) continue;
    }
    ++files;
  } while (FindNextFileNamesA(search, &found));
  FindCloseNames(search);
  return files;
}

double BestMs(const std::string& folder, int listings, bool probe, int* files) {
  LARGE_INTEGER frequency;
  QueryPerformanceFrequency(&frequency);
  double best = -1;
  for (int round = 0; round < 3; ++round) {
    LARGE_INTEGER start, end;
    QueryPerformanceCounter(&start);
    for (int i = 0; i < listings; ++i) *files = Walk(folder, probe);
    QueryPerformanceCounter(&end);
    const double ms = static_cast<double>(end.QuadPart - start.QuadPart) * 1e3 /
                      static_cast<double>(frequency.QuadPart);
    if (best < 0 || ms < best) best = ms;
  }
  return best;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: wine_listing_parts FOLDER LISTINGS\n");
    return 2;
  }
  const std::string folder = argv[1];
  const int listings = std::atoi(argv[2]);
  int walked = 0, probed = 0;
  const double walk_ms = BestMs(folder, listings, false, &walked);
  const double probed_ms = BestMs(folder, listings, true, &probed);
  if (walked != probed) {
    std::fprintf(stderr, "the search found %d files, the probe passed %d\n", walked, probed);
    return 1;
  }
  std::printf("%.1f %.1f %d\n", walk_ms, probed_ms, walked);
  return 0;
}
