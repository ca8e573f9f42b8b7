// The root object's blob entries: a file's bytes into or out of a database
// field, reached late-bound by the method names "AppendChunk" and
// "GetChunk". Any dispatch object with those methods will do; the component
// never links a database library. Memory stays bounded by one chunk per
// call whatever the size of the file or field.
#include <cstdint>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#ifdef _WIN32
#include <dispex.h>
#endif

#include "frame/values.h"
#include "platform/files.h"
#include "root/tessary.h"

namespace {

constexpr DWORD kChunkSize = 49152;

const char kIncorrectParameter[] = "Incorrect parameter";

#ifdef _WIN32
// IDispatchEx; the system's import libraries do not all carry it.
const IID kIidDispatchEx = {
    0xA6EF9860, 0xC720, 0x11D0, {0x93, 0x37, 0x00, 0xA0, 0xC9, 0x0D, 0xCA, 0xA9}};
#endif

// The field's DISPID for `name`; false when the object does not know it.
bool FindMethod(IDispatch* field, const OLECHAR* name, DISPID* id) {
  std::basic_string<OLECHAR> text(name);
  LPOLESTR names[] = {&text[0]};
  if (SUCCEEDED(field->GetIDsOfNames(IID_NULL, names, 1, GetUserDefaultLCID(), id))) return true;
#ifdef _WIN32
  // Some script engines' own objects answer names only through the
  // extended dispatch interface, and refuse the plain look-up outright.
  IDispatchEx* extended = nullptr;
  if (FAILED(field->QueryInterface(kIidDispatchEx, reinterpret_cast<void**>(&extended))) ||
      !extended)
    return false;
  BSTR wanted = SysAllocString(name);
  const HRESULT hr =
      wanted ? extended->GetDispID(wanted, fdexNameCaseInsensitive, id) : E_OUTOFMEMORY;
  SysFreeString(wanted);
  extended->Release();
  return SUCCEEDED(hr);
#else
  return false;
#endif
}

// Calls a one-argument method of the field with `argument` by reference.
// The callee may replace what the reference points at (a script assigning
// to its parameter), so the caller clears `argument` afterwards instead of
// freeing what it put there.
HRESULT CallWith(IDispatch* field, DISPID id, VARIANT* argument, VARIANT* result) {
  VARIANT by_reference;
  VariantInit(&by_reference);
  by_reference.vt = VT_BYREF | VT_VARIANT;
  by_reference.pvarVal = argument;
  DISPPARAMS params = {&by_reference, nullptr, 1, 0};
  EXCEPINFO exception = {};
  const HRESULT hr = field->Invoke(id, IID_NULL, GetUserDefaultLCID(), DISPATCH_METHOD, &params,
                                   result, &exception, nullptr);
  // The field's own exception text stays the field's: only its HRESULT is
  // passed on, but the strings it handed over are ours to free.
  SysFreeString(exception.bstrSource);
  SysFreeString(exception.bstrDescription);
  SysFreeString(exception.bstrHelpFile);
  return hr;
}

// The bytes of a GetChunk result. `done` says the field has no more data.
// False when the result is of no type a field hands out (a number, an
// object, an array of other elements).
bool ChunkBytes(VARIANT* value, bool* done, std::vector<unsigned char>* bytes) {
  bytes->clear();
  *done = false;
  switch (value->vt) {
    case VT_EMPTY:
    case VT_NULL:
    case VT_ERROR:
      *done = true;
      return true;
    case VT_BSTR: {
      // A text field: each character carries one byte in its low half.
      const UINT length = SysStringLen(value->bstrVal);
      if (length == 0) {
        *done = true;
        return true;
      }
      bytes->resize(length);
      for (UINT i = 0; i < length; ++i)
        (*bytes)[i] = static_cast<unsigned char>(value->bstrVal[i] & 0xFF);
      return true;
    }
    case VT_ARRAY | VT_UI1: {
      SAFEARRAY* array = value->parray;
      if (!array) {
        *done = true;
        return true;
      }
      LONG lower = 0, upper = -1;
      if (SafeArrayGetDim(array) != 1 || SafeArrayGetElemsize(array) != 1 ||
          FAILED(SafeArrayGetLBound(array, 1, &lower)) ||
          FAILED(SafeArrayGetUBound(array, 1, &upper)))
        return false;
      if (upper < lower) {
        *done = true;
        return true;
      }
      // A field may return more than was asked for; all of it is kept.
      const size_t count = static_cast<size_t>(static_cast<int64_t>(upper) - lower + 1);
      void* data = nullptr;
      if (FAILED(SafeArrayAccessData(array, &data))) return false;
      const unsigned char* first = static_cast<const unsigned char*>(data);
      bytes->assign(first, first + count);
      SafeArrayUnaccessData(array);
      return true;
    }
    default:
      return false;
  }
}

class FileHandle {
 public:
  explicit FileHandle(HANDLE h) : h_(h) {}
  ~FileHandle() { Close(); }
  FileHandle(const FileHandle&) = delete;
  FileHandle& operator=(const FileHandle&) = delete;
  bool valid() const { return h_ != INVALID_HANDLE_VALUE; }
  HANDLE get() const { return h_; }
  void Close() {
    if (valid()) ::CloseHandle(h_);
    h_ = INVALID_HANDLE_VALUE;
  }

