// The TextStream object: lines and characters of one file, as ANSI text
// (the system code page; UTF-8 on POSIX) or UTF-16LE after an FF FE mark.
//
// It does no file access of its own: a private BinaryStream opens, reads,
// writes, skips and closes, and reports every failure under its identity.
// What this class adds is the encoding, the mark, a look-ahead that lets
// AtEndOfLine peek, and the Line/Column counters.
//
// Text is taken from the file in requests of n characters: n bytes (ANSI)
// or 2n bytes (Unicode) per request, 128 characters at a time for lines.
// The requests, and so the at-end flag and the NUL cut, are those of that
// scheme; the inner stream's read-ahead only makes them cheap. Lines of
// plain ASCII are found in the inner stream's block itself, the requests
// made there in memory, so such a line costs one scan and one allocation.
//
// Where this differs from a literal code-page round trip, on purpose:
// - The look-ahead and the line search keep UTF-16 text, so a Unicode
//   stream hands back every character unchanged (a conversion through the
//   ANSI code page would turn characters outside it into '?'). Counters
//   count UTF-16 units, which is what they count for a single-byte code
//   page.
// - When the ANSI code page is UTF-8, a request whose bytes end inside a
//   character reads the one to three bytes that complete it, so a character
//   is never split in two replacement characters at a 128-byte boundary.
// - A format other than -1, 0 and -2 means ANSI, as does a stream never
//   opened. An unknown mode is refused before the -2 probe, so a failing
//   open creates no file.
// - A Unicode stream opened ForWriting moves past the two bytes of the mark
//   instead of reading them (a write-only handle cannot); on a file shorter
//   than that, and ForAppending on an empty file, the mark is written, so
//   the file reads back as Unicode.
// - Negative counts for Read, Skip and WriteBlankLines are refused with
//   E_INVALIDARG; a huge WriteBlankLines writes in 1 MiB pieces.
// - Line and Column stop at 2147483647 instead of overflowing.
// - Read(0) asks the file for nothing and so leaves AtEndOfStream as it was.
// - A closed stream (or one never opened) fails every read, skip and
//   AtEndOf* with the inner stream's invalid-handle error, look-ahead or
//   not; Line and Column still answer.
//
// Every member runs under the object's lock, which also covers the inner
// stream, so one TextStream may be shared by several threads; each call is
// whole (a line read by one thread is never split with another's). The one
// exception is an AtEndOfStream that a line read just answered (see
// more_ahead_): its "not yet" needs no lock.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "frame/com_object.h"

class BinaryStream;

class TextStream : public tessary::Object<TextStream, ITextStream, ITextStreamInit> {
 public:
  // No identity of its own: its failures are the inner BinaryStream's, and
  // its own argument checks report under that class too.
  static constexpr const CLSID* kErrorClass = nullptr;
  ~TextStream();
  HRESULT FinalConstruct();

  // ITextStreamInit
  HRESULT STDMETHODCALLTYPE Create(BSTR file_name, VARIANT_BOOL overwrite,
                                   VARIANT_BOOL unicode) override;
  HRESULT STDMETHODCALLTYPE Open(BSTR file_name, LONG mode, VARIANT_BOOL create,
                                 LONG format) override;

  // ITextStream
  HRESULT STDMETHODCALLTYPE get_Line(LONG* line) override;
  HRESULT STDMETHODCALLTYPE get_Column(LONG* column) override;
  HRESULT STDMETHODCALLTYPE get_AtEndOfStream(VARIANT_BOOL* end) override;
  HRESULT STDMETHODCALLTYPE get_AtEndOfLine(VARIANT_BOOL* end) override;
  HRESULT STDMETHODCALLTYPE Read(LONG characters, BSTR* text) override;
  HRESULT STDMETHODCALLTYPE ReadLine(BSTR* line) override;
  HRESULT STDMETHODCALLTYPE ReadAll(BSTR* text) override;
  HRESULT STDMETHODCALLTYPE Write(BSTR text) override;
  HRESULT STDMETHODCALLTYPE WriteLine(BSTR text) override;
  HRESULT STDMETHODCALLTYPE WriteBlankLines(LONG lines) override;
  HRESULT STDMETHODCALLTYPE Skip(LONG characters) override;
  HRESULT STDMETHODCALLTYPE SkipLine() override;
  HRESULT STDMETHODCALLTYPE Close() override;

 private:
  using Text = std::basic_string<OLECHAR>;

