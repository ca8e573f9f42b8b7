// The root's encryption entries: each works through a File for InFile, so
// a missing input fails as GetFile would and the File reports the rest.
#include "fsobjects/file.h"
#include "root/tessary.h"

namespace {

HRESULT WithFile(BSTR in_file, IFile** file) {
  *file = nullptr;
  return tessary::NewFile(in_file, file);
}

}  // namespace

HRESULT Tessary::EncryptFile(BSTR in_file, BSTR out_file, BSTR password, QNENCTYPE type) {
  IFile* file = nullptr;
  HRESULT hr = WithFile(in_file, &file);
  if (FAILED(hr)) return hr;
  hr = file->Encrypt(out_file, password, type);
  file->Release();
  return hr;
}

HRESULT Tessary::DecryptFile(BSTR in_file, BSTR out_file, BSTR password, QNENCTYPE type) {
  IFile* file = nullptr;
  HRESULT hr = WithFile(in_file, &file);
  if (FAILED(hr)) return hr;
  hr = file->Decrypt(out_file, password, type);
  file->Release();
  return hr;
}
