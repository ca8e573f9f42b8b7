#include "streams/text_stream.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <new>
#include <stdexcept>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "frame/values.h"
#include "platform/system.h"
#include "streams/binary_stream.h"
#include "streams/streams.h"
#include "streams/text_codec.h"

namespace {

using tessary::text_codec::AppendAnsiBytes;
using tessary::text_codec::AppendUtf16Bytes;
using tessary::text_codec::DecodeAnsi;
using tessary::text_codec::DecodeUtf16;
using tessary::text_codec::MissingUtf8Bytes;

constexpr OLECHAR kCR = 13;
constexpr OLECHAR kLF = 10;
// Lines are taken from the file this many characters at a time.
constexpr uint64_t kLineChunk = 128;
// Requests up to this size are read into a buffer kept between calls.
constexpr uint64_t kSmallRequest = 64 * 1024;
// The look-ahead never keeps less room than this, so it is compacted
// rarely.
constexpr size_t kPendingRoom = 4096;
// Room beyond this, left by a large Read, is given back once it is empty.
constexpr size_t kLargeRoom = 1024 * 1024;
// The largest counter value; counting stops there.
constexpr int64_t kMaxCounter = 0x7FFFFFFF;
// WriteBlankLines writes larger counts in pieces of at most this size.
constexpr size_t kBlankPiece = 1024 * 1024;
constexpr unsigned char kMark[] = {0xFF, 0xFE};

template <class F>
HRESULT NoThrow(F body) {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  } catch (const std::length_error&) {
    return E_OUTOFMEMORY;
  }
}

// The stream's own argument checks report under the class it drives.
HRESULT Refuse(const char* text) {
  return tessary::ReportError(&CLSID_BinaryStream, text, E_INVALIDARG);
}

LONG Saturate(int64_t value) {
  return static_cast<LONG>(value > kMaxCounter ? kMaxCounter : value);
}

constexpr uint64_t kUnitOnes = 0x0001000100010001ull;
constexpr uint64_t kUnitHighs = 0x8000800080008000ull;
constexpr uint64_t kByteOnes = 0x0101010101010101ull;
constexpr uint64_t kByteHighs = 0x8080808080808080ull;

// The first c in s[0, n), or npos. Four code units at a time: a word holds
// c where (word ^ c-in-every-unit) has a zero unit, and the lowest flagged
// unit is always a true one, the first in memory on these little-endian
// targets.
size_t FindUnit(const OLECHAR* s, size_t n, OLECHAR c) {
  size_t i = 0;
#if defined(__SSE2__)
  // Sixteen units at a time where the processor compares eight at once.
  const __m128i wanted = _mm_set1_epi16(static_cast<short>(c));
  for (; i + 16 <= n; i += 16) {
    const __m128i low = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i));
    const __m128i high = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i + 8));
    const int mask = _mm_movemask_epi8(
        _mm_packs_epi16(_mm_cmpeq_epi16(low, wanted), _mm_cmpeq_epi16(high, wanted)));
    if (mask) return i + static_cast<size_t>(__builtin_ctz(static_cast<unsigned>(mask)));
  }
#endif
  const uint64_t pattern = kUnitOnes * c;
  for (; i + 4 <= n; i += 4) {
    uint64_t word;
    std::memcpy(&word, s + i, sizeof word);
    word ^= pattern;
    const uint64_t zero = (word - kUnitOnes) & ~word & kUnitHighs;
    if (zero) return i + static_cast<size_t>(__builtin_ctzll(zero)) / 16;
  }
  for (; i < n; ++i)
    if (s[i] == c) return i;
  return std::string::npos;
}

// The first CR that a LF follows within s[0, n), or npos.
size_t FindCrLf(const OLECHAR* s, size_t n) {
  size_t i = 0;
  while (i + 1 < n) {
    const size_t cr = FindUnit(s + i, n - 1 - i, kCR);
    if (cr == std::string::npos) break;
    i += cr;
    if (s[i + 1] == kLF) return i;
    ++i;
  }
  return std::string::npos;
}

