// Loadable modules: LoadLibrary's Win32 errors for the ways a load fails,
// GetProcAddress answering from the module's own exports only, and the
// truncation rules of GetModuleFileNameA.
#include "platform/modules.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <fstream>
#include <string>

#include "platform/posix/syscalls.h"
#include "platform/system.h"
#include "unit/test_support.h"

namespace tessary {
namespace {

using testing::TempDir;

// Something of the test program itself, to find the main program by address.
int g_marker = 0;

std::string ModulePath(HMODULE module) {
  char buf[4096];
  DWORD n = GetModuleFileNameA(module, buf, sizeof buf);
  return std::string(buf, n);
}

std::string MainProgram() {
  char buf[4096];
  ssize_t n = readlink("/proc/self/exe", buf, sizeof buf);
  return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

TEST(Modules, LoadsByNameAndFindsItsExports) {
  HMODULE libm = LoadLibraryA("libm.so.6");
  ASSERT_NE(nullptr, libm);
  auto cosine =
      reinterpret_cast<double (*)(double)>(reinterpret_cast<void*>(GetProcAddress(libm, "cos")));
  ASSERT_NE(nullptr, cosine);
  EXPECT_EQ(1.0, cosine(0.0));

  SetLastError(0);
  EXPECT_EQ(nullptr, GetProcAddress(libm, "NoSuchExport"));
  EXPECT_EQ(static_cast<DWORD>(ERROR_PROC_NOT_FOUND), GetLastError());
  // A function of a library libm depends on is not one of libm's exports.
  SetLastError(0);
  EXPECT_EQ(nullptr, GetProcAddress(libm, "malloc"));
  EXPECT_EQ(static_cast<DWORD>(ERROR_PROC_NOT_FOUND), GetLastError());
  // Ordinals name nothing here.
  EXPECT_EQ(nullptr, GetProcAddress(libm, reinterpret_cast<LPCSTR>(1)));
  EXPECT_EQ(static_cast<DWORD>(ERROR_PROC_NOT_FOUND), GetLastError());

  std::string path = ModulePath(libm);
  EXPECT_EQ('/', path[0]);
  EXPECT_NE(std::string::npos, path.find("libm.so.6"));
  EXPECT_TRUE(FreeLibrary(libm));
}

TEST(Modules, BackslashPathsNameTheSameFile) {
  HMODULE libm = LoadLibraryA("libm.so.6");
  ASSERT_NE(nullptr, libm);
  std::string path = ModulePath(libm);
  for (char& c : path) {
    if (c == '/') c = '\\';
  }
  HMODULE again = LoadLibraryExA(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
  EXPECT_EQ(libm, again);
  EXPECT_TRUE(FreeLibrary(again));
  EXPECT_TRUE(FreeLibrary(libm));
}

TEST(Modules, RelativePathsBecomeFullPaths) {
  HMODULE libm = LoadLibraryA("libm.so.6");
  ASSERT_NE(nullptr, libm);
  std::string target = ModulePath(libm);
  TempDir dir;
  ASSERT_EQ(0, symlink(target.c_str(), (dir / "m.so").c_str()));
  char cwd[4096];
  ASSERT_NE(nullptr, getcwd(cwd, sizeof cwd));
  ASSERT_EQ(0, chdir(dir.path().c_str()));
  HMODULE linked = LoadLibraryA("./m.so");
  ASSERT_EQ(0, chdir(cwd));
  ASSERT_NE(nullptr, linked);
  EXPECT_EQ('/', ModulePath(linked)[0]);
  EXPECT_TRUE(FreeLibrary(linked));
  EXPECT_TRUE(FreeLibrary(libm));
}

TEST(Modules, LoadFailuresMapToWin32Codes) {
  TempDir dir;
  SetLastError(0);
  EXPECT_EQ(nullptr, LoadLibraryA((dir / "missing.so").c_str()));
  EXPECT_EQ(static_cast<DWORD>(ERROR_MOD_NOT_FOUND), GetLastError());
  EXPECT_EQ(nullptr, LoadLibraryA("libtessary-no-such-library.so.9"));
  EXPECT_EQ(static_cast<DWORD>(ERROR_MOD_NOT_FOUND), GetLastError());
  EXPECT_EQ(nullptr, LoadLibraryA((dir / "no/such/folder/x.so").c_str()));
  EXPECT_EQ(static_cast<DWORD>(ERROR_MOD_NOT_FOUND), GetLastError());

  std::ofstream(dir / "text.so") << "this is not a module\n";
  EXPECT_EQ(nullptr, LoadLibraryA((dir / "text.so").c_str()));
  EXPECT_EQ(static_cast<DWORD>(ERROR_BAD_EXE_FORMAT), GetLastError());
  std::ofstream(dir / "empty.so").flush();
  EXPECT_EQ(nullptr, LoadLibraryA((dir / "empty.so").c_str()));
  EXPECT_EQ(static_cast<DWORD>(ERROR_BAD_EXE_FORMAT), GetLastError());
  EXPECT_EQ(nullptr, LoadLibraryA(dir.path().c_str()));
  EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError());

  EXPECT_EQ(nullptr, LoadLibraryA(nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
  EXPECT_EQ(nullptr, LoadLibraryA(""));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
}

TEST(Modules, InjectedLoaderFailureIsReported) {
  sys::InjectFault(sys::Call::dlopen, 1, ENOMEM);
  EXPECT_EQ(nullptr, LoadLibraryA("libm.so.6"));
  EXPECT_EQ(static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY), GetLastError());
  sys::ClearFaults();
}

TEST(Modules, UnknownHandlesAreRefused) {
  int not_a_module = 0;
  HMODULE bogus = reinterpret_cast<HMODULE>(&not_a_module);
  EXPECT_EQ(nullptr, GetProcAddress(bogus, "cos"));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
  EXPECT_EQ(nullptr, GetProcAddress(nullptr, "cos"));
  EXPECT_FALSE(FreeLibrary(bogus));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
  char buf[64];
  EXPECT_EQ(0u, GetModuleFileNameA(bogus, buf, sizeof buf));
  EXPECT_EQ(static_cast<DWORD>(ERROR_MOD_NOT_FOUND), GetLastError());

  // Once every reference is given back, the handle is no longer ours to use.
  HMODULE libm = LoadLibraryA("libm.so.6");
  ASSERT_NE(nullptr, libm);
  EXPECT_TRUE(FreeLibrary(libm));
  EXPECT_FALSE(FreeLibrary(libm));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
}

TEST(Modules, ModuleFileNameTruncatesAsWindowsDoes) {
  std::string exe = MainProgram();
  ASSERT_FALSE(exe.empty());
  char buf[4096];
  DWORD n = GetModuleFileNameA(nullptr, buf, sizeof buf);
  EXPECT_EQ(exe.size(), n);
  EXPECT_EQ(exe, buf);

  // Room for the path and its terminator: the full path.
  std::string exact(exe.size() + 1, 'x');
  EXPECT_EQ(exe.size(),
            GetModuleFileNameA(nullptr, exact.data(), static_cast<DWORD>(exact.size())));
  // One short: truncated, terminated, the buffer size and ERROR_INSUFFICIENT_BUFFER.
  SetLastError(0);
  std::string shorter(exe.size(), 'x');
  EXPECT_EQ(exe.size(),
            GetModuleFileNameA(nullptr, shorter.data(), static_cast<DWORD>(exe.size())));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER), GetLastError());
  EXPECT_EQ(exe.substr(0, exe.size() - 1), shorter.c_str());
  char tiny[5];
  EXPECT_EQ(5u, GetModuleFileNameA(nullptr, tiny, sizeof tiny));
  EXPECT_EQ(exe.substr(0, 4), tiny);
  SetLastError(0);
  EXPECT_EQ(0u, GetModuleFileNameA(nullptr, tiny, 0));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER), GetLastError());
}

