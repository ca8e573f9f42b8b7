// Drive and Drives over a store that maps an ordinary folder (D:), a memory
// file system (R:), a share (S: and \\fileserver\public) and a folder that
// goes away (V:), beside C: on the host root.
#include "drives/drive.h"

#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <climits>
#include <string>

#include "bstr_support.h"
#include "frame/values.h"
#include "fsobjects/file.h"
#include "fsobjects/folder.h"
#include "root/tessary.h"
#include "unit/platform/file_fixture.h"

namespace tessary::testing {
namespace {

constexpr uint64_t kGiB = uint64_t{1} << 30;
constexpr long kTmpfsMagic = 0x01021994;
const HRESULT kNotReady = HRESULT_FROM_WIN32(ERROR_NOT_READY);

// A memory file system for R:: a tmpfs of 8 GiB mounted for the tests where
// the process may mount, else the host's /dev/shm when it is one.
class MemoryVolume {
 public:
  MemoryVolume() {
    const std::string point = dir_.path() + "/ram";
    ::mkdir(point.c_str(), 0755);
    if (::mount("tessary-test", point.c_str(), "tmpfs", 0, "size=8g") == 0) {
      mounted_ = true;
      folder_ = point;
      return;
    }
    struct statfs fs;
    if (::statfs("/dev/shm", &fs) == 0 && fs.f_type == kTmpfsMagic) folder_ = "/dev/shm";
  }
  ~MemoryVolume() {
    if (mounted_) ::umount2(folder_.c_str(), MNT_DETACH);
  }
  const std::string& folder() const { return folder_; }
  bool mounted() const { return mounted_; }

 private:
  TempDir dir_;
  std::string folder_;
  bool mounted_ = false;
};

class DriveTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { memory_ = new MemoryVolume; }
  static void TearDownTestSuite() { delete memory_; }

  DriveTest() {
    for (const char* name : {"fixed", "share", "gone"}) ::mkdir((dir_ / name).c_str(), 0755);
    std::vector<std::pair<std::string, std::string>> drives = {{"C:", "/"},
                                                               {"D:", dir_ / "fixed"},
                                                               {"S:", "\\\\fileserver\\public"},
                                                               {"V:", dir_ / "gone"}};
    if (!memory_->folder().empty()) drives.push_back({"R:", memory_->folder()});
    store_.Write(StoreText(drives, {{"\\\\fileserver\\public", dir_ / "share"}}));
  }
  void SetUp() override {
    files::ReloadNamespace();
    ASSERT_EQ(S_OK, CreateObject(&root_));
  }
  void TearDown() override {
    root_->Release();
    files::ReloadNamespace();
  }

  IDrive* Get(const std::string& spec) {
    IDrive* drive = nullptr;
    EXPECT_EQ(S_OK, root_->GetDrive(B(spec).get(), &drive)) << spec;
    return drive;
  }
  static std::string PathOf(IDrive* drive) {
    BSTR text = nullptr;
    EXPECT_EQ(S_OK, drive->get_Path(&text));
    return Take(text);
  }
  static VARIANT Key(const std::string& text) {
    VARIANT key;
    key.vt = VT_BSTR;
    key.bstrVal = SysAllocString(B(text).get());
    return key;
  }
  static double Space(IDrive* drive, HRESULT (STDMETHODCALLTYPE IDrive::*member)(VARIANT*)) {
    VARIANT value;
    VariantInit(&value);
    EXPECT_EQ(S_OK, (drive->*member)(&value));
    EXPECT_EQ(VT_R8, value.vt);
    return value.dblVal;
  }

