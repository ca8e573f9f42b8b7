// Variant ownership: what VariantClear releases, what VariantCopy duplicates,
// and how VariantCopyInd follows references.
#include <gtest/gtest.h>
#include <string.h>

#include <string>

#include "platform/automation.h"
#include "unit/platform/automation_test_objects.h"

namespace {

using tessary::testing::CountingDispatch;
using tessary::testing::Var;

TEST(VariantClear, ReleasesTheInterfaceAndEmpties) {
  CountingDispatch object;
  Var v;
  v.v.vt = VT_DISPATCH;
  v.v.pdispVal = &object;
  object.AddRef();
  ASSERT_EQ(S_OK, VariantClear(v.get()));
  EXPECT_EQ(VT_EMPTY, v.v.vt);
  EXPECT_EQ(1, object.refs);
}

TEST(VariantClear, LeavesWhatAReferencePointsAt) {
  CountingDispatch object;
  IDispatch* held = &object;
  Var v;
  v.v.vt = VT_BYREF | VT_DISPATCH;
  v.v.ppdispVal = &held;
  ASSERT_EQ(S_OK, VariantClear(v.get()));
  EXPECT_EQ(1, object.refs);

  BSTR text = SysAllocString(u"still mine");
  v.v.vt = VT_BYREF | VT_BSTR;
  v.v.pbstrVal = &text;
  ASSERT_EQ(S_OK, VariantClear(v.get()));
  EXPECT_EQ(std::u16string(u"still mine"), std::u16string(text));  // ASan: not freed
  SysFreeString(text);
}

TEST(VariantClear, RefusesBadAndUnsupportedTypes) {
  VARIANT v;
  VariantInit(&v);
  for (VARTYPE vt :
       {VARTYPE(15), VARTYPE(VT_VOID), VARTYPE(VT_RECORD), VARTYPE(VT_BYREF | VT_EMPTY),
        VARTYPE(VT_ARRAY | VT_NULL), VARTYPE(VT_VECTOR | VT_I4), VARTYPE(0x7F)}) {
    v.vt = vt;
    EXPECT_EQ(DISP_E_BADVARTYPE, VariantClear(&v)) << "vt " << vt;
    EXPECT_EQ(vt, v.vt);
  }
}

TEST(VariantClear, KeepsALockedArray) {
  Var v;
  v.v.vt = VT_ARRAY | VT_UI1;
  v.v.parray = SafeArrayCreateVector(VT_UI1, 0, 4);
  ASSERT_EQ(S_OK, SafeArrayLock(v.v.parray));
  EXPECT_EQ(DISP_E_ARRAYISLOCKED, VariantClear(v.get()));
  EXPECT_EQ(VT_ARRAY | VT_UI1, v.v.vt);
  ASSERT_EQ(S_OK, SafeArrayUnlock(v.v.parray));
}

TEST(VariantCopy, DuplicatesStringsWithEmbeddedNuls) {
  const char16_t text[] = {u'x', 0, u'y'};
  Var src, dst;
  src.v.vt = VT_BSTR;
  src.v.bstrVal = SysAllocStringLen(text, 3);
  ASSERT_EQ(S_OK, VariantCopy(dst.get(), src.get()));
  ASSERT_EQ(VT_BSTR, dst.v.vt);
  EXPECT_NE(src.v.bstrVal, dst.v.bstrVal);
  ASSERT_EQ(3u, SysStringLen(dst.v.bstrVal));
  EXPECT_EQ(0, memcmp(text, dst.v.bstrVal, sizeof(text)));
}

TEST(VariantCopy, ClearsTheDestinationAndAddRefs) {
  CountingDispatch object;
  Var src, dst;
  src.v.vt = VT_UNKNOWN;
  src.v.punkVal = &object;
  object.AddRef();
  dst.v.vt = VT_BSTR;
  dst.v.bstrVal = SysAllocString(u"old");  // LSan reports it if not freed
  ASSERT_EQ(S_OK, VariantCopy(dst.get(), src.get()));
  EXPECT_EQ(VT_UNKNOWN, dst.v.vt);
  EXPECT_EQ(3, object.refs);
  VariantClear(dst.get());
  VariantClear(src.get());
  EXPECT_EQ(1, object.refs);
}

TEST(VariantCopy, CopiesArraysDeeply) {
  Var src, dst;
  src.v.vt = VT_ARRAY | VT_BSTR;
  src.v.parray = SafeArrayCreateVector(VT_BSTR, 1, 2);
  LONG index = 2;
  BSTR b = SysAllocString(u"two");
  ASSERT_EQ(S_OK, SafeArrayPutElement(src.v.parray, &index, b));
  SysFreeString(b);
  ASSERT_EQ(S_OK, VariantCopy(dst.get(), src.get()));
  ASSERT_NE(src.v.parray, dst.v.parray);
  BSTR* a = static_cast<BSTR*>(src.v.parray->pvData);
  BSTR* c = static_cast<BSTR*>(dst.v.parray->pvData);
  EXPECT_EQ(nullptr, c[0]);
  EXPECT_NE(a[1], c[1]);
  EXPECT_EQ(std::u16string(u"two"), std::u16string(c[1]));
}

TEST(VariantCopy, CopiesAReferenceAsThePointer) {
  LONG value = 5;
  Var src, dst;
  src.v.vt = VT_BYREF | VT_I4;
  src.v.plVal = &value;
  ASSERT_EQ(S_OK, VariantCopy(dst.get(), src.get()));
  EXPECT_EQ(VT_BYREF | VT_I4, dst.v.vt);
  EXPECT_EQ(&value, dst.v.plVal);
}

TEST(VariantCopy, OntoItselfChangesNothing) {
  Var v;
  v.v.vt = VT_BSTR;
  v.v.bstrVal = SysAllocString(u"same");
  BSTR before = v.v.bstrVal;
  ASSERT_EQ(S_OK, VariantCopy(v.get(), v.get()));
  EXPECT_EQ(before, v.v.bstrVal);
}

TEST(VariantCopy, FromAnElementOfTheDestinationsOwnArray) {
  // The source lives inside the destination: the copy must be taken before
  // the destination lets go of it.
  Var dst;
  dst.v.vt = VT_ARRAY | VT_VARIANT;
  dst.v.parray = SafeArrayCreateVector(VT_VARIANT, 0, 1);
  VARIANT* cells = static_cast<VARIANT*>(dst.v.parray->pvData);
  cells[0].vt = VT_BSTR;
  cells[0].bstrVal = SysAllocString(u"inner");
  VARIANT alias = cells[0];
  ASSERT_EQ(S_OK, VariantCopy(dst.get(), &alias));
  ASSERT_EQ(VT_BSTR, dst.v.vt);
  EXPECT_EQ(std::u16string(u"inner"), std::u16string(dst.v.bstrVal));
}

TEST(VariantCopy, RefusesABadSourceAndKeepsTheDestination) {
  Var src, dst;
  src.v.vt = 15;
  dst.v.vt = VT_I4;
  dst.v.lVal = 9;
  EXPECT_EQ(DISP_E_BADVARTYPE, VariantCopy(dst.get(), src.get()));
  EXPECT_EQ(VT_I4, dst.v.vt);
  src.v.vt = VT_EMPTY;
}

TEST(VariantCopyInd, DereferencesPlainValuesAndStrings) {
  double d = 2.5;
  Var src, dst;
  src.v.vt = VT_BYREF | VT_R8;
  src.v.pdblVal = &d;
  ASSERT_EQ(S_OK, VariantCopyInd(dst.get(), src.get()));
  EXPECT_EQ(VT_R8, dst.v.vt);
  EXPECT_EQ(2.5, dst.v.dblVal);

  BSTR text = SysAllocString(u"ref");
  src.v.vt = VT_BYREF | VT_BSTR;
  src.v.pbstrVal = &text;
  ASSERT_EQ(S_OK, VariantCopyInd(dst.get(), src.get()));
  ASSERT_EQ(VT_BSTR, dst.v.vt);
  EXPECT_NE(text, dst.v.bstrVal);
  EXPECT_EQ(std::u16string(u"ref"), std::u16string(dst.v.bstrVal));
  SysFreeString(text);
  src.v.vt = VT_EMPTY;
}

TEST(VariantCopyInd, FollowsAVariantReferenceAndOneMoreInsideIt) {
  SHORT value = 12;
  VARIANT inner;
  inner.vt = VT_BYREF | VT_I2;
  inner.piVal = &value;
  Var src, dst;
  src.v.vt = VT_BYREF | VT_VARIANT;
  src.v.pvarVal = &inner;
  ASSERT_EQ(S_OK, VariantCopyInd(dst.get(), src.get()));
  EXPECT_EQ(VT_I2, dst.v.vt);
  EXPECT_EQ(12, dst.v.iVal);

  // A reference to a reference to a variant is refused.
  VARIANT middle;
  middle.vt = VT_BYREF | VT_VARIANT;
  middle.pvarVal = &inner;
  src.v.pvarVal = &middle;
  EXPECT_EQ(E_INVALIDARG, VariantCopyInd(dst.get(), src.get()));
  EXPECT_EQ(VT_I2, dst.v.vt);
  src.v.vt = VT_EMPTY;
}

TEST(VariantCopyInd, CopiesTheReferencedArray) {
  SAFEARRAY* psa = SafeArrayCreateVector(VT_I4, 0, 3);
  static_cast<LONG*>(psa->pvData)[2] = 77;
  Var src, dst;
  src.v.vt = VT_BYREF | VT_ARRAY | VT_I4;
  src.v.pparray = &psa;
  ASSERT_EQ(S_OK, VariantCopyInd(dst.get(), src.get()));
  ASSERT_EQ(VT_ARRAY | VT_I4, dst.v.vt);
  EXPECT_NE(psa, dst.v.parray);
  EXPECT_EQ(77, static_cast<LONG*>(dst.v.parray->pvData)[2]);
  SafeArrayDestroy(psa);
  src.v.vt = VT_EMPTY;
}

TEST(VariantCopyInd, InPlaceReplacesTheReferenceByTheValue) {
  LONG value = 3;
  Var v;
  v.v.vt = VT_BYREF | VT_I4;
  v.v.plVal = &value;
  ASSERT_EQ(S_OK, VariantCopyInd(v.get(), v.get()));
  EXPECT_EQ(VT_I4, v.v.vt);
  EXPECT_EQ(3, v.v.lVal);
}

TEST(VariantCopyInd, AddRefsTheReferencedInterface) {
  CountingDispatch object;
  IDispatch* held = &object;
  Var src, dst;
  src.v.vt = VT_BYREF | VT_DISPATCH;
  src.v.ppdispVal = &held;
  ASSERT_EQ(S_OK, VariantCopyInd(dst.get(), src.get()));
  EXPECT_EQ(VT_DISPATCH, dst.v.vt);
  EXPECT_EQ(2, object.refs);
  VariantClear(dst.get());
  EXPECT_EQ(1, object.refs);
  src.v.vt = VT_EMPTY;
}

}  // namespace
