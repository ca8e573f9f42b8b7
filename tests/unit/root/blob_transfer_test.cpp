// The blob entries over a fake database field: the chunks and argument
// shapes the field sees, the end markers it may answer, and its failures.
#include <gtest/gtest.h>

#include <deque>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "bstr_support.h"
#include "fake_dispatch.h"
#include "root/tessary.h"
#include "test_support.h"

namespace {

using tessary::testing::B;
using tessary::testing::ErrorRecord;
using tessary::testing::TakeError;

constexpr DISPID kAppend = 7;
constexpr DISPID kGet = 8;

// A field that knows AppendChunk and/or GetChunk. AppendChunk records the
// chunks it is given; GetChunk answers from a queue of prepared values.
class FakeField : public tessary::testing::FakeDispatch<> {
 public:
  FakeField(bool append, bool get) : append_(append), get_(get) {}
  ~FakeField() {
    for (VARIANT& v : answers) VariantClear(&v);
  }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID,
                                          DISPID* ids) override {
    std::basic_string<OLECHAR> name(names[0]);
    if (count == 1 && append_ && name == OLESTR("AppendChunk")) {
      *ids = kAppend;
      return S_OK;
    }
    if (count == 1 && get_ && name == OLESTR("GetChunk")) {
      *ids = kGet;
      return S_OK;
    }
    *ids = DISPID_UNKNOWN;
    return DISP_E_UNKNOWNNAME;
  }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params,
                                   VARIANT* result, EXCEPINFO*, UINT*) override {
    EXPECT_EQ(DISPATCH_METHOD, flags);
    EXPECT_EQ(1u, params->cArgs);
    EXPECT_EQ(0u, params->cNamedArgs);
    EXPECT_EQ(VT_BYREF | VT_VARIANT, params->rgvarg[0].vt);
    VARIANT* argument = params->rgvarg[0].pvarVal;
    ++calls;
    if (id == kAppend) {
      EXPECT_EQ(VT_ARRAY | VT_UI1, argument->vt);
      SAFEARRAY* array = argument->parray;
      LONG lower = -1, upper = -1;
      SafeArrayGetLBound(array, 1, &lower);
      SafeArrayGetUBound(array, 1, &upper);
      EXPECT_EQ(0, lower);
      void* data = nullptr;
      SafeArrayAccessData(array, &data);
      chunks.emplace_back(static_cast<char*>(data), static_cast<size_t>(upper + 1));
      SafeArrayUnaccessData(array);
      if (fail_append_at == calls) return E_FAIL;
      if (replace_argument) {
        // A script assigning to its by-reference parameter.
        VariantClear(argument);
        argument->vt = VT_BSTR;
        argument->bstrVal = SysAllocString(OLESTR("replaced"));
      }
      return S_OK;
    }
    EXPECT_EQ(VT_I4, argument->vt);
    EXPECT_EQ(49152, argument->lVal);
    if (fail_get_at == calls) return static_cast<HRESULT>(0x800A0005);
    if (answers.empty()) return S_OK;  // result stays VT_EMPTY: the end
    if (result) *result = answers.front();
    answers.pop_front();
    return S_OK;
  }

  void AnswerBytes(const std::string& bytes) {
    SAFEARRAYBOUND bound = {static_cast<ULONG>(bytes.size()), 0};
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_ARRAY | VT_UI1;
    v.parray = SafeArrayCreate(VT_UI1, 1, &bound);
    void* data = nullptr;
    SafeArrayAccessData(v.parray, &data);
    if (!bytes.empty()) memcpy(data, bytes.data(), bytes.size());
    SafeArrayUnaccessData(v.parray);
    answers.push_back(v);
  }
  void AnswerText(const std::basic_string<OLECHAR>& text) {
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_BSTR;
    v.bstrVal = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
    answers.push_back(v);
  }
  void AnswerType(VARTYPE vt) {
    VARIANT v;
    VariantInit(&v);
    v.vt = vt;
    v.lVal = 12;
    answers.push_back(v);
  }

  int calls = 0;
  int fail_append_at = 0;
  int fail_get_at = 0;
  bool replace_argument = false;
  std::vector<std::string> chunks;
  std::deque<VARIANT> answers;

 private:
  bool append_;
  bool get_;
};