// Whether the bytes hold neither a NUL nor a byte above ASCII, eight at a
// time.
bool PlainAscii(const char* bytes, size_t n) {
  size_t i = 0;
#if defined(__SSE2__)
  const __m128i zero = _mm_setzero_si128();
  for (; i + 16 <= n; i += 16) {
    const __m128i piece = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + i));
    if (_mm_movemask_epi8(_mm_or_si128(piece, _mm_cmpeq_epi8(piece, zero)))) return false;
  }
#endif
  for (; i + 8 <= n; i += 8) {
    uint64_t word;
    std::memcpy(&word, bytes + i, sizeof word);
    if ((word & kByteHighs) || ((word - kByteOnes) & ~word & kByteHighs)) return false;
  }
  for (; i < n; ++i) {
    const unsigned char b = static_cast<unsigned char>(bytes[i]);
    if (b == 0 || b >= 0x80) return false;
  }
  return true;
}

// n ASCII bytes into n code units elsewhere.
inline void WidenInto(const char* bytes, size_t n, OLECHAR* out) {
  size_t i = 0;
#if defined(__SSE2__)
  const __m128i zero = _mm_setzero_si128();
  const auto widen16 = [&](size_t at) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + at));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + at), _mm_unpacklo_epi8(v, zero));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + at + 8), _mm_unpackhi_epi8(v, zero));
  };
  if (n >= 16) {
    for (; i + 16 <= n; i += 16) widen16(i);
    // The last sixteen again, overlapping what is done, instead of a
    // character at a time.
    if (i < n) widen16(n - 16);
    return;
  }
#endif
  for (; i < n; ++i) out[i] = static_cast<unsigned char>(bytes[i]);
}

// Widens n ASCII bytes that start at `units` into n code units there,
// from the end backwards: each piece written lies above the bytes not read
// yet, so the text is converted where it was read.
void WidenInPlace(OLECHAR* units, size_t n) {
  const char* bytes = reinterpret_cast<const char*>(units);
  size_t k = n;
  for (; k >= 8; k -= 8) {
    unsigned char piece[8];
    std::memcpy(piece, bytes + k - 8, sizeof piece);
    OLECHAR wide[8];
    for (int j = 0; j < 8; ++j) wide[j] = piece[j];
    std::memcpy(units + k - 8, wide, sizeof wide);
  }
  while (k > 0) {
    --k;
    units[k] = static_cast<unsigned char>(bytes[k]);
  }
}

// A BSTR for a result; the empty text is a null BSTR, as everywhere else.
HRESULT Return(const OLECHAR* text, size_t n, BSTR* out) {
  *out = nullptr;
  if (n == 0) return S_OK;
  if (n > UINT_MAX / 2) return E_OUTOFMEMORY;
  *out = SysAllocStringLen(text, static_cast<UINT>(n));
  return *out ? S_OK : E_OUTOFMEMORY;
}

}  // namespace

TextStream::~TextStream() {
  if (inner_) inner_->Release();
}

HRESULT TextStream::FinalConstruct() {
  utf8_ = GetACP() == CP_UTF8;
  return tessary::CreateObject(&inner_);
}

HRESULT TextStream::Create(BSTR file_name, VARIANT_BOOL overwrite, VARIANT_BOOL unicode) {
  auto hold = Lock();
  Changing();
  HRESULT hr = NoThrow([&] { return Settle(), S_OK; });
  if (FAILED(hr)) return hr;
  hr = inner_->Create(file_name, overwrite);
  if (FAILED(hr)) return hr;
  const bool wide = tessary::FromVariantBool(unicode);
  if (wide) {
    hr = inner_->WriteBytes(kMark, sizeof kMark);
    if (FAILED(hr)) return hr;
  }
  unicode_ = wide;
  return S_OK;
}

