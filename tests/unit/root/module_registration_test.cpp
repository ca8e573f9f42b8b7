// RegisterDLL with our own module as the one registered: the keys it writes
// are those of the host's --register, and every way of failing gives its
// own code and text.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>

#include "bstr_support.h"
#include "frame/switches.h"
#include "host/module_entry.h"
#include "root/tessary.h"
#include "test_support.h"

namespace {

using tessary::testing::B;
using tessary::testing::ErrorRecord;
using tessary::testing::TakeError;

const char kRootClassKey[] = "{E7B62F4E-82F4-11D2-BD41-00105A0A7E89}";

class RootRegisterDll : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(S_OK, tessary::CreateObject(&root_));
    tessary::LoadFeatureSwitches();
  }
  void TearDown() override {
    root_->Release();
    tessary::LoadFeatureSwitches();
  }
  HRESULT Register(const std::string& module, VARIANT_BOOL install = VARIANT_TRUE) {
    return root_->RegisterDLL(B(module).get(), install);
  }
  std::string ErrorText() {
    ErrorRecord e = TakeError();
    EXPECT_TRUE(e.present);
    return e.description;
  }

  tessary::testing::ScopedStore store_;
  Tessary* root_ = nullptr;
};

TEST_F(RootRegisterDll, OurModuleWritesTheKeysOfTheHostsRegisterAndRemovesThem) {
  ASSERT_EQ(S_OK, Register(TESSARY_MODULE_PATH));
  const std::string by_root = store_.Read();
  EXPECT_NE(std::string::npos, by_root.find(kRootClassKey));

  {
    tessary::testing::ScopedStore host_store;
    ASSERT_EQ(S_OK, tessary::CallRegistrationEntry(TESSARY_MODULE_PATH, true));
    EXPECT_EQ(host_store.Read(), by_root);
  }

  ASSERT_EQ(S_OK, Register(TESSARY_MODULE_PATH, VARIANT_FALSE));
  EXPECT_EQ(std::string::npos, store_.Read().find(kRootClassKey));
}

TEST_F(RootRegisterDll, FilesThatAreNoRegistrableModuleFailWithTheLoadersCode) {
  const std::string text = store_.dir() / "not-a-module.txt";
  tessary::testing::WriteWholeFile(text, "just text\n");
  // The system's text for this code holds an insert, which the common
  // error path does not fill, so only the code is certain.
  EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_BAD_EXE_FORMAT), Register(text));
  TakeError();
  // A Windows name reaches the same file through the drive map.
  EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_BAD_EXE_FORMAT),
            Register(tessary::testing::WindowsPath(text)));
  TakeError();

  EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND), Register(store_.dir() / "missing.so"));
  EXPECT_FALSE(ErrorText().empty());

  // The platform library is a module, but exports no registration entry.
  const std::string platform = std::string(TESSARY_BINARY_DIR) + "/lib/libtessary-platform.so";
  EXPECT_EQ(static_cast<HRESULT>(0x8007007F), Register(platform));
  EXPECT_FALSE(ErrorText().empty());
  EXPECT_EQ(static_cast<HRESULT>(0x8007007F), Register(platform, VARIANT_FALSE));
  EXPECT_FALSE(ErrorText().empty());
}

TEST_F(RootRegisterDll, AFailingEntryIsReportedWithTheComponentsText) {
  // A store the module cannot write makes its own entry fail.
  setenv("TESSARY_REGISTRY", store_.dir().path().c_str(), 1);
  EXPECT_EQ(DISP_E_EXCEPTION, Register(TESSARY_MODULE_PATH));
  EXPECT_EQ("Call to DllEntryPoint DllEntryPoint failed.", ErrorText());
  setenv("TESSARY_REGISTRY", store_.file().c_str(), 1);
}

TEST_F(RootRegisterDll, TheSwitchRefusesBeforeTheFileIsLookedAt) {
  // The key present without the value disables the member.
  store_.Write(
      "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Quennel\\QN-Tessary\\Parameters]\n"
      "\"DisableDelete\"=dword:00000000\n");
  tessary::LoadFeatureSwitches();
  const std::string text = store_.dir() / "not-a-module.txt";
  tessary::testing::WriteWholeFile(text, "just text\n");
  EXPECT_EQ(E_ACCESSDENIED, Register(text));
  EXPECT_EQ(
      "This option has been disabled in the registry please see your administrator for more "
      "information.",
      ErrorText());
  EXPECT_EQ(E_ACCESSDENIED, Register(TESSARY_MODULE_PATH));
  TakeError();
  EXPECT_EQ(std::string::npos, store_.Read().find(kRootClassKey));

  store_.Write(
      "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Quennel\\QN-Tessary\\Parameters]\n"
      "\"DisableRegisterDLL\"=dword:00000000\n");
  tessary::LoadFeatureSwitches();
  EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_BAD_EXE_FORMAT), Register(text));
  TakeError();
}

}  // namespace
