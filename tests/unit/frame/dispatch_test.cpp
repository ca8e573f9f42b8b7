// The table-driven dispatcher: kinds, argument counts, defaults, coercion,
// named arguments, puts and the error record handed over in EXCEPINFO. A
// small hand-made table stands in for a generated one so that every path
// can be reached; the generated tables are exercised through real objects
// in module_test.cpp.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "fake_dispatch.h"
#include "frame/dispatch_table.h"
#include "frame/errors.h"
#include "frame/name_index.h"
#include "platform/system.h"

namespace tessary::dispatch {
namespace {

using tessary::testing::I4;

// The test's texts are UTF-16 literals; OLECHAR is wchar_t on Windows.
OLECHAR* Ole(const char16_t* text) {
  return const_cast<OLECHAR*>(reinterpret_cast<const OLECHAR*>(text));
}
std::u16string Text(const OLECHAR* text) { return text ? AsUtf16(text) : u""; }

struct Target {
  std::u16string text;
  LONG number = 0;
  VARIANT_BOOL flag = 0;
  VARIANT seen;
  int calls = 0;
  HRESULT fail_with = S_OK;
};

HRESULT CallJoin(void* self, VARIANT* a, VARIANT* r) {
  auto* t = static_cast<Target*>(self);
  ++t->calls;
  t->text = Text(a[0].bstrVal);
  t->number = a[1].lVal;
  t->flag = a[2].boolVal;
  r->vt = VT_BSTR;
  r->bstrVal = SysAllocString(Ole(u"joined"));
  return S_OK;
}
HRESULT CallGetValue(void* self, VARIANT*, VARIANT* r) {
  auto* t = static_cast<Target*>(self);
  ++t->calls;
  r->vt = VT_I4;
  r->lVal = t->number;
  return S_OK;
}
HRESULT CallPutValue(void* self, VARIANT* a, VARIANT*) {
  auto* t = static_cast<Target*>(self);
  ++t->calls;
  t->number = a[0].lVal;
  return S_OK;
}
HRESULT CallGetItem(void* self, VARIANT* a, VARIANT* r) {
  auto* t = static_cast<Target*>(self);
  ++t->calls;
  VariantClear(&t->seen);
  VariantCopy(&t->seen, &a[0]);
  r->vt = VT_I4;
  r->lVal = 7;
  return S_OK;
}
HRESULT CallFail(void* self, VARIANT*, VARIANT*) {
  auto* t = static_cast<Target*>(self);
  ++t->calls;
  return ReportError(nullptr, "it went wrong", t->fail_with);
}
HRESULT CallTakeVariant(void* self, VARIANT* a, VARIANT*) {
  auto* t = static_cast<Target*>(self);
  ++t->calls;
  VariantClear(&t->seen);
  VariantCopy(&t->seen, &a[0]);
  return S_OK;
}

const ParamInfo kJoinParams[] = {
    {u"Text", VT_BSTR, false, {VT_ERROR, 0, nullptr}},
    {u"Count", VT_I4, true, {VT_I4, 5, nullptr}},
    {u"Flag", VT_BOOL, true, {VT_BOOL, -1, nullptr}},
};
const ParamInfo kPutParams[] = {{u"Value", VT_I4, false, {VT_ERROR, 0, nullptr}}};
const ParamInfo kItemParams[] = {{u"Key", VT_VARIANT | VT_BYREF, false, {VT_ERROR, 0, nullptr}}};
const ParamInfo kVariantParams[] = {{u"Any", VT_VARIANT, true, {VT_ERROR, 0, nullptr}}};

const MemberInfo kMembers[] = {
    {u"Join", 1, DISPATCH_METHOD, kJoinParams, 3, VT_BSTR, &CallJoin},
    {u"Value", 0, DISPATCH_PROPERTYGET, nullptr, 0, VT_I4, &CallGetValue},
    {u"Value", 0, DISPATCH_PROPERTYPUT, kPutParams, 1, VT_EMPTY, &CallPutValue},
    {u"Item", 2, DISPATCH_PROPERTYGET, kItemParams, 1, VT_I4, &CallGetItem},
    {u"Fail", 3, DISPATCH_METHOD, nullptr, 0, VT_EMPTY, &CallFail},
    {u"TakeVariant", 4, DISPATCH_METHOD, kVariantParams, 1, VT_EMPTY, &CallTakeVariant},
    {u"FailObject", 5, DISPATCH_PROPERTYGET, nullptr, 0, VT_DISPATCH, &CallFail},
};
const InterfaceInfo kInfo = {"ITest", &IID_IDispatch, kMembers, 7};

class DispatchTest : public ::testing::Test {
 protected:
  void SetUp() override { VariantInit(&target_.seen); }
  void TearDown() override {
    VariantClear(&target_.seen);
    for (BSTR s : owned_) SysFreeString(s);
  }

