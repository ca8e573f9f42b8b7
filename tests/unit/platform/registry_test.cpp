// The configuration store behind the registry calls: Windows semantics of
// each call, the file an administrator sees, and the transaction that keeps
// that file whole under concurrent writers and failing system calls.
#include "platform/registry.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "platform/posix/regedit_format.h"
#include "platform/posix/syscalls.h"
#include "platform/system.h"
#include "unit/test_support.h"

namespace tessary {
namespace {

using testing::ScopedStore;
using testing::TempDir;

const char kParameters[] = "SOFTWARE\\Quennel\\QN-Tessary\\Parameters";

int OpenDescriptors() {
  int count = 0;
  DIR* dir = opendir("/proc/self/fd");
  if (!dir) return -1;
  while (struct dirent* entry = readdir(dir)) {
    if (entry->d_name[0] != '.') ++count;
  }
  closedir(dir);
  return count;
}

std::vector<std::string> FolderEntries(const std::string& folder) {
  std::vector<std::string> names;
  DIR* dir = opendir(folder.c_str());
  if (!dir) return names;
  while (struct dirent* entry = readdir(dir)) {
    if (entry->d_name[0] != '.') names.push_back(entry->d_name);
  }
  closedir(dir);
  return names;
}

LSTATUS SetDword(HKEY key, const char* name, DWORD value) {
  return RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                        sizeof value);
}

LSTATUS SetString(HKEY key, const char* name, const std::string& value) {
  return RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                        static_cast<DWORD>(value.size() + 1));
}

class RegistryTest : public ::testing::Test {
 protected:
  void SetUp() override { TessaryRegistryDropCache(); }
  void TearDown() override {
    sys::ClearFaults();
    for (HKEY key : opened_) RegCloseKey(key);
    TessaryRegistryDropCache();
  }

  HKEY Create(HKEY root, const char* path) {
    HKEY key = nullptr;
    EXPECT_EQ(ERROR_SUCCESS,
              RegCreateKeyExA(root, path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr));
    opened_.push_back(key);
    return key;
  }

  HKEY Open(HKEY root, const char* path) {
    HKEY key = nullptr;
    EXPECT_EQ(ERROR_SUCCESS, RegOpenKeyExA(root, path, 0, KEY_READ, &key));
    opened_.push_back(key);
    return key;
  }

  DWORD QueryDword(HKEY key, const char* name) {
    DWORD value = 0xdeadbeef;
    DWORD size = sizeof value;
    EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExA(key, name, nullptr, nullptr,
                                              reinterpret_cast<BYTE*>(&value), &size));
    return value;
  }

  ScopedStore store_;
  std::vector<HKEY> opened_;
};

// ---------------------------------------------------------------------------
// Where the store lives

TEST(RegistryPath, EnvironmentOrMachineDefault) {
  const char* old = getenv("TESSARY_REGISTRY");
  std::string saved = old ? old : "";
  unsetenv("TESSARY_REGISTRY");
  EXPECT_STREQ("/etc/tessary/registry.reg", TessaryRegistryPath());
  setenv("TESSARY_REGISTRY", "", 1);
  EXPECT_STREQ("/etc/tessary/registry.reg", TessaryRegistryPath());
  setenv("TESSARY_REGISTRY", "/tmp/elsewhere.reg", 1);
  EXPECT_STREQ("/tmp/elsewhere.reg", TessaryRegistryPath());
  if (old) {
    setenv("TESSARY_REGISTRY", saved.c_str(), 1);
  } else {
    unsetenv("TESSARY_REGISTRY");
  }
}

TEST_F(RegistryTest, MissingFileIsAnEmptyStore) {
  HKEY key = nullptr;
  EXPECT_EQ(ERROR_FILE_NOT_FOUND,
            RegOpenKeyExA(HKEY_LOCAL_MACHINE, kParameters, 0, KEY_READ, &key));
  EXPECT_EQ(nullptr, key);
  DWORD size = 0;
  EXPECT_EQ(ERROR_FILE_NOT_FOUND,
            RegQueryValueExA(HKEY_LOCAL_MACHINE, "x", nullptr, nullptr, nullptr, &size));
  char name[16];
  DWORD cch = sizeof name;
  EXPECT_EQ(ERROR_NO_MORE_ITEMS,
            RegEnumKeyExA(HKEY_CLASSES_ROOT, 0, name, &cch, nullptr, nullptr, nullptr, nullptr));
}

TEST_F(RegistryTest, WriterCreatesTheFolderAndAReadableFile) {
  TempDir dir;
  std::string file = dir / "a/b/registry.reg";
  setenv("TESSARY_REGISTRY", file.c_str(), 1);
  HKEY key = Create(HKEY_LOCAL_MACHINE, kParameters);
  ASSERT_EQ(ERROR_SUCCESS, SetDword(key, "DisableDelete", 1));
  std::ifstream in(file);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(0u, text.find("REGEDIT4\n\n"));
  EXPECT_NE(std::string::npos,
            text.find("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Quennel\\QN-Tessary\\Parameters]\n"
                      "\"DisableDelete\"=dword:00000001\n"));
  setenv("TESSARY_REGISTRY", store_.file().c_str(), 1);
}

// ---------------------------------------------------------------------------
// Keys

