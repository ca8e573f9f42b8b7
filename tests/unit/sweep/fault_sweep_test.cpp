// Fault sweep over every writing entry of the object model. Each operation
// runs once on a fresh fixture to learn which system calls it makes; then
// every one of those calls (sampled when a kind is frequent) fails in turn
// with each of a few errnos, on a fresh fixture each time, and the outcome
// must be safe:
//  - a reported success leaves exactly what a clean run leaves;
//  - a reported failure carries a failed HRESULT and a description;
//  - every entry of the drive and of the store is either as it was before
//    or as a clean run leaves it (a tree copy or delete may stop part way,
//    but never leaves a half-written file or touches anything else);
//  - what a move takes away from its source is whole at its destination;
//  - no descriptor outlives the operation.
#include <errno.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "bstr_support.h"
#include "frame/switches.h"
#include "platform/posix/files_internal.h"
#include "platform/posix/syscalls.h"
#include "platform/registry.h"
#include "root/tessary.h"
#include "test_support.h"

namespace tessary::testing {
namespace {

namespace fs = std::filesystem;
using sys::Call;

const char* CallName(Call call) {
  static const char* const kNames[] = {
#define TESSARY_SWEEP_NAME(name, ret, params, args) #name,
      TESSARY_SYSCALLS(TESSARY_SWEEP_NAME)
#undef TESSARY_SWEEP_NAME
  };
  return call == Call::kCount ? "-" : kNames[static_cast<int>(call)];
}

const char* ErrnoName(int err) {
  switch (err) {
    case EIO:
      return "EIO";
    case ENOSPC:
      return "ENOSPC";
    case EACCES:
      return "EACCES";
    case EINTR:
      return "EINTR";
    case 0:
      return "any errno";
  }
  return "?";
}

int OpenDescriptors() {
  int n = 0;
  for (const auto& entry : fs::directory_iterator("/proc/self/fd")) {
    (void)entry;
    ++n;
  }
  return n;
}

// Every entry below a folder: a folder as "<dir>", a file as its bytes.
using Snapshot = std::map<std::string, std::string>;
const char kDir[] = "<dir>";
const char kAbsent[] = "<absent>";

Snapshot Capture(const std::string& top) {
  Snapshot snap;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(top, ec); !ec && it != fs::end(it);
       it.increment(ec)) {
    std::string rel = fs::relative(it->path(), top).string();
    if (it->is_directory()) {
      snap[rel] = kDir;
    } else {
      snap[rel] = ReadWholeFile(it->path().string());
    }
  }
  return snap;
}

std::string At(const Snapshot& snap, const std::string& rel) {
  auto it = snap.find(rel);
  return it == snap.end() ? kAbsent : it->second;
}

std::string Short(const std::string& value) {
  std::string shown;
  for (char c : value.substr(0, 24)) shown += c == '\n' ? std::string("\\n") : std::string(1, c);
  if (value.size() <= 24) return "\"" + shown + "\"";
  return "\"" + shown + "...\" (" + std::to_string(value.size()) + " bytes)";
}

// What one run of an operation saw: the first failed step and its record.
struct Outcome {
  HRESULT hr = S_OK;
  bool described = true;
  std::string step;
};

class Sweep;

// The fixture is rebuilt for every run, and the operations sync what they
// write; on a memory file system that costs nothing, so the sweep stays fast.
class ScratchDir {
 public:
  ScratchDir() {
    std::string parent = "/dev/shm";
    if (access(parent.c_str(), W_OK) != 0) parent = fs::temp_directory_path().string();
    std::string tmpl = parent + "/tessary-sweep-XXXXXX";
    if (mkdtemp(&tmpl[0])) path_ = tmpl;
    EXPECT_FALSE(path_.empty());
  }
  ~ScratchDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

struct Operation {
  Operation(const char* name, std::function<void(Sweep&)> run,
            std::vector<std::pair<std::string, std::string>> moves = {},
            std::string streamed = std::string(), bool keep_old_content = false)
      : name(name),
        run(std::move(run)),
        moves(std::move(moves)),
        streamed(std::move(streamed)),
        keep_old_content(keep_old_content) {}