  HRESULT Call(DISPID id, WORD flags, std::initializer_list<VARIANT> args, VARIANT* result = nullptr,
               EXCEPINFO* excep = nullptr, UINT* arg_err = nullptr, DISPID* named = nullptr,
               UINT named_count = 0) {
    // rgvarg holds the arguments last to first.
    args_.assign(args.begin(), args.end());
    std::reverse(args_.begin(), args_.end());
    DISPPARAMS params = {args_.empty() ? nullptr : args_.data(), named,
                         static_cast<UINT>(args_.size()), named_count};
    return Invoke(kInfo, &target_, id, flags, &params, result, excep, arg_err);
  }

  // The caller keeps its arguments: the fixture frees them at the end, and
  // the dispatcher must neither free nor keep them.
  VARIANT Str(const char16_t* s) {
    VARIANT x;
    VariantInit(&x);
    x.vt = VT_BSTR;
    x.bstrVal = SysAllocString(Ole(s));
    owned_.push_back(x.bstrVal);
    return x;
  }
  static VARIANT Missing() {
    VARIANT x;
    VariantInit(&x);
    x.vt = VT_ERROR;
    x.scode = DISP_E_PARAMNOTFOUND;
    return x;
  }

  Target target_;
  std::vector<VARIANT> args_;
  std::vector<BSTR> owned_;
};

TEST_F(DispatchTest, NamesResolveCaseInsensitivelyWithParameterIndexes) {
  NameIndex index(kInfo);
  OLECHAR *join = Ole(u"jOIN"), *flag = Ole(u"FLAG"), *text = Ole(u"text");
  LPOLESTR names[] = {join, flag, text};
  DISPID ids[3];
  ASSERT_EQ(S_OK, GetIDsOfNames(index, kInfo, names, 3, ids));
  EXPECT_EQ(1, ids[0]);
  EXPECT_EQ(2, ids[1]);
  EXPECT_EQ(0, ids[2]);

  OLECHAR* unknown = Ole(u"Joint");
  LPOLESTR bad[] = {unknown};
  EXPECT_EQ(DISP_E_UNKNOWNNAME, GetIDsOfNames(index, kInfo, bad, 1, ids));
  EXPECT_EQ(DISPID_UNKNOWN, ids[0]);

  OLECHAR* nope = Ole(u"Nope");
  LPOLESTR bad_param[] = {join, nope};
  EXPECT_EQ(DISP_E_UNKNOWNNAME, GetIDsOfNames(index, kInfo, bad_param, 2, ids));
  EXPECT_EQ(1, ids[0]);
  EXPECT_EQ(DISPID_UNKNOWN, ids[1]);

  EXPECT_EQ(E_POINTER, GetIDsOfNames(index, kInfo, nullptr, 1, ids));
  EXPECT_EQ(E_POINTER, GetIDsOfNames(index, kInfo, names, 1, nullptr));
}

TEST_F(DispatchTest, OmittedOptionalArgumentsTakeTheirDefaults) {
  VARIANT r;
  VariantInit(&r);
  ASSERT_EQ(S_OK, Call(1, DISPATCH_METHOD, {Str(u"a")}, &r));
  EXPECT_EQ(u"a", target_.text);
  EXPECT_EQ(5, target_.number);
  EXPECT_EQ(VARIANT_TRUE, target_.flag);
  ASSERT_EQ(VT_BSTR, r.vt);
  EXPECT_EQ(u"joined", Text(r.bstrVal));
  VariantClear(&r);

  // A missing argument in the middle, marked the way hosts mark it.
  ASSERT_EQ(S_OK, Call(1, DISPATCH_METHOD, {Str(u"b"), Missing(), I4(0)}));
  EXPECT_EQ(5, target_.number);
  EXPECT_EQ(VARIANT_FALSE, target_.flag);
}

TEST_F(DispatchTest, ArgumentsAreCoercedToTheirDeclaredTypes) {
  ASSERT_EQ(S_OK, Call(1, DISPATCH_METHOD, {I4(42), Str(u" 17 "), Str(u"0")}));
  EXPECT_EQ(u"42", target_.text);
  EXPECT_EQ(17, target_.number);
  EXPECT_EQ(VARIANT_FALSE, target_.flag);

  UINT arg_err = 99;
  EXPECT_EQ(DISP_E_TYPEMISMATCH,
            Call(1, DISPATCH_METHOD, {Str(u"x"), Str(u"seventeen")}, nullptr, nullptr, &arg_err));
  EXPECT_EQ(0u, arg_err);  // rgvarg index: the second argument is stored first
  EXPECT_EQ(1, target_.calls);

  // By-reference arguments are read through.
  LONG held = 9;
  VARIANT ref;
  VariantInit(&ref);
  ref.vt = VT_I4 | VT_BYREF;
  ref.plVal = &held;
  ASSERT_EQ(S_OK, Call(1, DISPATCH_METHOD, {Str(u"y"), ref}));
  EXPECT_EQ(9, target_.number);
}

TEST_F(DispatchTest, WrongArgumentCountsAreRefusedBeforeTheCall) {
  EXPECT_EQ(DISP_E_BADPARAMCOUNT, Call(1, DISPATCH_METHOD, {}));
  EXPECT_EQ(DISP_E_BADPARAMCOUNT,
            Call(1, DISPATCH_METHOD, {Str(u"a"), I4(1), I4(1), I4(1)}));
  EXPECT_EQ(DISP_E_BADPARAMCOUNT, Call(0, DISPATCH_PROPERTYGET, {I4(1)}));
  EXPECT_EQ(0, target_.calls);
}

TEST_F(DispatchTest, KindsMustMatchTheMember) {
  EXPECT_EQ(DISP_E_MEMBERNOTFOUND, Call(1, DISPATCH_PROPERTYGET, {Str(u"a")}));
  EXPECT_EQ(DISP_E_MEMBERNOTFOUND, Call(77, DISPATCH_METHOD, {}));
  VARIANT r;
  VariantInit(&r);
  target_.number = 3;
  // Hosts ask for "method or property get" when a script calls a name, and
  // some for a method alone when the script drops the value.
  ASSERT_EQ(S_OK, Call(0, DISPATCH_METHOD | DISPATCH_PROPERTYGET, {}, &r));
  EXPECT_EQ(VT_I4, r.vt);
  EXPECT_EQ(3, r.lVal);
  VariantInit(&r);
  ASSERT_EQ(S_OK, Call(2, DISPATCH_METHOD, {Str(u"key")}, &r));
  EXPECT_EQ(7, r.lVal);
  // Reading a method's name is no call.
  EXPECT_EQ(DISP_E_MEMBERNOTFOUND, Call(3, DISPATCH_PROPERTYGET, {}));
  EXPECT_EQ(2, target_.calls);
}

TEST_F(DispatchTest, PutTakesTheNamedValueOrTheLastArgument) {
  DISPID put = DISPID_PROPERTYPUT;
  ASSERT_EQ(S_OK, Call(0, DISPATCH_PROPERTYPUT, {Str(u"12")}, nullptr, nullptr, nullptr, &put, 1));
  EXPECT_EQ(12, target_.number);
  ASSERT_EQ(S_OK, Call(0, DISPATCH_PROPERTYPUTREF, {I4(13)}));
  EXPECT_EQ(13, target_.number);
  EXPECT_EQ(DISP_E_BADPARAMCOUNT, Call(0, DISPATCH_PROPERTYPUT, {}));
}

TEST_F(DispatchTest, NamedArgumentsReachTheirParameters) {
  DISPID named[] = {2, 1};  // Flag, Count; rgvarg[0] pairs with named[0]
  std::vector<VARIANT> args = {I4(0), I4(8), Str(u"n")};
  DISPPARAMS params = {args.data(), named, 3, 2};
  ASSERT_EQ(S_OK, Invoke(kInfo, &target_, 1, DISPATCH_METHOD, &params, nullptr, nullptr, nullptr));
  EXPECT_EQ(u"n", target_.text);
  EXPECT_EQ(8, target_.number);
  EXPECT_EQ(VARIANT_FALSE, target_.flag);

  DISPID bad[] = {9};
  DISPPARAMS bad_params = {args.data(), bad, 1, 1};
  EXPECT_EQ(DISP_E_PARAMNOTFOUND,
            Invoke(kInfo, &target_, 1, DISPATCH_METHOD, &bad_params, nullptr, nullptr, nullptr));
}

TEST_F(DispatchTest, VariantParametersArriveAsGivenIncludingMissing) {
  ASSERT_EQ(S_OK, Call(4, DISPATCH_METHOD, {}));
  EXPECT_EQ(VT_ERROR, target_.seen.vt);
  EXPECT_EQ(DISP_E_PARAMNOTFOUND, target_.seen.scode);
  ASSERT_EQ(S_OK, Call(4, DISPATCH_METHOD, {Str(u"kept")}));
  ASSERT_EQ(VT_BSTR, target_.seen.vt);
  EXPECT_EQ(u"kept", Text(target_.seen.bstrVal));
}

TEST_F(DispatchTest, ParameterisedGetsPassTheCallersVariant) {
  VARIANT r;
  VariantInit(&r);
  ASSERT_EQ(S_OK, Call(2, DISPATCH_METHOD | DISPATCH_PROPERTYGET, {Str(u"key")}, &r));
  EXPECT_EQ(7, r.lVal);
  ASSERT_EQ(VT_BSTR, target_.seen.vt);
  EXPECT_EQ(u"key", Text(target_.seen.bstrVal));
}

TEST_F(DispatchTest, AFailingMemberHandsItsErrorRecordToTheCaller) {
  target_.fail_with = static_cast<HRESULT>(0x80070002);
  EXCEPINFO excep;
  ASSERT_EQ(DISP_E_EXCEPTION, Call(3, DISPATCH_METHOD, {}, nullptr, &excep));
  EXPECT_EQ(static_cast<HRESULT>(0x80070002), excep.scode);
  ASSERT_NE(nullptr, excep.bstrDescription);
  EXPECT_EQ(u"it went wrong", Text(excep.bstrDescription));
  EXPECT_EQ(nullptr, excep.bstrSource);  // no registered identity
  SysFreeString(excep.bstrDescription);
  SysFreeString(excep.bstrSource);
  SysFreeString(excep.bstrHelpFile);
  // The record was handed over, not left behind.
  IErrorInfo* left = nullptr;
  EXPECT_EQ(S_FALSE, GetErrorInfo(0, &left));

  // Without EXCEPINFO the member's own code comes back.
  target_.fail_with = 0;
  EXPECT_EQ(DISP_E_EXCEPTION, Call(3, DISPATCH_METHOD, {}));

  // A failed object result is Nothing, so that a caller storing it with Set
  // keeps the member's error.
  VARIANT r;
  VariantInit(&r);
  EXPECT_EQ(DISP_E_EXCEPTION, Call(5, DISPATCH_METHOD | DISPATCH_PROPERTYGET, {}, &r, &excep));
  EXPECT_EQ(VT_DISPATCH, r.vt);
  EXPECT_EQ(nullptr, r.pdispVal);
  EXPECT_EQ(0, excep.wCode);
  EXPECT_EQ(DISP_E_EXCEPTION, excep.scode);
  SysFreeString(excep.bstrDescription);
  SysFreeString(excep.bstrSource);
}

TEST_F(DispatchTest, NullParametersAreRefused) {
  EXPECT_EQ(E_POINTER, Invoke(kInfo, &target_, 1, DISPATCH_METHOD, nullptr, nullptr, nullptr, nullptr));
  DISPPARAMS params = {nullptr, nullptr, 2, 0};
  EXPECT_EQ(E_POINTER, Invoke(kInfo, &target_, 1, DISPATCH_METHOD, &params, nullptr, nullptr, nullptr));
}

}  // namespace
}  // namespace tessary::dispatch
