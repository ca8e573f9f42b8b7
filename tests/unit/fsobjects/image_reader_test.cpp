// The image header reader over bytes in memory and over sources that fail,
// shrink or are far larger than memory.
#include "fsobjects/image_reader.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "image_reference.h"

namespace tessary::testing {
namespace {

using Bytes = std::vector<uint8_t>;

void Put16Le(Bytes& b, size_t at, uint32_t v) {
  b[at] = static_cast<uint8_t>(v);
  b[at + 1] = static_cast<uint8_t>(v >> 8);
}
void Put32Le(Bytes& b, size_t at, uint32_t v) {
  Put16Le(b, at, v);
  Put16Le(b, at + 2, v >> 16);
}
void Put32Be(Bytes& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (24 - 8 * i));
}

Bytes Gif(uint16_t width, uint16_t height, uint8_t packed) {
  Bytes b = {'G', 'I', 'F', '8', '9', 'a', 0, 0, 0, 0, packed, 0, 0};
  Put16Le(b, 6, width);
  Put16Le(b, 8, height);
  return b;
}

Bytes Bmp(uint32_t width, uint32_t height, uint8_t bits) {
  Bytes b(54, 0);
  b[0] = 'B';
  b[1] = 'M';
  Put32Le(b, 18, width);
  Put32Le(b, 22, height);
  b[26] = 1;
  b[28] = bits;
  return b;
}

Bytes Png(uint32_t width, uint32_t height, uint8_t depth, uint8_t colour_type) {
  Bytes b = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n', 0, 0, 0, 13, 'I', 'H', 'D', 'R'};
  b.resize(33, 0);
  Put32Be(b, 16, width);
  Put32Be(b, 20, height);
  b[24] = depth;
  b[25] = colour_type;
  return b;
}

// SOI, an APP0 segment, optionally a long comment, then the frame header.
Bytes Jpeg(uint8_t frame_marker, uint16_t width, uint16_t height, uint8_t components,
           size_t comment = 0) {
  Bytes b = {0xFF, 0xD8, 0xFF, 0xE0, 0, 16, 'J', 'F', 'I', 'F', 0, 1, 1, 0, 0, 1, 0, 1, 0, 0};
  if (comment) {
    b.insert(b.end(), {0xFF, 0xFE, static_cast<uint8_t>((comment + 2) >> 8),
                       static_cast<uint8_t>(comment + 2)});
    b.insert(b.end(), comment, 0xFF);  // FF bytes inside a segment must be skipped over
  }
  b.insert(b.end(), {0xFF, frame_marker, 0, static_cast<uint8_t>(8 + 3 * components), 8,
                     static_cast<uint8_t>(height >> 8), static_cast<uint8_t>(height),
                     static_cast<uint8_t>(width >> 8), static_cast<uint8_t>(width), components});
  for (int i = 0; i < components; ++i) b.insert(b.end(), {static_cast<uint8_t>(i + 1), 0x11, 0});
  b.insert(b.end(), {0xFF, 0xD9});
  return b;
}

ImageInfo Read(const Bytes& b, uint32_t window = kImageWindowBytes) {
  MemoryImageSource source(b.data(), b.size());
  return ReadImageInfo(source, window);
}

void ExpectRecord(const ImageInfo& got, bool loaded, int32_t width, int32_t height, int32_t color,
                  const std::string& what) {
  EXPECT_EQ(loaded, got.loaded) << what;
  EXPECT_EQ(width, got.width) << what;
  EXPECT_EQ(height, got.height) << what;
  EXPECT_EQ(color, got.color) << what;
}

// Every window size, down to one byte, gives what the whole-buffer reading gives.
void ExpectAsWholeBuffer(const Bytes& b, const std::string& what) {
  const ImageInfo want = ReferenceImageInfo(b);
  for (uint32_t window : {1u, 2u, 3u, 5u, 8u, 13u, kImageWindowBytes}) {
    const ImageInfo got = Read(b, window);
    ASSERT_TRUE(want.loaded == got.loaded && want.width == got.width && want.height == got.height &&
                want.color == got.color)
        << what << ", window " << window << ": got " << got.loaded << " " << got.width << "x"
        << got.height << " " << got.color << ", want " << want.loaded << " " << want.width << "x"
        << want.height << " " << want.color;
  }
}

TEST(ImageReaderTest, HeaderFormatsFollowTheTable) {
  ExpectRecord(Read(Gif(320, 200, 0xF7)), true, 320, 200, 256, "256-colour GIF");
  ExpectRecord(Read(Gif(1, 2, 0x80)), true, 1, 2, 2, "two-colour GIF");
  ExpectRecord(Read(Bmp(640, 480, 8)), true, 640, 480, 256, "8-bit BMP");
  ExpectRecord(Read(Bmp(640, 480, 24)), true, 640, 480, 16777216, "24-bit BMP");
  ExpectRecord(Read(Bmp(0x12345, 0xFFFFFF9C, 32)), true, 0x2345, 0xFF9C, 0,
               "BMP: low 16 bits of each size; 2^32 colours keep no bits");
  ExpectRecord(Read(Bmp(1, 1, 31)), true, 1, 1, INT32_MIN, "2^31 kept in 32 bits");
  ExpectRecord(Read(Png(0x10203, 77, 8, 2)), true, 0x0203, 77, 16777216, "PNG truecolour");
  ExpectRecord(Read(Png(5, 6, 8, 6)), true, 5, 6, 0, "PNG truecolour with alpha: 32 bits");
  ExpectRecord(Read(Png(5, 6, 1, 0)), true, 5, 6, 2, "PNG greyscale");
  ExpectRecord(Read(Png(5, 6, 4, 3)), true, 5, 6, 16, "PNG palette");
  ExpectRecord(Read(Png(5, 6, 8, 4)), true, 5, 6, 65536, "PNG greyscale with alpha");
  ExpectRecord(Read(Png(5, 6, 8, 5)), true, 5, 6, 0, "PNG unknown colour type");
  ExpectRecord(Read(Png(5, 6, 16, 2)), true, 5, 6, 0, "PNG 48 bits");
}

TEST(ImageReaderTest, JpegFrameHeaders) {
  ExpectRecord(Read(Jpeg(0xC0, 640, 480, 1)), true, 640, 480, 256, "greyscale baseline");
  ExpectRecord(Read(Jpeg(0xC0, 640, 480, 3)), true, 640, 480, 16777216, "colour baseline");
  ExpectRecord(Read(Jpeg(0xC2, 33, 44, 3)), true, 33, 44, 16777216, "progressive (SOF2)");
  ExpectRecord(Read(Jpeg(0xC1, 33, 44, 4)), true, 33, 44, 0, "32 bits per pixel");
  ExpectRecord(Read(Jpeg(0xC5, 33, 44, 3)), true, 0, 0, 0, "SOF5 is not measured");
  ExpectRecord(Read(Jpeg(0xC0, 700, 500, 3, 30000)), true, 700, 500, 16777216,
               "after a long segment of FF bytes");

  // The signature may follow other bytes, but not a zero byte.
  Bytes late = Jpeg(0xC0, 9, 8, 1);
  late.insert(late.begin(), {'x', 0xFF, 0xD8, 'y'});
  ExpectRecord(Read(late), true, 9, 8, 256, "signature after other bytes");
  late.insert(late.begin(), 0);
  ExpectRecord(Read(late), false, 0, 0, 0, "signature after a zero byte");
  ExpectRecord(Read(Bytes(5000, 0xFF)), false, 0, 0, 0, "only FF bytes");
  ExpectRecord(Read(Bytes{'p', 'l', 'a', 'i', 'n', '\n'}), false, 0, 0, 0, "plain text");
  ExpectRecord(Read(Bytes{}), false, 0, 0, 0, "empty");
  Bytes signature_only = {0xFF, 0xD8, 0xFF};
  signature_only.resize(100, 0xFF);
  ExpectRecord(Read(signature_only), true, 0, 0, 0, "signature then FF to the end");
  ExpectRecord(Read(Bytes{0xFF, 0xD8, 0xFF, 0xE0, 0x7F, 0xFF, 0}), true, 0, 0, 0,
               "segment length past the end");
  Bytes cut = Jpeg(0xC0, 640, 480, 3);
  cut.resize(20 + 9);  // the frame header's component count is missing
  ExpectRecord(Read(cut), true, 0, 0, 0, "frame header past the end");
}

TEST(ImageReaderTest, TruncatedHeadersRecordNothingFromMissingBytes) {
  const std::pair<const char*, Bytes> images[] = {{"GIF", Gif(10, 20, 7)},
                                                  {"BMP", Bmp(10, 20, 8)},
                                                  {"PNG", Png(10, 20, 8, 2)},
                                                  {"JPEG", Jpeg(0xC0, 10, 20, 3)}};
  for (const auto& [name, whole] : images) {
    for (size_t length = 0; length < whole.size(); ++length) {
      const Bytes prefix(whole.begin(), whole.begin() + length);
      const std::string what = std::string(name) + " cut to " + std::to_string(length);
      ExpectAsWholeBuffer(prefix, what);
      const ImageInfo got = Read(prefix);
      if (!got.loaded) ExpectRecord(got, false, 0, 0, 0, what);
    }
  }
  // A header cut anywhere: the values of bytes never read are not recorded.
  Bytes gif = Gif(10, 20, 7);
  gif.resize(10);
  ExpectRecord(Read(gif), false, 0, 0, 0, "GIF without its flags byte");
  ExpectRecord(Read(Bytes{'B', 'M'}), false, 0, 0, 0, "BMP signature only");
}

TEST(ImageReaderTest, WindowedScanEqualsTheWholeBufferScan) {
  // Segment chains with zero lengths, lengths that jump past the end or onto
  // FF runs, frame headers across window edges, zeros after the signature,
  // then many deterministic mutations of each.
  std::vector<Bytes> seeds = {
      Jpeg(0xC0, 640, 480, 3),
      Jpeg(0xC2, 1, 2, 1, 300),
      Bytes{0xFF, 0xD8, 0xFF, 0xE0, 0,  0, 0xFF, 0xE1, 0, 0, 0,
            0,    0xFF, 0xC0, 0,    11, 8, 1,    2,    3, 4, 1},
      Bytes{'a', 0xFF, 0xFF, 0xD8, 0xFF, 0xFF, 0xFF, 0xC3, 0, 11, 8, 0, 7, 0, 9, 2},
      Bytes{0xFF, 0xD8, 0xFF, 0xDA, 0xFF, 0xFF, 0xC1, 0, 0, 0, 0, 0, 0, 0, 0},
      Gif(3, 4, 1),
      Bmp(3, 4, 16),
      Png(3, 4, 2, 6),
  };
  uint32_t state = 12345;
  auto next = [&state] { return state = state * 1103515245u + 12345u; };
  for (size_t s = 0; s < seeds.size(); ++s) {
    ExpectAsWholeBuffer(seeds[s], "seed " + std::to_string(s));
    for (int round = 0; round < 300; ++round) {
      Bytes b = seeds[s];
      const int edits = 1 + static_cast<int>(next() >> 16) % 4;
      for (int e = 0; e < edits && !b.empty(); ++e) {
        const size_t at = (next() >> 8) % b.size();
        static const uint8_t kInteresting[] = {0, 1, 0xFF, 0xD8, 0xC0, 0xC2, 0xC5, 0x80};
        b[at] = (next() & 1) ? kInteresting[(next() >> 4) % 8] : static_cast<uint8_t>(next() >> 16);
      }
      if (next() & 1) b.resize((next() >> 8) % (b.size() + 1));
      ExpectAsWholeBuffer(b, "seed " + std::to_string(s) + " round " + std::to_string(round));
    }
  }
}

// A JPEG of many gigabytes that exists only as a rule for its bytes: SOI,
// `segments` comment segments of the largest length, the frame header, then
// filler to the end. The reader must find the header reading little more
// than the windows at the segments it visits.
class HugeJpeg : public ImageSource {
 public:
  static constexpr uint64_t kSegment = 2 + 65535;
  HugeJpeg(uint64_t size, uint64_t segments) : size_(size), frame_(2 + segments * kSegment) {}