HRESULT TextStream::Open(BSTR file_name, LONG mode, VARIANT_BOOL create, LONG format) {
  auto hold = Lock();
  Changing();
  HRESULT hr = NoThrow([&] { return Settle(), S_OK; });
  if (FAILED(hr)) return hr;
  // A mode the open refuses anyway is refused before the format probe
  // below could create the file.
  hr = inner_->CheckMode(mode);
  if (FAILED(hr)) return hr;
  bool wide = format == TristateTrue;
  if (format == TristateUseDefault) {
    hr = inner_->Open(file_name, ForReading, create);
    if (FAILED(hr)) return hr;
    std::string mark;
    hr = NoThrow([&] { return inner_->ReadBytes(2, &mark); });
    if (FAILED(hr)) return hr;
    inner_->Close();
    wide = mark.size() == 2 && static_cast<unsigned char>(mark[0]) == kMark[0] &&
           static_cast<unsigned char>(mark[1]) == kMark[1];
  }
  hr = inner_->Open(file_name, mode, create);
  if (FAILED(hr)) return hr;
  unicode_ = wide;
  if (!wide) return S_OK;
  if (mode == ForReading) {
    std::string mark;
    return NoThrow([&] { return inner_->ReadBytes(2, &mark); });
  }
  uint64_t size = 0;
  hr = inner_->FileSize(&size);
  if (FAILED(hr)) return hr;
  if (mode == ForWriting) {
    // The mark stays; text goes after it. A file too short to hold one
    // gets it, so what is written reads back as Unicode.
    return size >= sizeof kMark ? inner_->SkipBytes(sizeof kMark)
                                : inner_->WriteBytes(kMark, sizeof kMark);
  }
  return size == 0 ? inner_->WriteBytes(kMark, sizeof kMark) : S_OK;
}

void TextStream::Pending::Consume(size_t n) {
  begin_ += n;
  if (begin_ >= end_) begin_ = end_ = 0;
}

void TextStream::Pending::Trim() {
  if (empty() && capacity_ > kLargeRoom) {
    buffer_.reset();
    capacity_ = 0;
  }
}

OLECHAR* TextStream::Pending::Extend(size_t n) {
  if (capacity_ - end_ >= n) return buffer_.get() + end_;
  const size_t pending = size();
  if (capacity_ - pending >= n) {
    std::memmove(buffer_.get(), buffer_.get() + begin_, pending * sizeof(OLECHAR));
  } else {
    const size_t capacity = std::max({pending + n, 2 * capacity_, kPendingRoom});
    std::unique_ptr<OLECHAR[]> larger(new OLECHAR[capacity]);
    if (pending > 0) std::memcpy(larger.get(), buffer_.get() + begin_, pending * sizeof(OLECHAR));
    buffer_ = std::move(larger);
    capacity_ = capacity;
  }
  begin_ = 0;
  end_ = pending;
  return buffer_.get() + end_;
}

