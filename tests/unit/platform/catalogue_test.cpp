// The class catalogue over the store's HKEY_CLASSES_ROOT: ProgID and CLSID
// lookups as Windows answers them, and each way object creation can fail
// before a class factory is reached. When the module has been built beside
// this test, the whole path to a live object is exercised too.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <fstream>
#include <string>

#include "platform/automation.h"
#include "platform/modules.h"
#include "platform/registry.h"
#include "platform/system.h"
#include "unit/test_support.h"

namespace tessary {
namespace {

using testing::ScopedStore;

const char kRootClsid[] = "{E7B62F4E-82F4-11D2-BD41-00105A0A7E89}";
const CLSID kRoot = {0xE7B62F4E, 0x82F4, 0x11D2, {0xBD, 0x41, 0x00, 0x10, 0x5A, 0x0A, 0x7E, 0x89}};
const CLSID kUnregistered = {0x12345678, 0x1234, 0x1234, {1, 2, 3, 4, 5, 6, 7, 8}};

void SetDefault(const std::string& path, const std::string& value, DWORD type = REG_SZ) {
  HKEY key = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_CLASSES_ROOT, path.c_str(), 0, nullptr, 0,
                                           KEY_ALL_ACCESS, nullptr, &key, nullptr));
  ASSERT_EQ(ERROR_SUCCESS,
            RegSetValueExA(key, nullptr, 0, type, reinterpret_cast<const BYTE*>(value.c_str()),
                           static_cast<DWORD>(value.size() + 1)));
  RegCloseKey(key);
}

// The keys registration writes for the root class, as on Windows.
void RegisterRootClass(const std::string& module_path) {
  SetDefault("Quennel.Tessary.1", "Tessary Class");
  SetDefault("Quennel.Tessary.1\\CLSID", kRootClsid);
  SetDefault("Quennel.Tessary", "Tessary Class");
  SetDefault("Quennel.Tessary\\CLSID", kRootClsid);
  SetDefault("Quennel.Tessary\\CurVer", "Quennel.Tessary.1");
  std::string clsid = std::string("CLSID\\") + kRootClsid;
  SetDefault(clsid, "Tessary Class");
  SetDefault(clsid + "\\ProgID", "Quennel.Tessary.1");
  SetDefault(clsid + "\\VersionIndependentProgID", "Quennel.Tessary");
  if (!module_path.empty()) SetDefault(clsid + "\\InprocServer32", module_path);
}

class CatalogueTest : public ::testing::Test {
 protected:
  void SetUp() override { TessaryRegistryDropCache(); }
  ScopedStore store_;
};

// ---------------------------------------------------------------------------
// ProgIDs and CLSIDs

TEST_F(CatalogueTest, ProgIdToClsid) {
  RegisterRootClass("");
  CLSID clsid{};
  ASSERT_EQ(S_OK, CLSIDFromProgID(u"Quennel.Tessary", &clsid));
  EXPECT_TRUE(IsEqualCLSID(kRoot, clsid));
  clsid = CLSID{};
  ASSERT_EQ(S_OK, CLSIDFromProgID(u"quennel.tessary.1", &clsid));
  EXPECT_TRUE(IsEqualCLSID(kRoot, clsid));
}

TEST_F(CatalogueTest, ProgIdThroughCurVer) {
  SetDefault("Tessary.File.1\\CLSID", "{E7B62F52-82F4-11D2-BD41-00105A0A7E89}");
  SetDefault("Tessary.File\\CurVer", "Tessary.File.1");
  CLSID clsid{};
  ASSERT_EQ(S_OK, CLSIDFromProgID(u"Tessary.File", &clsid));
  EXPECT_EQ(0xE7B62F52u, clsid.Data1);
}

