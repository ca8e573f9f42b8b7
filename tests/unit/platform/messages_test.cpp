// System message texts, FormatMessageA's buffer contract, and the errno to
// Win32 error translation.
#include <errno.h>
#include <gtest/gtest.h>
#include <string.h>

#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include "platform/posix/errno_map.h"
#include "platform/system.h"
#include "unit/test_support.h"

namespace {

using tessary::sys::ErrnoOp;
using tessary::sys::Win32ErrorFromErrno;

constexpr DWORD kFromSystem = FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;

// The system text for `code`, or "" with the last error left for the caller.
std::string SystemText(DWORD code, DWORD language = 0) {
  char* text = nullptr;
  const DWORD n = FormatMessageA(kFromSystem | FORMAT_MESSAGE_ALLOCATE_BUFFER, nullptr, code,
                                 language, reinterpret_cast<LPSTR>(&text), 0, nullptr);
  if (n == 0) {
    EXPECT_EQ(nullptr, text);
    return std::string();
  }
  std::string result(text, n);
  EXPECT_EQ(strlen(text), n);
  LocalFree(text);
  return result;
}

struct HeaderCode {
  std::string name;
  DWORD value;
};

// Every ERROR_* the platform's winerror.h defines.
std::vector<HeaderCode> CodesInHeader() {
  std::ifstream in(std::string(TESSARY_SOURCE_DIR) + "/platform/posix/winerror.h");
  EXPECT_TRUE(in.good());
  const std::regex define(R"(^#define\s+((?:ERROR|NO)_\w+)\s+(\d+)L\s*$)");
  std::vector<HeaderCode> codes;
  std::string line;
  while (std::getline(in, line)) {
    std::smatch m;
    if (std::regex_match(line, m, define)) {
      codes.push_back({m[1], static_cast<DWORD>(std::stoul(m[2]))});
    }
  }
  return codes;
}

TEST(SystemMessages, EveryCodeInWinerrorHasATextEndingInCrLf) {
  const std::vector<HeaderCode> codes = CodesInHeader();
  ASSERT_GT(codes.size(), 70u);
  for (const HeaderCode& code : codes) {
    const std::string text = SystemText(code.value);
    EXPECT_GT(text.size(), 3u) << code.name;
    EXPECT_EQ("\r\n", text.substr(text.size() - 2)) << code.name;
    EXPECT_EQ(std::string::npos, text.find("\r\n\r\n")) << code.name;
  }
}

TEST(SystemMessages, WindowsWording) {
  EXPECT_EQ("The system cannot find the file specified.\r\n", SystemText(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ("The system cannot find the path specified.\r\n", SystemText(ERROR_PATH_NOT_FOUND));
  EXPECT_EQ("Access is denied.\r\n", SystemText(ERROR_ACCESS_DENIED));
  EXPECT_EQ("The process cannot access the file because it is being used by another process.\r\n",
            SystemText(ERROR_SHARING_VIOLATION));
  EXPECT_EQ("The file exists.\r\n", SystemText(ERROR_FILE_EXISTS));
  EXPECT_EQ("Cannot create a file when that file already exists.\r\n",
            SystemText(ERROR_ALREADY_EXISTS));
  EXPECT_EQ("The filename or extension is too long.\r\n", SystemText(ERROR_FILENAME_EXCED_RANGE));
  EXPECT_EQ("The specified procedure could not be found.\r\n", SystemText(ERROR_PROC_NOT_FOUND));
  EXPECT_EQ("The directory is not empty.\r\n", SystemText(ERROR_DIR_NOT_EMPTY));
}

TEST(SystemMessages, HresultOfAWin32ErrorReadsAsTheError) {
  EXPECT_EQ(SystemText(ERROR_ACCESS_DENIED), SystemText(0x80070005));
}

TEST(SystemMessages, UnknownCodeFailsWithMessageNotFound) {
  SetLastError(0);
  EXPECT_EQ("", SystemText(0xDEAD));
  EXPECT_EQ(static_cast<DWORD>(ERROR_MR_MID_NOT_FOUND), GetLastError());
}

TEST(SystemMessages, OnlyNeutralAndUsEnglishAreAvailable) {
  EXPECT_NE("", SystemText(ERROR_FILE_NOT_FOUND, 0));
  EXPECT_NE("", SystemText(ERROR_FILE_NOT_FOUND, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT)));
  EXPECT_NE("", SystemText(ERROR_FILE_NOT_FOUND, 0x0409));
  SetLastError(0);
  EXPECT_EQ("", SystemText(ERROR_FILE_NOT_FOUND, 0x040C));  // French
  EXPECT_EQ(static_cast<DWORD>(ERROR_RESOURCE_LANG_NOT_FOUND), GetLastError());
}

TEST(FormatMessage, CallerBufferExactAndTooSmall) {
  const std::string expected = "Access is denied.\r\n";
  std::vector<char> buffer(expected.size() + 1, 'x');
  DWORD n = FormatMessageA(kFromSystem, nullptr, ERROR_ACCESS_DENIED, 0, buffer.data(),
                           static_cast<DWORD>(buffer.size()), nullptr);
  EXPECT_EQ(expected.size(), n);
  EXPECT_EQ(expected, std::string(buffer.data()));

  SetLastError(0);
  n = FormatMessageA(kFromSystem, nullptr, ERROR_ACCESS_DENIED, 0, buffer.data(),
                     static_cast<DWORD>(expected.size()), nullptr);  // no room for the NUL
  EXPECT_EQ(0u, n);
  EXPECT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER), GetLastError());
}

