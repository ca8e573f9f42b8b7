// Every member of every class, called through IDispatch with whatever the
// input makes of its arguments: every variant type, by-reference values,
// byte and variant arrays, hostile paths, huge and negative numbers, other
// live objects, empty and null. Objects come from the module's class
// factories and from the members that hand out children, and stay in a small
// pool so that later calls reach them.
//
// All of it happens on a drive of its own: the store maps C: (the only
// letter) and the special folders to a sandbox folder that is rebuilt for
// every input, RegisterDLL is switched off, and a canary folder beside the
// sandbox must come through every input unchanged. Where the process may
// change its mount namespace, everything but the sandbox, the corpus and the
// artifact folder is also made read-only, so that a path that escapes the
// drive fails instead of writing to the machine.
//
// Input: a sequence of operations, one selector byte each, followed by the
// bytes the operation reads (a missing byte reads as 0):
//   create CLASS               an object of the class table's entry
//   call OBJ MEMBER SHAPE ARGS a member by its DISPID with generated arguments
//   release OBJ
#include <errno.h>
#include <sched.h>
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <limits>
#include <string>
#include <vector>

#include "frame/class_table.h"
#include "frame/dispatch_table.h"
#include "frame/switches.h"
#include "platform/automation.h"
#include "platform/system.h"
#include "tessary_stubs.h"

EXTERN_C HRESULT DllGetClassObject(REFCLSID clsid, REFIID riid, LPVOID* ppv);
EXTERN_C HRESULT DllCanUnloadNow();

namespace {

namespace fs = std::filesystem;

constexpr size_t kPoolSize = 8;
constexpr size_t kMaxOps = 64;
constexpr size_t kMaxArgs = 6;
constexpr size_t kMaxArrayBytes = 4096;

// ---------------------------------------------------------------------------
// The sandbox.

struct Sandbox {
  fs::path root;    // holds the three below and nothing else
  fs::path drive;   // C:
  fs::path canary;  // must never change
  fs::path store;   // the configuration store
};

Sandbox g_box;
std::string g_home;  // the current folder libFuzzer was started in

const char kCanaryText[] = "the canary\n";

void WriteFile(const fs::path& path, const std::string& data) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << data;
}

std::string RegString(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '\\' || c == '"') out += '\\';
    out += c;
  }
  return out + "\"";
}

// The drive's content at the start of every input: a few files and folders
// for the members to find, of the kinds the content inspection reads.
void ResetDrive() {
  std::error_code ec;
  fs::remove_all(g_box.drive, ec);
  fs::create_directories(g_box.drive / "dir" / "sub");
  fs::create_directories(g_box.drive / "temp");
  fs::create_directories(g_box.drive / "windows");
  fs::create_directories(g_box.drive / "system");
  WriteFile(g_box.drive / "a.txt", "line one\r\nline two\r\n");
  WriteFile(g_box.drive / "dir" / "b.bin", std::string("\0\1\2\3\xff", 5));
  WriteFile(g_box.drive / "dir" / "sub" / "c.ini", "[s]\r\nk=v\r\n");
  WriteFile(g_box.drive / "dir" / "p.gif", std::string("GIF89a\x10\0\x20\0\x80\0\0", 13));
  WriteFile(g_box.drive / "u16.txt", std::string("\xff\xfeh\0i\0", 6));
}

// Everything outside the drive is as it was: the root holds only what it
// held and the canary keeps its one file and its text.
bool OutsideUnchanged() {
  size_t entries = 0;
  for (const auto& entry : fs::directory_iterator(g_box.root)) {
    const fs::path name = entry.path().filename();
    if (name != g_box.drive.filename() && name != g_box.canary.filename() &&
        name != g_box.store.filename() &&
        name.string() != g_box.store.filename().string() + ".lock")
      return false;
    ++entries;
  }
  if (entries < 3) return false;
  size_t canary_entries = 0;
  for (const auto& entry : fs::directory_iterator(g_box.canary)) {
    (void)entry;
    ++canary_entries;
  }
  std::ifstream in(g_box.canary / "keep.txt", std::ios::binary);
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  return canary_entries == 1 && text == kCanaryText;
}

