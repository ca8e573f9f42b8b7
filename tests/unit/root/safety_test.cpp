// The root object's frame duties: object safety and the web page hooks.
#include <gtest/gtest.h>

#include "fake_dispatch.h"
#include "root/tessary.h"

namespace {

class RootTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(S_OK, tessary::CreateObject(&root_)); }
  void TearDown() override {
    if (root_) root_->Release();
  }
  IObjectSafety* safety() { return static_cast<IObjectSafety*>(root_); }
  Tessary* root_ = nullptr;
};

TEST_F(RootTest, SafetyOptionsStartClearAndOnlyUntrustedCallerIsSupported) {
  DWORD supported = 9, enabled = 9;
  EXPECT_EQ(E_POINTER, safety()->GetInterfaceSafetyOptions(IID_IDispatch, nullptr, &enabled));
  EXPECT_EQ(E_POINTER, safety()->GetInterfaceSafetyOptions(IID_IDispatch, &supported, nullptr));
  ASSERT_EQ(S_OK, safety()->GetInterfaceSafetyOptions(IID_IDispatch, &supported, &enabled));
  EXPECT_EQ(1u, supported);
  EXPECT_EQ(0u, enabled);
}

TEST_F(RootTest, SafetyOptionsChangeOnlyForTheSupportedBit) {
  EXPECT_EQ(E_FAIL, safety()->SetInterfaceSafetyOptions(IID_IDispatch, 2, 2));
  DWORD supported = 0, enabled = 0;
  safety()->GetInterfaceSafetyOptions(IID_IDispatch, &supported, &enabled);
  EXPECT_EQ(0u, enabled);

  ASSERT_EQ(S_OK, safety()->SetInterfaceSafetyOptions(IID_ITessary, 1, 1));
  ASSERT_EQ(S_OK, safety()->GetInterfaceSafetyOptions(IID_IDispatch, &supported, &enabled));
  EXPECT_EQ(1u, supported);
  EXPECT_EQ(1u, enabled);

  // Asking for the option to be cleared clears it.
  ASSERT_EQ(S_OK, safety()->SetInterfaceSafetyOptions(IID_IDispatch, 1, 0));
  safety()->GetInterfaceSafetyOptions(IID_IDispatch, &supported, &enabled);
  EXPECT_EQ(0u, enabled);
}

TEST_F(RootTest, SafetyQueriesForUnsupportedInterfacesFail) {
  DWORD supported = 9, enabled = 9;
  EXPECT_EQ(E_NOINTERFACE, safety()->GetInterfaceSafetyOptions(IID_IFile, &supported, &enabled));
  EXPECT_EQ(0u, supported);
  EXPECT_EQ(0u, enabled);
  EXPECT_EQ(E_NOINTERFACE, safety()->SetInterfaceSafetyOptions(IID_IFile, 1, 1));
}

// A page context whose getters hand out counted objects, and may fail.
using FakeObject = tessary::testing::FakeDispatch<>;

class FakeContext : public tessary::testing::FakeDispatch<IScriptingContext> {
 public:
  FakeContext() : FakeDispatch(&IID_IScriptingContext) {}
  HRESULT STDMETHODCALLTYPE get_Request(IDispatch** out) override { return Give(0, out); }
  HRESULT STDMETHODCALLTYPE get_Response(IDispatch** out) override { return Give(1, out); }
  HRESULT STDMETHODCALLTYPE get_Server(IDispatch** out) override { return Give(2, out); }
  HRESULT STDMETHODCALLTYPE get_Session(IDispatch** out) override { return Give(3, out); }
  HRESULT STDMETHODCALLTYPE get_Application(IDispatch** out) override { return Give(4, out); }

  HRESULT Give(int i, IDispatch** out) {
    ++calls[i];
    if (i == fail_at) return E_UNEXPECTED;
    objects[i].AddRef();
    *out = &objects[i];
    return S_OK;
  }
  int fail_at = -1;
  int calls[5] = {0, 0, 0, 0, 0};
  FakeObject objects[5];
};

TEST_F(RootTest, OnStartPageKeepsTheFirstThreePageObjectsUntilOnEndPage) {
  FakeContext context;
  ASSERT_EQ(S_OK, root_->OnStartPage(&context));
  EXPECT_EQ(1, context.refs);  // the context itself is not kept
  for (int i = 0; i < 3; ++i) EXPECT_EQ(2, context.objects[i].refs) << i;
  EXPECT_EQ(0, context.calls[3] + context.calls[4]);
  ASSERT_EQ(S_OK, root_->OnEndPage());
  for (int i = 0; i < 3; ++i) EXPECT_EQ(1, context.objects[i].refs) << i;
}

TEST_F(RootTest, OnStartPageReleasesEverythingWhenAGetterFails) {
  FakeContext context;
  context.fail_at = 1;
  EXPECT_EQ(E_UNEXPECTED, root_->OnStartPage(&context));
  EXPECT_EQ(1, context.objects[0].refs);
  EXPECT_EQ(0, context.calls[2]);
  EXPECT_EQ(1, context.refs);
}

TEST_F(RootTest, OnStartPageValidatesItsContext) {
  EXPECT_EQ(E_POINTER, root_->OnStartPage(nullptr));
  FakeObject not_a_context;
  EXPECT_EQ(E_NOINTERFACE, root_->OnStartPage(&not_a_context));
  EXPECT_EQ(1, not_a_context.refs);
}

TEST_F(RootTest, PageObjectsAreReleasedWhenTheRootGoes) {
  FakeContext context;
  ASSERT_EQ(S_OK, root_->OnStartPage(&context));
  root_->Release();
  root_ = nullptr;
  for (int i = 0; i < 3; ++i) EXPECT_EQ(1, context.objects[i].refs) << i;
}

}  // namespace
