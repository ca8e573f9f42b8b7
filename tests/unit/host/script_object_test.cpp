// Script objects reached from the module's side, as a module reaches a field
// object: names looked up, methods called with a by-reference byte array,
// properties read and written, functions called for their default member,
// script errors returned with their texts, and objects that outlive the
// engine.
#include "host/script_object.h"

#include <gtest/gtest.h>

#include <cstring>

#include "host/dispatch_object.h"
#include "host/engine.h"
#include "host/variant_convert.h"

namespace tessary::host {
namespace {

constexpr const char kScript[] =
    "var field = { chunks: [], total: 0,\n"
    "  AppendChunk: function (v) {\n"
    "    if (!(v instanceof Uint8Array)) throw new Error('not bytes: ' + typeof v);\n"
    "    this.chunks.push(v.length); this.total += v.length; return this.chunks.length; },\n"
    "  Fail: function () { var e = new Error('field is full'); e.number = -2147024784;\n"
    "    throw e; },\n"
    "  Throw: function () { throw 'plain'; } };\n"
    "var twice = function (x) { return x * 2; };\n";

duk_ret_t SetUp(duk_context* ctx, void*) {
  InstallDispatch(ctx);
  InstallValues(ctx);
  InstallScriptObjects(ctx);
  duk_eval_string_noresult(ctx, kScript);
  return 0;
}

struct WrapJob {
  const char* global;
  IDispatch* out;
};

duk_ret_t Wrap(duk_context* ctx, void* udata) {
  WrapJob* job = static_cast<WrapJob*>(udata);
  duk_get_global_string(ctx, job->global);
  job->out = WrapScriptObject(ctx, -1);
  return 0;
}

class ScriptObjectTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ctx_ = duk_create_heap_default();
    ASSERT_TRUE(ctx_);
    ASSERT_TRUE(Protect(ctx_, Safe<host::SetUp>, nullptr, 0));
    duk_pop(ctx_);
  }
  void TearDown() override {
    if (ctx_) Destroy();
  }
  void Destroy() {
    DetachScriptObjects();
    duk_destroy_heap(ctx_);
    ctx_ = nullptr;
    ReleaseAllObjects();
  }
  IDispatch* Get(const char* global) {
    WrapJob job{global, nullptr};
    EXPECT_TRUE(Protect(ctx_, Safe<Wrap>, &job, 0));
    duk_pop(ctx_);
    return job.out;
  }
  static DISPID Id(IDispatch* object, const char16_t* name, HRESULT expect = S_OK) {
    LPOLESTR names[1] = {const_cast<LPOLESTR>(name)};
    DISPID id = 0;
    EXPECT_EQ(expect, object->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id));
    return id;
  }
  duk_context* ctx_ = nullptr;
};