void MakeStore() {
  const std::string drive = g_box.drive.string();
  std::string text = "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Quennel\\QN-Tessary\\Drives]\n";
  text += "\"C:\"=" + RegString(drive) + "\n\n";
  text += "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Quennel\\QN-Tessary\\Folders]\n";
  text += "\"Temp\"=" + RegString(drive + "/temp") + "\n";
  text += "\"Windows\"=" + RegString(drive + "/windows") + "\n";
  text += "\"System\"=" + RegString(drive + "/system") + "\n\n";
  // RegisterDLL would load and run whatever module a path names.
  text += "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Quennel\\QN-Tessary\\Parameters]\n";
  text += "\"DisableRegisterDLL\"=dword:00000001\n\"DisableDelete\"=dword:00000000\n";
  WriteFile(g_box.store, text);
}

// Best effort: in a private mount namespace, every mount but the writable
// folders becomes read-only. Without the right to do so the canary remains
// the only check.
void ConfineWrites(const std::vector<std::string>& writable) {
  if (unshare(CLONE_NEWNS) != 0) {
    std::fprintf(stderr, "dispatch_fuzz: no private mount namespace (%s); canary only\n",
                 strerror(errno));
    return;
  }
  if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return;
  std::vector<std::string> kept;
  for (const std::string& dir : writable) {
    std::error_code ec;
    const std::string real = fs::canonical(dir, ec).string();
    if (ec || mount(real.c_str(), real.c_str(), nullptr, MS_BIND, nullptr) != 0) continue;
    kept.push_back(real);
  }
  std::ifstream mounts("/proc/self/mountinfo");
  std::string line;
  std::vector<std::string> points;
  while (std::getline(mounts, line)) {
    // Field 5 is the mount point.
    size_t at = 0;
    for (int field = 0; field < 4 && at != std::string::npos; ++field) at = line.find(' ', at + 1);
    if (at == std::string::npos) continue;
    const size_t end = line.find(' ', at + 1);
    points.push_back(line.substr(at + 1, end - at - 1));
  }
  for (const std::string& point : points) {
    bool skip =
        point.rfind("/proc", 0) == 0 || point.rfind("/sys", 0) == 0 || point.rfind("/dev", 0) == 0;
    for (const std::string& dir : kept) skip = skip || point == dir;
    if (!skip) mount(nullptr, point.c_str(), nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY, nullptr);
  }
}

// ---------------------------------------------------------------------------
// Reading the input.

class Input {
 public:
  Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  bool done() const { return pos_ >= size_; }
  uint8_t Byte() { return pos_ < size_ ? data_[pos_++] : 0; }
  uint32_t U32() {
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v = (v << 8) | Byte();
    return v;
  }
  std::string Bytes(size_t n) {
    n = std::min(n, size_ - std::min(pos_, size_));
    std::string out(reinterpret_cast<const char*>(data_ + pos_), n);
    pos_ += n;
    return out;
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
};

// ---------------------------------------------------------------------------
// Objects.

struct Live {
  IDispatch* object = nullptr;
  const tessary::dispatch::InterfaceInfo* info = nullptr;
};

struct Known {
  const IID* iid;
  const tessary::dispatch::InterfaceInfo& (*info)();
};

template <class Itf>
Known Entry() {
  return {&IID_NULL, &tessary::dispatch::InfoOf<Itf>};
}

const std::vector<Known>& KnownInterfaces() {
  static const std::vector<Known> known = [] {
    std::vector<Known> v = {Entry<ITessary>(),          Entry<IFile>(),
                            Entry<IFolder>(),           Entry<IFileCollection>(),
                            Entry<IFolderCollection>(), Entry<ITextStream>(),
                            Entry<IBinaryStream>(),     Entry<IDrive>(),
                            Entry<IDriveCollection>(),  Entry<IPermItem>(),
                            Entry<IDictionary>()};
    for (Known& k : v) k.iid = k.info().iid;
    return v;
  }();
  return known;
}

class Pool {
 public:
  ~Pool() {
    for (Live& l : live_) l.object->Release();
  }
  size_t size() const { return live_.size(); }
  Live& at(size_t i) { return live_[i % live_.size()]; }