VARIANT ObjectArgument(IDispatch* object) {
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_DISPATCH;
  v.pdispVal = object;
  return v;
}

class RootBlobs : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(S_OK, tessary::CreateObject(&root_)); }
  void TearDown() override { root_->Release(); }

  std::string W(const std::string& name) const {
    return tessary::testing::WindowsPath(dir_ / name);
  }
  HRESULT Export(const std::string& name, VARIANT field) {
    return root_->ExportToBlob(B(W(name)).get(), field);
  }
  HRESULT Import(VARIANT field, const std::string& name) {
    return root_->ImportFromBlob(field, B(W(name)).get());
  }
  void ExpectText(const std::string& text) {
    ErrorRecord e = TakeError();
    EXPECT_TRUE(e.present);
    EXPECT_EQ(text, e.description);
  }
  bool Exists(const std::string& name) { return std::filesystem::exists(dir_ / name); }

  tessary::testing::TempDir dir_;
  Tessary* root_ = nullptr;
};

TEST_F(RootBlobs, ExportSendsFullChunksThenTheRestAndNothingForAnEmptyFile) {
  std::string content(100000, '\0');
  for (size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i * 7);
  tessary::testing::WriteWholeFile(dir_ / "big", content);
  FakeField field(true, false);
  ASSERT_EQ(S_OK, Export("big", ObjectArgument(&field)));
  ASSERT_EQ(3u, field.chunks.size());
  EXPECT_EQ(49152u, field.chunks[0].size());
  EXPECT_EQ(49152u, field.chunks[1].size());
  EXPECT_EQ(1696u, field.chunks[2].size());
  EXPECT_EQ(content, field.chunks[0] + field.chunks[1] + field.chunks[2]);
  EXPECT_EQ(1, field.refs);

  tessary::testing::WriteWholeFile(dir_ / "empty", "");
  FakeField none(true, false);
  EXPECT_EQ(S_OK, Export("empty", ObjectArgument(&none)));
  EXPECT_EQ(0, none.calls);
}

TEST_F(RootBlobs, ExportStopsAtTheFieldsFailureAndSurvivesAReplacedArgument) {
  tessary::testing::WriteWholeFile(dir_ / "big", std::string(100000, 'x'));
  FakeField field(true, false);
  field.fail_append_at = 2;
  EXPECT_EQ(E_FAIL, Export("big", ObjectArgument(&field)));
  EXPECT_EQ(2, field.calls);

  FakeField replacing(true, false);
  replacing.replace_argument = true;
  EXPECT_EQ(S_OK, Export("big", ObjectArgument(&replacing)));
  EXPECT_EQ(3, replacing.calls);
}

TEST_F(RootBlobs, ExportRefusesNonObjectsMissingMethodsAndMissingFiles) {
  tessary::testing::WriteWholeFile(dir_ / "a", "abc");
  VARIANT text;
  VariantInit(&text);
  text.vt = VT_BSTR;
  text.bstrVal = nullptr;
  EXPECT_EQ(DISP_E_EXCEPTION, Export("a", text));
  ExpectText("Incorrect parameter");

  // An object by reference is judged as received, and refused.
  FakeField field(true, true);
  IDispatch* pointer = &field;
  VARIANT by_reference;
  VariantInit(&by_reference);
  by_reference.vt = VT_BYREF | VT_DISPATCH;
  by_reference.ppdispVal = &pointer;
  EXPECT_EQ(DISP_E_EXCEPTION, Export("a", by_reference));
  ExpectText("Incorrect parameter");
  EXPECT_EQ(DISP_E_EXCEPTION, Export("a", ObjectArgument(nullptr)));
  ExpectText("Incorrect parameter");

  FakeField reader(false, true);
  EXPECT_EQ(DISP_E_EXCEPTION, Export("a", ObjectArgument(&reader)));
  ExpectText("Parameter does not support the AppendChunk method");

  EXPECT_EQ(DISP_E_EXCEPTION, Export("missing", ObjectArgument(&field)));
  ExpectText("ExportToBlob failed - unable to open file");
  EXPECT_EQ(0, field.calls);
}

