// Content inspection against what the same work costs without it, in the
// same run:
//
//   Inspection_Checksum_512MiB        File.Checksum of a 512 MiB file
//     vs Inspection_Md5sum_512MiB     md5sum of the same file (the MD5
//                                     compression function is the floor)
//   Inspection_ImageWidth_100MiB      File.ImageWidth of a 100 MiB JPEG whose
//                                     frame header follows 100 segments of 64 KiB
//     vs Inspection_ImageWidth_10MiB  the same segments in a 10 MiB file: the
//                                     ratio is 1 when the time does not grow
//                                     with the bytes after the header
//
// Both sides of a pair read the files from the page cache. The files are
// made once in $TMPDIR (or /tmp) and removed at exit.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include "frame/values.h"
#include "fsobjects/file.h"

extern char** environ;

namespace {

constexpr size_t kChecksumFileBytes = 512u << 20;
constexpr int kJpegSegments = 100;

class Files {
 public:
  Files() {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern =
        std::string(tmp && *tmp ? tmp : "/tmp") + "/tessary-inspection-bench-XXXXXX";
    if (mkdtemp(&pattern[0])) folder_ = pattern;
  }
  ~Files() {
    std::error_code ec;
    if (!folder_.empty()) std::filesystem::remove_all(folder_, ec);
  }

  const std::string& Random() {
    if (random_.empty()) {
      random_ = folder_ + "/random.bin";
      std::ofstream out(random_, std::ios::binary);
      std::string block(1 << 20, '\0');
      std::mt19937 random(11);
      for (char& c : block) c = static_cast<char>(random());
      for (size_t i = 0; i < kChecksumFileBytes / block.size(); ++i) out << block;
    }
    return random_;
  }

  // SOI, the segments, a baseline frame header of 4000 x 3000, then filler
  // up to `bytes`.
  std::string Jpeg(size_t bytes) {
    const std::string path = folder_ + "/segments-" + std::to_string(bytes) + ".jpg";
    if (!std::filesystem::exists(path)) {
      std::ofstream out(path, std::ios::binary);
      out << "\xFF\xD8";
      std::string segment = "\xFF\xE1\xFF\xFF" + std::string(65533, 'x');
      size_t written = 2;
      for (int i = 0; i < kJpegSegments; ++i, written += segment.size()) out << segment;
      const std::string frame("\xFF\xC0\x00\x11\x08\x0B\xB8\x0F\xA0\x03", 10);
      out << frame;
      written += frame.size();
      const std::string filler(1 << 20, 'y');
      for (; written + filler.size() <= bytes; written += filler.size()) out << filler;
      out << filler.substr(0, bytes - written);
    }
    return path;
  }

 private:
  std::string folder_;
  std::string random_;
};

Files& TheFiles() {
  static Files files;
  return files;
}

IFile* OpenFile(const std::string& host) {
  std::string name = "C:" + host;
  for (char& c : name)
    if (c == '/') c = '\\';
  tessary::Bstr path;
  IFile* file = nullptr;
  if (FAILED(path.FromAnsi(name)) || FAILED(tessary::NewFile(path.get(), &file))) return nullptr;
  return file;
}

void Inspection_Md5sum_512MiB(benchmark::State& state) {
  std::string path = TheFiles().Random();
  for (auto _ : state) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    char md5sum[] = "md5sum";
    char* argv[] = {md5sum, &path[0], nullptr};
    pid_t pid = 0;
    if (posix_spawnp(&pid, "md5sum", &actions, nullptr, argv, environ) != 0) {
      posix_spawn_file_actions_destroy(&actions);
      state.SkipWithError("cannot run md5sum");
      return;
    }
    int status = 0;
    waitpid(pid, &status, 0);
    posix_spawn_file_actions_destroy(&actions);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kChecksumFileBytes));
}
BENCHMARK(Inspection_Md5sum_512MiB)->Unit(benchmark::kNanosecond);

void Inspection_Checksum_512MiB(benchmark::State& state) {
  IFile* file = OpenFile(TheFiles().Random());
  if (!file) {
    state.SkipWithError("open failed");
    return;
  }
  for (auto _ : state) {
    BSTR digest = nullptr;
    if (FAILED(file->get_Checksum(&digest))) state.SkipWithError("checksum failed");
    benchmark::DoNotOptimize(digest);
    SysFreeString(digest);
  }
  file->Release();
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kChecksumFileBytes));
}
BENCHMARK(Inspection_Checksum_512MiB)->Unit(benchmark::kNanosecond);

// A new File each time: the record of one is read once and then kept.
void ImageWidth(benchmark::State& state, size_t bytes) {
  const std::string path = TheFiles().Jpeg(bytes);
  for (auto _ : state) {
    IFile* file = OpenFile(path);
    LONG width = 0;
    if (!file || FAILED(file->get_ImageWidth(&width)) || width != 4000) {
      state.SkipWithError("wrong width");
      if (file) file->Release();
      return;
    }
    file->Release();
  }
}

void Inspection_ImageWidth_10MiB(benchmark::State& state) { ImageWidth(state, 10u << 20); }
BENCHMARK(Inspection_ImageWidth_10MiB)->Unit(benchmark::kNanosecond);

void Inspection_ImageWidth_100MiB(benchmark::State& state) { ImageWidth(state, 100u << 20); }
BENCHMARK(Inspection_ImageWidth_100MiB)->Unit(benchmark::kNanosecond);

}  // namespace