HRESULT TextStream::TakeFromFile(uint64_t n) {
  const uint64_t want = unicode_ ? 2 * n : n;
  HRESULT hr;
  if (want <= kSmallRequest) {
    // Room first, so a read that succeeds is never lost to memory. The
    // bytes are read into the look-ahead's own room and converted there.
    const size_t room = static_cast<size_t>(want) + 3;
    OLECHAR* out = ahead_.Extend(room);
    char* bytes = reinterpret_cast<char*>(out);
    size_t got = 0;
    hr = inner_->ReadInto(bytes, static_cast<size_t>(want), &got);
    if (FAILED(hr)) return hr;
    if (unicode_) {
      ahead_.Commit(DecodeUtf16(bytes, got, out));
      return S_OK;
    }
    // A character cut at the end is completed, unless a NUL ended the text
    // before it anyway.
    const size_t missing = utf8_ ? MissingUtf8Bytes(bytes, got) : 0;
    if (missing > 0 && !std::memchr(bytes, 0, got)) {
      size_t more = 0;
      hr = inner_->ReadInto(bytes + got, missing, &more, false);
      if (FAILED(hr)) return hr;
      got += more;
    }
    if (PlainAscii(bytes, got)) {
      WidenInPlace(out, got);
      ahead_.Commit(got);
      return S_OK;
    }
    // Other text goes through the code page, which wants its own input.
    if (scratch_size_ < got) {
      scratch_.reset(new char[room]);
      scratch_size_ = room;
    }
    std::memcpy(scratch_.get(), bytes, got);
    ahead_.Commit(DecodeAnsi(scratch_.get(), got, out));
    return S_OK;
  }
  // A large request: the buffer grows as data arrives.
  bytes_.clear();
  hr = inner_->ReadBytes(want, &bytes_);
  if (FAILED(hr)) return hr;
  if (!unicode_ && utf8_) {
    const size_t missing = MissingUtf8Bytes(bytes_.data(), bytes_.size());
    if (missing > 0 && bytes_.find('\0') == std::string::npos) {
      hr = inner_->ReadMore(missing, &bytes_);
      if (FAILED(hr)) return hr;
    }
  }
  OLECHAR* out = ahead_.Extend(bytes_.size());
  ahead_.Commit(unicode_ ? DecodeUtf16(bytes_.data(), bytes_.size(), out)
                         : DecodeAnsi(bytes_.data(), bytes_.size(), out));
  std::string().swap(bytes_);  // a large request's memory is not kept
  return S_OK;
}

HRESULT TextStream::Take(uint64_t n, Text* out) {
  // Pending characters first; the file gives the rest of the request. A
  // request for none has nothing to ask the file for.
  if (ahead_.size() < n) {
    HRESULT hr = TakeFromFile(n - ahead_.size());
    if (FAILED(hr)) return hr;
  }
  const size_t taken = static_cast<size_t>(std::min<uint64_t>(n, ahead_.size()));
  out->append(ahead_.data(), taken);
  ahead_.Consume(taken);
  ahead_.Trim();
  return S_OK;
}

HRESULT TextStream::NextLine(BSTR* line) {
  line_text_.clear();
  BSTR result = nullptr;
  bool have_result = false;
  for (;;) {
    // Take 128 characters: they are the first 128 of the look-ahead.
    if (ahead_.size() < kLineChunk) {
      HRESULT hr = TakeFromFile(kLineChunk - ahead_.size());
      if (FAILED(hr)) return hr;
    }
    const size_t length = std::min<size_t>(ahead_.size(), kLineChunk);
    if (length == 0) break;  // the end of the file
    const OLECHAR* chunk = ahead_.data();
    size_t end;
    size_t rest;
    if (!line_text_.empty() && line_text_.back() == kCR && chunk[0] == kLF) {
      // The pair straddles two requests.
      line_text_.pop_back();
      end = 0;
      rest = 1;
    } else {
      const size_t at = FindCrLf(chunk, length);
      if (at == std::string::npos) {
        line_text_.append(chunk, length);
        ahead_.Consume(length);
        continue;
      }
      end = at;
      rest = at + 2;
    }
    if (line && line_text_.empty()) {
      // The whole line lies in this request.
      HRESULT hr = Return(chunk, end, &result);
      if (FAILED(hr)) return hr;
      have_result = true;
    } else {
      line_text_.append(chunk, end);
    }
    // What follows the terminator is the new look-ahead.
    ahead_.Consume(rest);
    break;
  }
  if (line && !have_result) {
    HRESULT hr = Return(line_text_.data(), line_text_.size(), &result);
    if (FAILED(hr)) return hr;
  }
  line_ = Saturate(static_cast<int64_t>(line_) + 1);
  column_ = 1;
  if (line) *line = result;
  return S_OK;
}

