#include "fsobjects/image_reader.h"

#include <cstring>
#include <vector>

namespace tessary {
namespace {

inline uint32_t Le16(const uint8_t* p) { return p[0] | static_cast<uint32_t>(p[1]) << 8; }
inline uint32_t Be16(const uint8_t* p) { return static_cast<uint32_t>(p[0]) << 8 | p[1]; }

// Reads exactly `size` bytes at `offset`; a short read is a failure here,
// since every caller needs all the bytes it asks for.
bool ReadExactly(ImageSource& source, uint64_t offset, uint8_t* buffer, uint32_t size) {
  uint32_t got = 0;
  return source.ReadAt(offset, buffer, size, &got) && got == size;
}

// A sliding view of the data for the JPEG scan: one window of bytes, loaded
// afresh wherever the scan jumps outside it. The data ends at the size told
// when the scan began; a source that then delivers less (the file shrank)
// fails the scan rather than letting it see bytes that are not there.
class Window {
 public:
  Window(ImageSource& source, uint64_t size, uint32_t capacity)
      : source_(source), size_(size), buffer_(capacity ? capacity : 1) {}

  uint64_t size() const { return size_; }
  bool failed() const { return failed_; }

  // The byte at `pos`, which must lie below size().
  bool Byte(uint64_t pos, uint8_t* out) {
    if (pos - start_ >= length_ && !Load(pos)) return false;
    *out = buffer_[static_cast<size_t>(pos - start_)];
    return true;
  }

  // The bytes of the window holding `pos` from `pos` on: at least one.
  bool Span(uint64_t pos, const uint8_t** data, size_t* count) {
    if (pos - start_ >= length_ && !Load(pos)) return false;
    *data = buffer_.data() + (pos - start_);
    *count = static_cast<size_t>(length_ - (pos - start_));
    return true;
  }

 private:
  bool Load(uint64_t pos) {
    const uint64_t left = size_ - pos;
    const uint32_t want =
        left < buffer_.size() ? static_cast<uint32_t>(left) : static_cast<uint32_t>(buffer_.size());
    length_ = 0;
    if (!ReadExactly(source_, pos, buffer_.data(), want)) {
      failed_ = true;
      return false;
    }
    start_ = pos;
    length_ = want;
    return true;
  }

