// The image reader as its description reads, over the whole data in one
// buffer: the yardstick for the windowed reader in the tests and the fuzzer.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

#include "fsobjects/image_reader.h"

namespace tessary::testing {

inline ImageInfo ReferenceImageInfo(const std::vector<uint8_t>& d) {
  ImageInfo r;
  const size_t n = d.size();
  if (n == 0) return r;
  auto le16 = [&](size_t i) { return static_cast<int32_t>(d[i] | d[i + 1] << 8); };
  auto be16 = [&](size_t i) { return static_cast<int32_t>(d[i] << 8 | d[i + 1]); };
  uint8_t head[4] = {0};
  memcpy(head, d.data(), n < 4 ? n : 4);
  if (memcmp(head, "GIF8", 4) == 0) {
    if (n < 11) return ImageInfo();
    r.width = le16(6);
    r.height = le16(8);
    r.color = ColorsForBits((d[10] & 7u) + 1);
  } else if (head[0] == 'B' && head[1] == 'M') {
    if (n < 29) return ImageInfo();
    r.width = le16(18);
    r.height = le16(22);
    r.color = ColorsForBits(d[28]);
  } else if (memcmp(head, "\x89PNG", 4) == 0) {
    if (n < 26) return ImageInfo();
    r.width = be16(18);
    r.height = be16(22);
    static const int kFactor[7] = {1, 0, 3, 1, 2, 0, 4};
    r.color = d[25] <= 6 && kFactor[d[25]] ? ColorsForBits(d[24] * kFactor[d[25]]) : 0;
  } else {
    size_t text = 0;  // the data as a zero-terminated text
    while (text < n && d[text] != 0) ++text;
    size_t sig = 0;
    while (sig + 3 <= text && !(d[sig] == 0xFF && d[sig + 1] == 0xD8 && d[sig + 2] == 0xFF)) ++sig;
    if (sig + 3 > text) return ImageInfo();
    size_t pos = sig + 2;
    while (pos < n) {
      while (pos < n && d[pos] == 0xFF) ++pos;
      if (pos >= n) break;
      if (d[pos] >= 0xC0 && d[pos] <= 0xC3) {
        if (pos + 8 >= n) break;
        r.height = be16(pos + 4);
        r.width = be16(pos + 6);
        r.color = ColorsForBits(8u * d[pos + 8]);
        break;
      }
      if (pos + 2 >= n) break;
      pos += static_cast<size_t>(be16(pos + 1)) + 1;
    }
  }
  r.loaded = true;
  return r;
}

}  // namespace tessary::testing