TEST(Modules, ModuleFromAddressFindsTheHolder) {
  // This platform library, from one of its own functions.
  HMODULE platform = TessaryModuleFromAddress(reinterpret_cast<const void*>(&LoadLibraryA));
  ASSERT_NE(nullptr, platform);
  EXPECT_NE(std::string::npos, ModulePath(platform).find("libtessary-platform.so"));
  EXPECT_EQ(reinterpret_cast<void*>(&LoadLibraryA),
            reinterpret_cast<void*>(GetProcAddress(platform, "LoadLibraryA")));

  // A library loaded by name is the same handle.
  HMODULE libm = LoadLibraryA("libm.so.6");
  ASSERT_NE(nullptr, libm);
  auto* cosine = reinterpret_cast<void*>(GetProcAddress(libm, "cos"));
  EXPECT_EQ(libm, TessaryModuleFromAddress(cosine));
  EXPECT_TRUE(FreeLibrary(libm));

  // The main program answers with its own path.
  HMODULE main_program = TessaryModuleFromAddress(&g_marker);
  ASSERT_NE(nullptr, main_program);
  EXPECT_EQ(MainProgram(), ModulePath(main_program));

  int on_the_stack = 0;
  SetLastError(0);
  EXPECT_EQ(nullptr, TessaryModuleFromAddress(&on_the_stack));
  EXPECT_EQ(static_cast<DWORD>(ERROR_MOD_NOT_FOUND), GetLastError());
  EXPECT_EQ(nullptr, TessaryModuleFromAddress(nullptr));
}

}  // namespace
}  // namespace tessary