  // Takes over `unknown`'s reference.
  void Adopt(IUnknown* unknown) {
    if (!unknown) return;
    for (const Known& k : KnownInterfaces()) {
      IDispatch* object = nullptr;
      if (SUCCEEDED(unknown->QueryInterface(*k.iid, reinterpret_cast<void**>(&object))) && object) {
        if (live_.size() < kPoolSize) {
          live_.push_back({object, &k.info()});
        } else {
          object->Release();
        }
        break;
      }
    }
    unknown->Release();
  }

  void Drop(size_t i) {
    if (live_.empty()) return;
    i %= live_.size();
    live_[i].object->Release();
    live_.erase(live_.begin() + static_cast<long>(i));
  }

 private:
  std::vector<Live> live_;
};

void Create(Pool* pool, size_t which) {
  const tessary::ClassEntry& entry = tessary::kClassTable[which % tessary::kClassCount];
  IClassFactory* factory = nullptr;
  if (FAILED(
          DllGetClassObject(*entry.clsid, IID_IClassFactory, reinterpret_cast<void**>(&factory))))
    __builtin_trap();
  IUnknown* object = nullptr;
  if (SUCCEEDED(factory->CreateInstance(nullptr, IID_IUnknown, reinterpret_cast<void**>(&object))))
    pool->Adopt(object);
  factory->Release();
}

// ---------------------------------------------------------------------------
// Arguments.

const char* const kPathPieces[] = {"C:",
                                   "C:\\",
                                   "\\",
                                   "/",
                                   "..",
                                   "..\\..\\..",
                                   ".",
                                   "a.txt",
                                   "dir",
                                   "sub",
                                   "b.bin",
                                   "c.ini",
                                   "p.gif",
                                   "u16.txt",
                                   "new",
                                   "*",
                                   "?.t?t",
                                   "*.*",
                                   "\\\\srv\\share",
                                   "D:\\",
                                   "Z:",
                                   "CON",
                                   "nul",
                                   "x:y",
                                   "a\"b",
                                   "<>|",
                                   "dir\\sub\\",
                                   "temp",
                                   "..\\canary",
                                   " ",
                                   "name.",
                                   "\x01\x7f",
                                   "\xc3\xa9t\xc3\xa9",
                                   "\xed\xa0\x80",
                                   "%TEMP%",
                                   "~1",
                                   "C:..",
                                   "\\\\?\\C:\\"};

std::string HostilePath(Input& in) {
  std::string path;
  const int pieces = 1 + in.Byte() % 4;
  for (int i = 0; i < pieces; ++i) {
    const uint8_t b = in.Byte();
    if (b >= 0xF0) {
      path += std::string(260 + (b & 0x0F) * 4, 'x');  // past MAX_PATH
    } else if (b >= 0xE0) {
      path += in.Bytes(b & 0x0F);
    } else {
      path += kPathPieces[b % (sizeof kPathPieces / sizeof kPathPieces[0])];
    }
    if (i + 1 < pieces && (b & 1)) path += '\\';
  }
  return path;
}

BSTR MakeBstr(const std::string& utf8) {
  if (utf8.empty()) return SysAllocStringLen(nullptr, 0);
  const int n =
      MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  if (n <= 0) return SysAllocStringLen(nullptr, 0);
  BSTR text = SysAllocStringLen(nullptr, static_cast<UINT>(n));
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), text, n);
  return text;
}

int32_t Number(Input& in) {
  static const int32_t kEdges[] = {0,     1,     -1,         2,
                                   3,     7,     255,        256,
                                   65535, 65536, 0x7FFFFFFF, std::numeric_limits<int32_t>::min(),
                                   -2,    260,   4096,       1 << 30};
  const uint8_t b = in.Byte();
  if (b < 0xC0) return kEdges[b % (sizeof kEdges / sizeof kEdges[0])];
  return static_cast<int32_t>(in.U32());
}

