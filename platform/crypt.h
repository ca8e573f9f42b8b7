// Seam group: the cryptographic service providers (advapi32 on Windows; on
// POSIX our own provider layer with the same calls, codes and key rules).
#pragma once

#include "platform/system.h"

#ifdef _WIN32
#include <wincrypt.h>
#else
typedef ULONG_PTR HCRYPTPROV;
typedef ULONG_PTR HCRYPTHASH;
typedef ULONG_PTR HCRYPTKEY;
typedef unsigned int ALG_ID;

#define MS_DEF_PROV_A "Microsoft Base Cryptographic Provider v1.0"
#define MS_ENHANCED_PROV_A "Microsoft Enhanced Cryptographic Provider v1.0"
#define PROV_RSA_FULL 1
#define CRYPT_VERIFYCONTEXT 0xF0000000
#define CRYPT_NEWKEYSET 0x00000008
#define CRYPT_DELETEKEYSET 0x00000010
#define CRYPT_MACHINE_KEYSET 0x00000020
#define CRYPT_SILENT 0x00000040
#define CALG_MD5 0x00008003
#define CALG_RC4 0x00006801

#define NTE_BAD_LEN ((HRESULT)0x80090004L)
#define NTE_BAD_HASH ((HRESULT)0x80090002L)
#define NTE_BAD_KEY ((HRESULT)0x80090003L)
#define NTE_BAD_ALGID ((HRESULT)0x80090008L)
#define NTE_BAD_FLAGS ((HRESULT)0x80090009L)
#define NTE_BAD_TYPE ((HRESULT)0x8009000AL)
#define NTE_BAD_UID ((HRESULT)0x80090001L)
#define NTE_BAD_KEYSET ((HRESULT)0x80090016L)
#define NTE_PROV_TYPE_NOT_DEF ((HRESULT)0x80090017L)
#define NTE_KEYSET_NOT_DEF ((HRESULT)0x80090019L)
#define NTE_EXISTS ((HRESULT)0x8009000FL)
#define NTE_BAD_KEYSET_PARAM ((HRESULT)0x8009001FL)

EXTERN_C {
  TESSARY_EXPORT BOOL CryptAcquireContextA(HCRYPTPROV * phProv, LPCSTR szContainer,
                                           LPCSTR szProvider, DWORD dwProvType, DWORD dwFlags);
  TESSARY_EXPORT BOOL CryptReleaseContext(HCRYPTPROV hProv, DWORD dwFlags);
  TESSARY_EXPORT BOOL CryptCreateHash(HCRYPTPROV hProv, ALG_ID Algid, HCRYPTKEY hKey, DWORD dwFlags,
                                      HCRYPTHASH * phHash);
  TESSARY_EXPORT BOOL CryptHashData(HCRYPTHASH hHash, const BYTE* pbData, DWORD dwDataLen,
                                    DWORD dwFlags);
  TESSARY_EXPORT BOOL CryptDestroyHash(HCRYPTHASH hHash);
  TESSARY_EXPORT BOOL CryptDeriveKey(HCRYPTPROV hProv, ALG_ID Algid, HCRYPTHASH hBaseData,
                                     DWORD dwFlags, HCRYPTKEY * phKey);
  TESSARY_EXPORT BOOL CryptDestroyKey(HCRYPTKEY hKey);
  TESSARY_EXPORT BOOL CryptEncrypt(HCRYPTKEY hKey, HCRYPTHASH hHash, BOOL Final, DWORD dwFlags,
                                   BYTE * pbData, DWORD * pdwDataLen, DWORD dwBufLen);
  TESSARY_EXPORT BOOL CryptDecrypt(HCRYPTKEY hKey, HCRYPTHASH hHash, BOOL Final, DWORD dwFlags,
                                   BYTE * pbData, DWORD * pdwDataLen);
}
#endif
