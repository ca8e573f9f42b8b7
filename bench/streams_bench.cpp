// Streams against what the same work costs without them, in the same run:
//
//   Streams_ReadLine_200MiB      TextStream.ReadLine over 200 MiB of CRLF lines
//     vs Streams_Getline_200MiB  a std::getline loop over the same file
//   Streams_WriteLine_1M         TextStream.WriteLine of 1,000,000 lines
//     vs Streams_WriteFile_1M    one WriteFile per line of the same bytes (the
//                                floor: every WriteLine is one system write)
//   Streams_BinaryRead_512MiB    BinaryStream.Read in 64 KiB pieces
//     vs Streams_Cat_512MiB      cat of the same file to /dev/null
//
// Each iteration is one whole pass, so the figures are nanoseconds per pass
// and their ratio the slowdown. The files are made once in $TMPDIR (or
// /tmp) and removed at exit; both sides of a pair read them from the page
// cache.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include "frame/values.h"
#include "platform/files.h"
#include "streams/streams.h"

extern char** environ;

namespace {

constexpr size_t kLinesFileBytes = 200u << 20;
constexpr size_t kBinaryFileBytes = 512u << 20;
constexpr int kWriteLines = 1000000;

class Files {
 public:
  Files() {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/tessary-streams-bench-XXXXXX";
    if (mkdtemp(&pattern[0])) folder_ = pattern;
  }
  ~Files() {
    std::error_code ec;
    if (!folder_.empty()) std::filesystem::remove_all(folder_, ec);
  }

  // 200 MiB of lines of 10 to 130 characters, each ending in CRLF.
  const std::string& Lines() {
    if (lines_.empty()) {
      lines_ = folder_ + "/lines.txt";
      std::ofstream out(lines_, std::ios::binary);
      std::mt19937 random(42);
      std::string line;
      size_t written = 0;
      while (written < kLinesFileBytes) {
        line.assign(10 + random() % 121, 'a' + static_cast<char>(random() % 26));
        line += "\r\n";
        out << line;
        written += line.size();
        ++line_count_;
      }
    }
    return lines_;
  }
  size_t line_count() const { return line_count_; }

  const std::string& Binary() {
    if (binary_.empty()) {
      binary_ = folder_ + "/binary.bin";
      std::ofstream out(binary_, std::ios::binary);
      std::string block(1 << 20, '\0');
      std::mt19937 random(7);
      for (char& c : block) c = static_cast<char>(random());
      for (size_t i = 0; i < kBinaryFileBytes / block.size(); ++i) out << block;
    }
    return binary_;
  }

  std::string Output() const { return folder_ + "/out.txt"; }