  // The look-ahead: characters taken from the file and not yet handed out.
  // Room is added at its end without being initialised first, and what was
  // handed out is dropped from its front, so reading lines moves each
  // character about once.
  class Pending {
   public:
    size_t size() const { return end_ - begin_; }
    bool empty() const { return begin_ == end_; }
    const OLECHAR* data() const { return buffer_.get() + begin_; }
    void Clear() { begin_ = end_ = 0; }
    void Consume(size_t n);
    // Room for n characters after the pending ones (throws bad_alloc);
    // Commit makes the first `used` of them pending.
    OLECHAR* Extend(size_t n);
    void Commit(size_t used) { end_ += used; }
    // Gives back the room a large request left, once nothing is pending.
    void Trim();

   private:
    std::unique_ptr<OLECHAR[]> buffer_;
    size_t capacity_ = 0;
    size_t begin_ = 0;
    size_t end_ = 0;
  };

  // Adds the characters of a request of n characters (n bytes ANSI, 2n
  // Unicode) to the look-ahead; on failure it is as it was.
  HRESULT TakeFromFile(uint64_t n);
  // Takes up to n characters: pending ones first, then the file.
  HRESULT Take(uint64_t n, Text* out);
  // One line without its terminator into `line` when it is not null;
  // Line += 1, Column = 1.
  HRESULT NextLine(BSTR* line);
  // Encodes the text (up to its first NUL) and, when it has no NUL, the
  // line break after it, and writes both in one write.
  HRESULT WriteText(BSTR text, bool line_break);
  void CountRead(const Text& text);
  // AtEndOfStream's answer for an open stream, under the lock.
  bool AtEnd() const;
  // Under the lock, on an open stream: records whether more is to come.
  void NoteMore() { more_ahead_.store(!AtEnd(), std::memory_order_release); }
  // Under the lock, first in every member that may close the stream or
  // take what is pending: AtEndOfStream no longer answers from the record.
  void Changing() { more_ahead_.store(false, std::memory_order_relaxed); }
  // ReadLine over the inner stream's read-ahead block, for ANSI text made
  // of whole 128-byte requests of ASCII without NUL: the same requests, made
  // in memory, the break taken from the scan's list and the line widened
  // straight into its BSTR. False, with nothing taken, where the general
  // path must run.
  bool FastLine(BSTR* line);
  // One pass over [from, to) (at most kScanSpan bytes from scan_base_)
  // that stops at the first byte that is a NUL or above ASCII and marks the
  // CRs before the stop in cr_bits_; returns the stop.
  const char* ScanPlain(const char* from, const char* to);
  // Moves the pending characters kept as bytes into the look-ahead; every
  // member that touches the look-ahead or the inner stream calls it first.
  void Settle();
  // After the general path: pending characters that equal the ASCII bytes
  // just before the inner stream's position are kept as those bytes, so the
  // next line can be found in the block.
  void KeepRaw();

  BinaryStream* inner_ = nullptr;
  bool unicode_ = false;
  // Whether the ANSI code page is UTF-8, where a character spans bytes.
  bool utf8_ = false;
  Pending ahead_;
  // Pending characters held as the bytes just before the inner stream's
  // position in its block (plain ASCII, one byte a character) instead of in
  // ahead_, which is then empty. The block keeps them until the next read,
  // skip or close of the inner stream, and Settle runs before any.
  size_t raw_ahead_ = 0;
  // The block's bytes before this (from the pending ones on) are known to
  // be plain ASCII without NUL; null once the block may have changed.
  const char* checked_end_ = nullptr;
  // One bit for each checked byte from scan_base_ on, set for a CR; valid
  // while checked_end_ is not null. A block is 64 KiB, so one scan covers it.
  static constexpr size_t kScanSpan = 64 * 1024;
  std::unique_ptr<uint64_t[]> cr_bits_;
  const char* scan_base_ = nullptr;
  // True only while the stream is open and AtEndOfStream would answer
  // false, so a loop of AtEndOfStream and ReadLine takes the lock once a
  // line: set under the lock after a line is read, cleared under the lock
  // before anything else happens to the stream. An answer read from it
  // while another thread reads the last line belongs before that read.
  std::atomic<bool> more_ahead_{false};
  LONG line_ = 1;
  LONG column_ = 1;
  bool last_read_cr_ = false;
  // Scratch kept between calls, so reading lines does not allocate.
  std::unique_ptr<char[]> scratch_;
  size_t scratch_size_ = 0;
  std::string bytes_;
  Text line_text_;
};
