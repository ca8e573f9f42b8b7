// The Drives collection: a snapshot of the drives the system lists, taken
// when a script asks for it, kept in the inner Dictionary keyed by root
// string ("C:\"), so look-ups ignore the letter's case and positions follow
// the sorted roots.
#include <cstring>

#include "drives/drive.h"
#include "frame/values.h"
#include "platform/files.h"

TESSARY_CREATABLE(Drives)

namespace tessary {

HRESULT NewDrives(IDriveCollection** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  Drives* collection = nullptr;
  HRESULT hr = CreateObject(&collection);
  if (FAILED(hr)) return hr;
  // 26 roots of four bytes and the final terminator fit many times over.
  char roots[1000] = {0};
  const DWORD length = ::GetLogicalDriveStringsA(sizeof(roots), roots);
  if (length >= sizeof(roots)) return HandOut(collection, out);
  for (const char* root = roots; *root != '\0'; root += std::strlen(root) + 1) {
    Bstr key_text;
    hr = key_text.FromAnsi(root);
    if (FAILED(hr)) break;
    Drive* drive = nullptr;
    hr = CreateObject(&drive);
    if (FAILED(hr)) break;
    // A drive the system lists but cannot name now is left out.
    if (FAILED(drive->Init(key_text.get()))) {
      drive->Release();
      continue;
    }
    IDispatch* child = nullptr;
    hr = drive->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&child));
    drive->Release();
    if (FAILED(hr)) break;
    hr = AddChild(static_cast<IDriveCollectionAdd*>(collection), root, child);
    if (FAILED(hr)) break;
  }
  if (FAILED(hr)) {
    collection->Release();
    return hr;
  }
  return HandOut(collection, out);
}

}  // namespace tessary
