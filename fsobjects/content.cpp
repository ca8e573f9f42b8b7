// Content inspection on the File object: the registered MIME type, the image
// header and the MD5 checksum of the bytes.
#include <cstring>
#include <memory>
#include <new>

#include "crypto/md5.h"
#include "frame/values.h"
#include "fsobjects/file.h"
#include "fsobjects/image_reader.h"
#include "platform/files.h"
#include "platform/registry.h"

namespace {

// The checksum streams the file in blocks this large: big enough that the
// calls cost nothing beside the digest, small enough to stay in the cache.
constexpr DWORD kChecksumBlock = 256 * 1024;

// A value under HKEY_CLASSES_ROOT\<key>, "" when anything fails. The
// buffer is the 255 bytes the value has always been read into; a longer
// value reads as missing rather than cut.
std::string ClassesRootValue(const std::string& key, const char* value_name) {
  HKEY handle = nullptr;
  if (RegOpenKeyExA(HKEY_CLASSES_ROOT, key.c_str(), 0, KEY_READ, &handle) != ERROR_SUCCESS)
    return "";
  char text[255] = {0};
  DWORD size = sizeof text;
  DWORD type = REG_NONE;
  LONG rc =
      RegQueryValueExA(handle, value_name, nullptr, &type, reinterpret_cast<BYTE*>(text), &size);
  RegCloseKey(handle);
  if (rc != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ)) return "";
  return std::string(text, strnlen(text, size < sizeof text ? size : sizeof text));
}

// An open file as the image reader's source. The reader asks for each
// window at its offset, so the file pointer is set before every read.
class FileImageSource : public tessary::ImageSource {
 public:
  explicit FileImageSource(HANDLE file) : file_(file) {}

  bool ReadAt(uint64_t offset, uint8_t* buffer, uint32_t size, uint32_t* got) override {
    *got = 0;
    LARGE_INTEGER to;
    to.QuadPart = static_cast<LONGLONG>(offset);
    if (!::SetFilePointerEx(file_, to, nullptr, FILE_BEGIN)) return false;
    while (*got < size) {
      DWORD n = 0;
      if (!::ReadFile(file_, buffer + *got, size - *got, &n, nullptr)) return false;
      if (n == 0) break;
      *got += n;
    }
    return true;
  }

  bool Size(uint64_t* size) override {
    LARGE_INTEGER bytes;
    if (!::GetFileSizeEx(file_, &bytes) || bytes.QuadPart < 0) return false;
    *size = static_cast<uint64_t>(bytes.QuadPart);
    return true;
  }

 private:
  HANDLE file_;
};

tessary::ImageInfo ReadImageFile(const std::string& path) {
  HANDLE file = ::CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return tessary::ImageInfo();
  FileImageSource source(file);
  tessary::ImageInfo record = tessary::ReadImageInfo(source);
  if (!::CloseHandle(file)) return tessary::ImageInfo();
  return record;
}

// The MD5 of every byte of the file, or false. The whole file is read to
// its end and the count compared with the size taken at the start, all 64
// bits of it: a file that grows or shrinks meanwhile fails rather than
// giving the digest of a mix of old and new bytes.
bool FileDigest(const std::string& path, std::string* hex) {
  tessary::Bstr wide;
  if (FAILED(wide.FromAnsi(path))) return false;
  HANDLE file = ::CreateFileW(wide.get(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  bool ok = false;
  LARGE_INTEGER size;
  std::unique_ptr<uint8_t[]> block(new (std::nothrow) uint8_t[kChecksumBlock]);
  if (block && ::GetFileSizeEx(file, &size) && size.QuadPart >= 0) {
    const uint64_t expected = static_cast<uint64_t>(size.QuadPart);
    tessary::Md5 md5;
    uint64_t count = 0;
    for (;;) {
      DWORD n = 0;
      if (!::ReadFile(file, block.get(), kChecksumBlock, &n, nullptr)) break;
      if (n == 0) {
        ok = count == expected;
        break;
      }
      count += n;
      if (count > expected) break;
      md5.Update(block.get(), n);
    }
    if (ok) {
      uint8_t digest[tessary::Md5::kDigestSize];
      md5.Final(digest);
      *hex = tessary::Md5::Hex(digest);
    }
  }
  ::CloseHandle(file);
  return ok;
}

}  // namespace

HRESULT File::get_MimeType(BSTR* mime_type) {
  if (!mime_type) return E_POINTER;
  *mime_type = nullptr;
  const size_t dot = name_.rfind('.');
  if (dot == std::string::npos) return tessary::ReturnAnsi("", mime_type);
  return tessary::ReturnAnsi(ClassesRootValue(name_.substr(dot), "Content Type"), mime_type);
}

tessary::ImageInfo File::Image() {
  {
    auto hold = Lock();
    if (image_.loaded) return image_;
  }
  // Read outside the lock: a slow disk must not hold up the object's other
  // members. Two racing readers find the same header; the first one kept wins.
  const tessary::ImageInfo fresh = ReadImageFile(full_path_);
  auto hold = Lock();
  if (!image_.loaded && fresh.loaded) image_ = fresh;
  return image_;
}

HRESULT File::get_ImageWidth(LONG* width) {
  if (!width) return E_POINTER;
  *width = Image().width;
  return S_OK;
}

HRESULT File::get_ImageHeight(LONG* height) {
  if (!height) return E_POINTER;
  *height = Image().height;
  return S_OK;
}

HRESULT File::get_ImageColor(LONG* color) {
  if (!color) return E_POINTER;
  *color = Image().color;
  return S_OK;
}

HRESULT File::get_Checksum(BSTR* checksum) {
  if (!checksum) return E_POINTER;
  *checksum = nullptr;
  std::string hex;
  if (!FileDigest(full_path_, &hex))
    return ReportError(("Failed to generate checksum for file: " + full_path_).c_str(),
                       DISP_E_EXCEPTION);
  return tessary::ReturnAnsi(hex, checksum);
}
