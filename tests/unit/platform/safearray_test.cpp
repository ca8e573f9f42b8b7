// Safe arrays: descriptor layout, index order, bounds, locking, element
// ownership, copy and redim.
#include <gtest/gtest.h>
#include <string.h>

#include <string>

#include "platform/automation.h"
#include "platform/byte_arrays.h"
#include "unit/platform/automation_test_objects.h"

namespace {

using tessary::testing::CountingDispatch;

TEST(SafeArray, VectorLayoutAndBounds) {
  SAFEARRAY* psa = SafeArrayCreateVector(VT_UI1, 5, 10);
  ASSERT_NE(nullptr, psa);
  EXPECT_EQ(1u, SafeArrayGetDim(psa));
  EXPECT_EQ(1u, SafeArrayGetElemsize(psa));
  EXPECT_EQ(10u, psa->rgsabound[0].cElements);
  LONG lo = 0, hi = 0;
  ASSERT_EQ(S_OK, SafeArrayGetLBound(psa, 1, &lo));
  ASSERT_EQ(S_OK, SafeArrayGetUBound(psa, 1, &hi));
  EXPECT_EQ(5, lo);
  EXPECT_EQ(14, hi);
  EXPECT_EQ(DISP_E_BADINDEX, SafeArrayGetLBound(psa, 0, &lo));
  EXPECT_EQ(DISP_E_BADINDEX, SafeArrayGetUBound(psa, 2, &hi));
  VARTYPE vt = VT_EMPTY;
  ASSERT_EQ(S_OK, SafeArrayGetVartype(psa, &vt));
  EXPECT_EQ(VT_UI1, vt);
  EXPECT_EQ(S_OK, SafeArrayDestroy(psa));
}

TEST(SafeArray, VartypeIsStoredBeforeTheDescriptor) {
  SAFEARRAY* psa = SafeArrayCreateVector(VT_R8, 0, 1);
  ASSERT_NE(nullptr, psa);
  EXPECT_TRUE(psa->fFeatures & FADF_HAVEVARTYPE);
  DWORD stored;
  memcpy(&stored, reinterpret_cast<const char*>(psa) - 4, sizeof(stored));
  EXPECT_EQ(static_cast<DWORD>(VT_R8), stored);
  SafeArrayDestroy(psa);

  psa = SafeArrayCreateVector(VT_DISPATCH, 0, 1);
  EXPECT_TRUE(psa->fFeatures & FADF_HAVEIID);
  GUID iid;
  memcpy(&iid, reinterpret_cast<const char*>(psa) - 16, sizeof(iid));
  EXPECT_TRUE(IsEqualGUID(IID_IDispatch, iid));
  VARTYPE vt;
  ASSERT_EQ(S_OK, SafeArrayGetVartype(psa, &vt));
  EXPECT_EQ(VT_DISPATCH, vt);
  SafeArrayDestroy(psa);
}

TEST(SafeArray, EmptyVectorHasUpperBoundBelowLower) {
  SAFEARRAY* psa = SafeArrayCreateVector(VT_UI1, 0, 0);
  ASSERT_NE(nullptr, psa);
  LONG hi = 0;
  ASSERT_EQ(S_OK, SafeArrayGetUBound(psa, 1, &hi));
  EXPECT_EQ(-1, hi);
  void* data = nullptr;
  ASSERT_EQ(S_OK, SafeArrayAccessData(psa, &data));
  EXPECT_NE(nullptr, data);
  SafeArrayUnaccessData(psa);
  SafeArrayDestroy(psa);
}

// A byte array made to be filled differs from the zeroed vector only in
// what its elements hold before they are written.
TEST(SafeArray, ABytesArrayToFillIsTheByteVectorUnzeroed) {
  for (ULONG count : {0u, 3u, 65536u}) {
    SAFEARRAY* fill = SafeArrayCreateBytesToFill(count);
    SAFEARRAY* zeroed = SafeArrayCreateVector(VT_UI1, 0, count);
    ASSERT_NE(nullptr, fill);
    ASSERT_NE(nullptr, zeroed);
    EXPECT_EQ(zeroed->fFeatures, fill->fFeatures) << count;
    EXPECT_EQ(zeroed->cbElements, fill->cbElements);
    EXPECT_EQ(zeroed->cDims, fill->cDims);
    EXPECT_EQ(zeroed->rgsabound[0].cElements, fill->rgsabound[0].cElements);
    EXPECT_EQ(zeroed->rgsabound[0].lLbound, fill->rgsabound[0].lLbound);
    VARTYPE vt = VT_EMPTY;
    ASSERT_EQ(S_OK, SafeArrayGetVartype(fill, &vt));
    EXPECT_EQ(VT_UI1, vt);
    ASSERT_NE(nullptr, fill->pvData);
    if (count > 0) memset(fill->pvData, 0xAB, count);
    EXPECT_EQ(S_OK, SafeArrayDestroy(fill));
    EXPECT_EQ(S_OK, SafeArrayDestroy(zeroed));
  }
}

TEST(SafeArray, RefusesTypesAndShapesWindowsRefuses) {
  SAFEARRAYBOUND bound = {1, 0};
  EXPECT_EQ(nullptr, SafeArrayCreate(VT_EMPTY, 1, &bound));
  EXPECT_EQ(nullptr, SafeArrayCreate(VT_NULL, 1, &bound));
  EXPECT_EQ(nullptr, SafeArrayCreate(VT_I4, 0, &bound));
  EXPECT_EQ(nullptr, SafeArrayCreate(VT_I4, 1, nullptr));
  // 2^31 elements of 8 bytes do not fit the 32-bit size arithmetic.
  EXPECT_EQ(nullptr, SafeArrayCreateVector(VT_R8, 0, 0x80000000u));
}

TEST(SafeArray, LeftmostIndexVariesFastestAndBoundsAreStoredReversed) {
  SAFEARRAYBOUND bounds[2] = {{2, 1}, {3, 10}};  // (1..2, 10..12)
  SAFEARRAY* psa = SafeArrayCreate(VT_I4, 2, bounds);
  ASSERT_NE(nullptr, psa);
  EXPECT_EQ(3u, psa->rgsabound[0].cElements);
  EXPECT_EQ(10, psa->rgsabound[0].lLbound);
  EXPECT_EQ(2u, psa->rgsabound[1].cElements);
  LONG lo;
  ASSERT_EQ(S_OK, SafeArrayGetLBound(psa, 1, &lo));
  EXPECT_EQ(1, lo);
  ASSERT_EQ(S_OK, SafeArrayGetLBound(psa, 2, &lo));
  EXPECT_EQ(10, lo);

  for (LONG i = 1; i <= 2; ++i) {
    for (LONG j = 10; j <= 12; ++j) {
      LONG indices[2] = {i, j};
      LONG value = i * 100 + j;
      ASSERT_EQ(S_OK, SafeArrayPutElement(psa, indices, &value));
    }
  }
  const LONG* data = static_cast<const LONG*>(psa->pvData);
  EXPECT_EQ(110, data[0]);
  EXPECT_EQ(210, data[1]);
  EXPECT_EQ(111, data[2]);
  EXPECT_EQ(212, data[5]);

  LONG outside[2] = {3, 10};
  LONG value = 0;
  EXPECT_EQ(DISP_E_BADINDEX, SafeArrayGetElement(psa, outside, &value));
  outside[0] = 1;
  outside[1] = 9;
  EXPECT_EQ(DISP_E_BADINDEX, SafeArrayPutElement(psa, outside, &value));
  SafeArrayDestroy(psa);
}

TEST(SafeArray, LockingBlocksDestroyAndRedim) {
  SAFEARRAY* psa = SafeArrayCreateVector(VT_I2, 0, 2);
  void* data = nullptr;
  ASSERT_EQ(S_OK, SafeArrayAccessData(psa, &data));
  EXPECT_EQ(psa->pvData, data);
  EXPECT_EQ(DISP_E_ARRAYISLOCKED, SafeArrayDestroy(psa));
  SAFEARRAYBOUND bound = {4, 0};
  EXPECT_EQ(DISP_E_ARRAYISLOCKED, SafeArrayRedim(psa, &bound));
  ASSERT_EQ(S_OK, SafeArrayUnaccessData(psa));
  EXPECT_EQ(E_UNEXPECTED, SafeArrayUnlock(psa));
  EXPECT_EQ(S_OK, SafeArrayDestroy(psa));
}

TEST(SafeArray, StringsAreCopiedInAndOut) {
  SAFEARRAY* psa = SafeArrayCreateVector(VT_BSTR, 0, 2);
  LONG index = 1;
  BSTR in = SysAllocString(u"value");
  ASSERT_EQ(S_OK, SafeArrayPutElement(psa, &index, in));
  EXPECT_NE(in, static_cast<BSTR*>(psa->pvData)[1]);
  SysFreeString(in);
  // Replacing frees the previous element (LSan checks).
  BSTR second = SysAllocString(u"second");
  ASSERT_EQ(S_OK, SafeArrayPutElement(psa, &index, second));
  SysFreeString(second);

  BSTR out = nullptr;
  ASSERT_EQ(S_OK, SafeArrayGetElement(psa, &index, &out));
  EXPECT_EQ(std::u16string(u"second"), std::u16string(out));
  EXPECT_NE(out, static_cast<BSTR*>(psa->pvData)[1]);
  SysFreeString(out);
  EXPECT_EQ(S_OK, SafeArrayDestroy(psa));
}

TEST(SafeArray, InterfacesAreAddRefedAndReleasedOnDestroy) {
  CountingDispatch object;
  SAFEARRAY* psa = SafeArrayCreateVector(VT_DISPATCH, 0, 3);
  LONG index = 0;
  ASSERT_EQ(S_OK, SafeArrayPutElement(psa, &index, static_cast<IDispatch*>(&object)));
  index = 2;
  ASSERT_EQ(S_OK, SafeArrayPutElement(psa, &index, static_cast<IDispatch*>(&object)));
  EXPECT_EQ(3, object.refs);
  IDispatch* out = nullptr;
  ASSERT_EQ(S_OK, SafeArrayGetElement(psa, &index, &out));
  EXPECT_EQ(&object, out);
  EXPECT_EQ(4, object.refs);
  out->Release();
  SAFEARRAY* copy = nullptr;
  ASSERT_EQ(S_OK, SafeArrayCopy(psa, &copy));
  EXPECT_EQ(5, object.refs);
  ASSERT_EQ(S_OK, SafeArrayDestroy(copy));
  ASSERT_EQ(S_OK, SafeArrayDestroy(psa));
  EXPECT_EQ(1, object.refs);
  // An array over the caller's own memory releases its elements and leaves
  // the memory, zeroed, to the caller.
  IDispatch* held[2] = {&object, &object};
  object.refs = 3;
  SAFEARRAY fixed{};
  fixed.cDims = 1;
  fixed.fFeatures = FADF_STATIC | FADF_DISPATCH;
  fixed.cbElements = sizeof(IDispatch*);
  fixed.pvData = held;
  fixed.rgsabound[0].cElements = 2;
  ASSERT_EQ(S_OK, SafeArrayDestroy(&fixed));
  EXPECT_EQ(1, object.refs);
  EXPECT_EQ(nullptr, held[0]);
  EXPECT_EQ(nullptr, held[1]);
}

TEST(SafeArray, VariantElementsAreDeepCopies) {
  SAFEARRAY* psa = SafeArrayCreateVector(VT_VARIANT, 0, 2);
  VARIANT in;
  in.vt = VT_BSTR;
  in.bstrVal = SysAllocString(u"deep");
  LONG index = 0;
  ASSERT_EQ(S_OK, SafeArrayPutElement(psa, &index, &in));
  VariantClear(&in);
  VARIANT out;
  out.vt = 0x7FFF;  // treated as uninitialised, not cleared
  ASSERT_EQ(S_OK, SafeArrayGetElement(psa, &index, &out));
  ASSERT_EQ(VT_BSTR, out.vt);
  EXPECT_EQ(std::u16string(u"deep"), std::u16string(out.bstrVal));
  VariantClear(&out);
  EXPECT_EQ(S_OK, SafeArrayDestroy(psa));
}

TEST(SafeArray, CopyIsIndependent) {
  SAFEARRAY* psa = SafeArrayCreateVector(VT_I4, -1, 3);
  static_cast<LONG*>(psa->pvData)[0] = 5;
  SAFEARRAY* copy = nullptr;
  ASSERT_EQ(S_OK, SafeArrayCopy(psa, &copy));
  static_cast<LONG*>(psa->pvData)[0] = 6;
  EXPECT_EQ(5, static_cast<LONG*>(copy->pvData)[0]);
  LONG lo;
  ASSERT_EQ(S_OK, SafeArrayGetLBound(copy, 1, &lo));
  EXPECT_EQ(-1, lo);
  VARTYPE vt;
  ASSERT_EQ(S_OK, SafeArrayGetVartype(copy, &vt));
  EXPECT_EQ(VT_I4, vt);
  SafeArrayDestroy(copy);
  SafeArrayDestroy(psa);

  copy = reinterpret_cast<SAFEARRAY*>(1);
  EXPECT_EQ(S_OK, SafeArrayCopy(nullptr, &copy));
  EXPECT_EQ(nullptr, copy);
}

TEST(SafeArray, RedimGrowsWithZeroesAndShrinksReleasing) {
  SAFEARRAY* psa = SafeArrayCreateVector(VT_BSTR, 0, 3);
  for (LONG i = 0; i < 3; ++i) {
    BSTR b = SysAllocString(u"x");
    ASSERT_EQ(S_OK, SafeArrayPutElement(psa, &i, b));
    SysFreeString(b);
  }
  SAFEARRAYBOUND smaller = {1, 0};
  ASSERT_EQ(S_OK, SafeArrayRedim(psa, &smaller));  // two strings freed (LSan checks)
  SAFEARRAYBOUND larger = {4, 2};
  ASSERT_EQ(S_OK, SafeArrayRedim(psa, &larger));
  LONG lo, hi;
  SafeArrayGetLBound(psa, 1, &lo);
  SafeArrayGetUBound(psa, 1, &hi);
  EXPECT_EQ(2, lo);
  EXPECT_EQ(5, hi);
  BSTR* items = static_cast<BSTR*>(psa->pvData);
  EXPECT_EQ(std::u16string(u"x"), std::u16string(items[0]));
  for (int i = 1; i < 4; ++i) EXPECT_EQ(nullptr, items[i]);
  SafeArrayDestroy(psa);
}

TEST(SafeArray, RedimChangesTheRightmostDimension) {
  SAFEARRAYBOUND bounds[2] = {{2, 0}, {2, 0}};
  SAFEARRAY* psa = SafeArrayCreate(VT_I4, 2, bounds);
  LONG idx[2] = {1, 1};
  LONG value = 11;
  SafeArrayPutElement(psa, idx, &value);
  SAFEARRAYBOUND more = {3, 0};
  ASSERT_EQ(S_OK, SafeArrayRedim(psa, &more));
  LONG hi;
  SafeArrayGetUBound(psa, 1, &hi);
  EXPECT_EQ(1, hi);
  SafeArrayGetUBound(psa, 2, &hi);
  EXPECT_EQ(2, hi);
  value = 0;
  ASSERT_EQ(S_OK, SafeArrayGetElement(psa, idx, &value));
  EXPECT_EQ(11, value);
  SafeArrayDestroy(psa);
}

TEST(SafeArray, NullArguments) {
  EXPECT_EQ(S_OK, SafeArrayDestroy(nullptr));
  EXPECT_EQ(0u, SafeArrayGetDim(nullptr));
  EXPECT_EQ(E_INVALIDARG, SafeArrayLock(nullptr));
  LONG lo;
  EXPECT_EQ(E_INVALIDARG, SafeArrayGetLBound(nullptr, 1, &lo));
}

}  // namespace