  bool ReadAt(uint64_t offset, uint8_t* buffer, uint32_t size, uint32_t* got) override {
    *got = 0;
    for (; *got < size && offset + *got < size_; ++*got) buffer[*got] = ByteAt(offset + *got);
    bytes_read += *got;
    return true;
  }
  bool Size(uint64_t* size) override {
    *size = size_;
    return true;
  }
  uint64_t bytes_read = 0;

 private:
  uint8_t ByteAt(uint64_t at) const {
    static const uint8_t kFrame[] = {0xFF, 0xC0, 0, 17, 8, 0x0B, 0xB8, 0x0F, 0xA0, 3};
    if (at < 2) return at == 0 ? 0xFF : 0xD8;
    if (at < frame_) {
      static const uint8_t kHead[] = {0xFF, 0xFE, 0xFF, 0xFF};
      const uint64_t in = (at - 2) % kSegment;
      return in < 4 ? kHead[in] : 'x';
    }
    if (at - frame_ < sizeof kFrame) return kFrame[at - frame_];
    return 'y';
  }
  uint64_t size_;
  uint64_t frame_;
};

TEST(ImageReaderTest, AHugeJpegIsWalkedNotRead) {
  const uint64_t kSize = uint64_t{6} << 30;  // beyond 4 GiB: no 32-bit size anywhere
  for (uint64_t segments : {0u, 100u}) {
    HugeJpeg jpeg(kSize, segments);
    ExpectRecord(ReadImageInfo(jpeg), true, 4000, 3000, 16777216,
                 std::to_string(segments) + " segments");
    EXPECT_LE(jpeg.bytes_read, (segments + 2) * kImageWindowBytes) << segments << " segments";
  }
}

// A source whose Nth read fails, or whose data shrank after its size was told.
class FailingSource : public MemoryImageSource {
 public:
  FailingSource(const Bytes& b, int fail_at, bool shrink)
      : MemoryImageSource(b.data(), b.size()), fail_at_(fail_at), shrink_(shrink) {}
  bool ReadAt(uint64_t offset, uint8_t* buffer, uint32_t size, uint32_t* got) override {
    if (++reads_ != fail_at_) return MemoryImageSource::ReadAt(offset, buffer, size, got);
    *got = 0;
    return shrink_;  // a shrunk file reads nothing where bytes were promised
  }
  bool Size(uint64_t* size) override { return MemoryImageSource::Size(size); }

 private:
  int reads_ = 0;
  int fail_at_;
  bool shrink_;
};

TEST(ImageReaderTest, AFailingOrShrinkingSourceLeavesTheRecordUnloaded) {
  const Bytes images[] = {Gif(1, 2, 3), Bmp(1, 2, 8), Png(1, 2, 8, 0), Jpeg(0xC0, 1, 2, 1, 40)};
  for (const Bytes& b : images) {
    for (bool shrink : {false, true}) {
      bool completed = false;
      for (int n = 1; !completed && n < 100; ++n) {
        FailingSource source(b, n, shrink);
        const ImageInfo got = ReadImageInfo(source, 8);
        completed = got.loaded;
        if (!got.loaded) ExpectRecord(got, false, 0, 0, 0, "read " + std::to_string(n) + " fails");
      }
      EXPECT_TRUE(completed);
    }
  }
}

}  // namespace
}  // namespace tessary::testing