  static MemoryVolume* memory_;
  TempDir dir_;
  ScopedStore store_;
  Tessary* root_ = nullptr;
};

MemoryVolume* DriveTest::memory_ = nullptr;

TEST_F(DriveTest, TheCollectionListsTheMappedLettersAndFindsThemByRootOrPosition) {
  IDriveCollection* drives = nullptr;
  ASSERT_EQ(S_OK, root_->get_Drives(&drives));
  LONG count = 0;
  ASSERT_EQ(S_OK, drives->get_Count(&count));
  EXPECT_EQ(memory_->folder().empty() ? 4 : 5, count);

  IDrive* drive = nullptr;
  VARIANT key = Key("d:\\");
  ASSERT_EQ(S_OK, drives->get_Item(key, &drive));
  EXPECT_EQ("D:", PathOf(drive));
  drive->Release();
  VariantClear(&key);

  VARIANT first;
  first.vt = VT_I4;
  first.lVal = 1;
  ASSERT_EQ(S_OK, drives->get_Item(first, &drive));
  EXPECT_EQ("C:", PathOf(drive));
  drive->Release();

  // The keys are whole root strings: the letter and colon alone is no key.
  key = Key("D:");
  EXPECT_EQ(DISP_E_EXCEPTION, drives->get_Item(key, &drive));
  EXPECT_EQ("Item not found.", TakeError().description);
  VariantClear(&key);
  drives->Release();

  // One made directly from its class lists nothing.
  ::Drives* made = nullptr;
  ASSERT_EQ(S_OK, CreateObject(&made));
  ASSERT_EQ(S_OK, made->get_Count(&count));
  EXPECT_EQ(0, count);
  made->Release();
}

TEST_F(DriveTest, ALetterIsReadyAndNamedByItsRoot) {
  for (const char* spec : {"d", "D:", "D:\\"}) {
    IDrive* drive = Get(spec);
    ASSERT_NE(nullptr, drive);
    EXPECT_EQ(spec[0] == 'd' ? "d:" : "D:", PathOf(drive)) << spec;
    BSTR text = nullptr;
    ASSERT_EQ(S_OK, drive->get_DriveLetter(&text));
    EXPECT_EQ(std::string(1, spec[0]), Take(text));
    ASSERT_EQ(S_OK, drive->get_ShareName(&text));
    EXPECT_EQ("", Take(text));
    // True is -1, so that a script's Not of it is false.
    VARIANT_BOOL ready = 0;
    ASSERT_EQ(S_OK, drive->get_IsReady(&ready));
    EXPECT_EQ(VARIANT_TRUE, ready) << spec;
    DriveTypeConst type = QNUnknown;
    ASSERT_EQ(S_OK, drive->get_DriveType(&type));
    EXPECT_EQ(Fixed, type);
    IFolder* folder = nullptr;
    ASSERT_EQ(S_OK, drive->get_RootFolder(&folder));
    ASSERT_EQ(S_OK, folder->get_Path(&text));
    EXPECT_EQ(std::string(1, spec[0]) + ":\\", Take(text));
    folder->Release();
    // The serial is the volume's, the same at every call.
    LONG serial = 0, again = 0;
    DWORD volume_serial = 0;
    ASSERT_EQ(S_OK, drive->get_SerialNumber(&serial));
    ASSERT_EQ(S_OK, drive->get_SerialNumber(&again));
    ASSERT_TRUE(
        GetVolumeInformationA("D:\\", nullptr, 0, &volume_serial, nullptr, nullptr, nullptr, 0));
    EXPECT_EQ(serial, again);
    EXPECT_EQ(static_cast<LONG>(volume_serial), serial);
    drive->Release();
  }
  IDrive* drive = nullptr;
  EXPECT_EQ(DISP_E_EXCEPTION, root_->GetDrive(B("Q:").get(), &drive));
  EXPECT_EQ("Device Unavailable.", TakeError().description);
}

TEST_F(DriveTest, SharesAnswerWithTheirPath) {
  IDrive* drive = Get("\\\\fileserver\\public");
  ASSERT_NE(nullptr, drive);
  BSTR text = nullptr;
  EXPECT_EQ("\\\\fileserver\\public", PathOf(drive));
  ASSERT_EQ(S_OK, drive->get_ShareName(&text));
  EXPECT_EQ("\\\\fileserver\\public", Take(text));
  ASSERT_EQ(S_OK, drive->get_DriveLetter(&text));
  EXPECT_EQ("\\", Take(text));
  DriveTypeConst type = QNUnknown;
  ASSERT_EQ(S_OK, drive->get_DriveType(&type));
  EXPECT_EQ(Remote, type);
  // The volume services need a share's closing separator; it is added.
  VARIANT_BOOL ready = 0;
  ASSERT_EQ(S_OK, drive->get_IsReady(&ready));
  EXPECT_EQ(VARIANT_TRUE, ready);
  drive->Release();

  // A letter mapped to the share names it.
  drive = Get("S:");
  ASSERT_EQ(S_OK, drive->get_ShareName(&text));
  EXPECT_EQ("\\\\fileserver\\public", Take(text));
  ASSERT_EQ(S_OK, drive->get_DriveType(&type));
  EXPECT_EQ(Remote, type);
  drive->Release();

  // A file on the share is on the share's drive, not on its server's.
  WriteHostFile(dir_ / "share/a.txt", "x");
  IFile* file = nullptr;
  ASSERT_EQ(S_OK, root_->GetFile(B("\\\\fileserver\\public\\a.txt").get(), &file));
  ASSERT_EQ(S_OK, file->get_Drive(&drive));
  EXPECT_EQ("\\\\fileserver\\public", PathOf(drive));
  drive->Release();
  file->Release();
}

TEST_F(DriveTest, FilesAndFoldersNameTheirDriveAlsoFromARelativePath) {
  WriteHostFile(dir_ / "fixed/a.txt", "x");
  char old[PATH_MAX];
  ASSERT_NE(nullptr, ::getcwd(old, sizeof(old)));
  ASSERT_EQ(0, ::chdir((dir_ / "fixed").c_str()));
  IFile* file = nullptr;
  IDrive* drive = nullptr;
  const HRESULT got = root_->GetFile(B("a.txt").get(), &file);
  if (got == S_OK) {
    EXPECT_EQ(S_OK, file->get_Drive(&drive));
    file->Release();
  }
  ASSERT_EQ(0, ::chdir(old));
  ASSERT_EQ(S_OK, got);
  ASSERT_NE(nullptr, drive);
  EXPECT_EQ("D:", PathOf(drive));
  drive->Release();

  IFolder* folder = nullptr;
  ASSERT_EQ(S_OK, root_->GetFolder(B("S:\\").get(), &folder));
  ASSERT_EQ(S_OK, folder->get_Drive(&drive));
  EXPECT_EQ("S:", PathOf(drive));
  drive->Release();
  folder->Release();
}

TEST_F(DriveTest, ADriveWhoseFolderVanishedIsNotReady) {
  IDriveCollection* drives = nullptr;
  ASSERT_EQ(S_OK, root_->get_Drives(&drives));
  IDrive* drive = nullptr;
  VARIANT key = Key("V:\\");
  ASSERT_EQ(S_OK, drives->get_Item(key, &drive));
  VariantClear(&key);
  drives->Release();
  ASSERT_EQ(0, ::rmdir((dir_ / "gone").c_str()));

  VARIANT_BOOL ready = -1;
  ASSERT_EQ(S_OK, drive->get_IsReady(&ready));
  EXPECT_EQ(VARIANT_FALSE, ready);
  BSTR text = nullptr;
  EXPECT_EQ(kNotReady, drive->get_VolumeName(&text));
  EXPECT_EQ("The device is not ready.", TakeError().description);
  VARIANT value;
  VariantInit(&value);
  EXPECT_EQ(kNotReady, drive->get_FreeSpace(&value));
  EXPECT_EQ(kNotReady, drive->get_TotalSize(&value));
  LONG serial = 0;
  EXPECT_EQ(kNotReady, drive->get_SerialNumber(&serial));
  DriveTypeConst type = Fixed;
  ASSERT_EQ(S_OK, drive->get_DriveType(&type));
  EXPECT_EQ(QNUnknown, type);
  drive->Release();

  // Listed afresh, it is left out.
  ASSERT_EQ(S_OK, root_->get_Drives(&drives));
  key = Key("V:\\");
  EXPECT_EQ(DISP_E_EXCEPTION, drives->get_Item(key, &drive));
  VariantClear(&key);
  drives->Release();
  VARIANT_BOOL exists = -1;
  ASSERT_EQ(S_OK, root_->DriveExists(B("V:").get(), &exists));
  EXPECT_EQ(VARIANT_FALSE, exists);
}

TEST_F(DriveTest, AMemoryVolumeIsARamDiskWithExactSizesAbove4GiB) {
  if (memory_->folder().empty()) GTEST_SKIP() << "no memory file system to map";
  struct statvfs vfs;
  ASSERT_EQ(0, ::statvfs(memory_->folder().c_str(), &vfs));
  const uint64_t total = static_cast<uint64_t>(vfs.f_blocks) * vfs.f_frsize;
  if (!memory_->mounted() && total <= 4 * kGiB) GTEST_SKIP() << "/dev/shm is below 4 GiB";
  if (memory_->mounted()) {
    EXPECT_EQ(8 * kGiB, total);
  }

  IDrive* drive = Get("R:");
  DriveTypeConst type = QNUnknown;
  ASSERT_EQ(S_OK, drive->get_DriveType(&type));
  EXPECT_EQ(RamDisk, type);
  BSTR text = nullptr;
  ASSERT_EQ(S_OK, drive->get_FileSystem(&text));
  EXPECT_EQ("tmpfs", Take(text));
  EXPECT_EQ(static_cast<double>(total), Space(drive, &IDrive::get_TotalSize));
  // Nothing else writes to the test's own mount.
  if (memory_->mounted()) {
    EXPECT_EQ(static_cast<double>(total), Space(drive, &IDrive::get_FreeSpace));
    EXPECT_EQ(static_cast<double>(total), Space(drive, &IDrive::get_AvailableSpace));
  }
  drive->Release();
}

TEST_F(DriveTest, AvailableSpaceIsWhatTheCallerMayUse) {
  IDrive* drive = Get("D:");
  ULARGE_INTEGER available, total, free_bytes;
  ASSERT_TRUE(GetDiskFreeSpaceExA("D:\\", &available, &total, &free_bytes));
  const double reported = Space(drive, &IDrive::get_AvailableSpace);
  // Other processes write to this volume; the reserve of a root-owned
  // file system keeps the two apart by far more than they change.
  EXPECT_NEAR(static_cast<double>(available.QuadPart), reported, 64.0 * 1024 * 1024);
  if (free_bytes.QuadPart - available.QuadPart > 256u * 1024 * 1024) {
    EXPECT_LT(reported, Space(drive, &IDrive::get_FreeSpace));
  }
  drive->Release();
}

TEST_F(DriveTest, ALabelIsKeptInTheStore) {
  IDrive* drive = Get("D:");
  BSTR text = nullptr;
  ASSERT_EQ(S_OK, drive->get_VolumeName(&text));
  const std::string own = Take(text);  // the file system's, if it has one
  ASSERT_EQ(S_OK, drive->put_VolumeName(B("Backup").get()));
  EXPECT_NE(std::string::npos, store_.Read().find("\"D:\"=\"Backup\""));
  IDrive* again = Get("d");
  ASSERT_EQ(S_OK, again->get_VolumeName(&text));
  EXPECT_EQ("Backup", Take(text));
  again->Release();
  // Other letters on the same volume keep theirs.
  IDrive* other = Get("C:");
  ASSERT_EQ(S_OK, other->get_VolumeName(&text));
  EXPECT_NE("Backup", Take(text));
  other->Release();

  EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_LABEL_TOO_LONG),
            drive->put_VolumeName(B(std::string(33, 'x')).get()));
  EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_INVALID_NAME), drive->put_VolumeName(B("a/b").get()));
  // No label gives the file system's own back.
  ASSERT_EQ(S_OK, drive->put_VolumeName(B("").get()));
  ASSERT_EQ(S_OK, drive->get_VolumeName(&text));
  EXPECT_EQ(own, Take(text));
  drive->Release();
}

