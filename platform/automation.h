// Seam group: automation data (oleaut32/ole32 on Windows, ours on POSIX).
// Strings, variants, safe arrays, per-thread error records, the class
// catalogue and object creation, interlocked counts and critical sections.
#pragma once

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <ole2.h>
#include <oleauto.h>
#include <objsafe.h>
#define TESSARY_EXPORT
// No system header declares the web server's page context.
EXTERN_C const IID IID_IScriptingContext;
#else
#include "platform/posix/com_types.h"

#define CLSCTX_INPROC_SERVER 0x1
#define CLSCTX_ALL 0x17
#define REGCLS_MULTIPLEUSE 1
#define COINIT_MULTITHREADED 0
#define COINIT_APARTMENTTHREADED 2

EXTERN_C {
// Strings: length-prefixed UTF-16 with a terminating zero; a null BSTR is "".
TESSARY_EXPORT BSTR SysAllocString(const OLECHAR* psz);
TESSARY_EXPORT BSTR SysAllocStringLen(const OLECHAR* pch, UINT cch);
TESSARY_EXPORT BSTR SysAllocStringByteLen(LPCSTR psz, UINT len);
TESSARY_EXPORT INT SysReAllocString(BSTR* pbstr, const OLECHAR* psz);
TESSARY_EXPORT INT SysReAllocStringLen(BSTR* pbstr, const OLECHAR* psz, UINT len);
TESSARY_EXPORT void SysFreeString(BSTR bstr);
TESSARY_EXPORT UINT SysStringLen(BSTR bstr);
TESSARY_EXPORT UINT SysStringByteLen(BSTR bstr);

// Variants.
TESSARY_EXPORT void VariantInit(VARIANTARG* pvarg);
TESSARY_EXPORT HRESULT VariantClear(VARIANTARG* pvarg);
TESSARY_EXPORT HRESULT VariantCopy(VARIANTARG* pvargDest, VARIANTARG* pvargSrc);
TESSARY_EXPORT HRESULT VariantCopyInd(VARIANT* pvarDest, VARIANTARG* pvargSrc);
TESSARY_EXPORT HRESULT VariantChangeType(VARIANTARG* pvargDest, VARIANTARG* pvargSrc,
                                         USHORT wFlags, VARTYPE vt);
TESSARY_EXPORT HRESULT VariantChangeTypeEx(VARIANTARG* pvargDest, VARIANTARG* pvargSrc,
                                           LCID lcid, USHORT wFlags, VARTYPE vt);

// Safe arrays.
TESSARY_EXPORT SAFEARRAY* SafeArrayCreate(VARTYPE vt, UINT cDims, SAFEARRAYBOUND* rgsabound);
TESSARY_EXPORT SAFEARRAY* SafeArrayCreateVector(VARTYPE vt, LONG lLbound, ULONG cElements);
TESSARY_EXPORT HRESULT SafeArrayDestroy(SAFEARRAY* psa);
TESSARY_EXPORT HRESULT SafeArrayLock(SAFEARRAY* psa);
TESSARY_EXPORT HRESULT SafeArrayUnlock(SAFEARRAY* psa);
TESSARY_EXPORT HRESULT SafeArrayAccessData(SAFEARRAY* psa, void** ppvData);
TESSARY_EXPORT HRESULT SafeArrayUnaccessData(SAFEARRAY* psa);
TESSARY_EXPORT UINT SafeArrayGetDim(SAFEARRAY* psa);
TESSARY_EXPORT UINT SafeArrayGetElemsize(SAFEARRAY* psa);
TESSARY_EXPORT HRESULT SafeArrayGetLBound(SAFEARRAY* psa, UINT nDim, LONG* plLbound);
TESSARY_EXPORT HRESULT SafeArrayGetUBound(SAFEARRAY* psa, UINT nDim, LONG* plUbound);
TESSARY_EXPORT HRESULT SafeArrayGetVartype(SAFEARRAY* psa, VARTYPE* pvt);
TESSARY_EXPORT HRESULT SafeArrayGetElement(SAFEARRAY* psa, LONG* rgIndices, void* pv);
TESSARY_EXPORT HRESULT SafeArrayPutElement(SAFEARRAY* psa, LONG* rgIndices, void* pv);
TESSARY_EXPORT HRESULT SafeArrayCopy(SAFEARRAY* psa, SAFEARRAY** ppsaOut);
TESSARY_EXPORT HRESULT SafeArrayRedim(SAFEARRAY* psa, SAFEARRAYBOUND* psaboundNew);

// Dates: automation dates are days since 1899-12-30, the fraction the time.
TESSARY_EXPORT INT SystemTimeToVariantTime(LPSYSTEMTIME lpSystemTime, DOUBLE* pvtime);
TESSARY_EXPORT INT VariantTimeToSystemTime(DOUBLE vtime, LPSYSTEMTIME lpSystemTime);

// Per-thread error records.
TESSARY_EXPORT HRESULT CreateErrorInfo(ICreateErrorInfo** pperrinfo);
TESSARY_EXPORT HRESULT SetErrorInfo(ULONG dwReserved, IErrorInfo* perrinfo);
TESSARY_EXPORT HRESULT GetErrorInfo(ULONG dwReserved, IErrorInfo** pperrinfo);

// Task memory, GUID text, the class catalogue and object creation (the
// catalogue is the configuration store's HKEY_CLASSES_ROOT).
TESSARY_EXPORT LPVOID CoTaskMemAlloc(SIZE_T cb);
TESSARY_EXPORT void CoTaskMemFree(LPVOID pv);
TESSARY_EXPORT HRESULT CoInitializeEx(LPVOID pvReserved, DWORD dwCoInit);
TESSARY_EXPORT void CoUninitialize(void);
TESSARY_EXPORT INT StringFromGUID2(REFGUID rguid, LPOLESTR lpsz, INT cchMax);
TESSARY_EXPORT HRESULT CLSIDFromString(LPCOLESTR lpsz, LPCLSID pclsid);
TESSARY_EXPORT HRESULT ProgIDFromCLSID(REFCLSID clsid, LPOLESTR* lplpszProgID);
TESSARY_EXPORT HRESULT CLSIDFromProgID(LPCOLESTR lpszProgID, LPCLSID lpclsid);
TESSARY_EXPORT HRESULT CoGetClassObject(REFCLSID rclsid, DWORD dwClsContext, LPVOID pvReserved,
                                        REFIID riid, LPVOID* ppv);
TESSARY_EXPORT HRESULT CoCreateInstance(REFCLSID rclsid, IUnknown* pUnkOuter, DWORD dwClsContext,
                                        REFIID riid, LPVOID* ppv);
// Unloads every module that CoGetClassObject loaded and whose DllCanUnloadNow answers S_OK.
TESSARY_EXPORT void CoFreeUnusedLibraries(void);
}
#endif

// The web server's page context; only the first three getters are ever called.
struct IScriptingContext : public IDispatch {
  virtual HRESULT STDMETHODCALLTYPE get_Request(IDispatch** ppRequest) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_Response(IDispatch** ppResponse) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_Server(IDispatch** ppServer) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_Session(IDispatch** ppSession) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_Application(IDispatch** ppApplication) = 0;
};
