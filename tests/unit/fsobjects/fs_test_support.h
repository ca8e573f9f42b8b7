// Shared by the File and Folder tests: strings, error records and a
// temporary folder seen through its Windows name (C: is "/" without a drive
// mapping).
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "bstr_support.h"
#include "frame/values.h"
#include "test_support.h"

namespace tessary::testing {

class FsTest : public ::testing::Test {
 protected:
  void TearDown() override {
    std::error_code ec;
    for (auto& entry : std::filesystem::recursive_directory_iterator(dir_.path(), ec))
      std::filesystem::permissions(entry.path(), std::filesystem::perms::owner_all,
                                   std::filesystem::perm_options::add, ec);
  }
  std::string W(const std::string& name = "") const {
    return tessary::testing::WindowsPath(name.empty() ? dir_.path() : dir_ / name);
  }
  std::string P(const std::string& name) const { return dir_ / name; }
  void Write(const std::string& name, const std::string& content) {
    tessary::testing::WriteWholeFile(P(name), content);
  }
  bool Exists(const std::string& name) const { return std::filesystem::exists(P(name)); }

  ScopedStore store_;
  TempDir dir_;
};

}  // namespace tessary::testing
