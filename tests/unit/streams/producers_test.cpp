// The root object's stream producers, called directly and late-bound with
// their optional arguments left out.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "bstr_support.h"
#include "frame/module.h"
#include "frame/values.h"
#include "root/tessary.h"
#include "test_support.h"

namespace {

using tessary::Bstr;

using tessary::testing::B;

class Producers : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    store_ = new tessary::testing::ScopedStore;
    ASSERT_EQ(S_OK, tessary::RegisterServer());
  }
  static void TearDownTestSuite() {
    delete store_;
    store_ = nullptr;
  }
  void SetUp() override { ASSERT_EQ(S_OK, tessary::CreateObject(&root_)); }
  void TearDown() override { root_->Release(); }

  std::string W(const std::string& name) const {
    return tessary::testing::WindowsPath(dir_ / name);
  }
  std::string P(const std::string& name) const { return dir_ / name; }
  void Put(const std::string& name, const std::string& content) {
    tessary::testing::WriteWholeFile(P(name), content);
  }
  std::string Get(const std::string& name) { return tessary::testing::ReadWholeFile(P(name)); }

  // Calls a member of `object` by name with string arguments only; the
  // rest take their defaults.
  static HRESULT CallByName(IDispatch* object, const char16_t* name,
                            std::initializer_list<std::string> args, VARIANT* result) {
    std::u16string member(name);
    LPOLESTR names[] = {reinterpret_cast<LPOLESTR>(&member[0])};
    DISPID id = 0;
    HRESULT hr = object->GetIDsOfNames(IID_NULL, names, 1, 0, &id);
    if (FAILED(hr)) return hr;
    std::vector<VARIANT> values(args.size());
    size_t i = args.size();
    for (const std::string& arg : args) {
      VARIANT& v = values[--i];  // last argument first
      VariantInit(&v);
      v.vt = VT_BSTR;
      v.bstrVal = B(arg).Detach();
    }
    DISPPARAMS params = {values.data(), nullptr, static_cast<UINT>(values.size()), 0};
    hr = object->Invoke(id, IID_NULL, 0, DISPATCH_METHOD, &params, result, nullptr, nullptr);
    for (VARIANT& v : values) VariantClear(&v);
    return hr;
  }

  static tessary::testing::ScopedStore* store_;
  tessary::testing::TempDir dir_;
  Tessary* root_ = nullptr;
};

tessary::testing::ScopedStore* Producers::store_ = nullptr;

TEST_F(Producers, TextFilesRoundTripThroughTheRoot) {
  ITextStream* out = nullptr;
  ASSERT_EQ(S_OK, root_->CreateTextFile(B(W("t.txt")).get(), VARIANT_TRUE, VARIANT_TRUE, &out));
  ASSERT_EQ(S_OK, out->WriteLine(B("h\xc3\xa9llo").get()));
  out->Release();
  ITextStream* in = nullptr;
  ASSERT_EQ(S_OK, root_->OpenTextFile(B(W("t.txt")).get(), ForReading, VARIANT_FALSE,
                                      TristateUseDefault, &in));
  BSTR line = nullptr;
  ASSERT_EQ(S_OK, in->ReadLine(&line));
  std::string text;
  EXPECT_EQ(S_OK, tessary::ToAnsi(line, &text));
  EXPECT_EQ("h\xc3\xa9llo", text);
  SysFreeString(line);
  in->Release();
}

TEST_F(Producers, BinaryFilesRoundTripThroughTheRoot) {
  IBinaryStream* out = nullptr;
  ASSERT_EQ(S_OK, root_->CreateBinaryFile(B(W("b.bin")).get(), VARIANT_TRUE, &out));
  ASSERT_EQ(S_OK, out->Fill(0x42, 3));
  out->Release();
  IBinaryStream* in = nullptr;
  ASSERT_EQ(S_OK, root_->OpenBinaryFile(B(W("b.bin")).get(), ForAppending, VARIANT_FALSE, &in));
  ASSERT_EQ(S_OK, in->Fill(0x43, 1));
  in->Release();
  EXPECT_EQ("BBBC", Get("b.bin"));
}

