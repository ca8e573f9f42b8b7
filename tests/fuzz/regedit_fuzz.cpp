// Arbitrary bytes into the REGEDIT4 reader: whatever it makes of them must be
// written out and read back as the same tree, with no line skipped the
// second time, and writing that tree again must give the same text.
//
// The reader is compiled into this target rather than called in the platform
// library, so that libFuzzer's coverage and the sanitizers see inside it (the
// library itself is built without them in the fuzz configuration).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "platform/posix/regedit_format.cpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using tessary::regedit::Parse;
  using tessary::regedit::ParseResult;
  using tessary::regedit::Write;

  ParseResult first = Parse(std::string_view(reinterpret_cast<const char*>(data), size));
  std::string text = Write(first.store);
  ParseResult second = Parse(text);
  if (!second.recognised || second.skipped_lines != 0 || !(second.store == first.store)) abort();
  if (Write(second.store) != text) abort();
  return 0;
}