void TextStream::Settle() {
  // The inner stream may read into its block next.
  checked_end_ = nullptr;
  if (raw_ahead_ == 0) return;
  const char* bytes = inner_->BytesBehind(raw_ahead_);
  OLECHAR* out = ahead_.Extend(raw_ahead_);
  WidenInto(bytes, raw_ahead_, out);
  ahead_.Commit(raw_ahead_);
  raw_ahead_ = 0;
}

void TextStream::KeepRaw() {
  const size_t pending = ahead_.size();
  if (unicode_ || raw_ahead_ > 0 || pending == 0 || pending >= kLineChunk) return;
  const char* bytes = inner_->BytesBehind(pending);
  if (!bytes) return;
  // Equal values are all the next line needs: where they came from (a NUL
  // cut, a completed character) does not matter.
  const OLECHAR* chars = ahead_.data();
  for (size_t i = 0; i < pending; ++i) {
    if (chars[i] == 0 || chars[i] >= 0x80 || chars[i] != static_cast<unsigned char>(bytes[i]))
      return;
  }
  raw_ahead_ = pending;
  ahead_.Clear();
}

const char* TextStream::ScanPlain(const char* from, const char* to) {
  const size_t offset = static_cast<size_t>(from - scan_base_);
  // Only a scan that stopped at a byte that is not plain, or at the end,
  // leaves a position inside a word, and neither goes further.
  if (offset % 64 != 0) return from;
  if (static_cast<size_t>(to - scan_base_) > kScanSpan) to = scan_base_ + kScanSpan;
  uint64_t* word = cr_bits_.get() + offset / 64;
#if defined(__SSE2__)
  // Sixty-four bytes a step without a branch on what they hold, but one
  // that is almost never taken: a byte that is not plain.
  const __m128i zero = _mm_setzero_si128();
  const __m128i cr = _mm_set1_epi8(static_cast<char>(kCR));
  for (; to - from >= 64; from += 64, ++word) {
    const __m128i v0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from));
    const __m128i v1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from + 16));
    const __m128i v2 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from + 32));
    const __m128i v3 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from + 48));
    const __m128i odd = _mm_or_si128(_mm_or_si128(_mm_or_si128(v0, _mm_cmpeq_epi8(v0, zero)),
                                                  _mm_or_si128(v1, _mm_cmpeq_epi8(v1, zero))),
                                     _mm_or_si128(_mm_or_si128(v2, _mm_cmpeq_epi8(v2, zero)),
                                                  _mm_or_si128(v3, _mm_cmpeq_epi8(v3, zero))));
    if (_mm_movemask_epi8(odd)) break;
    const auto crs = [&](__m128i v) {
      return static_cast<uint64_t>(static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, cr))));
    };
    *word = crs(v0) | crs(v1) << 16 | crs(v2) << 32 | crs(v3) << 48;
  }
#endif
  // The rest, and the step holding a byte that is not plain: one at a time.
  for (;; ++word) {
    uint64_t bits = 0;
    const char* at = from;
    for (; at < to && at - from < 64; ++at) {
      const unsigned char b = static_cast<unsigned char>(*at);
      if (b == 0 || b >= 0x80) break;
      if (b == kCR) bits |= uint64_t{1} << (at - from);
    }
    if (at < to || at > from) *word = bits;
    if (at - from < 64) return at;
    from = at;
  }
}

