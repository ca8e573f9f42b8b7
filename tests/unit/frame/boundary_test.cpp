// What a C++ exception becomes where the module meets its callers: a member
// that runs out of memory (or throws anything else) ends its call through
// IDispatch with an HRESULT instead of unwinding into the caller, and the
// Win32-style services answer their failure value with the last error set.
// Also what reaches a member declared with an enumeration: any long.
#include <gtest/gtest.h>

#include <new>
#include <stdexcept>
#include <type_traits>

#include "frame/com_object.h"
#include "platform/guard.h"

namespace tessary {
namespace {

// A member whose allocation fails, and one that fails some other way, behind
// the generated dispatch table of a real interface.
class Thrower : public Object<Thrower, IDictionary> {
 public:
  HRESULT STDMETHODCALLTYPE get_Count(LONG*) override { throw std::bad_alloc(); }
  HRESULT STDMETHODCALLTYPE Exists(VARIANT*, VARIANT_BOOL*) override {
    throw std::logic_error("broken invariant");
  }
  HRESULT STDMETHODCALLTYPE put_CompareMode(CompareMethod mode) override {
    mode_ = static_cast<LONG>(mode);
    return S_OK;
  }
  LONG mode_ = 0;
};

constexpr DISPID kCount = 0x60020003;
constexpr DISPID kExists = 3;

TEST(BoundaryTest, ExceptionInMemberBecomesHResult) {
  Thrower* object = nullptr;
  ASSERT_EQ(S_OK, CreateObject(&object));
  IDispatch* dispatch = static_cast<IDictionary*>(object);

  struct Case {
    DISPID id;
    WORD flags;
    HRESULT expected;
  } cases[] = {{kCount, DISPATCH_PROPERTYGET, E_OUTOFMEMORY},
               {kExists, DISPATCH_METHOD, E_UNEXPECTED}};
  for (const Case& c : cases) {
    // A record left by an earlier call must not be passed off as this
    // failure's description.
    ReportError(nullptr, "stale", E_FAIL);
    VARIANT key;
    VariantInit(&key);
    DISPPARAMS params = {&key, nullptr, c.id == kExists ? 1u : 0u, 0};
    VARIANT result;
    VariantInit(&result);
    EXCEPINFO excep = {};
    EXPECT_EQ(c.expected,
              dispatch->Invoke(c.id, IID_NULL, 0, c.flags, &params, &result, &excep, nullptr));
    EXPECT_EQ(VT_EMPTY, result.vt);
    IErrorInfo* record = nullptr;
    EXPECT_EQ(S_FALSE, GetErrorInfo(0, &record));
    if (record) record->Release();
  }
  object->Release();
}

TEST(BoundaryTest, EnumerationArgumentTakesAnyLong) {
  // Without a fixed type, values outside the enumerators' range have no
  // meaning in C++ (and the sanitizer stops the load of one).
  EXPECT_TRUE((std::is_same_v<std::underlying_type_t<CompareMethod>, int>));
  Thrower* object = nullptr;
  ASSERT_EQ(S_OK, CreateObject(&object));
  for (LONG value : {-1L, 0x7FFFFFFFL, 5L}) {
    VARIANT mode;
    VariantInit(&mode);
    mode.vt = VT_I4;
    mode.lVal = value;
    DISPID put = DISPID_PROPERTYPUT;
    DISPPARAMS params = {&mode, &put, 1, 1};
    EXPECT_EQ(S_OK, static_cast<IDictionary*>(object)->Invoke(9, IID_NULL, 0, DISPATCH_PROPERTYPUT,
                                                              &params, nullptr, nullptr, nullptr));
    EXPECT_EQ(value, object->mode_);
  }
  object->Release();
}

TEST(BoundaryTest, Win32StyleGuardSetsLastError) {
  SetLastError(0);
  EXPECT_EQ(FALSE, GuardWin32<BOOL>(FALSE, []() -> BOOL { throw std::bad_alloc(); }));
  EXPECT_EQ(static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY), GetLastError());
  EXPECT_EQ(0u, GuardWin32<DWORD>(0, []() -> DWORD { throw std::out_of_range("index"); }));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INTERNAL_ERROR), GetLastError());
  EXPECT_EQ(TRUE, GuardWin32<BOOL>(FALSE, [] { return TRUE; }));
}

}  // namespace
}  // namespace tessary