TEST_F(RegistryTest, CreateMakesIntermediateKeysAndReportsDisposition) {
  HKEY key = nullptr;
  DWORD disposition = 0;
  ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_LOCAL_MACHINE, kParameters, 0, nullptr, 0,
                                           KEY_ALL_ACCESS, nullptr, &key, &disposition));
  opened_.push_back(key);
  EXPECT_EQ(static_cast<DWORD>(REG_CREATED_NEW_KEY), disposition);
  ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_LOCAL_MACHINE, "software\\QUENNEL", 0, nullptr, 0,
                                           KEY_ALL_ACCESS, nullptr, &key, &disposition));
  opened_.push_back(key);
  EXPECT_EQ(static_cast<DWORD>(REG_OPENED_EXISTING_KEY), disposition);
  // Relative to an open key, and the intermediate keys are real keys.
  HKEY sub = Create(key, "QN-Tessary\\Other");
  EXPECT_NE(nullptr, sub);
  Open(HKEY_LOCAL_MACHINE, "SOFTWARE\\Quennel\\QN-Tessary");
  Open(HKEY_LOCAL_MACHINE, "SOFTWARE\\Quennel\\QN-Tessary\\Other");
}

TEST_F(RegistryTest, NamesIgnoreCaseButKeepTheirSpelling) {
  HKEY key = Create(HKEY_CLASSES_ROOT, "Quennel.Tessary\\CLSID");
  ASSERT_EQ(ERROR_SUCCESS, SetString(key, nullptr, "{E7B62F4E-82F4-11D2-BD41-00105A0A7E89}"));
  HKEY again = Open(HKEY_CLASSES_ROOT, "QUENNEL.TESSARY\\clsid");
  char data[64];
  DWORD size = sizeof data;
  ASSERT_EQ(ERROR_SUCCESS,
            RegQueryValueExA(again, "", nullptr, nullptr, reinterpret_cast<BYTE*>(data), &size));
  EXPECT_STREQ("{E7B62F4E-82F4-11D2-BD41-00105A0A7E89}", data);
  char name[64];
  DWORD cch = sizeof name;
  ASSERT_EQ(ERROR_SUCCESS,
            RegEnumKeyExA(HKEY_CLASSES_ROOT, 0, name, &cch, nullptr, nullptr, nullptr, nullptr));
  EXPECT_STREQ("Quennel.Tessary", name);
}

TEST_F(RegistryTest, DeleteKeyRefusesKeysWithSubkeys) {
  Create(HKEY_CLASSES_ROOT, "CLSID\\{X}\\InprocServer32");
  EXPECT_EQ(ERROR_ACCESS_DENIED, RegDeleteKeyA(HKEY_CLASSES_ROOT, "CLSID\\{X}"));
  Open(HKEY_CLASSES_ROOT, "CLSID\\{X}\\InprocServer32");
  EXPECT_EQ(ERROR_SUCCESS, RegDeleteKeyA(HKEY_CLASSES_ROOT, "CLSID\\{X}\\InprocServer32"));
  EXPECT_EQ(ERROR_SUCCESS, RegDeleteKeyA(HKEY_CLASSES_ROOT, "clsid\\{x}"));
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegDeleteKeyA(HKEY_CLASSES_ROOT, "CLSID\\{X}"));
  Open(HKEY_CLASSES_ROOT, "CLSID");  // the parent stays
  EXPECT_EQ(ERROR_ACCESS_DENIED, RegDeleteKeyA(HKEY_CLASSES_ROOT, ""));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, RegDeleteKeyA(HKEY_CLASSES_ROOT, nullptr));
}

TEST_F(RegistryTest, DeleteTreeRemovesEverythingBelow) {
  HKEY clsid = Create(HKEY_CLASSES_ROOT, "CLSID\\{X}");
  ASSERT_EQ(ERROR_SUCCESS, SetString(clsid, nullptr, "X Class"));
  Create(HKEY_CLASSES_ROOT, "CLSID\\{X}\\InprocServer32\\Deeper");
  Create(HKEY_CLASSES_ROOT, "CLSID\\{X}\\Programmable");
  Create(HKEY_CLASSES_ROOT, "CLSID\\{Y}");

  // Null subkey: the key's own values and subkeys go, the key stays.
  ASSERT_EQ(ERROR_SUCCESS, RegDeleteTreeA(clsid, nullptr));
  Open(HKEY_CLASSES_ROOT, "CLSID\\{X}");
  DWORD size = 0;
  EXPECT_EQ(ERROR_FILE_NOT_FOUND,
            RegQueryValueExA(clsid, nullptr, nullptr, nullptr, nullptr, &size));
  HKEY gone = nullptr;
  EXPECT_EQ(ERROR_FILE_NOT_FOUND,
            RegOpenKeyExA(HKEY_CLASSES_ROOT, "CLSID\\{X}\\Programmable", 0, KEY_READ, &gone));

  Create(HKEY_CLASSES_ROOT, "CLSID\\{X}\\InprocServer32");
  ASSERT_EQ(ERROR_SUCCESS, RegDeleteTreeA(HKEY_CLASSES_ROOT, "CLSID\\{X}"));
  EXPECT_EQ(ERROR_FILE_NOT_FOUND,
            RegOpenKeyExA(HKEY_CLASSES_ROOT, "CLSID\\{X}", 0, KEY_READ, &gone));
  Open(HKEY_CLASSES_ROOT, "CLSID\\{Y}");
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegDeleteTreeA(HKEY_CLASSES_ROOT, "CLSID\\{X}"));
}

TEST_F(RegistryTest, HandleOfADeletedKeyReportsIt) {
  HKEY key = Create(HKEY_CURRENT_USER, "Volatile\\Leaf");
  ASSERT_EQ(ERROR_SUCCESS, RegDeleteTreeA(HKEY_CURRENT_USER, "Volatile"));
  EXPECT_EQ(ERROR_KEY_DELETED, SetDword(key, "x", 1));
  DWORD size = 0;
  EXPECT_EQ(ERROR_KEY_DELETED, RegQueryValueExA(key, "x", nullptr, nullptr, nullptr, &size));
  HKEY sub = nullptr;
  EXPECT_EQ(ERROR_KEY_DELETED, RegOpenKeyExA(key, "y", 0, KEY_READ, &sub));
  EXPECT_EQ(ERROR_KEY_DELETED,
            RegCreateKeyExA(key, "y", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &sub, nullptr));
}