__attribute__((always_inline)) inline bool TextStream::FastLine(BSTR* line) {
  if (unicode_ || !ahead_.empty()) return false;
  size_t held = 0;
  // The pending bytes and then the block: the first request is what tops
  // them up to 128, each further one 128, all served from the block.
  const char* bytes = inner_->HeldBytes(raw_ahead_, &held);
  if (!bytes) return false;
  const char* const stop = bytes + raw_ahead_ + held;
  // One scan of what the block holds, from the first pending byte (plain
  // already, but it may be a lone CR).
  if (!checked_end_ || checked_end_ < bytes) {
    if (!cr_bits_) {
      cr_bits_.reset(new (std::nothrow) uint64_t[kScanSpan / 64]);
      if (!cr_bits_) return false;
    }
    scan_base_ = bytes;
    checked_end_ = ScanPlain(bytes, stop);
  }
  // The first CR LF in the bytes is the one the requests find, wherever
  // their ends fall, as long as every request up to the one holding the LF
  // is plain ASCII (else a NUL cut or the code page decides); the scan
  // marked the CRs of the plain bytes.
  const size_t checked = static_cast<size_t>(checked_end_ - scan_base_);
  size_t from = static_cast<size_t>(bytes - scan_base_);
  const char* cr;
  for (;;) {
    if (from >= checked) return false;
    size_t w = from / 64;
    uint64_t marks = cr_bits_[w] & (~uint64_t{0} << (from % 64));
    const size_t last = (checked - 1) / 64;
    while (!marks) {
      if (w == last) return false;
      marks = cr_bits_[++w];
    }
    const size_t found = w * 64 + static_cast<size_t>(__builtin_ctzll(marks));
    cr = scan_base_ + found;
    if (cr + 1 >= stop) return false;  // what follows is not read yet
    if (cr[1] == kLF) break;
    from = found + 1;
  }
  const size_t n = static_cast<size_t>(stop - bytes);
  const size_t at = static_cast<size_t>(cr - bytes);
  constexpr size_t kChunk = static_cast<size_t>(kLineChunk);
  const size_t end = (at + 1) / kChunk * kChunk + kChunk;
  // The request holding the LF must be held, and plain to its end.
  if (end > n || bytes + end > checked_end_) return false;
  BSTR result = nullptr;
  if (line && at > 0) {
    result = SysAllocStringLen(nullptr, static_cast<UINT>(at));
    if (!result) return false;  // the general path reports it
    WidenInto(bytes, at, result);
  }
  inner_->TakeHeld(end - raw_ahead_);
  raw_ahead_ = end - (at + 2);
  line_ = Saturate(static_cast<int64_t>(line_) + 1);
  column_ = 1;
  if (line) *line = result;
  return true;
}

bool TextStream::AtEnd() const { return inner_->at_end() && ahead_.empty() && raw_ahead_ == 0; }

void TextStream::CountRead(const Text& text) {
  int64_t line = line_;
  int64_t column = column_;
  if (!text.empty() && text[0] == kLF && last_read_cr_) {
    ++line;
    column = 1;
  }
  size_t last = std::string::npos;
  for (size_t i = 0; i + 1 < text.size(); ++i) {
    if (text[i] == kCR && text[i + 1] == kLF) {
      ++line;
      last = i++;
    }
  }
  if (last == std::string::npos) {
    column += static_cast<int64_t>(text.size());
  } else {
    column = 1 + static_cast<int64_t>(text.size() - (last + 2));
  }
  line_ = Saturate(line);
  column_ = Saturate(column);
  last_read_cr_ = !text.empty() && text.back() == kCR;
}

HRESULT TextStream::get_Line(LONG* line) {
  if (!line) return E_POINTER;
  auto hold = Lock();
  *line = line_;
  return S_OK;
}

HRESULT TextStream::get_Column(LONG* column) {
  if (!column) return E_POINTER;
  auto hold = Lock();
  *column = column_;
  return S_OK;
}

HRESULT TextStream::get_AtEndOfStream(VARIANT_BOOL* end) {
  if (!end) return E_POINTER;
  // A line reader that left the stream open with more to come said so.
  if (more_ahead_.load(std::memory_order_acquire)) {
    *end = VARIANT_FALSE;
    return S_OK;
  }
  auto hold = Lock();
  HRESULT hr = inner_->CheckOpen();
  if (FAILED(hr)) return hr;
  *end = tessary::ToVariantBool(AtEnd());
  NoteMore();
  return S_OK;
}

