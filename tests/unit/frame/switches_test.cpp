// The administrator's switches as the store holds them. Each case reads the
// store afresh, as a new process loading the module would.
#include <gtest/gtest.h>

#include "frame/switches.h"
#include "platform/posix/syscalls.h"
#include "test_support.h"

namespace tessary {
namespace {

const char kHeader[] = "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Quennel\\QN-Tessary\\Parameters]\n";

FeatureSwitches Read(const std::string& text) {
  testing::ScopedStore store(text);
  FeatureSwitches s;
  s.disable_delete = 77;  // every field is written by the read
  ReadFeatureSwitches(&s);
  return s;
}

TEST(FeatureSwitches, WithoutTheKeyEverythingIsAllowed) {
  FeatureSwitches s = Read("");
  EXPECT_EQ(0u, s.disable_register_dll);
  EXPECT_EQ(0u, s.disable_delete);
  s = Read("REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Quennel]\n\"Other\"=dword:00000001\n");
  EXPECT_EQ(0u, s.disable_register_dll);
}

TEST(FeatureSwitches, AnExistingKeyWithoutTheValueDisablesRegistration) {
  FeatureSwitches s = Read(std::string(kHeader) + "\"DisableDelete\"=dword:00000001\n");
  EXPECT_EQ(1u, s.disable_delete);
  EXPECT_EQ(1u, s.disable_register_dll);
  s = Read(std::string(kHeader));
  EXPECT_EQ(1u, s.disable_register_dll);
  EXPECT_EQ(0u, s.disable_delete);
}

TEST(FeatureSwitches, ExplicitZerosAllowEverything) {
  FeatureSwitches s = Read(std::string(kHeader) +
                           "\"DisableRegisterDLL\"=dword:00000000\n\"DisableDelete\"=dword:00000000\n");
  EXPECT_EQ(0u, s.disable_register_dll);
  EXPECT_EQ(0u, s.disable_delete);
}

TEST(FeatureSwitches, AnyTypeCountsByItsFirstFourBytesAndLongerDataIsUnreadable) {
  FeatureSwitches s = Read(std::string(kHeader) +
                           "\"DisableRegisterDLL\"=hex:00,00,00,00\n"
                           "\"DisableDelete\"=hex:01,00,00,00,00,00,00,00\n");
  EXPECT_EQ(0u, s.disable_register_dll);
  EXPECT_EQ(0u, s.disable_delete);  // eight bytes cannot be read: the default applies
  s = Read(std::string(kHeader) + "\"DisableRegisterDLL\"=dword:00000000\n\"DisableDelete\"=hex:02,01\n");
  EXPECT_EQ(0x0102u, s.disable_delete);
}

void ExpectAllDisabled(const FeatureSwitches& s) {
  EXPECT_EQ(1u, s.disable_register_dll);
  EXPECT_EQ(1u, s.disable_delete);
}

// What cannot be read may be the line that switches deletes off: every switch
// goes on, however far the read got.
TEST(FeatureSwitches, AStoreThatCannotBeReadOrParsedDisablesEverything) {
  ExpectAllDisabled(Read("\x01\x02 not a store at all\n[[[\n\"=\n"));
  ExpectAllDisabled(Read(std::string(kHeader) + "\"DisableRegisterDLL\"=dword:00000000\n"
                                                "\"DisableDelete\"=dword:000000001\n"));
  const std::string zeros =
      std::string(kHeader) + "\"DisableRegisterDLL\"=dword:00000000\n\"DisableDelete\"=dword:0\n";
  // The store refuses the open of the key, or fails between the values.
  for (int nth : {1, 3}) {
    testing::ScopedStore store(zeros);
    sys::InjectFault(sys::Call::open, nth, EIO);
    FeatureSwitches s;
    ReadFeatureSwitches(&s);
    EXPECT_EQ(1, sys::FaultsFired()) << nth;
    sys::ClearFaults();
    ExpectAllDisabled(s);
  }
}

TEST(FeatureSwitches, TheRefusalCarriesTheAdministratorText) {
  EXPECT_EQ(E_ACCESSDENIED, RefuseDisabled(nullptr));
  IErrorInfo* info = nullptr;
  ASSERT_EQ(S_OK, GetErrorInfo(0, &info));
  BSTR text = nullptr;
  info->GetDescription(&text);
  EXPECT_EQ(std::u16string(u"This option has been disabled in the registry please see your "
                           u"administrator for more information."),
            std::u16string(text));
  SysFreeString(text);
  info->Release();
}

}  // namespace
}  // namespace tessary