double Real(Input& in) {
  static const double kEdges[] = {0.0,
                                  -0.0,
                                  0.5,
                                  -1.5,
                                  1e308,
                                  -1e308,
                                  4294967296.0,
                                  2958465.99,
                                  -657434.0,
                                  std::numeric_limits<double>::infinity(),
                                  std::numeric_limits<double>::quiet_NaN(),
                                  1e-310};
  const uint8_t b = in.Byte();
  if (b < 0xC0) return kEdges[b % (sizeof kEdges / sizeof kEdges[0])];
  const uint64_t bits = (static_cast<uint64_t>(in.U32()) << 32) | in.U32();
  double d;
  memcpy(&d, &bits, sizeof d);
  return d;
}

SAFEARRAY* ByteArray(Input& in) {
  const size_t n = std::min<size_t>(in.Byte() * 16u + in.Byte(), kMaxArrayBytes);
  SAFEARRAY* array = SafeArrayCreateVector(VT_UI1, in.Byte() & 1 ? 1 : 0, static_cast<ULONG>(n));
  if (!array) return nullptr;
  void* data = nullptr;
  if (SUCCEEDED(SafeArrayAccessData(array, &data))) {
    const std::string bytes = in.Bytes(n);
    memcpy(data, bytes.data(), bytes.size());
    SafeArrayUnaccessData(array);
  }
  return array;
}

void MakeValue(Input& in, Pool& pool, VARIANT* v, VARIANT* targets, size_t* target_count,
               int depth);

SAFEARRAY* VariantArray(Input& in, Pool& pool, int depth) {
  const ULONG n = in.Byte() % 5;
  SAFEARRAY* array = SafeArrayCreateVector(VT_VARIANT, 0, n);
  if (!array) return nullptr;
  for (LONG i = 0; i < static_cast<LONG>(n); ++i) {
    VARIANT item;
    VariantInit(&item);
    size_t none = 0;
    MakeValue(in, pool, &item, nullptr, &none, depth + 1);
    SafeArrayPutElement(array, &i, &item);
    VariantClear(&item);
  }
  return array;
}

// One argument. A by-reference argument points into `targets`, which the
// caller clears after the call.
void MakeValue(Input& in, Pool& pool, VARIANT* v, VARIANT* targets, size_t* target_count,
               int depth) {
  const uint8_t kind = in.Byte();
  switch (kind % 20) {
    case 0:
      break;  // VT_EMPTY
    case 1:
      v->vt = VT_NULL;
      break;
    case 2:
      v->vt = VT_ERROR;
      v->scode = DISP_E_PARAMNOTFOUND;  // missing
      break;
    case 3:
      v->vt = VT_I4;
      v->lVal = Number(in);
      break;
    case 4:
      v->vt = VT_I2;
      v->iVal = static_cast<SHORT>(Number(in));
      break;
    case 5:
      v->vt = VT_R8;
      v->dblVal = Real(in);
      break;
    case 6:
      v->vt = VT_BOOL;
      v->boolVal = in.Byte() & 1 ? VARIANT_TRUE : static_cast<VARIANT_BOOL>(in.Byte());
      break;
    case 7:
    case 8:
    case 9:
      v->vt = VT_BSTR;
      v->bstrVal = MakeBstr(HostilePath(in));
      break;
    case 10:
      v->vt = VT_BSTR;
      v->bstrVal = in.Byte() & 1 ? nullptr : MakeBstr(in.Bytes(in.Byte()));
      break;
    case 11:
      v->vt = VT_DATE;
      v->date = Real(in);
      break;
    case 12:
      v->vt = VT_UI1;
      v->bVal = in.Byte();
      break;
    case 13:
    case 14:
      // A dictionary given to a dictionary could come to hold itself, a
      // cycle of references that no caller could break either.
      v->vt = kind % 20 == 13 ? VT_DISPATCH : VT_UNKNOWN;
      v->pdispVal = nullptr;
      if (pool.size() && (in.Byte() & 3)) {
        const Live& other = pool.at(in.Byte());
        if (other.info != &tessary::dispatch::InfoOf<IDictionary>()) {
          v->pdispVal = other.object;
          v->pdispVal->AddRef();
        }
      }
      break;
    case 15:
      v->vt = VT_ARRAY | VT_UI1;
      v->parray = ByteArray(in);
      if (!v->parray) v->vt = VT_EMPTY;
      break;
    case 16:
      if (depth > 1) break;
      v->vt = VT_ARRAY | VT_VARIANT;
      v->parray = VariantArray(in, pool, depth);
      if (!v->parray) v->vt = VT_EMPTY;
      break;
    case 17:
    case 18: {
      // By reference: to a variant, or to a value of the target's own type.
      if (!targets || *target_count >= kMaxArgs || depth > 1) break;
      VARIANT* target = &targets[(*target_count)++];
      MakeValue(in, pool, target, nullptr, target_count, depth + 1);
      if (kind % 20 == 17 || target->vt == VT_EMPTY) {
        v->vt = VT_VARIANT | VT_BYREF;
        v->pvarVal = target;
      } else if (target->vt & VT_ARRAY) {
        v->vt = target->vt | VT_BYREF;
        v->pparray = &target->parray;
      } else {
        v->vt = target->vt | VT_BYREF;
        v->byref = &target->lVal;  // every scalar and pointer starts there
      }
      break;
    }
    default:
      v->vt = VT_CY;
      v->cyVal.int64 = static_cast<int64_t>(Number(in)) * 10000;
      break;
  }
}

