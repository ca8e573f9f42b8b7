// Arbitrary bytes into the image header reader, as a file would hold them:
// the record must be what the whole-buffer reading of the same bytes gives,
// with the default window and with small windows that put window edges
// inside every field, and no read may leave the data.
//
// The reader is compiled into this target rather than taken from the module,
// so that libFuzzer's coverage and the sanitizers see inside it.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "fsobjects/image_reader.cpp"
#include "tests/unit/fsobjects/image_reference.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // A copy of exactly the input's size, so a read past it is caught.
  const std::vector<uint8_t> bytes(data, data + size);
  const tessary::ImageInfo want = tessary::testing::ReferenceImageInfo(bytes);
  for (uint32_t window : {tessary::kImageWindowBytes, 1u, 7u}) {
    tessary::MemoryImageSource source(bytes.data(), bytes.size());
    const tessary::ImageInfo got = tessary::ReadImageInfo(source, window);
    if (got.loaded != want.loaded || got.width != want.width || got.height != want.height ||
        got.color != want.color)
      abort();
    if (!got.loaded && (got.width || got.height || got.color)) abort();
  }
  return 0;
}