TEST_F(RegistryTest, BadHandlesGiveAnErrorNotACrash) {
  int not_a_key = 0;
  HKEY bogus = reinterpret_cast<HKEY>(&not_a_key);
  HKEY out = nullptr;
  DWORD size = 0;
  EXPECT_EQ(ERROR_INVALID_HANDLE, RegOpenKeyExA(bogus, "x", 0, KEY_READ, &out));
  EXPECT_EQ(ERROR_INVALID_HANDLE, RegOpenKeyExA(nullptr, "x", 0, KEY_READ, &out));
  EXPECT_EQ(ERROR_INVALID_HANDLE, RegQueryValueExA(bogus, "x", nullptr, nullptr, nullptr, &size));
  EXPECT_EQ(ERROR_INVALID_HANDLE, SetDword(bogus, "x", 1));
  EXPECT_EQ(ERROR_INVALID_HANDLE, RegDeleteValueA(bogus, "x"));
  EXPECT_EQ(ERROR_INVALID_HANDLE, RegDeleteKeyA(bogus, "x"));
  EXPECT_EQ(ERROR_INVALID_HANDLE, RegDeleteTreeA(bogus, nullptr));
  EXPECT_EQ(ERROR_INVALID_HANDLE, RegCloseKey(bogus));
  EXPECT_EQ(ERROR_INVALID_HANDLE, RegCloseKey(nullptr));

  HKEY key = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_USERS, "K", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                           &key, nullptr));
  EXPECT_EQ(ERROR_SUCCESS, RegCloseKey(key));
  EXPECT_EQ(ERROR_INVALID_HANDLE, RegCloseKey(key));
  EXPECT_EQ(ERROR_INVALID_HANDLE, SetDword(key, "x", 1));
  EXPECT_EQ(ERROR_SUCCESS, RegCloseKey(HKEY_LOCAL_MACHINE));  // predefined keys close as no-ops
}

TEST_F(RegistryTest, NamesTheFileCannotHoldAreRefused) {
  HKEY key = nullptr;
  EXPECT_EQ(ERROR_INVALID_PARAMETER, RegCreateKeyExA(HKEY_USERS, "line\nbreak", 0, nullptr, 0,
                                                     KEY_ALL_ACCESS, nullptr, &key, nullptr));
  EXPECT_EQ(ERROR_INVALID_PARAMETER,
            RegCreateKeyExA(HKEY_USERS, std::string(256, 'k').c_str(), 0, nullptr, 0,
                            KEY_ALL_ACCESS, nullptr, &key, nullptr));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, SetDword(HKEY_USERS, "a\r", 1));
  EXPECT_EQ(ERROR_INVALID_PARAMETER,
            RegCreateKeyExA(HKEY_USERS, "x", 0, nullptr, 0, 0, nullptr, nullptr, nullptr));
}

// ---------------------------------------------------------------------------
// Values

TEST_F(RegistryTest, QueryBufferProtocol) {
  HKEY key = Create(HKEY_LOCAL_MACHINE, kParameters);
  ASSERT_EQ(ERROR_SUCCESS, SetString(key, "Text", "hello"));
  DWORD type = 0;
  DWORD size = 0;
  // No buffer: the size, terminator included.
  ASSERT_EQ(ERROR_SUCCESS, RegQueryValueExA(key, "Text", nullptr, &type, nullptr, &size));
  EXPECT_EQ(static_cast<DWORD>(REG_SZ), type);
  EXPECT_EQ(6u, size);
  // One byte short: ERROR_MORE_DATA and the size needed.
  char buf[16] = {};
  size = 5;
  EXPECT_EQ(ERROR_MORE_DATA,
            RegQueryValueExA(key, "Text", nullptr, nullptr, reinterpret_cast<BYTE*>(buf), &size));
  EXPECT_EQ(6u, size);
  size = 0;
  EXPECT_EQ(ERROR_MORE_DATA,
            RegQueryValueExA(key, "Text", nullptr, nullptr, reinterpret_cast<BYTE*>(buf), &size));
  EXPECT_EQ(6u, size);
  // Exactly enough.
  size = 6;
  memset(buf, 'x', sizeof buf);
  ASSERT_EQ(ERROR_SUCCESS,
            RegQueryValueExA(key, "Text", nullptr, nullptr, reinterpret_cast<BYTE*>(buf), &size));
  EXPECT_STREQ("hello", buf);
  EXPECT_EQ(6u, size);
  EXPECT_EQ('x', buf[6]);
  // Type only, and the argument checks.
  EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExA(key, "Text", nullptr, &type, nullptr, nullptr));
  EXPECT_EQ(ERROR_INVALID_PARAMETER,
            RegQueryValueExA(key, "Text", nullptr, nullptr, reinterpret_cast<BYTE*>(buf), nullptr));
  DWORD reserved = 0;
  EXPECT_EQ(ERROR_INVALID_PARAMETER,
            RegQueryValueExA(key, "Text", &reserved, nullptr, nullptr, &size));
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegQueryValueExA(key, "Other", nullptr, nullptr, nullptr, &size));
}