// ---------------------------------------------------------------------------
// Calls.

void TakeResult(Pool& pool, VARIANT* result) {
  if (result->vt == VT_DISPATCH && result->pdispVal) {
    pool.Adopt(result->pdispVal);
    result->vt = VT_EMPTY;
  } else if (result->vt == VT_UNKNOWN && result->punkVal) {
    // An enumerator: walk a little of it.
    IEnumVARIANT* items = nullptr;
    if (SUCCEEDED(
            result->punkVal->QueryInterface(IID_IEnumVARIANT, reinterpret_cast<void**>(&items)))) {
      VARIANT item[2];
      ULONG fetched = 0;
      items->Next(2, item, &fetched);
      if (fetched > 2) __builtin_trap();
      for (ULONG i = 0; i < fetched; ++i) {
        if (item[i].vt == VT_DISPATCH && item[i].pdispVal) {
          pool.Adopt(item[i].pdispVal);
        } else {
          VariantClear(&item[i]);
        }
      }
      items->Skip(1);
      items->Reset();
      items->Release();
    }
  }
  VariantClear(result);
}

void Call(Input& in, Pool& pool) {
  if (!pool.size()) return;
  Live live = pool.at(in.Byte());
  live.object->AddRef();  // the pool may drop it while the call runs
  const tessary::dispatch::MemberInfo& member =
      live.info->members[in.Byte() % live.info->member_count];
  const uint8_t shape = in.Byte();
  WORD flags = member.kind;
  if (shape & 0x80) flags = static_cast<WORD>(1 + (shape & 0x0F));  // any combination
  size_t count = member.param_count;
  if (shape & 0x40) count = (shape >> 4) & 3;  // too few or too many
  count = std::min(count, kMaxArgs);

  VARIANT args[kMaxArgs];
  VARIANT targets[kMaxArgs];
  size_t target_count = 0;
  for (size_t i = 0; i < kMaxArgs; ++i) {
    VariantInit(&args[i]);
    VariantInit(&targets[i]);
  }
  for (size_t i = 0; i < count; ++i)
    MakeValue(in, pool, &args[count - 1 - i], targets, &target_count, 0);

  DISPID put_name = DISPID_PROPERTYPUT;
  const bool put = flags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF);
  DISPPARAMS params = {count ? args : nullptr, put && count && (shape & 0x20) ? &put_name : nullptr,
                       static_cast<UINT>(count), put && count && (shape & 0x20) ? 1u : 0u};
  VARIANT result;
  VariantInit(&result);
  EXCEPINFO excep;
  memset(&excep, 0, sizeof excep);
  UINT arg_err = 0;
  const HRESULT hr = live.object->Invoke(member.id, IID_NULL, 0, flags, &params,
                                         (shape & 0x10) ? nullptr : &result, &excep, &arg_err);
  if (hr == DISP_E_EXCEPTION) {
    SysFreeString(excep.bstrSource);
    SysFreeString(excep.bstrDescription);
    SysFreeString(excep.bstrHelpFile);
  }
  // A failure gives no result, or the empty value of the member's type (a
  // null object or string, zero), which owns nothing.
  if (FAILED(hr) && result.vt != VT_EMPTY &&
      ((result.vt & (VT_BYREF | VT_ARRAY)) != 0 || result.llVal != 0))
    __builtin_trap();
  TakeResult(pool, &result);
  for (size_t i = 0; i < kMaxArgs; ++i) {
    VariantClear(&args[i]);
    VariantClear(&targets[i]);
  }
  live.object->Release();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  // With the rest read-only, a run cannot remove its own (emptied) folder
  // from /tmp; the next run does. A folder in use is not empty.
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator("/tmp", ec)) {
    if (entry.path().filename().string().rfind("tessary-dispatch-fuzz-", 0) == 0)
      rmdir(entry.path().c_str());
  }
  char pattern[] = "/tmp/tessary-dispatch-fuzz-XXXXXX";
  if (!mkdtemp(pattern)) __builtin_trap();
  g_box.root = pattern;
  g_box.drive = g_box.root / "drive";
  g_box.canary = g_box.root / "canary";
  g_box.store = g_box.root / "registry.reg";
  std::atexit([] {
    umount2(g_box.root.c_str(), MNT_DETACH);  // it is its own writable mount
    std::error_code ec;
    fs::remove_all(g_box.root, ec);
  });
  fs::create_directories(g_box.canary);
  WriteFile(g_box.canary / "keep.txt", kCanaryText);
  MakeStore();
  ResetDrive();

  // What libFuzzer writes (the corpus folders, the artifacts) stays writable.
  std::vector<std::string> writable = {g_box.root.string(), fs::current_path().string()};
  bool has_prefix = false;
  for (int i = 1; i < *argc; ++i) {
    const char* arg = (*argv)[i];
    if (arg[0] != '-') writable.push_back(arg);
    if (strncmp(arg, "-artifact_prefix=", 17) == 0) has_prefix = true;
  }
  // A crash is written while the current folder is the drive.
  static std::vector<char*> args((*argv), (*argv) + *argc);
  static std::string prefix = "-artifact_prefix=" + fs::current_path().string() + "/";
  if (!has_prefix) {
    args.insert(args.begin() + 1, prefix.data());
    args.push_back(nullptr);
    *argc += 1;
    *argv = args.data();
  }
  ConfineWrites(writable);

  setenv("TESSARY_REGISTRY", g_box.store.c_str(), 1);
  tessary::LoadFeatureSwitches();  // the module read them at load, before the store was set
  if (!tessary::Switches().disable_register_dll) __builtin_trap();
  g_home = fs::current_path().string();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 8192) return 0;
  ResetDrive();
  // Relative paths resolve against the drive while the input runs; libFuzzer
  // reads and writes its own files from where it was started.
  if (chdir(g_box.drive.c_str()) != 0) __builtin_trap();
  {
    Input in(data, size);
    Pool pool;
    Create(&pool, 0);  // the root
    for (size_t op = 0; op < kMaxOps && !in.done(); ++op) {
      const uint8_t selector = in.Byte();
      if (selector < 0x20) {
        Create(&pool, selector);
      } else if (selector < 0x28) {
        pool.Drop(in.Byte());
      } else {
        Call(in, pool);
      }
    }
  }
  SetErrorInfo(0, nullptr);
  // Every object is gone once the pool has let go.
  if (DllCanUnloadNow() != S_OK) __builtin_trap();
  if (!OutsideUnchanged()) __builtin_trap();
  if (chdir(g_home.c_str()) != 0) __builtin_trap();
  return 0;
}