HRESULT TextStream::get_AtEndOfLine(VARIANT_BOOL* end) {
  if (!end) return E_POINTER;
  auto hold = Lock();
  Changing();
  HRESULT hr = inner_->CheckOpen();
  if (FAILED(hr)) return hr;
  return NoThrow([&] {
    Settle();
    // Taking two characters and putting them back in front of the rest is
    // looking at the first two of the look-ahead, filled up from the file.
    // A failed read is not reported: the answer reflects what is there.
    const bool had_pending = !ahead_.empty();
    if (ahead_.size() < 2) (void)TakeFromFile(2 - ahead_.size());
    if (!had_pending && ahead_.empty()) {
      *end = VARIANT_TRUE;  // nothing came back: the end of the file
    } else {
      const OLECHAR* next = ahead_.data();
      *end = tessary::ToVariantBool(ahead_.size() >= 2 && next[0] == kCR && next[1] == kLF);
    }
    return S_OK;
  });
}

HRESULT TextStream::Read(LONG characters, BSTR* text) {
  if (!text) return E_POINTER;
  *text = nullptr;
  auto hold = Lock();
  Changing();
  HRESULT hr = inner_->CheckOpen();
  if (FAILED(hr)) return hr;
  if (characters < 0) return Refuse("The number of characters must not be negative.");
  return NoThrow([&] {
    Settle();
    Text taken;
    HRESULT hr = Take(static_cast<uint64_t>(characters), &taken);
    if (FAILED(hr)) return hr;
    hr = Return(taken.data(), taken.size(), text);
    if (FAILED(hr)) return hr;
    CountRead(taken);
    return S_OK;
  });
}

HRESULT TextStream::ReadLine(BSTR* line) {
  if (!line) return E_POINTER;
  *line = nullptr;
  auto hold = Lock();
  HRESULT hr = inner_->CheckOpen();
  if (FAILED(hr)) return hr;  // a stream that is not open has nothing ahead
  // A line found in the block is the straight path: an AtEndOfStream that
  // answers from the record meanwhile answers for before this line.
  if (FastLine(line)) return NoteMore(), S_OK;
  Changing();
  return NoThrow([&] {
    Settle();
    HRESULT hr = NextLine(line);
    KeepRaw();
    NoteMore();
    return hr;
  });
}

HRESULT TextStream::ReadAll(BSTR* text) {
  if (!text) return E_POINTER;
  *text = nullptr;
  auto hold = Lock();
  Changing();
  HRESULT hr = inner_->CheckOpen();
  if (FAILED(hr)) return hr;
  return NoThrow([&] {
    Settle();
    Text all;
    do {
      HRESULT hr = Take(kLineChunk, &all);
      if (FAILED(hr)) return hr;
    } while (!(inner_->at_end() && ahead_.empty()));
    return Return(all.data(), all.size(), text);
  });
}

HRESULT TextStream::WriteText(BSTR text, bool line_break) {
  auto hold = Lock();
  Changing();
  return NoThrow([&] {
    Settle();
    const size_t length = SysStringLen(text);
    size_t cut = 0;
    while (cut < length && text[cut] != 0) ++cut;
    // A NUL ends what is written, the line break after it included.
    if (cut < length) line_break = false;
    bytes_.clear();
    if (unicode_) {
      AppendUtf16Bytes(text, cut, &bytes_);
      if (line_break) bytes_.append("\r\0\n\0", 4);
    } else {
      AppendAnsiBytes(text, cut, &bytes_);
      if (line_break) bytes_.append("\r\n", 2);
    }
    return inner_->WriteBytes(bytes_.data(), bytes_.size());
  });
}

HRESULT TextStream::Write(BSTR text) { return WriteText(text, false); }

HRESULT TextStream::WriteLine(BSTR text) { return WriteText(text, true); }