TEST_F(Producers, FailuresPassThroughUnchanged) {
  ITextStream* text = reinterpret_cast<ITextStream*>(1);
  EXPECT_EQ(
      static_cast<HRESULT>(0x80070002),
      root_->OpenTextFile(B(W("missing")).get(), ForReading, VARIANT_FALSE, TristateFalse, &text));
  EXPECT_EQ(nullptr, text);
  IErrorInfo* info = nullptr;
  ASSERT_EQ(S_OK, GetErrorInfo(0, &info));
  BSTR source = nullptr;
  info->GetSource(&source);
  std::string name;
  EXPECT_EQ(S_OK, tessary::ToAnsi(source, &name));
  EXPECT_EQ("Tessary.BinaryStream.1", name);
  SysFreeString(source);
  info->Release();

  IBinaryStream* binary = nullptr;
  EXPECT_EQ(DISP_E_EXCEPTION,
            root_->OpenBinaryFile(B(W("x")).get(), static_cast<IOMode>(4), VARIANT_TRUE, &binary));
  EXPECT_FALSE(std::filesystem::exists(P("x")));
  Put("exists", "keep");
  EXPECT_EQ(static_cast<HRESULT>(0x80070050),
            root_->CreateTextFile(B(W("exists")).get(), VARIANT_FALSE, VARIANT_FALSE, &text));
  EXPECT_EQ(static_cast<HRESULT>(0x80070050),
            root_->CreateBinaryFile(B(W("exists")).get(), VARIANT_FALSE, &binary));
  EXPECT_EQ("keep", Get("exists"));
  EXPECT_EQ(E_POINTER, root_->CreateBinaryFile(B(W("y")).get(), VARIANT_TRUE, nullptr));
}

// Late-bound with only the file name: CreateTextFile overwrites and writes
// ANSI; OpenTextFile reads ANSI; the binary pair likewise.
TEST_F(Producers, DefaultArgumentsAreThoseOfTheTypeLibrary) {
  Put("t.txt", "old");
  VARIANT result;
  VariantInit(&result);
  ASSERT_EQ(S_OK, CallByName(root_, u"CreateTextFile", {W("t.txt")}, &result));
  ASSERT_EQ(VT_DISPATCH, result.vt);
  VARIANT ignored;
  VariantInit(&ignored);
  ASSERT_EQ(S_OK, CallByName(result.pdispVal, u"WriteLine", {"ab"}, &ignored));
  VariantClear(&result);
  EXPECT_EQ("ab\r\n", Get("t.txt"));

  ASSERT_EQ(S_OK, CallByName(root_, u"OpenTextFile", {W("t.txt")}, &result));
  ASSERT_EQ(VT_DISPATCH, result.vt);
  VARIANT line;
  VariantInit(&line);
  ASSERT_EQ(S_OK, CallByName(result.pdispVal, u"ReadLine", {}, &line));
  ASSERT_EQ(VT_BSTR, line.vt);
  EXPECT_EQ(2u, SysStringLen(line.bstrVal));
  VariantClear(&line);
  EXPECT_TRUE(FAILED(CallByName(result.pdispVal, u"Write", {"x"}, &ignored)));  // ForReading
  VariantClear(&result);

  ASSERT_EQ(S_OK, CallByName(root_, u"CreateBinaryFile", {W("b.bin")}, &result));
  ASSERT_EQ(S_OK, CallByName(result.pdispVal, u"Write", {"A"}, &ignored));
  VariantClear(&result);
  EXPECT_EQ(std::string("A\0", 2), Get("b.bin"));
  ASSERT_EQ(S_OK, CallByName(root_, u"OpenBinaryFile", {W("b.bin")}, &result));
  VARIANT bytes;
  VariantInit(&bytes);
  ASSERT_EQ(S_OK, CallByName(result.pdispVal, u"ReadAll", {}, &bytes));
  EXPECT_EQ(VT_ARRAY | VT_UI1, bytes.vt);
  VariantClear(&bytes);
  VariantClear(&result);
}

}  // namespace