TEST_F(DriveTest, ALabelIsRefusedWhereTheStoreIsReadOnly) {
  TempDir locked;
  const std::string file = locked / "registry.reg";
  WriteHostFile(file, store_.Read());
  // A read-only bind mount stops even a privileged process; without the
  // privilege, permissions do.
  const bool bound =
      ::mount(locked.path().c_str(), locked.path().c_str(), nullptr, MS_BIND, nullptr) == 0;
  if (bound && ::mount(nullptr, locked.path().c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY,
                       nullptr) != 0) {
    ::umount2(locked.path().c_str(), MNT_DETACH);
    GTEST_SKIP() << "cannot make a read-only store";
  }
  if (!bound) {
    if (::geteuid() == 0) GTEST_SKIP() << "cannot make a read-only store";
    ::chmod(locked.path().c_str(), 0555);
    ::chmod(file.c_str(), 0444);
  }
  setenv("TESSARY_REGISTRY", file.c_str(), 1);
  files::ReloadNamespace();
  IDrive* drive = Get("D:");
  const HRESULT hr = drive ? drive->put_VolumeName(B("Backup").get()) : E_FAIL;
  if (drive) drive->Release();
  setenv("TESSARY_REGISTRY", store_.file().c_str(), 1);
  if (bound) {
    ::umount2(locked.path().c_str(), MNT_DETACH);
  } else {
    ::chmod(locked.path().c_str(), 0755);
  }
  EXPECT_EQ(E_ACCESSDENIED, hr);
}

TEST_F(DriveTest, ADriveMadeFromItsClassIsTheCurrentFoldersRoot) {
  Drive* drive = nullptr;
  ASSERT_EQ(S_OK, CreateObject(&drive));
  BSTR text = nullptr;
  ASSERT_EQ(S_OK, drive->get_Path(&text));
  EXPECT_EQ("", Take(text));
  VARIANT_BOOL ready = 0;
  ASSERT_EQ(S_OK, drive->get_IsReady(&ready));
  EXPECT_EQ(VARIANT_TRUE, ready);
  drive->Release();
}

}  // namespace
}  // namespace tessary::testing
