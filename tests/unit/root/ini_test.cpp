// The INI entries: the buffer policy and the text of numbers and booleans.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "bstr_support.h"
#include "frame/values.h"
#include "root/tessary.h"
#include "test_support.h"

namespace {

using tessary::Bstr;
using tessary::testing::Text;

class RootIni : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(S_OK, tessary::CreateObject(&root_));
    file_ = Make(dir_.path() + "/a.ini");
    section_ = Make("s");
  }
  void TearDown() override { root_->Release(); }

  static Bstr Make(const std::string& text) {
    Bstr b;
    EXPECT_EQ(S_OK, b.FromAnsi(text));
    return b;
  }
  void WriteString(const std::string& key, const std::string& value) {
    ASSERT_EQ(S_OK, root_->INIWriteString(file_.get(), section_.get(), Make(key).get(),
                                          Make(value).get()));
  }
  std::string ReadString(const std::string& key, const std::string& fallback = "") {
    BSTR out = nullptr;
    EXPECT_EQ(S_OK, root_->INIReadString(file_.get(), section_.get(), Make(key).get(),
                                         Make(fallback).get(), &out));
    std::string text = Text(out);
    SysFreeString(out);
    return text;
  }
  LONG ReadInteger(const std::string& key, LONG fallback) {
    LONG out = 0;
    EXPECT_EQ(S_OK,
              root_->INIReadInteger(file_.get(), section_.get(), Make(key).get(), fallback, &out));
    return out;
  }
  LONG ReadBoolean(const std::string& key, LONG fallback) {
    LONG out = 0;
    EXPECT_EQ(S_OK,
              root_->INIReadBoolean(file_.get(), section_.get(), Make(key).get(), fallback, &out));
    return out;
  }

  tessary::testing::TempDir dir_;
  Tessary* root_ = nullptr;
  Bstr file_;
  Bstr section_;
};

TEST_F(RootIni, StringsGrowTheBufferUntilTheValueFits) {
  EXPECT_EQ("fallback", ReadString("missing", "fallback"));
  for (size_t length : {98, 99, 100, 999, 5000, 100000}) {
    const std::string value(length, 'x');
    WriteString("k", value);
    EXPECT_EQ(value, ReadString("k")) << length;
  }
}

TEST_F(RootIni, NumbersAndBooleansAsText) {
  ASSERT_EQ(S_OK, root_->INIWriteInteger(file_.get(), section_.get(), Make("i").get(), -42));
  ASSERT_EQ(S_OK, root_->INIWriteBoolean(file_.get(), section_.get(), Make("b").get(), -1));
  ASSERT_EQ(S_OK, root_->INIWriteBoolean(file_.get(), section_.get(), Make("f").get(), 0));
  EXPECT_EQ("-42", ReadString("i"));
  EXPECT_EQ("1", ReadString("b"));
  EXPECT_EQ("0", ReadString("f"));
  WriteString("twelve", "12");
  WriteString("five", "5");
  WriteString("abc", "abc");
  WriteString("empty", "");
  WriteString("big", "99999999999");
  EXPECT_EQ(12, ReadInteger("twelve", -1));
  EXPECT_EQ(-42, ReadInteger("i", -1));
  EXPECT_EQ(7, ReadInteger("abc", 7));
  EXPECT_EQ(7, ReadInteger("empty", 7));
  EXPECT_EQ(7, ReadInteger("big", 7));
  EXPECT_EQ(7, ReadInteger("missing", 7));
  EXPECT_EQ(1, ReadBoolean("five", 0));
  EXPECT_EQ(0, ReadBoolean("f", -1));
  EXPECT_EQ(-1, ReadBoolean("abc", -1));
  EXPECT_EQ(1, ReadBoolean("missing", -1));
  EXPECT_EQ(0, ReadBoolean("missing", 0));
}

TEST_F(RootIni, DeletesSucceedForMissingKeysAndWritesReportFailures) {
  WriteString("k", "v");
  EXPECT_EQ(S_OK, root_->INIDeleteKey(file_.get(), section_.get(), Make("nope").get()));
  EXPECT_EQ(S_OK, root_->INIDeleteKey(file_.get(), section_.get(), Make("k").get()));
  EXPECT_EQ("gone", ReadString("k", "gone"));
  WriteString("k", "v");
  EXPECT_EQ(S_OK, root_->INIDeleteSection(file_.get(), section_.get()));
  EXPECT_EQ("gone", ReadString("k", "gone"));
  const Bstr folder = Make(dir_.path());
  EXPECT_EQ(static_cast<HRESULT>(0x80070005),
            root_->INIWriteString(folder.get(), section_.get(), Make("k").get(), Make("v").get()));
  EXPECT_EQ(static_cast<HRESULT>(0x80070057),
            root_->INIWriteString(file_.get(), section_.get(), Make("a=b").get(), Make("v").get()));
}

}  // namespace