TEST_F(RegistryTest, DefaultValueByNullOrEmptyName) {
  HKEY key = Create(HKEY_CLASSES_ROOT, "Tessary.File");
  DWORD size = 0;
  // The key exists but its default value was never set.
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegQueryValueExA(key, nullptr, nullptr, nullptr, nullptr, &size));
  ASSERT_EQ(ERROR_SUCCESS, SetString(key, "", "File Class"));
  char buf[32];
  size = sizeof buf;
  ASSERT_EQ(ERROR_SUCCESS,
            RegQueryValueExA(key, nullptr, nullptr, nullptr, reinterpret_cast<BYTE*>(buf), &size));
  EXPECT_STREQ("File Class", buf);
  EXPECT_NE(std::string::npos, store_.Read().find("@=\"File Class\"\n"));
  ASSERT_EQ(ERROR_SUCCESS, RegDeleteValueA(key, nullptr));
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegQueryValueExA(key, "", nullptr, nullptr, nullptr, &size));
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegDeleteValueA(key, ""));
}

TEST_F(RegistryTest, StringsAreStoredTerminated) {
  HKEY key = Create(HKEY_CURRENT_USER, "S");
  ASSERT_EQ(ERROR_SUCCESS,
            RegSetValueExA(key, "NoNul", 0, REG_SZ, reinterpret_cast<const BYTE*>("abc"), 3));
  ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(key, "Multi", 0, REG_MULTI_SZ,
                                          reinterpret_cast<const BYTE*>("a\0b"), 3));
  ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(key, "Empty", 0, REG_SZ, nullptr, 0));
  BYTE buf[16];
  DWORD size = sizeof buf;
  ASSERT_EQ(ERROR_SUCCESS, RegQueryValueExA(key, "NoNul", nullptr, nullptr, buf, &size));
  EXPECT_EQ(4u, size);
  EXPECT_EQ(0, memcmp(buf, "abc", 4));
  size = sizeof buf;
  ASSERT_EQ(ERROR_SUCCESS, RegQueryValueExA(key, "Multi", nullptr, nullptr, buf, &size));
  EXPECT_EQ(5u, size);
  EXPECT_EQ(0, memcmp(buf, "a\0b\0", 5));
  size = sizeof buf;
  ASSERT_EQ(ERROR_SUCCESS, RegQueryValueExA(key, "Empty", nullptr, nullptr, buf, &size));
  EXPECT_EQ(1u, size);
  EXPECT_EQ(ERROR_INVALID_PARAMETER, RegSetValueExA(key, "Bad", 0, REG_BINARY, nullptr, 4));
}

TEST_F(RegistryTest, WideQueryConvertsStringsAndPassesTheRestThrough) {
  HKEY key = Create(HKEY_LOCAL_MACHINE, kParameters);
  ASSERT_EQ(ERROR_SUCCESS, SetString(key,
                                     "Gr\xC3\xBC\xC3\x9F"
                                     "e",
                                     "\xE2\x82\xAC"
                                     "5"));
  ASSERT_EQ(ERROR_SUCCESS, SetDword(key, "DisableRegisterDLL", 7));
  BYTE buf[32];
  DWORD size = sizeof buf;
  DWORD type = 0;
  ASSERT_EQ(ERROR_SUCCESS, RegQueryValueExW(key, u"GR\u00fc\u00dfE", nullptr, &type, buf, &size));
  EXPECT_EQ(static_cast<DWORD>(REG_SZ), type);
  ASSERT_EQ(6u, size);
  std::u16string text(reinterpret_cast<const char16_t*>(buf), 3);
  EXPECT_EQ(std::u16string(u"\u20ac"
                           u"5\0",
                           3),
            text);
  size = 0;
  ASSERT_EQ(ERROR_SUCCESS,
            RegQueryValueExW(key, u"Gr\u00fc\u00dfe", nullptr, nullptr, nullptr, &size));
  EXPECT_EQ(6u, size);
  size = 4;
  EXPECT_EQ(ERROR_MORE_DATA,
            RegQueryValueExW(key, u"Gr\u00fc\u00dfe", nullptr, nullptr, buf, &size));
  EXPECT_EQ(6u, size);

  // The feature switches' read: four bytes straight into a DWORD.
  DWORD value = 0;
  size = sizeof value;
  ASSERT_EQ(ERROR_SUCCESS, RegQueryValueExW(key, u"DisableRegisterDLL", nullptr, nullptr,
                                            reinterpret_cast<BYTE*>(&value), &size));
  EXPECT_EQ(7u, value);
  // An eight-byte value does not fit and counts as unreadable.
  ULONGLONG quad = 1;
  ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(key, "DisableDelete", 0, REG_QWORD,
                                          reinterpret_cast<const BYTE*>(&quad), sizeof quad));
  size = sizeof value;
  EXPECT_EQ(ERROR_MORE_DATA, RegQueryValueExW(key, u"DisableDelete", nullptr, nullptr,
                                              reinterpret_cast<BYTE*>(&value), &size));
  EXPECT_EQ(8u, size);
}

TEST_F(RegistryTest, RegistryCallsLeaveTheLastErrorAlone) {
  SetLastError(12345);
  HKEY key = nullptr;
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Nope", 0, KEY_READ, &key));
  DWORD size = 0;
  EXPECT_EQ(ERROR_FILE_NOT_FOUND,
            RegQueryValueExW(HKEY_LOCAL_MACHINE, u"\xD800", nullptr, nullptr, nullptr, &size));
  EXPECT_EQ(12345u, GetLastError());
}

TEST_F(RegistryTest, AdministratorsFileIsReadAsWritten) {
  store_.Write(
      "REGEDIT4\r\n\r\n; set by the administrator\r\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Quennel\\QN-Tessary\\Parameters]\r\n"
      "\"DisableDelete\"=dword:00000001\r\n\"DisableRegisterDLL\"=dword:0\r\n");
  HKEY key = Open(HKEY_LOCAL_MACHINE, kParameters);
  EXPECT_EQ(1u, QueryDword(key, "DisableDelete"));
  EXPECT_EQ(0u, QueryDword(key, "DisableRegisterDLL"));
}