TEST(FormatMessage, InsertsNeedArgumentsUnlessIgnored) {
  char buffer[256];
  SetLastError(0);
  EXPECT_EQ(0u, FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, ERROR_BAD_EXE_FORMAT, 0, buffer,
                               sizeof(buffer), nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());

  ASSERT_NE(0u, FormatMessageA(kFromSystem, nullptr, ERROR_BAD_EXE_FORMAT, 0, buffer,
                               sizeof(buffer), nullptr));
  EXPECT_STREQ("%1 is not a valid Win32 application.\r\n", buffer);

  const DWORD_PTR args[] = {reinterpret_cast<DWORD_PTR>("C:\\x.dll")};
  ASSERT_NE(0u, FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ARGUMENT_ARRAY, nullptr,
                               ERROR_BAD_EXE_FORMAT, 0, buffer, sizeof(buffer),
                               const_cast<DWORD_PTR*>(args)));
  EXPECT_STREQ("C:\\x.dll is not a valid Win32 application.\r\n", buffer);
}

TEST(FormatMessage, WidthMaskTurnsLineBreaksIntoBlanks) {
  char buffer[256];
  ASSERT_NE(0u, FormatMessageA(kFromSystem | FORMAT_MESSAGE_MAX_WIDTH_MASK, nullptr,
                               ERROR_FILE_NOT_FOUND, 0, buffer, sizeof(buffer), nullptr));
  EXPECT_STREQ("The system cannot find the file specified. ", buffer);
}

TEST(FormatMessage, AllocatedBufferHonoursTheMinimumSize) {
  char* text = nullptr;
  const DWORD n = FormatMessageA(kFromSystem | FORMAT_MESSAGE_ALLOCATE_BUFFER, nullptr,
                                 ERROR_SUCCESS, 0, reinterpret_cast<LPSTR>(&text), 4096, nullptr);
  ASSERT_NE(0u, n);
  text[4095] = 0;  // ASan: the block really has the requested minimum size
  EXPECT_STREQ("The operation completed successfully.\r\n", text);
  EXPECT_EQ(nullptr, LocalFree(text));
}

// ---------------------------------------------------------------------------

TEST(ErrnoMap, EveryResultHasAMessage) {
  for (int err = 0; err < 200; ++err) {
    for (int op = 0; op <= static_cast<int>(ErrnoOp::kOther); ++op) {
      for (bool parent_missing : {false, true}) {
        const DWORD code = Win32ErrorFromErrno(err, static_cast<ErrnoOp>(op), parent_missing);
        EXPECT_NE("", SystemText(code)) << "errno " << err << " gives " << code;
      }
    }
  }
}

TEST(ErrnoMap, ParentDirectoryMissing) {
  tessary::testing::TempDir dir;
  errno = EXDEV;
  EXPECT_FALSE(tessary::sys::ParentDirectoryMissing((dir / "absent.txt").c_str()));
  EXPECT_TRUE(tessary::sys::ParentDirectoryMissing((dir / "no/absent.txt").c_str()));
  EXPECT_FALSE(tessary::sys::ParentDirectoryMissing((dir / "sub/").c_str()));
  std::ofstream(dir / "file") << "x";
  EXPECT_TRUE(tessary::sys::ParentDirectoryMissing((dir / "file/child").c_str()));
  EXPECT_EQ(EXDEV, errno);  // preserved for the caller
}

}  // namespace