  const char* name;
  // Runs the operation; each step goes through Sweep::Ok.
  std::function<void(Sweep&)> run;
  // Pairs (source, destination) of what the operation moves, relative to
  // the drive: whatever leaves the source must be whole at the destination.
  std::vector<std::pair<std::string, std::string>> moves;
  // A file a stream writes: after a failure it may hold any prefix of its
  // complete content, but with keep_old_content never one shorter than the
  // old content (an append must not lose what was there; a created file
  // starts empty).
  std::string streamed;
  bool keep_old_content;
};

void PrintTo(const Operation& op, std::ostream* out) { *out << op.name; }

class Sweep : public ::testing::TestWithParam<Operation> {
 protected:
  void SetUp() override {
    drive_ = base_ / "drive";
    store_dir_ = base_ / "store";
    store_file_ = store_dir_ + "/registry.reg";
    const char* old = getenv("TESSARY_REGISTRY");
    had_old_store_ = old != nullptr;
    if (old) old_store_ = old;
    setenv("TESSARY_REGISTRY", store_file_.c_str(), 1);
    Build();
    files::ReloadNamespace();
    TessaryRegistryDropCache();
    tessary::LoadFeatureSwitches();
    ASSERT_EQ(S_OK, tessary::CreateObject(&root_));
  }

  void TearDown() override {
    sys::ClearFaults();
    if (root_) root_->Release();
    files::ReloadNamespace();
    if (had_old_store_) {
      setenv("TESSARY_REGISTRY", old_store_.c_str(), 1);
    } else {
      unsetenv("TESSARY_REGISTRY");
    }
  }

  // The fixture: a source with known bytes, destinations with old content,
  // a small tree, a folder for wildcard deletes and a file nobody names.
  void Build() {
    std::error_code ec;
    for (const std::string& top : {drive_, store_dir_}) {
      for (auto& entry : fs::recursive_directory_iterator(top, ec))
        fs::permissions(entry.path(), fs::perms::owner_all, fs::perm_options::add, ec);
      fs::remove_all(top, ec);
    }
    for (const char* dir :
         {"", "/tree", "/tree/sub", "/tree/sub/deep", "/tree/.dot", "/into", "/del", "/del/d.txt"})
      fs::create_directories(drive_ + dir);
    fs::create_directories(store_dir_);
    std::string source;
    for (int i = 0; source.size() < 5000; ++i)
      source += "line " + std::to_string(i) + " of the source\n";
    WriteWholeFile(drive_ + "/src.txt", source);
    WriteWholeFile(drive_ + "/dst.txt", "old destination content\n");
    WriteWholeFile(drive_ + "/f2.txt", "second part\n");
    WriteWholeFile(drive_ + "/f3.txt", "third part\n");
    WriteWholeFile(drive_ + "/outside.txt", "never touched\n");
    WriteWholeFile(drive_ + "/tree/a.txt", "alpha");
    WriteWholeFile(drive_ + "/tree/sub/b.txt", "beta");
    WriteWholeFile(drive_ + "/tree/sub/deep/c.txt", "gamma");
    WriteWholeFile(drive_ + "/tree/.dot/d.txt", "delta");
    WriteWholeFile(drive_ + "/into/a.txt", "old alpha");
    WriteWholeFile(drive_ + "/into/mine.txt", "mine");
    WriteWholeFile(drive_ + "/del/x1.txt", "x1");
    WriteWholeFile(drive_ + "/del/x2.txt", "x2");
    WriteWholeFile(drive_ + "/del/keep.dat", "keep");
    WriteWholeFile(drive_ + "/del/d.txt/inner.txt", "inner");
    std::string drive = drive_;
    std::string escaped;
    for (char c : drive) {
      if (c == '\\' || c == '"') escaped += '\\';
      escaped += c;
    }
    WriteWholeFile(store_file_,
                   "REGEDIT4\n\n"
                   "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Quennel\\QN-Tessary\\Drives]\n"
                   "\"T:\"=\"" +
                       escaped +
                       "\"\n\n"
                       "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Quennel\\Sweep]\n"
                       "\"seed\"=dword:00000001\n\n");
  }

  // Everything an operation may change: the drive and the store's folder.
  Snapshot State() const {
    Snapshot all;
    for (auto& [rel, value] : Capture(drive_)) all["drive/" + rel] = value;
    for (auto& [rel, value] : Capture(store_dir_)) all["store/" + rel] = value;
    return all;
  }

  // One run on a fresh fixture with the mapping already read, so the
  // operation's own calls are what the sweep counts and fails.
  Outcome RunOnce(const Operation& op, Call call, int nth, int err, int* fired) {
    Build();
    TessaryRegistryDropCache();
    files::ReloadNamespace();
    DWORD warm = ::GetFileAttributesA("T:\\");
    EXPECT_NE(INVALID_FILE_ATTRIBUTES, warm);
    SetErrorInfo(0, nullptr);
    outcome_ = Outcome();
    if (call == Call::kCount) {
      sys::StartCounting();
    } else {
      sys::InjectFault(call, nth, err);
    }
    op.run(*this);
    *fired = sys::FaultsFired();
    if (call != Call::kCount) sys::ClearFaults();
    return outcome_;
  }

