// A name spelt in another case than the disk's, in a folder of 10,000
// entries, against the exact spelling: what a miss costs once the folder's
// folded index is kept, and what reading the index costs after a change.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "frame/values.h"
#include "root/tessary.h"

namespace {

constexpr int kEntries = 10000;

// A folder of kEntries files "file00000.txt" ..., removed at the end.
class BigFolder {
 public:
  BigFolder() {
    char name[] = "/tmp/tessary-bench-names-XXXXXX";
    if (mkdtemp(name) != nullptr) path_ = name;
    for (int i = 0; i < kEntries && !path_.empty(); ++i) {
      char file[32];
      std::snprintf(file, sizeof file, "/file%05d.txt", i);
      const int fd = open((path_ + file).c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
      if (fd >= 0) close(fd);
    }
  }
  ~BigFolder() {
    if (!path_.empty()) std::filesystem::remove_all(path_);
  }
  // The Windows spelling of a name in the folder.
  std::string Windows(const std::string& name) const {
    std::string text = "C:" + path_ + "/" + name;
    for (char& c : text)
      if (c == '/') c = '\\';
    return text;
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

void Exists(benchmark::State& state, const char* name, bool change_folder) {
  BigFolder folder;
  Tessary* root = nullptr;
  tessary::CreateObject(&root);
  tessary::Bstr path;
  (void)path.FromAnsi(folder.Windows(name));
  const std::string marker = folder.path() + "/changed";
  VARIANT_BOOL exists = 0;
  for (auto _ : state) {
    if (change_folder) {
      state.PauseTiming();
      // Adding or removing an entry gives the folder a new change time.
      if (access(marker.c_str(), F_OK) == 0) {
        unlink(marker.c_str());
      } else {
        close(open(marker.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644));
      }
      state.ResumeTiming();
    }
    root->FileExists(path.get(), &exists);
    benchmark::DoNotOptimize(exists);
  }
  if (!exists) state.SkipWithError("the file was not found");
  root->Release();
}

void Names_Exact_10K(benchmark::State& state) { Exists(state, "file05000.txt", false); }
void Names_OtherCase_10K(benchmark::State& state) { Exists(state, "FILE05000.TXT", false); }
void Names_OtherCaseChanged_10K(benchmark::State& state) { Exists(state, "FILE05000.TXT", true); }
BENCHMARK(Names_Exact_10K);
BENCHMARK(Names_OtherCase_10K);
BENCHMARK(Names_OtherCaseChanged_10K);

}  // namespace