TEST_F(RegistryTest, EnumeratesSubkeysSortedAndValuesInOrder) {
  HKEY key = Create(HKEY_CLASSES_ROOT, "E");
  Create(key, "charlie");
  Create(key, "Alpha");
  Create(key, "bravo");
  ASSERT_EQ(ERROR_SUCCESS, SetDword(key, "z", 1));
  ASSERT_EQ(ERROR_SUCCESS, SetString(key, "a", "text"));
  ASSERT_EQ(ERROR_SUCCESS, SetDword(key, "m", 3));

  std::vector<std::string> names;
  for (DWORD i = 0;; ++i) {
    char name[32];
    DWORD cch = sizeof name;
    FILETIME when{};
    LSTATUS rc = RegEnumKeyExA(key, i, name, &cch, nullptr, nullptr, nullptr, &when);
    if (rc == ERROR_NO_MORE_ITEMS) break;
    ASSERT_EQ(ERROR_SUCCESS, rc);
    EXPECT_EQ(strlen(name), cch);
    EXPECT_NE(0u, when.dwHighDateTime);
    names.push_back(name);
  }
  EXPECT_EQ((std::vector<std::string>{"Alpha", "bravo", "charlie"}), names);
  char small[5];
  DWORD cch = sizeof small;
  EXPECT_EQ(ERROR_MORE_DATA,
            RegEnumKeyExA(key, 2, small, &cch, nullptr, nullptr, nullptr, nullptr));

  names.clear();
  std::vector<DWORD> types;
  for (DWORD i = 0;; ++i) {
    char name[32];
    DWORD cch_name = sizeof name;
    BYTE data[32];
    DWORD size = sizeof data;
    DWORD type = 0;
    LSTATUS rc = RegEnumValueA(key, i, name, &cch_name, nullptr, &type, data, &size);
    if (rc == ERROR_NO_MORE_ITEMS) break;
    ASSERT_EQ(ERROR_SUCCESS, rc);
    names.push_back(name);
    types.push_back(type);
  }
  EXPECT_EQ((std::vector<std::string>{"z", "a", "m"}), names);
  EXPECT_EQ((std::vector<DWORD>{REG_DWORD, REG_SZ, REG_DWORD}), types);
  char name[8];
  DWORD cch_name = sizeof name;
  BYTE data[2];
  DWORD size = sizeof data;
  EXPECT_EQ(ERROR_MORE_DATA, RegEnumValueA(key, 1, name, &cch_name, nullptr, nullptr, data, &size));
  EXPECT_EQ(5u, size);
}

// ---------------------------------------------------------------------------
// Consistency with the file on disk

TEST_F(RegistryTest, ReadersSeeTheFileAsItIsNow) {
  store_.Write("REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\K]\n\"v\"=dword:00000001\n");
  HKEY key = Open(HKEY_LOCAL_MACHINE, "K");
  EXPECT_EQ(1u, QueryDword(key, "v"));
  // Same size, rewritten in place: still seen.
  store_.Write("REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\K]\n\"v\"=dword:00000002\n");
  EXPECT_EQ(2u, QueryDword(key, "v"));
  // Rewritten in place with the old modification time put back: the change
  // time still gives it away.
  struct stat before;
  ASSERT_EQ(0, stat(store_.file().c_str(), &before));
  store_.Write("REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\K]\n\"v\"=dword:00000003\n");
  struct timespec times[2] = {before.st_atim, before.st_mtim};
  ASSERT_EQ(0, utimensat(AT_FDCWD, store_.file().c_str(), times, 0));
  EXPECT_EQ(3u, QueryDword(key, "v"));
  unlink(store_.file().c_str());
  DWORD size = 0;
  EXPECT_EQ(ERROR_KEY_DELETED, RegQueryValueExA(key, "v", nullptr, nullptr, nullptr, &size));
}

TEST_F(RegistryTest, SettledFileIsParsedOnceAndThenServedFromTheCache) {
  store_.Write("REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\K]\n\"v\"=dword:00000001\n");
  // Past the window in which a timestamp could hide a second change.
  std::this_thread::sleep_for(std::chrono::milliseconds(2100));
  HKEY key = Open(HKEY_LOCAL_MACHINE, "K");
  EXPECT_EQ(1u, QueryDword(key, "v"));
  // Reads that need the file's content now would fail.
  sys::InjectFault(sys::Call::open, 1, EIO, true);
  EXPECT_EQ(1u, QueryDword(key, "v"));
  EXPECT_EQ(1u, QueryDword(key, "v"));
  EXPECT_EQ(0, sys::FaultsFired());
  TessaryRegistryDropCache();
  DWORD size = 0;
  EXPECT_EQ(ERROR_IO_DEVICE, RegQueryValueExA(key, "v", nullptr, nullptr, nullptr, &size));
  sys::ClearFaults();
}

// ---------------------------------------------------------------------------
// Files that are not ours to rewrite

