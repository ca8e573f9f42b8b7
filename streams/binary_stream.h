// The BinaryStream object: byte access to one open file, and the file layer
// under every TextStream.
//
// Every member behaves as one system call on the file would: one read of the
// requested size, one write of the whole array, one move of the pointer.
// Where that is invisible to callers the stream saves calls:
// - A handle opened ForReading on a disk file reads ahead in blocks. Reads
//   are served from the block exactly as the system would have served them
//   (same bytes, same short count at the end of the file, a read past the
//   block's end goes to the file again, so data appended meanwhile is seen).
//   A write through any stream object of this module to the same file, or a
//   new write handle (which may truncate it), drops the blocks other streams
//   hold on that file. Only what another program, or a handle that is not
//   a stream, overwrites inside a block already read shows from the next
//   block on: the one place where reading ahead can be told, by a writer
//   racing the reader.
// - Requests far larger than the file are not allocated up front: the
//   buffer grows as data arrives, so Read(2147483647) on a small file costs
//   what the file holds.
// Every member runs under the object's lock, so one stream may be shared by
// several threads; each call is whole (a read or a write is never split by
// another thread's). The members a TextStream drives take no lock of their
// own: its owner serialises them under its lock.
//
// A stream without a file (closed, or never opened) fails every read, skip
// and AtEndOfStream with the system's invalid-handle error, as a call on a
// closed handle would; a read of no bytes says nothing about the end.
//
// Positions are 64-bit throughout, so reading and skipping work past 2 and
// 4 GiB; ReadAll and ReadVarAll refuse a rest larger than one array can hold
// (2^31 - 1 bytes) before reading anything. Negative counts for Read,
// ReadVar and Fill are refused with E_INVALIDARG; Skip moves back as asked.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "frame/com_object.h"

namespace tessary::streams {
// How many writes reached one file through the streams of this process.
class WriteGeneration {
 public:
  uint64_t Load() const { return count_.load(std::memory_order_acquire); }
  void Bump() { count_.fetch_add(1, std::memory_order_acq_rel); }

 private:
  std::atomic<uint64_t> count_{0};
};
// One file, as the system identifies it whatever name opened it.
struct FileKey {
  DWORD volume = 0;
  DWORD high = 0;
  DWORD low = 0;
  bool operator<(const FileKey& other) const;
};
}  // namespace tessary::streams

class BinaryStream : public tessary::Object<BinaryStream, IBinaryStream, IBinaryStreamInit> {
 public:
  static constexpr const CLSID* kErrorClass = &CLSID_BinaryStream;
  ~BinaryStream();

  // IBinaryStreamInit. Called once by a producer; a second call on the same
  // object closes the first file once the second is open, rather than
  // leaking its handle.
  HRESULT STDMETHODCALLTYPE Create(BSTR file_name, VARIANT_BOOL overwrite) override;
  HRESULT STDMETHODCALLTYPE Open(BSTR file_name, LONG mode, VARIANT_BOOL create) override;

  // IBinaryStream
  HRESULT STDMETHODCALLTYPE get_AtEndOfStream(VARIANT_BOOL* end) override;
  HRESULT STDMETHODCALLTYPE Read(LONG num_bytes, VARIANT* bytes) override;
  HRESULT STDMETHODCALLTYPE ReadAll(VARIANT* bytes) override;
  HRESULT STDMETHODCALLTYPE Write(VARIANT* bytes) override;
  HRESULT STDMETHODCALLTYPE Fill(LONG byte, LONG num_bytes) override;
  HRESULT STDMETHODCALLTYPE Skip(LONG bytes) override;
  HRESULT STDMETHODCALLTYPE Close() override;
  HRESULT STDMETHODCALLTYPE ReadVar(LONG num_bytes, VARIANT* bytes) override;
  HRESULT STDMETHODCALLTYPE ReadVarAll(VARIANT* bytes) override;

  // What a TextStream drives, without automation values in between. Each
  // gives the results and error reports of the member it stands for.