TEST_F(CatalogueTest, ProgIdFailures) {
  CLSID clsid{};
  EXPECT_EQ(CO_E_CLASSSTRING, CLSIDFromProgID(u"No.Such.Class", &clsid));
  EXPECT_EQ(CO_E_CLASSSTRING, CLSIDFromProgID(u"", &clsid));
  EXPECT_EQ(CO_E_CLASSSTRING, CLSIDFromProgID(u"CLSID\\{X}", &clsid));
  EXPECT_EQ(E_INVALIDARG, CLSIDFromProgID(nullptr, &clsid));
  EXPECT_EQ(E_INVALIDARG, CLSIDFromProgID(u"Quennel.Tessary", nullptr));
  // A key without CLSID or CurVer, a CLSID that is not one, a CurVer loop.
  SetDefault("Only.Name", "Display name");
  EXPECT_EQ(CO_E_CLASSSTRING, CLSIDFromProgID(u"Only.Name", &clsid));
  SetDefault("Bad.Clsid\\CLSID", "not a guid");
  EXPECT_EQ(CO_E_CLASSSTRING, CLSIDFromProgID(u"Bad.Clsid", &clsid));
  SetDefault("Loop.A\\CurVer", "Loop.B");
  SetDefault("Loop.B\\CurVer", "Loop.A");
  EXPECT_EQ(CO_E_CLASSSTRING, CLSIDFromProgID(u"Loop.A", &clsid));
}

TEST_F(CatalogueTest, BracedTextIsAClsidAlready) {
  CLSID clsid{};
  ASSERT_EQ(S_OK, CLSIDFromProgID(u"{E7B62F4E-82F4-11D2-BD41-00105A0A7E89}", &clsid));
  EXPECT_TRUE(IsEqualCLSID(kRoot, clsid));
  EXPECT_EQ(CO_E_CLASSSTRING, CLSIDFromProgID(u"{E7B62F4E-not-a-guid}", &clsid));
}

TEST_F(CatalogueTest, ClsidToProgId) {
  RegisterRootClass("");
  LPOLESTR progid = nullptr;
  ASSERT_EQ(S_OK, ProgIDFromCLSID(kRoot, &progid));
  ASSERT_NE(nullptr, progid);
  EXPECT_EQ(std::u16string(u"Quennel.Tessary.1"), std::u16string(progid));
  CoTaskMemFree(progid);

  progid = reinterpret_cast<LPOLESTR>(1);
  EXPECT_EQ(REGDB_E_CLASSNOTREG, ProgIDFromCLSID(kUnregistered, &progid));
  EXPECT_EQ(nullptr, progid);
  EXPECT_EQ(E_INVALIDARG, ProgIDFromCLSID(kRoot, nullptr));
}

TEST_F(CatalogueTest, UnreadableStoreIsNotAnUnknownClass) {
  ASSERT_EQ(0, mkdir(store_.file().c_str(), 0755));  // the store cannot be read
  CLSID clsid{};
  EXPECT_EQ(REGDB_E_READREGDB, CLSIDFromProgID(u"Quennel.Tessary", &clsid));
  LPOLESTR progid = nullptr;
  EXPECT_EQ(REGDB_E_READREGDB, ProgIDFromCLSID(kRoot, &progid));
  rmdir(store_.file().c_str());
}

// ---------------------------------------------------------------------------
// Object creation up to the class factory

TEST_F(CatalogueTest, UnregisteredOrIncompleteClass) {
  void* object = reinterpret_cast<void*>(1);
  EXPECT_EQ(REGDB_E_CLASSNOTREG,
            CoCreateInstance(kUnregistered, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch, &object));
  EXPECT_EQ(nullptr, object);
  RegisterRootClass("");  // everything but InprocServer32
  EXPECT_EQ(REGDB_E_CLASSNOTREG,
            CoGetClassObject(kRoot, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory, &object));
  SetDefault(std::string("CLSID\\") + kRootClsid + "\\InprocServer32", "");
  EXPECT_EQ(REGDB_E_CLASSNOTREG,
            CoGetClassObject(kRoot, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory, &object));
  EXPECT_EQ(E_INVALIDARG,
            CoGetClassObject(kRoot, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory, nullptr));
  EXPECT_EQ(E_INVALIDARG,
            CoCreateInstance(kRoot, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch, nullptr));
}

TEST_F(CatalogueTest, OnlyInProcessServersExist) {
  RegisterRootClass("/usr/lib/whatever.so");
  void* object = nullptr;
  EXPECT_EQ(REGDB_E_CLASSNOTREG, CoGetClassObject(kRoot, 0x4 /* CLSCTX_LOCAL_SERVER */, nullptr,
                                                  IID_IClassFactory, &object));
}

