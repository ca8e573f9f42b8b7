// The permission engine, the entry enumerator and the permission members of
// File and Folder: no item is ever given an access list, and each member
// answers as that state says.
#include <gtest/gtest.h>

#include <string>

#include "bstr_support.h"
#include "fsobjects/fs_test_support.h"
#include "fsobjects/file.h"
#include "fsobjects/folder.h"
#include "permissions/cp_enum.h"
#include "permissions/permission_engine.h"
#include "test_support.h"

namespace {

using tessary::CPEnum;
using tessary::testing::B;
using tessary::testing::ErrorRecord;
using tessary::testing::Take;
using tessary::testing::TakeError;

const char kNoAcl[] =
    "This item has no ACL, check it can be secured (e.g. not a FAT formated drive)";

TEST(PermissionEngine, EveryOperationIsNotImplementedAndLeavesNoList) {
  tessary::PermissionEngine engine;
  EXPECT_EQ(120u, engine.Load("C:\\x", ""));
  EXPECT_EQ(nullptr, engine.AccessList());
  EXPECT_EQ(120u, engine.Grant("someone", 2, 1));
  EXPECT_EQ(120u, engine.Revoke("someone", 2, 1));
  EXPECT_EQ(120u, engine.Commit("C:\\x", 0));
  void* copy = &engine;
  EXPECT_NE(0u, engine.CopyAccessList(&copy));
  EXPECT_EQ(nullptr, copy);
  EXPECT_NE(0u, engine.system_major_version());
}

class CPEnumTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(S_OK, CPEnum::Create(&enum_)); }
  void TearDown() override { enum_->Release(); }
  CPEnum* enum_ = nullptr;
};

TEST_F(CPEnumTest, WithoutAListNextAndSkipFailAndResetAndCloneWork) {
  VARIANT slot;
  VariantInit(&slot);
  ULONG fetched = 7;
  EXPECT_EQ(E_POINTER, enum_->Next(1, nullptr, &fetched));
  EXPECT_EQ(E_POINTER, enum_->Next(2, &slot, nullptr));
  EXPECT_EQ(E_FAIL, enum_->Next(1, &slot, nullptr));
  EXPECT_EQ(E_FAIL, enum_->Next(1, &slot, &fetched));
  EXPECT_EQ(E_FAIL, enum_->Skip(1));
  EXPECT_EQ(S_OK, enum_->Reset());

  EXPECT_EQ(E_POINTER, enum_->Clone(nullptr));
  IEnumVARIANT* clone = nullptr;
  ASSERT_EQ(S_OK, enum_->Clone(&clone));
  ASSERT_NE(nullptr, clone);
  EXPECT_NE(static_cast<IEnumVARIANT*>(enum_), clone);
  EXPECT_EQ(E_FAIL, clone->Next(1, &slot, &fetched));
  EXPECT_EQ(E_FAIL, clone->Skip(0));
  EXPECT_EQ(S_OK, clone->Reset());
  EXPECT_EQ(0u, clone->Release());
}

TEST_F(CPEnumTest, AnswersItsInterfacesAndDescribesErrorsForNone) {
  ISupportErrorInfo* errors = nullptr;
  ASSERT_EQ(S_OK, enum_->QueryInterface(IID_ISupportErrorInfo, reinterpret_cast<void**>(&errors)));
  EXPECT_EQ(S_FALSE, errors->InterfaceSupportsErrorInfo(IID_IEnumVARIANT));
  EXPECT_EQ(S_FALSE, errors->InterfaceSupportsErrorInfo(IID_IDispatch));
  errors->Release();
  IUnknown* other = nullptr;
  EXPECT_EQ(E_NOINTERFACE, enum_->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&other)));
  EXPECT_EQ(nullptr, other);
}

TEST_F(CPEnumTest, AGivenListIsSharedByClonesAndFreedOnce) {
  ICPEnumInit* init = nullptr;
  ASSERT_EQ(S_OK, enum_->QueryInterface(IID_ICPEnumInit, reinterpret_cast<void**>(&init)));
  ASSERT_EQ(S_OK, init->Init(LocalAlloc(0, 16), nullptr, 1));
  init->Release();
  IEnumVARIANT* clone = nullptr;
  ASSERT_EQ(S_OK, enum_->Clone(&clone));
  VARIANT slot;
  VariantInit(&slot);
  // Entries of a list would be objects this system does not make.
  EXPECT_NE(E_FAIL, enum_->Next(1, &slot, nullptr));
  EXPECT_NE(E_FAIL, clone->Next(1, &slot, nullptr));
  clone->Release();
}

class PermissionMembers : public tessary::testing::FsTest {};

TEST_F(PermissionMembers, FileEntriesFailWithoutAListAndEditingIsNotImplemented) {
  Write("a.txt", "x");
  IFile* file = nullptr;
  ASSERT_EQ(S_OK, tessary::NewFile(B(W("a.txt")).get(), &file));
  EXPECT_EQ(E_POINTER, file->get__NewEnum(nullptr));
  IUnknown* entries = reinterpret_cast<IUnknown*>(file);
  EXPECT_EQ(DISP_E_EXCEPTION, file->get__NewEnum(&entries));
  EXPECT_EQ(nullptr, entries);
  ErrorRecord e = TakeError();
  EXPECT_EQ(kNoAcl, e.description);

  EXPECT_EQ(E_NOTIMPL, file->AllowAccess(B("someone").get(), QNFull));
  EXPECT_EQ(E_NOTIMPL, file->DenyAccess(B("someone").get(), QNRead));
  EXPECT_EQ(E_NOTIMPL, file->RevokeAllowance(B("someone").get()));
  EXPECT_EQ(E_NOTIMPL, file->RevokeDenial(B("someone").get()));
  EXPECT_FALSE(TakeError().present);

  EXPECT_EQ(E_POINTER, file->get_AccountServer(nullptr));
  ASSERT_EQ(S_OK, file->put_AccountServer(B("\\\\server").get()));
  BSTR server = nullptr;
  ASSERT_EQ(S_OK, file->get_AccountServer(&server));
  EXPECT_EQ("\\\\server", Take(server));
  // A server changes nothing about the entries.
  EXPECT_EQ(DISP_E_EXCEPTION, file->get__NewEnum(&entries));
  EXPECT_EQ(kNoAcl, TakeError().description);
  file->Release();
}

TEST_F(PermissionMembers, FolderEntriesFailWithoutAListAndEditingIsNotImplemented) {
  IFolder* folder = nullptr;
  ASSERT_EQ(S_OK, tessary::NewFolder(B(W()).get(), &folder));
  IUnknown* entries = nullptr;
  EXPECT_EQ(E_POINTER, folder->get__NewEnum(nullptr));
  EXPECT_EQ(DISP_E_EXCEPTION, folder->get__NewEnum(&entries));
  EXPECT_EQ(nullptr, entries);
  EXPECT_EQ(kNoAcl, TakeError().description);

  EXPECT_EQ(E_NOTIMPL, folder->AllowAccess(B("someone").get(), QNFull, QNDirFileRights));
  VARIANT_BOOL accessible = 0;
  EXPECT_EQ(E_NOTIMPL, folder->get_Accessible(&accessible));

  ASSERT_EQ(S_OK, folder->put_AccountServer(B("srv").get()));
  BSTR server = nullptr;
  ASSERT_EQ(S_OK, folder->get_AccountServer(&server));
  EXPECT_EQ("srv", Take(server));
  folder->Release();
}

}  // namespace