 private:
  std::string folder_;
  std::string lines_;
  std::string binary_;
  size_t line_count_ = 0;
};

Files& TheFiles() {
  static Files files;
  return files;
}

// The Windows name of a host path: C: is "/" without a drive mapping.
tessary::Bstr WindowsName(const std::string& host) {
  std::string name = "C:" + host;
  for (char& c : name)
    if (c == '/') c = '\\';
  tessary::Bstr out;
  (void)out.FromAnsi(name);
  return out;
}

void Streams_Getline_200MiB(benchmark::State& state) {
  const std::string& path = TheFiles().Lines();
  size_t lines = 0;
  for (auto _ : state) {
    std::ifstream in(path, std::ios::binary);
    std::string line;
    lines = 0;
    while (std::getline(in, line)) {
      benchmark::DoNotOptimize(line.data());
      ++lines;
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kLinesFileBytes));
  state.counters["lines_per_s"] = benchmark::Counter(
      static_cast<double>(lines * state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(Streams_Getline_200MiB)->Unit(benchmark::kNanosecond);

void Streams_ReadLine_200MiB(benchmark::State& state) {
  const tessary::Bstr name = WindowsName(TheFiles().Lines());
  size_t lines = 0;
  for (auto _ : state) {
    ITextStream* stream = nullptr;
    if (FAILED(tessary::NewTextStreamOpen(name.get(), ForReading, VARIANT_FALSE, TristateFalse,
                                          &stream))) {
      state.SkipWithError("open failed");
      return;
    }
    lines = 0;
    VARIANT_BOOL end = VARIANT_FALSE;
    while (SUCCEEDED(stream->get_AtEndOfStream(&end)) && !end) {
      BSTR line = nullptr;
      if (FAILED(stream->ReadLine(&line))) break;
      benchmark::DoNotOptimize(line);
      SysFreeString(line);
      ++lines;
    }
    stream->Release();
  }
  // The last ReadLine returns the empty text after the final line break.
  if (lines != TheFiles().line_count() + 1) state.SkipWithError("wrong number of lines");
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kLinesFileBytes));
  state.counters["lines_per_s"] = benchmark::Counter(
      static_cast<double>(lines * state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(Streams_ReadLine_200MiB)->Unit(benchmark::kNanosecond);

// A line as WriteLine writes it: 60 characters and CRLF.
const std::string& BenchLine() {
  static const std::string line = std::string(60, 'w');
  return line;
}

void Streams_WriteFile_1M(benchmark::State& state) {
  const std::string path = TheFiles().Output();
  const std::string bytes = BenchLine() + "\r\n";
  for (auto _ : state) {
    HANDLE file = ::CreateFileA(("C:" + path).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
      state.SkipWithError("open failed");
      return;
    }
    DWORD written = 0;
    for (int i = 0; i < kWriteLines; ++i) {
      ::WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    }
    ::CloseHandle(file);
  }
  state.SetItemsProcessed(state.iterations() * kWriteLines);
}
BENCHMARK(Streams_WriteFile_1M)->Unit(benchmark::kNanosecond);

void Streams_WriteLine_1M(benchmark::State& state) {
  const tessary::Bstr name = WindowsName(TheFiles().Output());
  tessary::Bstr line;
  (void)line.FromAnsi(BenchLine());
  for (auto _ : state) {
    ITextStream* stream = nullptr;
    if (FAILED(tessary::NewTextStreamCreate(name.get(), VARIANT_TRUE, VARIANT_FALSE, &stream))) {
      state.SkipWithError("create failed");
      return;
    }
    for (int i = 0; i < kWriteLines; ++i) stream->WriteLine(line.get());
    stream->Release();
  }
  state.SetItemsProcessed(state.iterations() * kWriteLines);
}
BENCHMARK(Streams_WriteLine_1M)->Unit(benchmark::kNanosecond);

void Streams_Cat_512MiB(benchmark::State& state) {
  std::string path = TheFiles().Binary();
  for (auto _ : state) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    char cat[] = "cat";
    char* argv[] = {cat, &path[0], nullptr};
    pid_t pid = 0;
    if (posix_spawnp(&pid, "cat", &actions, nullptr, argv, environ) != 0) {
      posix_spawn_file_actions_destroy(&actions);
      state.SkipWithError("cannot run cat");
      return;
    }
    int status = 0;
    waitpid(pid, &status, 0);
    posix_spawn_file_actions_destroy(&actions);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kBinaryFileBytes));
}
BENCHMARK(Streams_Cat_512MiB)->Unit(benchmark::kNanosecond);

void Streams_BinaryRead_512MiB(benchmark::State& state) {
  const tessary::Bstr name = WindowsName(TheFiles().Binary());
  size_t total = 0;
  for (auto _ : state) {
    IBinaryStream* stream = nullptr;
    if (FAILED(tessary::NewBinaryStreamOpen(name.get(), ForReading, VARIANT_FALSE, &stream))) {
      state.SkipWithError("open failed");
      return;
    }
    total = 0;
    VARIANT_BOOL end = VARIANT_FALSE;
    while (SUCCEEDED(stream->get_AtEndOfStream(&end)) && !end) {
      VARIANT bytes;
      VariantInit(&bytes);
      if (FAILED(stream->Read(64 * 1024, &bytes))) break;
      total += bytes.parray->rgsabound[0].cElements;
      VariantClear(&bytes);
    }
    stream->Release();
  }
  if (total != kBinaryFileBytes) state.SkipWithError("wrong number of bytes");
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kBinaryFileBytes));
}
BENCHMARK(Streams_BinaryRead_512MiB)->Unit(benchmark::kNanosecond);

}  // namespace