TEST_F(CatalogueTest, ModuleThatIsMissing) {
  RegisterRootClass(store_.dir() / "gone.so");
  void* object = reinterpret_cast<void*>(1);
  EXPECT_EQ(CO_E_DLLNOTFOUND,
            CoGetClassObject(kRoot, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory, &object));
  EXPECT_EQ(nullptr, object);
  EXPECT_EQ(CO_E_DLLNOTFOUND, CoCreateInstance(kRoot, nullptr, CLSCTX_ALL, IID_IDispatch, &object));
}

TEST_F(CatalogueTest, ModuleThatIsNotAModule) {
  std::string path = store_.dir() / "text.so";
  std::ofstream(path) << "not a module";
  RegisterRootClass(path);
  void* object = nullptr;
  EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_BAD_EXE_FORMAT),
            CoGetClassObject(kRoot, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory, &object));
}

TEST_F(CatalogueTest, ModuleWithoutDllGetClassObject) {
  HMODULE libm = LoadLibraryA("libm.so.6");
  ASSERT_NE(nullptr, libm);
  char path[4096];
  ASSERT_GT(GetModuleFileNameA(libm, path, sizeof path), 0u);
  RegisterRootClass(path);
  void* object = nullptr;
  EXPECT_EQ(CO_E_ERRORINDLL,
            CoGetClassObject(kRoot, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory, &object));
  EXPECT_EQ(CO_E_ERRORINDLL,
            CoCreateInstance(kRoot, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch, &object));
  CoFreeUnusedLibraries();  // nothing was kept, nothing to unload
  EXPECT_TRUE(FreeLibrary(libm));
}

TEST_F(CatalogueTest, ExpandableModulePath) {
  HMODULE libm = LoadLibraryA("libm.so.6");
  ASSERT_NE(nullptr, libm);
  char path[4096];
  ASSERT_GT(GetModuleFileNameA(libm, path, sizeof path), 0u);
  std::string full(path);
  size_t slash = full.rfind('/');
  setenv("TESSARY_TEST_LIBDIR", full.substr(0, slash).c_str(), 1);
  RegisterRootClass("");
  SetDefault(std::string("CLSID\\") + kRootClsid + "\\InprocServer32",
             "%TESSARY_TEST_LIBDIR%" + full.substr(slash), REG_EXPAND_SZ);
  void* object = nullptr;
  // Found and loaded (so the path was expanded), then refused for want of the export.
  EXPECT_EQ(CO_E_ERRORINDLL,
            CoGetClassObject(kRoot, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory, &object));
  unsetenv("TESSARY_TEST_LIBDIR");
  EXPECT_EQ(CO_E_DLLNOTFOUND,
            CoGetClassObject(kRoot, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory, &object));
  EXPECT_TRUE(FreeLibrary(libm));
}

TEST_F(CatalogueTest, ApartmentCallsAreNoOps) {
  EXPECT_EQ(S_OK, CoInitializeEx(nullptr, COINIT_MULTITHREADED));
  EXPECT_EQ(S_OK, CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
  CoUninitialize();
  CoUninitialize();
}

// The real module, when it has been built: created by ProgID, released, and
// unloaded once it says it can be.
TEST_F(CatalogueTest, CreatesTheRootObjectFromTheBuiltModule) {
  struct stat st;
  if (stat(TESSARY_MODULE_PATH, &st) != 0) GTEST_SKIP() << "module not built: " TESSARY_MODULE_PATH;
  RegisterRootClass(TESSARY_MODULE_PATH);
  CLSID clsid{};
  ASSERT_EQ(S_OK, CLSIDFromProgID(u"Quennel.Tessary", &clsid));
  IDispatch* root = nullptr;
  ASSERT_EQ(S_OK, CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch,
                                   reinterpret_cast<void**>(&root)));
  ASSERT_NE(nullptr, root);
  IClassFactory* factory = nullptr;
  ASSERT_EQ(S_OK, CoGetClassObject(clsid, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory,
                                   reinterpret_cast<void**>(&factory)));
  factory->Release();
  root->Release();
  CoFreeUnusedLibraries();
  // Loaded again on demand after an unload.
  ASSERT_EQ(S_OK, CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch,
                                   reinterpret_cast<void**>(&root)));
  root->Release();
  CoFreeUnusedLibraries();
}

}  // namespace
}  // namespace tessary