  // Checks one outcome against the clean run; returns what went wrong.
  std::string Judge(const Operation& op, const Outcome& out, const Snapshot& before,
                    const Snapshot& clean, const Snapshot& after) const {
    std::ostringstream bad;
    if (SUCCEEDED(out.hr)) {
      if (after != clean) {
        bad << "reported success, but unlike a clean run:";
        for (const auto& [rel, value] : clean)
          if (At(after, rel) != value) bad << " " << rel << " is " << Short(At(after, rel));
        for (const auto& [rel, value] : after)
          if (At(clean, rel) == kAbsent) bad << " " << rel << " is there";
        bad << "; ";
      }
    } else if (!out.described) {
      bad << out.step << " failed with 0x" << std::hex << out.hr << std::dec
          << " but left no error description; ";
    }
    std::vector<std::string> names;
    for (const Snapshot* s : {&before, &clean, &after})
      for (const auto& entry : *s) names.push_back(entry.first);
    std::sort(names.begin(), names.end());
    names.erase(std::unique(names.begin(), names.end()), names.end());
    for (const std::string& rel : names) {
      std::string now = At(after, rel), old = At(before, rel), done = At(clean, rel);
      if (now == old || now == done) continue;
      if (!op.streamed.empty() && rel == "drive/" + op.streamed && now != kAbsent &&
          done.compare(0, now.size(), now) == 0 &&
          (!op.keep_old_content || now.size() >= old.size()))
        continue;
      bad << rel << " is " << Short(now) << ", neither its old " << Short(old) << " nor "
          << Short(done) << "; ";
    }
    for (const auto& [from, to] : op.moves) {
      for (const auto& [rel, value] : before) {
        const std::string prefix = "drive/" + from;
        if (rel.compare(0, prefix.size(), prefix) != 0) continue;
        const std::string target = "drive/" + to + rel.substr(prefix.size());
        if (At(after, rel) != value && At(after, target) != value)
          bad << rel << " was lost: neither at its source nor whole at " << target << "; ";
      }
    }
    return bad.str();
  }

 public:
  // Records the first failed step and whether the script got a description.
  bool Ok(const char* step, HRESULT hr) {
    if (SUCCEEDED(hr)) return true;
    if (SUCCEEDED(outcome_.hr)) {
      outcome_.hr = hr;
      outcome_.step = step;
      ErrorRecord record = TakeError();
      outcome_.described = record.present && !record.description.empty();
    }
    return false;
  }
  // A step whose failure comes as a Win32 status rather than an HRESULT: the
  // description is the system's text for the code.
  bool OkStatus(const char* step, LSTATUS status) {
    if (status == ERROR_SUCCESS) return true;
    if (SUCCEEDED(outcome_.hr)) {
      outcome_.hr = HRESULT_FROM_WIN32(status);
      outcome_.step = step;
      char* text = nullptr;
      DWORD length = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                        FORMAT_MESSAGE_IGNORE_INSERTS,
                                    nullptr, status, 0, reinterpret_cast<LPSTR>(&text), 0, nullptr);
      outcome_.described = length > 0;
      if (text) LocalFree(text);
    }
    return false;
  }
  static Bstr T(const std::string& rel) {
    std::string path = "T:\\" + rel;
    std::replace(path.begin(), path.end(), '/', '\\');
    return B(path);
  }
  Tessary* root() { return root_; }