TEST_F(ScriptObjectTest, MethodsPropertiesAndDefaultMember) {
  IDispatch* field = Get("field");
  ASSERT_TRUE(field);
  IDispatch* again = Get("field");
  EXPECT_EQ(field, again) << "one dispatch object per script object";
  again->Release();
  Id(field, u"GetChunk", DISP_E_UNKNOWNNAME);
  Id(field, u"appendchunk", DISP_E_UNKNOWNNAME);
  DISPID append = Id(field, u"AppendChunk");

  // Three chunks of a byte array passed by reference, as an export does.
  const ULONG sizes[] = {49152, 49152, 1696};
  for (ULONG size : sizes) {
    VARIANT bytes;
    VariantInit(&bytes);
    bytes.vt = VT_ARRAY | VT_UI1;
    bytes.parray = SafeArrayCreateVector(VT_UI1, 0, size);
    VARIANT arg;
    VariantInit(&arg);
    arg.vt = VT_BYREF | VT_VARIANT;
    arg.pvarVal = &bytes;
    DISPPARAMS params{&arg, nullptr, 1, 0};
    VARIANT result;
    VariantInit(&result);
    EXCEPINFO excep{};
    ASSERT_EQ(S_OK, field->Invoke(append, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params,
                                  &result, &excep, nullptr));
    EXPECT_EQ(VT_I4, result.vt);
    VariantClear(&bytes);
  }

  DISPID total = Id(field, u"total");
  DISPPARAMS none{nullptr, nullptr, 0, 0};
  VARIANT value;
  VariantInit(&value);
  ASSERT_EQ(S_OK, field->Invoke(total, IID_NULL, 0, DISPATCH_PROPERTYGET, &none, &value, nullptr,
                                nullptr));
  EXPECT_EQ(VT_I4, value.vt);
  EXPECT_EQ(100000, value.lVal);

  // A put by name, read back.
  VARIANT five;
  VariantInit(&five);
  five.vt = VT_I4;
  five.lVal = 5;
  DISPID put_id = DISPID_PROPERTYPUT;
  DISPPARAMS put{&five, &put_id, 1, 1};
  ASSERT_EQ(S_OK, field->Invoke(total, IID_NULL, 0, DISPATCH_PROPERTYPUT, &put, nullptr, nullptr,
                                nullptr));
  ASSERT_EQ(S_OK, field->Invoke(total, IID_NULL, 0, DISPATCH_PROPERTYGET, &none, &value, nullptr,
                                nullptr));
  EXPECT_EQ(5, value.lVal);
  // A property is no method.
  EXPECT_EQ(DISP_E_MEMBERNOTFOUND,
            field->Invoke(total, IID_NULL, 0, DISPATCH_METHOD, &none, &value, nullptr, nullptr));

  // A function is called for its default member.
  IDispatch* twice = Get("twice");
  VARIANT x;
  VariantInit(&x);
  x.vt = VT_I4;
  x.lVal = 21;
  DISPPARAMS one{&x, nullptr, 1, 0};
  ASSERT_EQ(S_OK, twice->Invoke(DISPID_VALUE, IID_NULL, 0, DISPATCH_METHOD, &one, &value, nullptr,
                                nullptr));
  EXPECT_EQ(42, value.lVal);
  twice->Release();
  field->Release();
}

TEST_F(ScriptObjectTest, ScriptErrorsBecomeExceptions) {
  IDispatch* field = Get("field");
  DISPPARAMS none{nullptr, nullptr, 0, 0};
  VARIANT result;
  VariantInit(&result);
  EXCEPINFO excep{};
  ASSERT_EQ(DISP_E_EXCEPTION, field->Invoke(Id(field, u"Fail"), IID_NULL, 0, DISPATCH_METHOD, &none,
                                            &result, &excep, nullptr));
  EXPECT_EQ(static_cast<HRESULT>(0x80070070), excep.scode);
  ASSERT_TRUE(excep.bstrDescription);
  EXPECT_EQ(std::u16string(u"field is full"), std::u16string(excep.bstrDescription));
  EXPECT_TRUE(excep.bstrSource);
  SysFreeString(excep.bstrDescription);
  SysFreeString(excep.bstrSource);

  // A thrown value that is no error; without EXCEPINFO the code alone.
  EXCEPINFO plain{};
  DISPID throw_id = Id(field, u"Throw");
  ASSERT_EQ(DISP_E_EXCEPTION,
            field->Invoke(throw_id, IID_NULL, 0, DISPATCH_METHOD, &none, &result, &plain, nullptr));
  EXPECT_EQ(kUncaughtException, plain.scode);
  EXPECT_EQ(std::u16string(u"plain"), std::u16string(plain.bstrDescription));
  SysFreeString(plain.bstrDescription);
  SysFreeString(plain.bstrSource);
  EXPECT_EQ(kUncaughtException, field->Invoke(throw_id, IID_NULL, 0, DISPATCH_METHOD, &none,
                                              &result, nullptr, nullptr));
  EXPECT_EQ(0, duk_get_top(ctx_)) << "the value stack is left as it was";
  field->Release();
}

TEST_F(ScriptObjectTest, ObjectsHeldPastTheEngine) {
  IDispatch* field = Get("field");
  DISPID append = Id(field, u"AppendChunk");
  Destroy();
  DISPPARAMS none{nullptr, nullptr, 0, 0};
  EXPECT_EQ(E_UNEXPECTED,
            field->Invoke(append, IID_NULL, 0, DISPATCH_METHOD, &none, nullptr, nullptr, nullptr));
  EXPECT_EQ(0u, field->Release());
}

}  // namespace
}  // namespace tessary::host