 private:
  HANDLE h_;
};

}  // namespace

HRESULT Tessary::ExportToBlob(BSTR src_file_name, VARIANT record_set) {
  std::string source;
  const bool name_ok = SUCCEEDED(tessary::ToAnsiPath(src_file_name, &source));
  // The variant is judged exactly as received: an object by reference is
  // refused like any other non-object.
  if (record_set.vt != VT_DISPATCH || !record_set.pdispVal)
    return ReportError(kIncorrectParameter, 0);
  IDispatch* field = record_set.pdispVal;
  DISPID append = DISPID_UNKNOWN;
  if (!FindMethod(field, OLESTR("AppendChunk"), &append))
    return ReportError("Parameter does not support the AppendChunk method", 0);
  // A name the system cannot take names no file that could be opened.
  FileHandle file(name_ok ? ::CreateFileA(source.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                          OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr)
                          : INVALID_HANDLE_VALUE);
  if (!file.valid()) return ReportError("ExportToBlob failed - unable to open file", 0);

  std::vector<unsigned char> buffer;
  try {
    buffer.resize(kChunkSize);
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
  HRESULT hr = S_OK;
  for (;;) {
    DWORD read = 0;
    if (!::ReadFile(file.get(), buffer.data(), kChunkSize, &read, nullptr)) {
      // Stopping here quietly would report success with the field holding
      // only the front of the file.
      const DWORD error = GetLastError();
      file.Close();
      return ReportWin32Error(error);
    }
    if (read == 0) break;
    SAFEARRAYBOUND bound = {read, 0};
    SAFEARRAY* array = SafeArrayCreate(VT_UI1, 1, &bound);
    if (!array) {
      OutputDebugStringA("Out of memory!");
      return E_OUTOFMEMORY;
    }
    void* data = nullptr;
    hr = SafeArrayAccessData(array, &data);
    if (FAILED(hr)) {
      // A chunk that could not be filled would put zeros in the field.
      SafeArrayDestroy(array);
      return hr;
    }
    memcpy(data, buffer.data(), read);
    SafeArrayUnaccessData(array);
    VARIANT chunk;
    VariantInit(&chunk);
    chunk.vt = VT_ARRAY | VT_UI1;
    chunk.parray = array;
    VARIANT result;
    VariantInit(&result);
    hr = CallWith(field, append, &chunk, &result);
    VariantClear(&chunk);
    VariantClear(&result);
    if (FAILED(hr)) break;
  }
  return hr;
}

HRESULT Tessary::ImportFromBlob(VARIANT src_record_set, BSTR target_file_name) {
  if (src_record_set.vt != VT_DISPATCH || !src_record_set.pdispVal)
    return ReportError(kIncorrectParameter, 0);
  IDispatch* field = src_record_set.pdispVal;
  std::string target;
  HRESULT hr = PathArgument(target_file_name, &target);
  if (FAILED(hr)) return hr;
  FileHandle file(::CreateFileA(target.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                FILE_FLAG_WRITE_THROUGH, nullptr));
  if (!file.valid()) return ReportLastWin32Error();
  DISPID get_chunk = DISPID_UNKNOWN;
  if (!FindMethod(field, OLESTR("GetChunk"), &get_chunk)) {
    file.Close();
    return ReportError("Parameter does not support the GetChunk method", 0);
  }

  std::vector<unsigned char> bytes;
  for (;;) {
    VARIANT request;
    VariantInit(&request);
    request.vt = VT_I4;
    request.lVal = static_cast<LONG>(kChunkSize);
    VARIANT result;
    VariantInit(&result);
    hr = CallWith(field, get_chunk, &request, &result);
    VariantClear(&request);
    if (FAILED(hr)) {
      VariantClear(&result);
      break;
    }
    // A field handing back a reference hands back what it refers to.
    VARIANT value;
    VariantInit(&value);
    hr = VariantCopyInd(&value, &result);
    VariantClear(&result);
    if (FAILED(hr)) {
      file.Close();
      return ReportError("Insufficient memory available.", 0);
    }
    bool done = false;
    bool known = false;
    try {
      known = ChunkBytes(&value, &done, &bytes);
    } catch (const std::bad_alloc&) {
      VariantClear(&value);
      file.Close();
      return ReportError("Insufficient memory available.", 0);
    }
    VariantClear(&value);
    if (!known) {
      file.Close();
      return ReportError("GetChunk returned neither binary data nor text", DISP_E_TYPEMISMATCH);
    }
    if (done) break;
    DWORD written = 0;
    const BOOL wrote =
        ::WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    if (!wrote || written != bytes.size()) {
      // A short write that sets no error ran out of room.
      const DWORD error = wrote ? static_cast<DWORD>(ERROR_DISK_FULL) : GetLastError();
      file.Close();
      return ReportWin32Error(error);
    }
  }
  return hr;
}