 private:
  ScratchDir base_;
  std::string drive_, store_dir_, store_file_;
  std::string old_store_;
  bool had_old_store_ = false;
  Tessary* root_ = nullptr;
  Outcome outcome_;
};

// Which call numbers of a kind the sweep fails: all of a few, a sample of
// many (the first ones, then evenly spread, always the last).
std::vector<int> Sample(int count) {
  const int kAll = 12;
  std::vector<int> picks;
  for (int n = 1; n <= count && n <= kAll; ++n) picks.push_back(n);
  if (count > kAll) {
    const int spread = 8;
    for (int i = 1; i <= spread; ++i) picks.push_back(kAll + (count - kAll) * i / spread);
  }
  picks.erase(std::unique(picks.begin(), picks.end()), picks.end());
  return picks;
}

TEST_P(Sweep, EveryFailingCallEndsSafely) {
  const Operation& op = GetParam();
  const int errnos[] = {EIO, ENOSPC, EACCES, EINTR};

  Snapshot before = State();
  const int fds = OpenDescriptors();
  int fired = 0;
  Outcome clean_run = RunOnce(op, Call::kCount, 0, 0, &fired);
  ASSERT_EQ(S_OK, clean_run.hr) << op.name << ": the clean run failed in " << clean_run.step;
  std::vector<std::pair<Call, int>> counts;
  for (int c = 0; c < static_cast<int>(Call::kCount); ++c) {
    int n = sys::CallsCounted(static_cast<Call>(c));
    if (n > 0) counts.emplace_back(static_cast<Call>(c), n);
  }
  sys::ClearFaults();
  Snapshot clean = State();
  ASSERT_NE(before, clean) << op.name << " changed nothing";
  ASSERT_EQ(fds, OpenDescriptors()) << op.name << " leaks a descriptor when nothing fails";

  int runs = 0, silent = 0, unexpected = 0;
  for (const auto& [call, count] : counts) {
    for (int nth : Sample(count)) {
      for (int err : errnos) {
        ++runs;
        const int open_before = OpenDescriptors();
        Outcome out = RunOnce(op, call, nth, err, &fired);
        if (fired == 0) ++silent;  // the call was not made this time
        std::string bad = Judge(op, out, before, clean, State());
        if (OpenDescriptors() != open_before) bad += "a descriptor leaked; ";
        if (bad.empty()) continue;
        if (++unexpected <= 40)
          ADD_FAILURE() << op.name << ": " << CallName(call) << " #" << nth << " of " << count
                        << " failing with " << ErrnoName(err) << " (hr 0x" << std::hex << out.hr
                        << std::dec << (out.step.empty() ? "" : " in " + out.step) << "): " << bad;
      }
    }
  }
  EXPECT_EQ(0, unexpected) << op.name << ": unexpected unsafe outcomes";
  std::cout << "[ sweep    ] " << op.name << ": " << runs << " runs, " << silent
            << " where the call was not reached, " << unexpected << " unexpected\n";
}

// The script's view: each entry runs as a script would call it, an object
// it was given released at the end whatever happened.
template <class Itf>
struct Ref {
  Itf* p = nullptr;
  ~Ref() {
    if (p) p->Release();
  }
  Itf* operator->() const { return p; }
};

const Operation kOperations[] = {
    {"CopyFile",
     [](Sweep& s) {
       s.Ok("CopyFile",
            s.root()->CopyFile(Sweep::T("src.txt").get(), Sweep::T("dst.txt").get(), VARIANT_TRUE));
     }},
    {"MoveFile",
     [](Sweep& s) {
       s.Ok("MoveFile",
            s.root()->MoveFile(Sweep::T("src.txt").get(), Sweep::T("dst.txt").get(), VARIANT_TRUE));
     },
     {{"src.txt", "dst.txt"}}},
    {"DeleteFile",
     [](Sweep& s) { s.Ok("DeleteFile", s.root()->DeleteFile(Sweep::T("del/*.txt").get(), 0)); }},
    {"ConcatFiles",
     [](Sweep& s) {
       s.Ok("ConcatFiles",
            s.root()->ConcatFiles(Sweep::T("dst.txt").get(), Sweep::T("src.txt").get(),
                                  Sweep::T("f2.txt").get(), Sweep::T("f3.txt").get(), B("").get(),
                                  B("").get()));
     }},
    {"CreateFile",
     [](Sweep& s) {
       s.Ok("CreateFile", s.root()->CreateFile(Sweep::T("dst.txt").get(), VARIANT_TRUE));
     }},
    {"CreateFolder",
     [](Sweep& s) {
       Ref<IFolder> folder;
       s.Ok("CreateFolder", s.root()->CreateFolder(Sweep::T("new/one/two").get(), &folder.p));
     }},
    {"CopyFolder",
     [](Sweep& s) {
       s.Ok("CopyFolder",
            s.root()->CopyFolder(Sweep::T("tree").get(), Sweep::T("into").get(), VARIANT_TRUE));
     }},
    {"MoveFolder",
     [](Sweep& s) {
       s.Ok("MoveFolder", s.root()->MoveFolder(Sweep::T("tree").get(), Sweep::T("moved").get()));
     },
     {{"tree", "moved"}}},
    {"DeleteFolder",
     [](Sweep& s) { s.Ok("DeleteFolder", s.root()->DeleteFolder(Sweep::T("tree").get(), 0)); }},
    {"File.Copy",
     [](Sweep& s) {
       Ref<IFile> file;
       if (s.Ok("GetFile", s.root()->GetFile(Sweep::T("src.txt").get(), &file.p)))
         s.Ok("Copy", file->Copy(Sweep::T("dst.txt").get(), VARIANT_TRUE));
     }},
    {"File.Move",
     [](Sweep& s) {
       Ref<IFile> file;
       if (s.Ok("GetFile", s.root()->GetFile(Sweep::T("src.txt").get(), &file.p)))
         s.Ok("Move", file->Move(Sweep::T("dst.txt").get(), VARIANT_TRUE));
     },
     {{"src.txt", "dst.txt"}}},
    {"File.Delete",
     [](Sweep& s) {
       Ref<IFile> file;
       if (s.Ok("GetFile", s.root()->GetFile(Sweep::T("dst.txt").get(), &file.p)))
         s.Ok("Delete", file->Delete(0));
     }},
    {"File.Name",
     [](Sweep& s) {
       Ref<IFile> file;
       if (s.Ok("GetFile", s.root()->GetFile(Sweep::T("src.txt").get(), &file.p)))
         s.Ok("put_Name", file->put_Name(B("renamed.txt").get()));
     },
     {{"src.txt", "renamed.txt"}}},
    {"Folder.Copy",
     [](Sweep& s) {
       Ref<IFolder> folder;
       if (s.Ok("GetFolder", s.root()->GetFolder(Sweep::T("tree").get(), &folder.p)))
         s.Ok("Copy", folder->Copy(Sweep::T("into").get(), VARIANT_TRUE));
     }},
    {"Folder.Move",
     [](Sweep& s) {
       Ref<IFolder> folder;
       if (s.Ok("GetFolder", s.root()->GetFolder(Sweep::T("tree").get(), &folder.p)))
         s.Ok("Move", folder->Move(Sweep::T("moved").get()));
     },
     {{"tree", "moved"}}},
    {"Folder.Delete",
     [](Sweep& s) {
       Ref<IFolder> folder;
       if (s.Ok("GetFolder", s.root()->GetFolder(Sweep::T("tree").get(), &folder.p)))
         s.Ok("Delete", folder->Delete(0));
     }},
    {"TextStream.Create",
     [](Sweep& s) {
       Ref<ITextStream> text;
       if (s.Ok("CreateTextFile",
                s.root()->CreateTextFile(Sweep::T("dst.txt").get(), VARIANT_TRUE, 0, &text.p)) &&
           s.Ok("Write", text->Write(B("first part, ").get())) &&
           s.Ok("WriteLine", text->WriteLine(B("and the rest of the line").get())))
         s.Ok("Close", text->Close());
     },
     {},
     "dst.txt"},
    {"TextStream.Append",
     [](Sweep& s) {
       Ref<ITextStream> text;
       if (s.Ok("OpenTextFile", s.root()->OpenTextFile(Sweep::T("dst.txt").get(), ForAppending, 0,
                                                       TristateFalse, &text.p)) &&
           s.Ok("WriteLine", text->WriteLine(B("an appended line").get())))
         s.Ok("Close", text->Close());
     },
     {},
     "dst.txt",
     true},
    {"BinaryStream.Create",
     [](Sweep& s) {
       Ref<IBinaryStream> stream;
       if (!s.Ok("CreateBinaryFile",
                 s.root()->CreateBinaryFile(Sweep::T("dst.txt").get(), VARIANT_TRUE, &stream.p)))
         return;
       VARIANT bytes;
       VariantInit(&bytes);
       bytes.vt = VT_ARRAY | VT_UI1;
       bytes.parray = SafeArrayCreateVector(VT_UI1, 0, 3000);
       for (int i = 0; i < 3000; ++i) static_cast<unsigned char*>(bytes.parray->pvData)[i] = i * 7;
       bool wrote = s.Ok("Write", stream->Write(&bytes));
       VariantClear(&bytes);
       if (wrote) s.Ok("Close", stream->Close());
     },
     {},
     "dst.txt"},
    {"Store",
     [](Sweep& s) {
       HKEY key = nullptr;
       if (!s.OkStatus("RegOpenKeyExA",
                       RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Quennel\\Sweep", 0,
                                     KEY_ALL_ACCESS, &key)))
         return;
       const char value[] = "written by the sweep";
       if (s.OkStatus("RegSetValueExA",
                      RegSetValueExA(key, "value", 0, REG_SZ, reinterpret_cast<const BYTE*>(value),
                                     sizeof value)))
         s.OkStatus("RegFlushKey", RegFlushKey(key));
       s.OkStatus("RegCloseKey", RegCloseKey(key));
     }},
};

INSTANTIATE_TEST_SUITE_P(WritingEntries, Sweep, ::testing::ValuesIn(kOperations),
                         [](const ::testing::TestParamInfo<Operation>& info) {
                           std::string name = info.param.name;
                           std::replace(name.begin(), name.end(), '.', '_');
                           return name;
                         });

}  // namespace
}  // namespace tessary::testing