// Every call that needs the store's content fails with `expected`; nothing
// behaves as an empty store, and nothing is written.
void ExpectStoreRefused(LSTATUS expected, HKEY key, const ScopedStore& store) {
  const std::string before = store.Read();
  HKEY opened = nullptr;
  EXPECT_EQ(expected, RegOpenKeyExA(HKEY_LOCAL_MACHINE, "K", 0, KEY_READ, &opened));
  EXPECT_EQ(expected, RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Missing", 0, KEY_READ, &opened));
  EXPECT_EQ(nullptr, opened);
  DWORD size = 0;
  EXPECT_EQ(expected, RegQueryValueExA(key, "v", nullptr, nullptr, nullptr, &size));
  EXPECT_EQ(expected, RegQueryValueExW(key, u"v", nullptr, nullptr, nullptr, &size));
  char name[16];
  DWORD cch = sizeof name;
  EXPECT_EQ(expected,
            RegEnumKeyExA(HKEY_LOCAL_MACHINE, 0, name, &cch, nullptr, nullptr, nullptr, nullptr));
  cch = sizeof name;
  EXPECT_EQ(expected, RegEnumValueA(key, 0, name, &cch, nullptr, nullptr, nullptr, nullptr));
  EXPECT_EQ(expected, SetDword(key, "v", 2));
  EXPECT_EQ(expected, RegCreateKeyExA(HKEY_LOCAL_MACHINE, "New", 0, nullptr, 0, KEY_ALL_ACCESS,
                                      nullptr, &opened, nullptr));
  EXPECT_EQ(expected, RegDeleteTreeA(HKEY_LOCAL_MACHINE, "K"));
  EXPECT_EQ(before, store.Read());
}

TEST_F(RegistryTest, AFileThatIsNotAWholeStoreAnswersNothingAndIsNeverOverwritten) {
  const std::string good = "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\K]\n\"v\"=dword:00000001\n";
  store_.Write(good);
  HKEY key = Open(HKEY_LOCAL_MACHINE, "K");
  std::string junk;
  for (int i = 0; i < 5000; ++i) junk.push_back(static_cast<char>((i * 7919) % 256));
  const std::string damaged[] = {
      "# not a registry file\n[HKEY_LOCAL_MACHINE\\K]\n\"v\"=dword:00000001\n",
      // One line the parser cannot take may be the one that mattered.
      good + "\"DisableDelete\"=dword:000000001\n",
      good + "[HKEY_NO_SUCH_ROOT\\K]\n",
      junk,
  };
  for (const std::string& text : damaged) {
    SCOPED_TRACE(text.substr(0, 60));
    store_.Write(text);
    ExpectStoreRefused(ERROR_BADDB, key, store_);
  }
  store_.Write("Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\K]\n");
  EXPECT_EQ(ERROR_SUCCESS, SetDword(key, "v", 2));
  EXPECT_EQ(0u, store_.Read().find("REGEDIT4\n"));
}

TEST_F(RegistryTest, AFileThatCannotBeReadAnswersItsError) {
  store_.Write("REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\K]\n\"v\"=dword:00000001\n");
  HKEY key = Open(HKEY_LOCAL_MACHINE, "K");
  sys::InjectFault(sys::Call::open, 1, EACCES, true);
  ExpectStoreRefused(ERROR_ACCESS_DENIED, key, store_);
  sys::ClearFaults();
  sys::InjectFault(sys::Call::read, 1, EIO, true);
  ExpectStoreRefused(ERROR_IO_DEVICE, key, store_);
  sys::ClearFaults();
  EXPECT_EQ(1u, QueryDword(key, "v"));
}

TEST_F(RegistryTest, EmptyFileIsAFreshStore) {
  store_.Write("\n");
  ASSERT_EQ(ERROR_SUCCESS, SetDword(HKEY_LOCAL_MACHINE, "v", 1));
  EXPECT_EQ("REGEDIT4\n\n[HKEY_LOCAL_MACHINE]\n\"v\"=dword:00000001\n\n", store_.Read());
}

TEST_F(RegistryTest, RewriteKeepsTheAdministratorsTextAsBackup) {
  const std::string original =
      "REGEDIT4\n\n; why delete is off\n[HKEY_LOCAL_MACHINE\\K]\n\"v\"=dword:00000001\n";
  store_.Write(original);
  ASSERT_EQ(ERROR_SUCCESS, SetDword(HKEY_LOCAL_MACHINE, "w", 1));
  std::ifstream in(store_.file() + ".bak");
  std::string backup((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(original, backup);
  EXPECT_EQ(std::string::npos, store_.Read().find("why"));
  EXPECT_NE(std::string::npos, store_.Read().find("\"v\"=dword:00000001"));
}

TEST_F(RegistryTest, StoreThatIsAFolderFailsCleanly) {
  ASSERT_EQ(0, mkdir(store_.file().c_str(), 0755));
  HKEY key = nullptr;
  EXPECT_EQ(ERROR_ACCESS_DENIED, RegOpenKeyExA(HKEY_LOCAL_MACHINE, "K", 0, KEY_READ, &key));
  EXPECT_EQ(ERROR_ACCESS_DENIED, SetDword(HKEY_LOCAL_MACHINE, "v", 1));
  rmdir(store_.file().c_str());
}

TEST_F(RegistryTest, UnwritableFolderIsAccessDenied) {
  if (geteuid() == 0) GTEST_SKIP() << "root writes anywhere";
  TempDir dir;
  std::string file = dir / "registry.reg";
  setenv("TESSARY_REGISTRY", file.c_str(), 1);
  ASSERT_EQ(ERROR_SUCCESS, SetDword(HKEY_LOCAL_MACHINE, "v", 1));
  chmod(dir.path().c_str(), 0555);
  EXPECT_EQ(ERROR_ACCESS_DENIED, SetDword(HKEY_LOCAL_MACHINE, "v", 2));
  chmod(dir.path().c_str(), 0755);
  EXPECT_EQ(1u, QueryDword(HKEY_LOCAL_MACHINE, "v"));
  setenv("TESSARY_REGISTRY", store_.file().c_str(), 1);
}

// ---------------------------------------------------------------------------
// Failing system calls

// Fails each call of a write transaction in turn, SQLite fashion, until a run
// injects nothing: every failing run must return an error and leave the old
// file byte for byte, or succeed (the step was best effort) with the new
// value in place; never a stray temporary file or a leaked descriptor.
TEST_F(RegistryTest, EveryFailingCallOfAWriteLeavesTheFileWhole) {
  const sys::Call calls[] = {sys::Call::open,  sys::Call::read,   sys::Call::write,
                             sys::Call::fsync, sys::Call::fstat,  sys::Call::stat,
                             sys::Call::flock, sys::Call::rename, sys::Call::fchmod,
                             sys::Call::mkdir, sys::Call::unlink, sys::Call::link};
  store_.Write("REGEDIT4\n\n; a comment, so the backup step runs too\n");
  ASSERT_EQ(ERROR_SUCCESS, SetDword(HKEY_LOCAL_MACHINE, "seed", 0));
  int round = 0;
  for (sys::Call call : calls) {
    for (int nth = 1; nth < 40; ++nth) {
      for (bool persistent : {false, true}) {
        ++round;
        std::string name = "v" + std::to_string(round);
        std::string before = store_.Read();
        int fds = OpenDescriptors();
        sys::InjectFault(call, nth, EIO, persistent);
        LSTATUS rc = SetDword(HKEY_LOCAL_MACHINE, name.c_str(), round);
        int fired = sys::FaultsFired();
        sys::ClearFaults();
        SCOPED_TRACE("call " + std::to_string(static_cast<int>(call)) + " nth " +
                     std::to_string(nth) + (persistent ? " persistent" : ""));
        EXPECT_EQ(fds, OpenDescriptors());
        for (const std::string& entry : FolderEntries(store_.dir().path())) {
          EXPECT_EQ(std::string::npos, entry.find(".tmp.")) << entry;
        }
        std::string after = store_.Read();
        regedit::ParseResult parsed = regedit::Parse(after);
        EXPECT_TRUE(parsed.recognised);
        EXPECT_EQ(0u, parsed.skipped_lines);
        TessaryRegistryDropCache();
        DWORD size = 0;
        bool present = RegQueryValueExA(HKEY_LOCAL_MACHINE, name.c_str(), nullptr, nullptr, nullptr,
                                        &size) == ERROR_SUCCESS;
        if (rc == ERROR_SUCCESS) {
          EXPECT_TRUE(present);
        } else {
          EXPECT_GT(fired, 0);
          EXPECT_EQ(before, after);
          EXPECT_FALSE(present);
        }
        if (fired == 0) {
          EXPECT_EQ(ERROR_SUCCESS, rc);
          nth = 40;  // this call has no later occurrence to fail
          break;
        }
      }
    }
  }
}

TEST_F(RegistryTest, AFailedRewriteReportsTheErrorAndKeepsTheOldFile) {
  ASSERT_EQ(ERROR_SUCCESS, SetDword(HKEY_LOCAL_MACHINE, "v", 1));
  std::string before = store_.Read();
  // The new file's data must be on disk before its name replaces the old
  // file, or a crash could leave an empty store: a failing sync stops the rename.
  const struct {
    sys::Call call;
    int err;
    LSTATUS expected;
  } faults[] = {{sys::Call::rename, EACCES, ERROR_ACCESS_DENIED},
                {sys::Call::write, ENOSPC, ERROR_DISK_FULL},
                {sys::Call::fsync, EIO, ERROR_IO_DEVICE},
                {sys::Call::fsync, ENOSPC, ERROR_DISK_FULL}};
  for (const auto& f : faults) {
    sys::InjectFault(f.call, 1, f.err);
    EXPECT_EQ(f.expected, SetDword(HKEY_LOCAL_MACHINE, "v", 2));
    EXPECT_EQ(1, sys::FaultsFired());
    sys::ClearFaults();
    EXPECT_EQ(before, store_.Read());
    EXPECT_EQ((std::vector<std::string>{"registry.reg", "registry.reg.lock"}), [&] {
      auto names = FolderEntries(store_.dir().path());
      std::sort(names.begin(), names.end());
      return names;
    }());
  }
  EXPECT_EQ(1u, QueryDword(HKEY_LOCAL_MACHINE, "v"));

  // The flush makes the last rename durable: the folder is synced too.
  EXPECT_EQ(ERROR_SUCCESS, RegFlushKey(HKEY_LOCAL_MACHINE));
  for (int nth : {1, 2}) {
    sys::InjectFault(sys::Call::fsync, nth, ENOSPC);
    EXPECT_EQ(ERROR_DISK_FULL, RegFlushKey(HKEY_LOCAL_MACHINE)) << nth;
    sys::ClearFaults();
  }
  EXPECT_EQ(ERROR_INVALID_HANDLE, RegFlushKey(reinterpret_cast<HKEY>(0x1234)));

  // The folder of a new store cannot be made.
  TempDir dir;
  std::string file = dir / "new/sub/registry.reg";
  setenv("TESSARY_REGISTRY", file.c_str(), 1);
  sys::InjectFault(sys::Call::mkdir, 1, EACCES, true);
  EXPECT_EQ(ERROR_ACCESS_DENIED, SetDword(HKEY_LOCAL_MACHINE, "v", 2));
  sys::ClearFaults();
  struct stat st;
  EXPECT_NE(0, stat((dir / "new/sub").c_str(), &st));
  EXPECT_EQ(ERROR_SUCCESS, SetDword(HKEY_LOCAL_MACHINE, "v", 2));
  EXPECT_EQ(0, stat(file.c_str(), &st));
  setenv("TESSARY_REGISTRY", store_.file().c_str(), 1);
}

// A name already at the temporary's place, left by a dead writer or put
// there by someone else, is replaced, never written through.
TEST_F(RegistryTest, ARewriteNeverWritesThroughAnExistingTemporaryName) {
  ASSERT_EQ(ERROR_SUCCESS, SetDword(HKEY_LOCAL_MACHINE, "v", 1));
  const std::string tmp = store_.file() + ".tmp." + std::to_string(getpid());
  TempDir elsewhere;
  const std::string victim = elsewhere / "victim";
  testing::WriteWholeFile(victim, "keep me");
  for (bool hard : {true, false}) {
    ASSERT_EQ(0, hard ? link(victim.c_str(), tmp.c_str()) : symlink(victim.c_str(), tmp.c_str()));
    ASSERT_EQ(ERROR_SUCCESS, SetDword(HKEY_LOCAL_MACHINE, "v", hard ? 2 : 3));
    EXPECT_EQ("keep me", testing::ReadWholeFile(victim));
    EXPECT_EQ(hard ? 2u : 3u, QueryDword(HKEY_LOCAL_MACHINE, "v"));
    struct stat st;
    EXPECT_NE(0, lstat(tmp.c_str(), &st));
  }
  // One that cannot be removed fails the write.
  ASSERT_EQ(0, symlink(victim.c_str(), tmp.c_str()));
  sys::InjectFault(sys::Call::unlink, 1, EACCES);
  EXPECT_EQ(ERROR_ACCESS_DENIED, SetDword(HKEY_LOCAL_MACHINE, "v", 4));
  sys::ClearFaults();
  EXPECT_EQ("keep me", testing::ReadWholeFile(victim));
  EXPECT_EQ(3u, QueryDword(HKEY_LOCAL_MACHINE, "v"));
  unlink(tmp.c_str());
}

// ---------------------------------------------------------------------------
// Concurrent writers

TEST_F(RegistryTest, ConcurrentProcessesAndThreadsLoseNoUpdate) {
  constexpr int kProcesses = 4;
  constexpr int kThreads = 4;
  constexpr int kWrites = 40;
  ASSERT_EQ(ERROR_SUCCESS, SetDword(HKEY_LOCAL_MACHINE, "seed", 0));

  // Fork before any thread of ours exists, so the children inherit no held lock.
  std::vector<pid_t> children;
  for (int p = 0; p < kProcesses; ++p) {
    pid_t pid = fork();
    ASSERT_NE(-1, pid);
    if (pid == 0) {
      int failures = 0;
      HKEY key = nullptr;
      std::string path = "Writers\\P" + std::to_string(p);
      if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                          &key, nullptr) != ERROR_SUCCESS) {
        _exit(100);
      }
      for (int i = 0; i < kWrites; ++i) {
        std::string name = "p" + std::to_string(p) + "_" + std::to_string(i);
        if (SetDword(HKEY_LOCAL_MACHINE, name.c_str(), p * 1000 + i) != ERROR_SUCCESS) ++failures;
        if (SetString(key, name.c_str(), name) != ERROR_SUCCESS) ++failures;
      }
      RegCloseKey(key);
      _exit(failures == 0 ? 0 : 1);
    }
    children.push_back(pid);
  }

  std::atomic<int> torn{0};
  std::atomic<bool> done{false};
  std::thread reader([&] {
    while (!done) {
      std::string text = store_.Read();
      regedit::ParseResult parsed = regedit::Parse(text);
      if (!parsed.recognised || parsed.skipped_lines != 0) ++torn;
    }
  });
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kWrites; ++i) {
        std::string name = "t" + std::to_string(t) + "_" + std::to_string(i);
        if (SetDword(HKEY_LOCAL_MACHINE, name.c_str(), t * 1000 + i) != ERROR_SUCCESS) ++failures;
        DWORD value = 0;
        DWORD size = sizeof value;
        if (RegQueryValueExA(HKEY_LOCAL_MACHINE, name.c_str(), nullptr, nullptr,
                             reinterpret_cast<BYTE*>(&value), &size) != ERROR_SUCCESS ||
            value != static_cast<DWORD>(t * 1000 + i)) {
          ++failures;  // a writer must read its own write
        }
      }
    });
  }
  for (std::thread& t : threads) t.join();
  for (pid_t pid : children) {
    int status = 0;
    ASSERT_EQ(pid, waitpid(pid, &status, 0));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  }
  done = true;
  reader.join();
  EXPECT_EQ(0, failures.load());
  EXPECT_EQ(0, torn.load());

  TessaryRegistryDropCache();
  for (int p = 0; p < kProcesses; ++p) {
    std::string path = "Writers\\P" + std::to_string(p);
    HKEY key = Open(HKEY_LOCAL_MACHINE, path.c_str());
    for (int i = 0; i < kWrites; ++i) {
      std::string name = "p" + std::to_string(p) + "_" + std::to_string(i);
      EXPECT_EQ(static_cast<DWORD>(p * 1000 + i), QueryDword(HKEY_LOCAL_MACHINE, name.c_str()));
      char text[32] = {};
      DWORD size = sizeof text;
      EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExA(key, name.c_str(), nullptr, nullptr,
                                                reinterpret_cast<BYTE*>(text), &size));
      EXPECT_EQ(name, text);
    }
  }
  for (int t = 0; t < kThreads; ++t) {
    for (int i = 0; i < kWrites; ++i) {
      std::string name = "t" + std::to_string(t) + "_" + std::to_string(i);
      EXPECT_EQ(static_cast<DWORD>(t * 1000 + i), QueryDword(HKEY_LOCAL_MACHINE, name.c_str()));
    }
  }
  regedit::ParseResult parsed = regedit::Parse(store_.Read());
  EXPECT_TRUE(parsed.recognised);
  EXPECT_EQ(0u, parsed.skipped_lines);
  // Nothing but the store and its lock file is left behind.
  EXPECT_EQ(2u, FolderEntries(store_.dir().path()).size());
}

}  // namespace
}  // namespace tessary
