// Class table, class factories, the unload rule and registration: against
// the core linked into this test, and against the built libtessary.so
// loaded the way a host loads it.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "frame/class_table.h"
#include "frame/errors.h"
#include "frame/module.h"
#include "platform/modules.h"
#include "platform/posix/syscalls.h"
#include "platform/registry.h"
#include "platform/system.h"
#include "tessary_stubs.h"
#include "test_support.h"

namespace tessary {
namespace {

std::string ReadString(const std::string& key, const char* name = nullptr) {
  HKEY h = nullptr;
  if (RegOpenKeyExA(HKEY_CLASSES_ROOT, key.c_str(), 0, KEY_READ, &h) != ERROR_SUCCESS) return "<none>";
  char data[1024] = {0};
  DWORD size = sizeof data;
  DWORD type = 0;
  LONG rc = RegQueryValueExA(h, name, nullptr, &type, reinterpret_cast<BYTE*>(data), &size);
  RegCloseKey(h);
  if (rc != ERROR_SUCCESS) return "<unset>";
  return data;
}

bool KeyExists(const std::string& key) {
  HKEY h = nullptr;
  if (RegOpenKeyExA(HKEY_CLASSES_ROOT, key.c_str(), 0, KEY_READ, &h) != ERROR_SUCCESS) return false;
  RegCloseKey(h);
  return true;
}

std::set<std::string> SubKeys(const std::string& key) {
  std::set<std::string> names;
  HKEY h = nullptr;
  if (RegOpenKeyExA(HKEY_CLASSES_ROOT, key.c_str(), 0, KEY_READ, &h) != ERROR_SUCCESS) return names;
  for (DWORD i = 0;; ++i) {
    char name[256];
    DWORD size = sizeof name;
    if (RegEnumKeyExA(h, i, name, &size, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
    names.insert(name);
  }
  RegCloseKey(h);
  return names;
}

const char* kProgIds[] = {"Quennel.Tessary",        "Tessary.File",   "Tessary.FileCollection",
                          "Tessary.Folder",         "Tessary.Dictionary", "Tessary.FolderCollection",
                          "Tessary.Drive",          "Tessary.DriveCollection", "Tessary.TextStream",
                          "Tessary.BinaryStream"};

TEST(ClassTable, HoldsTheTenRegisteredClassesInOrder) {
  ASSERT_EQ(10u, kClassCount);
  for (size_t i = 0; i < kClassCount; ++i) {
    EXPECT_EQ(std::string(kProgIds[i]), kClassTable[i].vi_progid);
    EXPECT_EQ(std::string(kProgIds[i]) + ".1", kClassTable[i].progid);
    EXPECT_STREQ("Both", kClassTable[i].threading_model);
  }
  EXPECT_STREQ("Tessary Class", kClassTable[0].display_name);
  EXPECT_STREQ("FileCollection Class", kClassTable[2].display_name);
}

TEST(ClassFactory, CreatesEveryClassAndTheModuleMayUnloadAfterwards) {
  ASSERT_EQ(S_OK, CanUnloadNow());
  for (size_t i = 0; i < kClassCount; ++i) {
    IClassFactory* factory = nullptr;
    ASSERT_EQ(S_OK, GetClassObject(*kClassTable[i].clsid, IID_IClassFactory,
                                   reinterpret_cast<void**>(&factory)));
    IDispatch* object = nullptr;
    ASSERT_EQ(S_OK, factory->CreateInstance(nullptr, IID_IDispatch, reinterpret_cast<void**>(&object)))
        << kClassTable[i].class_name;
    EXPECT_EQ(S_FALSE, CanUnloadNow());
    IUnknown* outer = reinterpret_cast<IUnknown*>(object);
    void* aggregated = nullptr;
    EXPECT_EQ(CLASS_E_NOAGGREGATION, factory->CreateInstance(outer, IID_IUnknown, &aggregated));
    EXPECT_EQ(nullptr, aggregated);

    // Each class describes errors for its own dispatch interface only.
    ISupportErrorInfo* support = nullptr;
    ASSERT_EQ(S_OK, object->QueryInterface(IID_ISupportErrorInfo, reinterpret_cast<void**>(&support)));
    EXPECT_EQ(S_OK, support->InterfaceSupportsErrorInfo(*kClassTable[i].dispatch_iid));
    EXPECT_EQ(S_FALSE, support->InterfaceSupportsErrorInfo(IID_IDispatch));
    support->Release();

    object->Release();
    factory->Release();
  }
  EXPECT_EQ(S_OK, CanUnloadNow());
}

TEST(ClassFactory, LockServerHoldsTheModule) {
  IClassFactory* factory = nullptr;
  ASSERT_EQ(S_OK, GetClassObject(CLSID_Tessary, IID_IClassFactory, reinterpret_cast<void**>(&factory)));
  factory->LockServer(TRUE);
  factory->Release();
  EXPECT_EQ(S_FALSE, CanUnloadNow());
  ASSERT_EQ(S_OK, GetClassObject(CLSID_Tessary, IID_IClassFactory, reinterpret_cast<void**>(&factory)));
  factory->LockServer(FALSE);
  factory->Release();
  EXPECT_EQ(S_OK, CanUnloadNow());
}

TEST(ClassFactory, RefusesClassesOutsideTheTable) {
  void* out = reinterpret_cast<void*>(1);
  EXPECT_EQ(CLASS_E_CLASSNOTAVAILABLE, GetClassObject(CLSID_PermItem, IID_IClassFactory, &out));
  EXPECT_EQ(nullptr, out);
  EXPECT_EQ(CLASS_E_CLASSNOTAVAILABLE, GetClassObject(IID_IFile, IID_IClassFactory, &out));
  EXPECT_EQ(E_POINTER, GetClassObject(CLSID_Tessary, IID_IClassFactory, nullptr));
  EXPECT_EQ(E_NOINTERFACE, GetClassObject(CLSID_Tessary, IID_IDispatch, &out));
}

// The built module, loaded and registered the way the host does it.
class LoadedModule : public ::testing::Test {
 protected:
  void SetUp() override {
    module_ = LoadLibraryA(TESSARY_MODULE_PATH);
    ASSERT_NE(nullptr, module_) << "error " << GetLastError();
    reg_ = reinterpret_cast<Entry>(reinterpret_cast<void*>(GetProcAddress(module_, "DllRegisterServer")));
    unreg_ = reinterpret_cast<Entry>(reinterpret_cast<void*>(GetProcAddress(module_, "DllUnregisterServer")));
    can_unload_ = reinterpret_cast<Entry>(reinterpret_cast<void*>(GetProcAddress(module_, "DllCanUnloadNow")));
    ASSERT_TRUE(reg_ && unreg_ && can_unload_);
  }
  void TearDown() override {
    CoFreeUnusedLibraries();
    if (module_) FreeLibrary(module_);
  }

  using Entry = HRESULT (*)();
  testing::ScopedStore store_;
  HMODULE module_ = nullptr;
  Entry reg_ = nullptr, unreg_ = nullptr, can_unload_ = nullptr;
};

TEST_F(LoadedModule, RegistrationWritesTheClassKeys) {
  ASSERT_EQ(S_OK, reg_());
  const std::string clsid = "{E7B62F52-82F4-11D2-BD41-00105A0A7E89}";
  EXPECT_EQ("File Class", ReadString("Tessary.File.1"));
  EXPECT_EQ(clsid, ReadString("Tessary.File.1\\CLSID"));
  EXPECT_EQ("File Class", ReadString("Tessary.File"));
  EXPECT_EQ(clsid, ReadString("Tessary.File\\CLSID"));
  EXPECT_EQ("Tessary.File.1", ReadString("Tessary.File\\CurVer"));
  EXPECT_EQ("File Class", ReadString("CLSID\\" + clsid));
  EXPECT_EQ("Tessary.File.1", ReadString("CLSID\\" + clsid + "\\ProgID"));
  EXPECT_EQ("Tessary.File", ReadString("CLSID\\" + clsid + "\\VersionIndependentProgID"));
  EXPECT_TRUE(KeyExists("CLSID\\" + clsid + "\\Programmable"));
  EXPECT_EQ(std::string(TESSARY_MODULE_PATH), ReadString("CLSID\\" + clsid + "\\InprocServer32"));
  EXPECT_EQ("Both", ReadString("CLSID\\" + clsid + "\\InprocServer32", "ThreadingModel"));
  EXPECT_EQ("{E7B62F41-82F4-11D2-BD41-00105A0A7E89}", ReadString("CLSID\\" + clsid + "\\TypeLib"));
  EXPECT_EQ("Quennel.Tessary.1", ReadString("Quennel.Tessary\\CurVer"));
  EXPECT_FALSE(KeyExists("CLSID\\{2EA227BE-F0E7-11D2-95F1-0090273F1EE9}"));  // PermItem
}

TEST_F(LoadedModule, RegisteringTwiceLeavesOneSetAndDropsStaleSubkeys) {
  ASSERT_EQ(S_OK, reg_());
  const std::string root_key = "CLSID\\{E7B62F4E-82F4-11D2-BD41-00105A0A7E89}";
  HKEY stale = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_CLASSES_ROOT, (root_key + "\\Stale").c_str(), 0, nullptr,
                                           0, KEY_WRITE, nullptr, &stale, nullptr));
  RegCloseKey(stale);
  std::set<std::string> before = SubKeys("");
  ASSERT_EQ(S_OK, reg_());
  EXPECT_EQ(before, SubKeys(""));
  EXPECT_FALSE(KeyExists(root_key + "\\Stale"));
  EXPECT_EQ(10u, SubKeys("CLSID").size());
}

TEST_F(LoadedModule, EveryProgIdCreatesItsObjectThroughTheCreationCall) {
  ASSERT_EQ(S_OK, reg_());
  for (const char* progid : kProgIds) {
    for (std::string name : {std::string(progid), std::string(progid) + ".1"}) {
      std::u16string wide(name.begin(), name.end());
      CLSID clsid;
      ASSERT_EQ(S_OK, CLSIDFromProgID(wide.c_str(), &clsid)) << name;
      IDispatch* object = nullptr;
      ASSERT_EQ(S_OK, CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch,
                                       reinterpret_cast<void**>(&object)))
          << name;
      // Late binding works on what was created.
      OLECHAR query[] = u"QueryInterface_is_not_a_member";
      LPOLESTR names[] = {query};
      DISPID id = 0;
      EXPECT_EQ(DISP_E_UNKNOWNNAME, object->GetIDsOfNames(IID_NULL, names, 1, 0, &id));
      EXPECT_EQ(S_FALSE, can_unload_());
      object->Release();
    }
  }
  EXPECT_EQ(S_OK, can_unload_());
  CLSID clsid;
  EXPECT_EQ(CO_E_CLASSSTRING, CLSIDFromProgID(u"Tessary.NoSuchClass", &clsid));
}

TEST_F(LoadedModule, UnregistrationRemovesTheClassKeysButNotTheClsidParent) {
  ASSERT_EQ(S_OK, reg_());
  ASSERT_EQ(S_OK, unreg_());
  for (const char* progid : kProgIds) {
    EXPECT_FALSE(KeyExists(progid));
    EXPECT_FALSE(KeyExists(std::string(progid) + ".1"));
  }
  EXPECT_TRUE(SubKeys("CLSID").empty());
  EXPECT_TRUE(KeyExists("CLSID"));
  CLSID clsid;
  EXPECT_EQ(CO_E_CLASSSTRING, CLSIDFromProgID(u"Quennel.Tessary", &clsid));
  // Unregistering what is not registered is not an error.
  EXPECT_EQ(S_OK, unreg_());
}

// A registration that may not survive a restart has failed: the sync at its
// end decides the result.
TEST_F(LoadedModule, AFailedFlushFailsRegistrationAndUnregistration) {
  sys::StartCounting();
  ASSERT_EQ(S_OK, reg_());
  const int reg_syncs = sys::CallsCounted(sys::Call::fsync);
  sys::StartCounting();
  ASSERT_EQ(S_OK, unreg_());
  const int unreg_syncs = sys::CallsCounted(sys::Call::fsync);
  testing::ScopedStore fresh;  // the same writes again, the last sync failing
  sys::InjectFault(sys::Call::fsync, reg_syncs, ENOSPC);
  EXPECT_EQ(HResultFromWin32(ERROR_DISK_FULL), reg_());
  EXPECT_EQ(1, sys::FaultsFired());
  sys::ClearFaults();
  EXPECT_EQ("File Class", ReadString("Tessary.File"));  // written, only not known durable
  sys::InjectFault(sys::Call::fsync, unreg_syncs, ENOSPC);
  EXPECT_EQ(HResultFromWin32(ERROR_DISK_FULL), unreg_());
  EXPECT_EQ(1, sys::FaultsFired());
  sys::ClearFaults();
}

}  // namespace
}  // namespace tessary