  // "Unknown Mode." for a mode Open refuses, before anything is touched.
  [[nodiscard]] HRESULT CheckMode(LONG mode);
  // The invalid-handle failure of a stream that has no file.
  [[nodiscard]] HRESULT CheckOpen() { return handle_ ? S_OK : NotOpen(); }
  // Read: appends up to `count` bytes to `bytes`; a read of one byte or
  // more that returns none sets the at-end flag.
  [[nodiscard]] HRESULT ReadBytes(uint64_t count, std::string* bytes);
  // The bytes that complete a character cut at the end of a read: like
  // ReadBytes, but finding the end of the file is no end-of-stream read.
  [[nodiscard]] HRESULT ReadMore(uint64_t count, std::string* bytes);
  // Read of a count the caller has room for (at most 1 GiB) into `dest`;
  // `marks_end` false for the completing bytes above.
  [[nodiscard]] HRESULT ReadInto(char* dest, size_t count, size_t* got, bool marks_end = true);
  // Write: one system write of the bytes (pieces only beyond 1 GiB).
  [[nodiscard]] HRESULT WriteBytes(const void* data, size_t size);
  // Skip, with a 64-bit distance.
  [[nodiscard]] HRESULT SkipBytes(int64_t distance);
  // The file's size; the last system error is reported on failure.
  [[nodiscard]] HRESULT FileSize(uint64_t* size);
  bool at_end() const { return at_end_; }

  // For a reader that carves its own requests out of the read-ahead block.
  // The bytes from `behind` before the read position on, with the count
  // held after the position in `held`; null when reads do not come from a
  // block (or the block is stale, or fewer bytes precede the position).
  // Requests of up to `held` bytes would be served from exactly these bytes,
  // so TakeHeld(n) with n <= held is such a request, made in memory.
  const char* HeldBytes(size_t behind, size_t* held) {
    *held = 0;
    if (!read_ahead_ || !block_ || behind > block_pos_) return nullptr;
    // A write since the block was read sends the next read to the file.
    if (generation_ && generation_->Load() != seen_generation_) return nullptr;
    *held = block_len_ - block_pos_;
    return block_.get() + block_pos_ - behind;
  }
  void TakeHeld(size_t n) { block_pos_ += n; }
  // The `n` bytes before the read position, still in the block until the
  // next read, skip or close; null when they are not there.
  const char* BytesBehind(size_t n) const;

 private:
  // Takes over a handle just opened: closes the previous one, decides
  // whether to read ahead and joins the file's write generation.
  void Adopt(HANDLE handle, bool read_only, bool writable);
  void CloseHandleNow();
  HRESULT NotOpen();
  HRESULT NegativeCount();
  // One ReadFile of `count` bytes as the caller would see it; false with
  // the thread's last error set on failure.
  bool ReadRaw(void* dest, size_t count, size_t* got);
  // Gives back to the file what the block holds beyond the caller's
  // position, so the system pointer is the caller's again.
  bool DropBlock();
  // The caller's position (the system's, less what the block still holds).
  bool Position(uint64_t* position);
  // The rest of the file for ReadAll/ReadVarAll as a count Read takes. A
  // count of 0 means the file has nothing from here on: unlike a request
  // for no bytes, that is the end.
  HRESULT RestOfFile(uint64_t* count);
  // A byte array of what was read; `data` null for a count of 0.
  HRESULT ReadIntoArray(uint64_t count, SAFEARRAY** array);
  HRESULT ReadVarCount(uint64_t count, VARIANT* bytes);

  HANDLE handle_ = nullptr;
  bool at_end_ = false;

  // Read-ahead: bytes [block_pos_, block_len_) of block_ follow the caller's
  // position; the system's pointer is at block_len_.
  bool read_ahead_ = false;
  std::unique_ptr<char[]> block_;
  size_t block_pos_ = 0;
  size_t block_len_ = 0;

  // Counts writes to this file through any stream of the module; a reader
  // whose count is stale drops its block.
  tessary::streams::FileKey file_;
  tessary::streams::WriteGeneration* generation_ = nullptr;
  uint64_t seen_generation_ = 0;
};