HRESULT TextStream::WriteBlankLines(LONG lines) {
  if (lines < 0) return Refuse("The number of lines must not be negative.");
  auto hold = Lock();
  Changing();
  return NoThrow([&] {
    Settle();
    const char* pattern = unicode_ ? "\r\0\n\0" : "\r\n";
    const size_t per_line = unicode_ ? 4 : 2;
    const uint64_t total = static_cast<uint64_t>(lines) * per_line;
    const size_t piece = static_cast<size_t>(std::min<uint64_t>(total, kBlankPiece));
    bytes_.clear();
    while (bytes_.size() < piece) bytes_.append(pattern, per_line);
    // No lines is still one (empty) write, so a closed or read-only stream
    // fails as it does for any other write.
    uint64_t left = total;
    do {
      const size_t now = static_cast<size_t>(std::min<uint64_t>(left, piece));
      HRESULT hr = inner_->WriteBytes(bytes_.data(), now);
      if (FAILED(hr)) return hr;
      left -= now;
    } while (left > 0);
    return S_OK;
  });
}

HRESULT TextStream::Skip(LONG characters) {
  auto hold = Lock();
  Changing();
  HRESULT hr = inner_->CheckOpen();
  if (FAILED(hr)) return hr;
  if (characters < 0) return Refuse("The number of characters must not be negative.");
  hr = NoThrow([&] { return Settle(), S_OK; });
  if (FAILED(hr)) return hr;
  return inner_->SkipBytes(unicode_ ? 2 * static_cast<int64_t>(characters) : characters);
}

HRESULT TextStream::SkipLine() {
  auto hold = Lock();
  Changing();
  HRESULT hr = inner_->CheckOpen();
  if (FAILED(hr)) return hr;
  if (FastLine(nullptr)) return NoteMore(), S_OK;
  return NoThrow([&] {
    Settle();
    HRESULT hr = NextLine(nullptr);
    KeepRaw();
    NoteMore();
    return hr;
  });
}

// What was taken from the file and not handed out goes with it: a closed
// stream has nothing left to read.
HRESULT TextStream::Close() {
  auto hold = Lock();
  Changing();
  raw_ahead_ = 0;
  checked_end_ = nullptr;
  ahead_.Clear();
  ahead_.Trim();
  return inner_->Close();
}

TESSARY_CREATABLE(TextStream)

namespace tessary {

HRESULT NewTextStreamCreate(BSTR file, VARIANT_BOOL overwrite, VARIANT_BOOL unicode,
                            ITextStream** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  TextStream* stream = nullptr;
  HRESULT hr = CreateObject(&stream);
  if (FAILED(hr)) return hr;
  hr = static_cast<ITextStreamInit*>(stream)->Create(file, overwrite, unicode);
  if (FAILED(hr)) {
    stream->Release();
    return hr;
  }
  return HandOut(stream, out);
}

HRESULT NewTextStreamOpen(BSTR file, LONG mode, VARIANT_BOOL create, LONG format,
                          ITextStream** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  TextStream* stream = nullptr;
  HRESULT hr = CreateObject(&stream);
  if (FAILED(hr)) return hr;
  hr = static_cast<ITextStreamInit*>(stream)->Open(file, mode, create, format);
  if (FAILED(hr)) {
    stream->Release();
    return hr;
  }
  return HandOut(stream, out);
}

HRESULT NewTextStreamCreate(const std::string& ansi_file, VARIANT_BOOL overwrite,
                            VARIANT_BOOL unicode, ITextStream** out) {
  Bstr file;
  HRESULT hr = file.FromAnsi(ansi_file);
  if (FAILED(hr)) return hr;
  return NewTextStreamCreate(file.get(), overwrite, unicode, out);
}

HRESULT NewTextStreamOpen(const std::string& ansi_file, LONG mode, VARIANT_BOOL create, LONG format,
                          ITextStream** out) {
  Bstr file;
  HRESULT hr = file.FromAnsi(ansi_file);
  if (FAILED(hr)) return hr;
  return NewTextStreamOpen(file.get(), mode, create, format, out);
}

}  // namespace tessary
