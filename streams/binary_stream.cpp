#include "streams/binary_stream.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <map>
#include <new>

#include "frame/values.h"
#include "platform/byte_arrays.h"
#include "platform/files.h"
#include "streams/streams.h"

namespace tessary::streams {

bool FileKey::operator<(const FileKey& other) const {
  if (volume != other.volume) return volume < other.volume;
  if (high != other.high) return high < other.high;
  return low < other.low;
}

}  // namespace tessary::streams

namespace {

using tessary::streams::FileKey;
using tessary::streams::WriteGeneration;

// A block large enough that a line reader makes a few thousand system calls
// for 200 MiB, small enough to cost nothing for a short file.
constexpr size_t kBlockSize = 64 * 1024;
// A request up to this size gets its buffer at once; a larger one grows as
// data arrives, so an absurd count costs only what the file holds.
constexpr size_t kFirstPiece = 16 * 1024 * 1024;
// What one ReadFile/WriteFile is given at most (a DWORD count).
constexpr size_t kMaxPiece = 1024 * 1024 * 1024;
// The most one byte array returned to a script may hold.
constexpr uint64_t kMaxArray = 0x7FFFFFFF;
// Fill writes what does not fit this buffer in several writes.
constexpr size_t kFillPiece = 1024 * 1024;

// The write generations of the files streams hold open, one entry per
// file while any stream has it open.
class Generations {
 public:
  Generations() { InitializeCriticalSection(&lock_); }
  ~Generations() { DeleteCriticalSection(&lock_); }

  // Null when there is no memory for an entry: the stream then reads
  // without a block, slower with the same results.
  WriteGeneration* Join(const FileKey& key) {
    WriteGeneration* generation = nullptr;
    EnterCriticalSection(&lock_);
    try {
      Entry& entry = files_[key];
      ++entry.users;
      generation = &entry.generation;
    } catch (const std::bad_alloc&) {
    }
    LeaveCriticalSection(&lock_);
    return generation;
  }

  void Leave(const FileKey& key) {
    EnterCriticalSection(&lock_);
    auto it = files_.find(key);
    if (it != files_.end() && --it->second.users == 0) files_.erase(it);
    LeaveCriticalSection(&lock_);
  }

 private:
  struct Entry {
    WriteGeneration generation;
    size_t users = 0;
  };

  CRITICAL_SECTION lock_;
  std::map<FileKey, Entry> files_;
};

Generations& TheGenerations() {
  static Generations generations;
  return generations;
}

// The bytes a variant holds when it is a string or a byte array, directly
// or by reference; false for anything that needs a conversion.
bool DirectBytes(const VARIANT* v, BSTR* text, SAFEARRAY** array) {
  if (v->vt == (VT_BYREF | VT_VARIANT) && v->pvarVal) v = v->pvarVal;
  switch (v->vt) {
    case VT_BSTR:
      *text = v->bstrVal;
      return true;
    case VT_BSTR | VT_BYREF:
      if (!v->pbstrVal) return false;
      *text = *v->pbstrVal;
      return true;
    case VT_ARRAY | VT_UI1:
      *array = v->parray;
      return true;
    case VT_ARRAY | VT_UI1 | VT_BYREF:
      if (!v->pparray) return false;
      *array = *v->pparray;
      return true;
    default:
      return false;
  }
}

uint64_t ElementCount(const SAFEARRAY* array) {
  if (!array || array->cDims == 0) return 0;
  uint64_t count = 1;
  for (USHORT i = 0; i < array->cDims; ++i) count *= array->rgsabound[i].cElements;
  return count;
}

}  // namespace

BinaryStream::~BinaryStream() { CloseHandleNow(); }

HRESULT BinaryStream::CheckMode(LONG mode) {
  if (mode == ForReading || mode == ForWriting || mode == ForAppending) return S_OK;
  return ReportError("Unknown Mode.", 0);
}

HRESULT BinaryStream::NotOpen() { return ReportWin32Error(ERROR_INVALID_HANDLE); }