  ImageSource& source_;
  const uint64_t size_;
  std::vector<uint8_t> buffer_;
  uint64_t start_ = 0;
  uint64_t length_ = 0;
  bool failed_ = false;
};

// The first FF D8 FF, searched as in a zero-terminated text: the search
// ends at the first zero byte, so a signature after one is not found.
bool FindSignature(Window& data, uint64_t* found) {
  static const uint8_t kSignature[3] = {0xFF, 0xD8, 0xFF};
  size_t matched = 0;  // signature bytes matched just before `pos`
  uint64_t pos = 0;
  while (pos < data.size()) {
    const uint8_t* bytes = nullptr;
    size_t count = 0;
    if (!data.Span(pos, &bytes, &count)) return false;
    for (size_t i = 0; i < count; ++i) {
      const uint8_t b = bytes[i];
      if (b == 0) return false;
      if (b == kSignature[matched]) {
        if (++matched == sizeof kSignature) {
          *found = pos + i + 1 - sizeof kSignature;
          return true;
        }
      } else {
        // Only FF can begin the signature again, and it never follows a
        // partial match other than as its own first byte.
        matched = b == 0xFF ? 1 : 0;
      }
    }
    pos += count;
  }
  return false;
}

// The walk from segment to segment up to the frame header. Returns false
// when the data could not be read; `*record` is changed only when a frame
// header lies wholly inside the data.
bool ScanJpeg(Window& data, ImageInfo* record) {
  uint64_t signature = 0;
  if (!FindSignature(data, &signature)) return false;
  const uint64_t size = data.size();
  uint64_t pos = signature + 2;  // the byte after FF D8
  while (pos < size) {
    uint8_t marker = 0xFF;
    while (pos < size) {
      if (!data.Byte(pos, &marker)) return false;
      if (marker != 0xFF) break;
      ++pos;
    }
    if (pos >= size) break;
    if (marker >= 0xC0 && marker <= 0xC3) {
      // Marker, length (2), precision, height (2), width (2), components.
      if (size - pos < 9) break;
      uint8_t field[8];
      for (int i = 0; i < 8; ++i)
        if (!data.Byte(pos + 1 + i, &field[i])) return false;
      record->height = static_cast<int32_t>(Be16(field + 3));
      record->width = static_cast<int32_t>(Be16(field + 5));
      record->color = ColorsForBits(8u * field[7]);
      break;
    }
    if (size - pos < 3) break;
    uint8_t length[2];
    if (!data.Byte(pos + 1, &length[0]) || !data.Byte(pos + 2, &length[1])) return false;
    // The length counts itself, so the next marker's first FF is at
    // pos + length + 1. A length of 0 still moves on by one byte: no loop.
    pos += Be16(length) + 1;
  }
  return true;
}

}  // namespace

bool MemoryImageSource::ReadAt(uint64_t offset, uint8_t* buffer, uint32_t size, uint32_t* got) {
  *got = 0;
  if (offset >= size_) return true;
  const size_t left = size_ - static_cast<size_t>(offset);
  const size_t n = size < left ? size : left;
  if (n) memcpy(buffer, data_ + offset, n);
  *got = static_cast<uint32_t>(n);
  return true;
}

bool MemoryImageSource::Size(uint64_t* size) {
  *size = size_;
  return true;
}

int32_t ColorsForBits(uint32_t bits) {
  // 2^bits modulo 2^32: a power of two of 32 or more has no low bits.
  return bits < 32 ? static_cast<int32_t>(static_cast<uint32_t>(1) << bits) : 0;
}

ImageInfo ReadImageInfo(ImageSource& source, uint32_t window) {
  ImageInfo none;
  // Bytes a short file lacks stay zero, so they can match no signature.
  uint8_t header[29] = {0};
  uint32_t got = 0;
  if (!source.ReadAt(0, header, 4, &got) || got == 0) return none;

  ImageInfo record;
  if (memcmp(header, "GIF8", 4) == 0) {
    if (!ReadExactly(source, 4, header + 4, 7)) return none;
    record.width = static_cast<int32_t>(Le16(header + 6));
    record.height = static_cast<int32_t>(Le16(header + 8));
    record.color = ColorsForBits((header[10] & 7u) + 1);
  } else if (header[0] == 'B' && header[1] == 'M') {
    if (!ReadExactly(source, 4, header + 4, 25)) return none;
    // Only the low 16 bits of the 32-bit fields, as the format's readers of
    // old took them.
    record.width = static_cast<int32_t>(Le16(header + 18));
    record.height = static_cast<int32_t>(Le16(header + 22));
    record.color = ColorsForBits(header[28]);
  } else if (header[0] == 0x89 && header[1] == 'P' && header[2] == 'N' && header[3] == 'G') {
    if (!ReadExactly(source, 4, header + 4, 22)) return none;
    record.width = static_cast<int32_t>(Be16(header + 18));
    record.height = static_cast<int32_t>(Be16(header + 22));
    const uint32_t depth = header[24];
    switch (header[25]) {
      case 0:
        record.color = ColorsForBits(depth);
        break;
      case 2:
        record.color = ColorsForBits(depth * 3);
        break;
      case 3:
        record.color = ColorsForBits(depth);
        break;
      case 4:
        record.color = ColorsForBits(depth * 2);
        break;
      case 6:
        record.color = ColorsForBits(depth * 4);
        break;
      default:
        record.color = 0;
        break;
    }
  } else {
    uint64_t size = 0;
    if (!source.Size(&size)) return none;
    Window data(source, size, window);
    if (!ScanJpeg(data, &record)) return none;
  }
  record.loaded = true;
  return record;
}

}  // namespace tessary
