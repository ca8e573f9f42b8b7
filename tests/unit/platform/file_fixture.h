// A temporary host folder mapped as drive T: through a store of the test's
// own, and the small host-side helpers the file-service tests share.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/files.h"
#include "platform/posix/files_internal.h"
#include "platform/posix/syscalls.h"
#include "unit/test_support.h"

namespace tessary::testing {

// A REGEDIT4 string: backslashes and quotes escaped.
inline std::string RegString(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '\\' || c == '"') out += '\\';
    out += c;
  }
  return out + "\"";
}

inline std::string StoreText(const std::vector<std::pair<std::string, std::string>>& drives,
                             const std::vector<std::pair<std::string, std::string>>& shares = {},
                             const std::vector<std::pair<std::string, std::string>>& folders = {}) {
  std::string text = "REGEDIT4\n\n";
  auto section = [&text](const char* key,
                         const std::vector<std::pair<std::string, std::string>>& v) {
    if (v.empty()) return;
    text += std::string("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Quennel\\QN-Tessary\\") + key + "]\n";
    for (const auto& [name, data] : v) text += RegString(name) + "=" + RegString(data) + "\n";
    text += "\n";
  };
  section("Drives", drives);
  section("Shares", shares);
  section("Folders", folders);
  return text;
}

inline void WriteHostFile(const std::string& path, const std::string& data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << data;
}

inline std::string ReadHostFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

inline bool HostExists(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

inline int CountOpenFds() {
  int n = 0;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    (void)entry;
    ++n;
  }
  return n;
}

inline std::vector<std::string> HostNames(const std::string& folder) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

// Drive T: on a fresh temporary folder; T:\x is Host("x").
class MappedDriveTest : public ::testing::Test {
 protected:
  MappedDriveTest() : store_(StoreText({{"T:", dir_.path()}})) {}

  void SetUp() override {
    files::ReloadNamespace();
    sys::ClearFaults();
    SetLastError(0);
  }
  void TearDown() override {
    sys::ClearFaults();
    files::ReloadNamespace();
  }

  std::string Host(const std::string& relative) const { return dir_.path() + "/" + relative; }
  static std::string Win(const std::string& relative) {
    std::string out = "T:\\" + relative;
    for (char& c : out) {
      if (c == '/') c = '\\';
    }
    return out;
  }

  TempDir dir_;
  ScopedStore store_;
};

}  // namespace tessary::testing