HRESULT BinaryStream::Create(BSTR file_name, VARIANT_BOOL overwrite) {
  auto hold = Lock();
  std::string path;
  HRESULT hr = tessary::ToAnsiPath(file_name, &path);
  if (FAILED(hr)) return ReportWin32Error(static_cast<DWORD>(HRESULT_CODE(hr)));
  HANDLE handle = ::CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                tessary::FromVariantBool(overwrite) ? CREATE_ALWAYS : CREATE_NEW,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return ReportLastWin32Error();
  Adopt(handle, false, true);
  return S_OK;
}

HRESULT BinaryStream::Open(BSTR file_name, LONG mode, VARIANT_BOOL create) {
  auto hold = Lock();
  HRESULT hr = CheckMode(mode);
  if (FAILED(hr)) return hr;
  DWORD access = GENERIC_READ;
  DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE;
  if (mode == ForWriting) {
    access = GENERIC_WRITE;
    share = FILE_SHARE_READ;
  } else if (mode == ForAppending) {
    access = GENERIC_READ | GENERIC_WRITE;
    share = FILE_SHARE_READ;
  }
  std::string path;
  hr = tessary::ToAnsiPath(file_name, &path);
  if (FAILED(hr)) return ReportWin32Error(static_cast<DWORD>(HRESULT_CODE(hr)));
  // An existing file is never truncated: ForWriting starts at offset 0 and
  // leaves what lies beyond the written bytes.
  HANDLE handle = ::CreateFileA(path.c_str(), access, share, nullptr,
                                tessary::FromVariantBool(create) ? OPEN_ALWAYS : OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return ReportLastWin32Error();
  Adopt(handle, mode == ForReading, mode != ForReading);
  if (mode == ForAppending) {
    // The end of the file, reached as a read of the whole file would reach
    // it (an empty file is at its end) without reading it. A stream that
    // cannot get there fails to open: left at the start, its appended text
    // would overwrite what the file holds.
    LARGE_INTEGER size;
    if (::GetFileSizeEx(handle_, &size) && size.QuadPart == 0) at_end_ = true;
    LARGE_INTEGER none;
    none.QuadPart = 0;
    if (!::SetFilePointerEx(handle_, none, nullptr, FILE_END)) {
      const DWORD error = GetLastError();
      CloseHandleNow();
      return ReportWin32Error(error);
    }
  }
  return S_OK;
}

void BinaryStream::Adopt(HANDLE handle, bool read_only, bool writable) {
  CloseHandleNow();
  handle_ = handle;
  BY_HANDLE_FILE_INFORMATION info;
  if (::GetFileInformationByHandle(handle_, &info)) {
    file_ = {info.dwVolumeSerialNumber, info.nFileIndexHigh, info.nFileIndexLow};
    generation_ = TheGenerations().Join(file_);
  }
  if (generation_) {
    // A new write handle may have emptied the file: what others read ahead
    // of it is stale.
    if (writable) generation_->Bump();
    seen_generation_ = generation_->Load();
  }
  // Pipes and devices keep the one-call behaviour: a short read there is no
  // end of file.
  read_ahead_ = read_only && generation_ && ::GetFileType(handle_) == FILE_TYPE_DISK;
}

void BinaryStream::CloseHandleNow() {
  if (handle_) ::CloseHandle(handle_);
  handle_ = nullptr;
  read_ahead_ = false;
  block_.reset();
  block_pos_ = block_len_ = 0;
  if (generation_) TheGenerations().Leave(file_);
  generation_ = nullptr;
}

HRESULT BinaryStream::NegativeCount() {
  return ReportError("The number of bytes must not be negative.", E_INVALIDARG);
}

bool BinaryStream::DropBlock() {
  const size_t held = block_len_ - block_pos_;
  if (held > 0) {
    LARGE_INTEGER back;
    back.QuadPart = -static_cast<LONGLONG>(held);
    if (!::SetFilePointerEx(handle_, back, nullptr, FILE_CURRENT)) return false;
  }
  block_pos_ = block_len_ = 0;
  return true;
}

bool BinaryStream::ReadRaw(void* dest, size_t count, size_t* got) {
  *got = 0;
  // An empty array may have no data at all; the system still wants a
  // buffer.
  char nothing = 0;
  char* out = count > 0 ? static_cast<char*>(dest) : &nothing;
  if (!read_ahead_) {
    DWORD n = 0;
    const BOOL ok = ::ReadFile(handle_, out, static_cast<DWORD>(count), &n, nullptr);
    *got = n;
    return ok != FALSE;
  }
  if (generation_) {
    const uint64_t now = generation_->Load();
    if (now != seen_generation_) {
      if (!DropBlock()) return false;
      seen_generation_ = now;
    }
  }
  const size_t held = block_len_ - block_pos_;
  if (count <= held) {
    if (count > 0) std::memcpy(out, block_.get() + block_pos_, count);
    block_pos_ += count;
    *got = count;
    return true;
  }
  if (held > 0) std::memcpy(out, block_.get() + block_pos_, held);
  const size_t rest = count - held;
  if (!block_ && rest < kBlockSize) block_.reset(new (std::nothrow) char[kBlockSize]);
  if (rest >= kBlockSize || !block_) {
    // Larger than a block: straight into the caller's buffer.
    DWORD n = 0;
    if (!::ReadFile(handle_, out + held, static_cast<DWORD>(rest), &n, nullptr)) return false;
    block_pos_ = block_len_ = 0;
    *got = held + n;
    return true;
  }
  DWORD n = 0;
  if (!::ReadFile(handle_, block_.get(), static_cast<DWORD>(kBlockSize), &n, nullptr)) {
    // A failed read takes nothing: what the block held is kept for later.
    const DWORD error = GetLastError();
    if (held > 0) std::memcpy(block_.get(), out, held);
    block_pos_ = 0;
    block_len_ = held;
    SetLastError(error);
    return false;
  }
  const size_t take = std::min<size_t>(n, rest);
  std::memcpy(out + held, block_.get(), take);
  block_pos_ = take;
  block_len_ = n;
  *got = held + take;
  return true;
}

const char* BinaryStream::BytesBehind(size_t n) const {
  if (!read_ahead_ || !block_ || n > block_pos_) return nullptr;
  return block_.get() + block_pos_ - n;
}

HRESULT BinaryStream::ReadBytes(uint64_t count, std::string* bytes) {
  const size_t before = bytes->size();
  HRESULT hr = ReadMore(count, bytes);
  if (SUCCEEDED(hr) && count > 0 && bytes->size() == before) at_end_ = true;
  return hr;
}

HRESULT BinaryStream::ReadInto(char* dest, size_t count, size_t* got, bool marks_end) {
  if (!ReadRaw(dest, count, got)) return ReportLastWin32Error();
  if (marks_end && count > 0 && *got == 0) at_end_ = true;
  return S_OK;
}

HRESULT BinaryStream::ReadMore(uint64_t count, std::string* bytes) {
  const size_t base = bytes->size();
  uint64_t done = 0;
  size_t piece = static_cast<size_t>(std::min<uint64_t>(count, kFirstPiece));
  for (;;) {
    try {
      bytes->resize(base + done + piece);
    } catch (const std::exception&) {
      bytes->resize(base);
      return E_OUTOFMEMORY;
    }
    size_t got = 0;
    if (!ReadRaw(&(*bytes)[base + done], piece, &got)) {
      const DWORD error = GetLastError();
      bytes->resize(base);
      SetLastError(error);
      return ReportLastWin32Error();
    }
    done += got;
    if (got < piece || done == count) break;
    piece = static_cast<size_t>(std::min<uint64_t>({count - done, done, kMaxPiece}));
  }
  bytes->resize(base + done);
  return S_OK;
}

HRESULT BinaryStream::WriteBytes(const void* data, size_t size) {
  static const char kNothing = 0;
  const char* at = size > 0 ? static_cast<const char*>(data) : &kNothing;
  size_t left = size;
  do {
    const DWORD now = static_cast<DWORD>(std::min(left, kMaxPiece));
    DWORD written = 0;
    const BOOL ok = ::WriteFile(handle_, at, now, &written, nullptr);
    if (written > 0 && generation_) generation_->Bump();
    if (!ok) return ReportLastWin32Error();
    at += now;
    left -= now;
  } while (left > 0);
  return S_OK;
}

HRESULT BinaryStream::SkipBytes(int64_t distance) {
  // The system's pointer is ahead of the caller's by what the block holds.
  LARGE_INTEGER move;
  move.QuadPart = distance - static_cast<int64_t>(block_len_ - block_pos_);
  if (!::SetFilePointerEx(handle_, move, nullptr, FILE_CURRENT)) return ReportLastWin32Error();
  block_pos_ = block_len_ = 0;
  return S_OK;
}

HRESULT BinaryStream::FileSize(uint64_t* size) {
  LARGE_INTEGER value;
  if (!::GetFileSizeEx(handle_, &value)) return ReportLastWin32Error();
  *size = static_cast<uint64_t>(value.QuadPart);
  return S_OK;
}

bool BinaryStream::Position(uint64_t* position) {
  LARGE_INTEGER none, at;
  none.QuadPart = 0;
  if (!::SetFilePointerEx(handle_, none, &at, FILE_CURRENT)) return false;
  *position = static_cast<uint64_t>(at.QuadPart) - (block_len_ - block_pos_);
  return true;
}

HRESULT BinaryStream::RestOfFile(uint64_t* count) {
  BY_HANDLE_FILE_INFORMATION info;
  if (!::GetFileInformationByHandle(handle_, &info)) return ReportLastWin32Error();
  const uint64_t size = (static_cast<uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
  // The whole size is asked for, as from the start; fewer bytes come back
  // after earlier reads.
  if (size <= kMaxArray) {
    *count = size;
    return S_OK;
  }
  uint64_t at = 0;
  if (!Position(&at)) return ReportLastWin32Error();
  const uint64_t rest = at < size ? size - at : 0;
  if (rest > kMaxArray) {
    return ReportError("The rest of the file is too large for one array.",
                       tessary::HResultFromWin32(ERROR_FILE_TOO_LARGE));
  }
  *count = rest;
  return S_OK;
}

HRESULT BinaryStream::ReadIntoArray(uint64_t count, SAFEARRAY** array) {
  *array = nullptr;
  if (count > kFirstPiece) {
    std::string data;
    HRESULT hr = ReadBytes(count, &data);
    if (FAILED(hr)) return hr;
    SAFEARRAY* fit = SafeArrayCreateBytesToFill(static_cast<ULONG>(data.size()));
    if (!fit) return E_OUTOFMEMORY;
    if (!data.empty()) std::memcpy(fit->pvData, data.data(), data.size());
    *array = fit;
    return S_OK;
  }
  // The array is the read buffer: no copy for the usual request.
  SAFEARRAY* buffer = SafeArrayCreateBytesToFill(static_cast<ULONG>(count));
  if (!buffer) return E_OUTOFMEMORY;
  size_t got = 0;
  if (!ReadRaw(buffer->pvData, static_cast<size_t>(count), &got)) {
    const DWORD error = GetLastError();
    SafeArrayDestroy(buffer);
    SetLastError(error);
    return ReportLastWin32Error();
  }
  // A request for no bytes gets none wherever the file stands.
  if (got == 0 && count > 0) at_end_ = true;
  if (got < count) {
    SAFEARRAY* fit = SafeArrayCreateBytesToFill(static_cast<ULONG>(got));
    if (!fit) {
      SafeArrayDestroy(buffer);
      return E_OUTOFMEMORY;
    }
    if (got > 0) std::memcpy(fit->pvData, buffer->pvData, got);
    SafeArrayDestroy(buffer);
    buffer = fit;
  }
  *array = buffer;
  return S_OK;
}

HRESULT BinaryStream::ReadVarCount(uint64_t count, VARIANT* bytes) {
  std::string data;
  HRESULT hr = ReadBytes(count, &data);
  if (FAILED(hr)) return hr;
  if (!bytes) return E_INVALIDARG;
  SAFEARRAYBOUND bound;
  bound.cElements = static_cast<ULONG>(data.size());
  bound.lLbound = 0;
  SAFEARRAY* array = SafeArrayCreate(VT_VARIANT, 1, &bound);
  if (!array) return E_OUTOFMEMORY;
  VARIANT* elements = nullptr;
  hr = SafeArrayAccessData(array, reinterpret_cast<void**>(&elements));
  if (FAILED(hr)) {
    SafeArrayDestroy(array);
    return hr;
  }
  for (size_t i = 0; i < data.size(); ++i) {
    elements[i].vt = VT_UI1;
    elements[i].bVal = static_cast<BYTE>(data[i]);
  }
  SafeArrayUnaccessData(array);
  bytes->vt = VT_ARRAY | VT_VARIANT;
  bytes->parray = array;
  return S_OK;
}

HRESULT BinaryStream::get_AtEndOfStream(VARIANT_BOOL* end) {
  if (!end) return E_POINTER;
  auto hold = Lock();
  HRESULT hr = CheckOpen();
  if (FAILED(hr)) return hr;
  *end = tessary::ToVariantBool(at_end_);
  return S_OK;
}

HRESULT BinaryStream::Read(LONG num_bytes, VARIANT* bytes) {
  if (!bytes) return E_POINTER;
  auto hold = Lock();
  HRESULT hr = CheckOpen();
  if (FAILED(hr)) return hr;
  if (num_bytes < 0) return NegativeCount();
  SAFEARRAY* array = nullptr;
  hr = ReadIntoArray(static_cast<uint64_t>(num_bytes), &array);
  if (FAILED(hr)) return hr;
  bytes->vt = VT_ARRAY | VT_UI1;
  bytes->parray = array;
  return S_OK;
}

HRESULT BinaryStream::ReadAll(VARIANT* bytes) {
  if (!bytes) return E_POINTER;
  auto hold = Lock();
  HRESULT hr = CheckOpen();
  if (FAILED(hr)) return hr;
  uint64_t count = 0;
  hr = RestOfFile(&count);
  if (FAILED(hr)) return hr;
  SAFEARRAY* array = nullptr;
  hr = ReadIntoArray(count, &array);
  if (FAILED(hr)) return hr;
  if (count == 0) at_end_ = true;  // see RestOfFile
  bytes->vt = VT_ARRAY | VT_UI1;
  bytes->parray = array;
  return S_OK;
}

HRESULT BinaryStream::Write(VARIANT* bytes) {
  if (!bytes) return E_POINTER;
  BSTR text = nullptr;
  SAFEARRAY* array = nullptr;
  if (DirectBytes(bytes, &text, &array)) {
    // What the conversion below would give, without copying the data: a
    // string's UTF-16LE bytes, an array's elements.
    if (!array) {
      auto hold = Lock();
      return WriteBytes(text, SysStringByteLen(text));
    }
    const uint64_t count = ElementCount(array);
    if (count == 0) {
      auto hold = Lock();
      return WriteBytes(nullptr, 0);
    }
    void* data = nullptr;
    HRESULT hr = SafeArrayAccessData(array, &data);
    if (FAILED(hr)) return hr;
    {
      auto hold = Lock();
      hr = WriteBytes(data, static_cast<size_t>(count));
    }
    SafeArrayUnaccessData(array);
    return hr;
  }
  // The conversion may ask an object for its value, and freeing the copy
  // may release one: both run outside the lock, which covers only the write.
  VARIANT copy;
  VariantInit(&copy);
  (void)VariantCopy(&copy, bytes);
  // The conversion's own result does not matter: the type it leaves does.
  (void)VariantChangeType(&copy, &copy, 0, VT_ARRAY | VT_UI1);
  if (copy.vt != (VT_ARRAY | VT_UI1)) {
    VariantClear(&copy);
    return ReportError("Couldn't convert type to Array of bytes.", 0);
  }
  HRESULT hr = S_OK;
  const uint64_t count = ElementCount(copy.parray);
  if (count == 0) {
    auto hold = Lock();
    hr = WriteBytes(nullptr, 0);
  } else {
    void* data = nullptr;
    hr = SafeArrayAccessData(copy.parray, &data);
    if (SUCCEEDED(hr)) {
      {
        auto hold = Lock();
        hr = WriteBytes(data, static_cast<size_t>(count));
      }
      SafeArrayUnaccessData(copy.parray);
    }
  }
  VariantClear(&copy);
  return hr;
}

HRESULT BinaryStream::Fill(LONG byte, LONG num_bytes) {
  auto hold = Lock();
  if (num_bytes < 0) return NegativeCount();
  const size_t piece = std::min(static_cast<size_t>(num_bytes), kFillPiece);
  std::unique_ptr<char[]> buffer(new (std::nothrow) char[piece > 0 ? piece : 1]);
  if (!buffer) return E_OUTOFMEMORY;
  std::memset(buffer.get(), byte & 0xFF, piece);
  // One write for any count a script is likely to use; a larger one is
  // written from the same buffer in pieces.
  size_t left = static_cast<size_t>(num_bytes);
  do {
    const size_t now = std::min(left, piece);
    HRESULT hr = WriteBytes(buffer.get(), now);
    if (FAILED(hr)) return hr;
    left -= now;
  } while (left > 0);
  return S_OK;
}

HRESULT BinaryStream::Skip(LONG bytes) {
  auto hold = Lock();
  HRESULT hr = CheckOpen();
  if (FAILED(hr)) return hr;
  return SkipBytes(bytes);
}

HRESULT BinaryStream::Close() {
  auto hold = Lock();
  CloseHandleNow();
  return S_OK;
}

HRESULT BinaryStream::ReadVar(LONG num_bytes, VARIANT* bytes) {
  auto hold = Lock();
  HRESULT hr = CheckOpen();
  if (FAILED(hr)) return hr;
  if (num_bytes < 0) return NegativeCount();
  return ReadVarCount(static_cast<uint64_t>(num_bytes), bytes);
}

HRESULT BinaryStream::ReadVarAll(VARIANT* bytes) {
  auto hold = Lock();
  HRESULT hr = CheckOpen();
  if (FAILED(hr)) return hr;
  uint64_t count = 0;
  hr = RestOfFile(&count);
  if (FAILED(hr)) return hr;
  hr = ReadVarCount(count, bytes);
  if (SUCCEEDED(hr) && count == 0) at_end_ = true;  // see RestOfFile
  return hr;
}

TESSARY_CREATABLE(BinaryStream)

namespace tessary {

HRESULT NewBinaryStreamCreate(BSTR file, VARIANT_BOOL overwrite, IBinaryStream** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  BinaryStream* stream = nullptr;
  HRESULT hr = CreateObject(&stream);
  if (FAILED(hr)) return hr;
  hr = static_cast<IBinaryStreamInit*>(stream)->Create(file, overwrite);
  if (FAILED(hr)) {
    stream->Release();
    return hr;
  }
  return HandOut(stream, out);
}

HRESULT NewBinaryStreamOpen(BSTR file, LONG mode, VARIANT_BOOL create, IBinaryStream** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  BinaryStream* stream = nullptr;
  HRESULT hr = CreateObject(&stream);
  if (FAILED(hr)) return hr;
  hr = static_cast<IBinaryStreamInit*>(stream)->Open(file, mode, create);
  if (FAILED(hr)) {
    stream->Release();
    return hr;
  }
  return HandOut(stream, out);
}

HRESULT NewBinaryStreamCreate(const std::string& ansi_file, VARIANT_BOOL overwrite,
                              IBinaryStream** out) {
  Bstr file;
  HRESULT hr = file.FromAnsi(ansi_file);
  if (FAILED(hr)) return hr;
  return NewBinaryStreamCreate(file.get(), overwrite, out);
}

HRESULT NewBinaryStreamOpen(const std::string& ansi_file, LONG mode, VARIANT_BOOL create,
                            IBinaryStream** out) {
  Bstr file;
  HRESULT hr = file.FromAnsi(ansi_file);
  if (FAILED(hr)) return hr;
  return NewBinaryStreamOpen(file.get(), mode, create, out);
}

}  // namespace tessary
