// Helpers shared by the unit tests: a temporary folder removed afterwards,
// and a configuration store of the test's own.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

namespace tessary::testing {

class TempDir {
 public:
  TempDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "tessary-test-XXXXXX").string();
    char* made = mkdtemp(&tmpl[0]);
    EXPECT_NE(nullptr, made);
    path_ = tmpl;
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// The Windows name of a host path (C: is "/" without a drive mapping).
inline std::string WindowsPath(const std::string& host) {
  std::string path = "C:" + host;
  for (char& c : path)
    if (c == '/') c = '\\';
  return path;
}

inline void WriteWholeFile(const std::string& host, const std::string& content) {
  std::ofstream(host, std::ios::binary) << content;
}

inline std::string ReadWholeFile(const std::string& host) {
  std::ifstream in(host, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// Points TESSARY_REGISTRY at a store file in a temporary folder for the
// lifetime of the object, optionally with initial REGEDIT4 text.
class ScopedStore {
 public:
  explicit ScopedStore(const std::string& text = std::string()) {
    const char* old = getenv("TESSARY_REGISTRY");
    had_old_ = old != nullptr;
    if (old) old_ = old;
    file_ = dir_ / "registry.reg";
    if (!text.empty()) Write(text);
    setenv("TESSARY_REGISTRY", file_.c_str(), 1);
  }
  ~ScopedStore() {
    if (had_old_) {
      setenv("TESSARY_REGISTRY", old_.c_str(), 1);
    } else {
      unsetenv("TESSARY_REGISTRY");
    }
  }
  ScopedStore(const ScopedStore&) = delete;
  ScopedStore& operator=(const ScopedStore&) = delete;

  void Write(const std::string& text) {
    std::ofstream out(file_, std::ios::binary | std::ios::trunc);
    out << text;
  }
  std::string Read() const {
    std::ifstream in(file_, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  }
  const std::string& file() const { return file_; }
  const TempDir& dir() const { return dir_; }

 private:
  TempDir dir_;
  std::string file_;
  std::string old_;
  bool had_old_ = false;
};

}  // namespace tessary::testing
