// The image header reader behind File.ImageWidth, ImageHeight and ImageColor:
// GIF, BMP and PNG are told by their first bytes and read from a fixed
// header; anything else is searched for a JPEG frame header.
//
// The reader sees its data only through ImageSource, so the same code runs
// over a file (the File object) and over bytes in memory (tests, fuzzing),
// and it never needs more memory than one window, whatever the data's size.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tessary {

// Where the reader's bytes come from.
class ImageSource {
 public:
  virtual ~ImageSource() = default;
  // Reads up to `size` bytes at `offset` into `buffer`; `*got` is what
  // arrived, fewer than asked only at the end of the data. False when the
  // read itself fails.
  virtual bool ReadAt(uint64_t offset, uint8_t* buffer, uint32_t size, uint32_t* got) = 0;
  // The data's size in bytes; false when it cannot be told.
  virtual bool Size(uint64_t* size) = 0;
};

// Bytes in memory, for tests and the fuzzer.
class MemoryImageSource : public ImageSource {
 public:
  MemoryImageSource(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  bool ReadAt(uint64_t offset, uint8_t* buffer, uint32_t size, uint32_t* got) override;
  bool Size(uint64_t* size) override;

 private:
  const uint8_t* data_;
  size_t size_;
};

// The File object's image record. Colour is 2 to the power of the bits per
// pixel, kept in 32 bits (so 2^32 and above is 0).
struct ImageInfo {
  bool loaded = false;
  int32_t width = 0;
  int32_t height = 0;
  int32_t color = 0;
};

// What the JPEG scan holds of the data at a time. The data is walked from
// segment to segment, so a large file costs only the windows at the
// segments visited.
constexpr uint32_t kImageWindowBytes = 16 * 1024;

// Reads the header of the image in `source`. A failed read, a file that
// ends inside a GIF, BMP or PNG header, an empty file and a file that is
// none of the four formats all give an unloaded, zero record, so that the
// next caller tries again. A JPEG signature without a frame header gives a
// loaded record of zeros. `window` is the JPEG window size; tests pass tiny
// ones to cross window edges everywhere.
ImageInfo ReadImageInfo(ImageSource& source, uint32_t window = kImageWindowBytes);

// The colour count for a number of bits per pixel, as the record keeps it.
int32_t ColorsForBits(uint32_t bits);

}  // namespace tessary