TEST_F(RootBlobs, ExportReportsAReadFailureInsteadOfSucceedingWithPartOfTheFile) {
  // The process's own memory opens but its first page cannot be read.
  FakeField field(true, false);
  const HRESULT hr =
      root_->ExportToBlob(B(tessary::testing::WindowsPath("/proc/self/mem")).get(),
                          ObjectArgument(&field));
  EXPECT_EQ(0x80070000u, static_cast<unsigned>(hr) & 0xFFFF0000u) << std::hex << hr;
  EXPECT_FALSE(TakeError().description.empty());
  EXPECT_EQ(0, field.calls);
}

TEST_F(RootBlobs, ImportWritesBytesAndTextChunksUntilAnEndMarker) {
  FakeField field(false, true);
  field.AnswerBytes(std::string(49152, 'a'));
  field.AnswerBytes("more than asked" + std::string(60000, 'b'));
  field.AnswerText(std::basic_string<OLECHAR>(OLESTR("t\x0141x")));  // low bytes: t A x
  field.AnswerType(VT_NULL);
  field.AnswerBytes("never read");
  ASSERT_EQ(S_OK, Import(ObjectArgument(&field), "out"));
  EXPECT_EQ(std::string(49152, 'a') + "more than asked" + std::string(60000, 'b') + "tAx",
            tessary::testing::ReadWholeFile(dir_ / "out"));
  EXPECT_EQ(4, field.calls);

  for (VARTYPE end : {VT_EMPTY, VT_ERROR, VT_BSTR}) {
    FakeField ends(false, true);
    ends.AnswerBytes("x");
    if (end == VT_BSTR) {
      ends.AnswerText({});
    } else {
      ends.AnswerType(end);
    }
    ends.AnswerBytes("never read");
    ASSERT_EQ(S_OK, Import(ObjectArgument(&ends), "ends"));
    EXPECT_EQ("x", tessary::testing::ReadWholeFile(dir_ / "ends")) << end;
  }

  FakeField null_first(false, true);
  null_first.AnswerType(VT_NULL);
  ASSERT_EQ(S_OK, Import(ObjectArgument(&null_first), "empty"));
  EXPECT_TRUE(Exists("empty"));
  EXPECT_EQ("", tessary::testing::ReadWholeFile(dir_ / "empty"));
}

TEST_F(RootBlobs, ImportFailuresKeepWhatWasWritten) {
  VARIANT number;
  VariantInit(&number);
  number.vt = VT_I4;
  EXPECT_EQ(DISP_E_EXCEPTION, Import(number, "none"));
  ExpectText("Incorrect parameter");
  EXPECT_FALSE(Exists("none"));

  FakeField writer(true, false);
  EXPECT_EQ(DISP_E_EXCEPTION, Import(ObjectArgument(&writer), "stays"));
  ExpectText("Parameter does not support the GetChunk method");
  EXPECT_TRUE(Exists("stays"));

  FakeField failing(false, true);
  failing.AnswerBytes("first");
  failing.fail_get_at = 2;
  EXPECT_EQ(static_cast<HRESULT>(0x800A0005), Import(ObjectArgument(&failing), "half"));
  EXPECT_EQ("first", tessary::testing::ReadWholeFile(dir_ / "half"));

  FakeField odd(false, true);
  odd.AnswerBytes("first");
  odd.AnswerType(VT_I4);
  EXPECT_EQ(DISP_E_TYPEMISMATCH, Import(ObjectArgument(&odd), "odd"));
  ExpectText("GetChunk returned neither binary data nor text");
  EXPECT_EQ("first", tessary::testing::ReadWholeFile(dir_ / "odd"));

  FakeField field(false, true);
  EXPECT_NE(S_OK, root_->ImportFromBlob(ObjectArgument(&field), B(W("no-such-folder/out")).get()));
  EXPECT_FALSE(TakeError().description.empty());
  EXPECT_EQ(0, field.calls);
}

}  // namespace
