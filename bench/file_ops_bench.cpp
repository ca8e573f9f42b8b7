// FileExists against the bare system call it ends in: the price of the path
// conversion, the drive mapping and the attribute read.
#include <benchmark/benchmark.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "frame/values.h"
#include "root/tessary.h"

namespace {

std::string TempFile() {
  char name[] = "/tmp/tessary-bench-XXXXXX";
  int fd = mkstemp(name);
  if (fd >= 0) close(fd);
  return name;
}

void Stat_Loop(benchmark::State& state) {
  const std::string path = TempFile();
  struct stat st;
  for (auto _ : state) benchmark::DoNotOptimize(stat(path.c_str(), &st));
  unlink(path.c_str());
}
BENCHMARK(Stat_Loop);

void FileExists_Loop(benchmark::State& state) {
  const std::string path = TempFile();
  Tessary* root = nullptr;
  tessary::CreateObject(&root);
  tessary::Bstr windows_path;
  std::string text = "C:" + path;
  for (char& c : text)
    if (c == '/') c = '\\';
  (void)windows_path.FromAnsi(text);
  VARIANT_BOOL exists = 0;
  // The first call reads the store that maps the drives, once per process:
  // the figure is the call a script repeats, not that start-up.
  root->FileExists(windows_path.get(), &exists);
  for (auto _ : state) {
    root->FileExists(windows_path.get(), &exists);
    benchmark::DoNotOptimize(exists);
  }
  if (!exists) state.SkipWithError("the file was not found");
  root->Release();
  unlink(path.c_str());
}
BENCHMARK(FileExists_Loop);

}  // namespace
