// The Files and Folders collections: snapshots of a folder's listing, taken
// once when a script asks for them. Both keep their members in an inner
// Dictionary keyed by name, so order, positions, look-ups and enumeration
// are the dictionary's.
//
// A collection may be shared by several threads. Its only state of its own
// is the inner dictionary's pointer, fixed at construction, and the
// dictionary serialises its own members; so Item, Count and _NewEnum take
// no lock here, and each call costs one lock, the dictionary's.
#pragma once

#include <cstring>
#include <string>

#include "dictionary/dictionary.h"
#include "frame/com_object.h"
#include "frame/values.h"

namespace tessary {

// Adds a child under a key through a collection's private add interface;
// the collection takes over the reference, whatever becomes of the entry.
template <class Add>
HRESULT AddChild(Add* add, const std::string& key_name, IDispatch* child) {
  Bstr key_text;
  HRESULT hr = key_text.FromAnsi(key_name);
  if (FAILED(hr)) {
    child->Release();
    return hr;
  }
  VARIANT key, item;
  VariantInit(&key);
  VariantInit(&item);
  key.vt = VT_BSTR;
  key.bstrVal = key_text.get();
  item.vt = VT_DISPATCH | VT_BYREF;
  item.ppdispVal = &child;
  return add->AddEntry(&key, &item);
}

template <class Derived, class Dispatch, class AddInterface, class Child>
class Collection : public Object<Derived, Dispatch, AddInterface> {
 public:
  ~Collection() {
    if (entries_) entries_->Release();
  }

  HRESULT FinalConstruct() { return CreateObject(&entries_); }

  // What AddEntry does, for the lister inside the module: the child is
  // added under `name` (a found entry's name, in the system code page),
  // converted once, and the collection takes over the reference, whatever
  // becomes of the entry.
  HRESULT Adopt(const char* name, IDispatch* child) {
    VARIANT item;
    VariantInit(&item);
    item.vt = VT_DISPATCH;
    item.pdispVal = child;
    // A found name holds fewer than MAX_PATH bytes, and no byte sequence
    // becomes more UTF-16 code units than it has bytes.
    OLECHAR wide[MAX_PATH];
    const int length = static_cast<int>(strnlen(name, MAX_PATH - 1));
    BSTR key = nullptr;
    if (length > 0) {
      const int units = MultiByteToWideChar(CP_ACP, 0, name, length, wide, MAX_PATH);
      HRESULT hr = units > 0 ? S_OK : HRESULT_FROM_WIN32(GetLastError());
      if (SUCCEEDED(hr)) {
        key = SysAllocStringLen(wide, static_cast<UINT>(units));
        if (!key) hr = E_OUTOFMEMORY;
      }
      if (FAILED(hr)) {
        child->Release();
        return hr;
      }
    }
    return entries_->AddOwned(key, &item);
  }

  // The add interface: the lister hands its child over as a
  // VT_DISPATCH | VT_BYREF. The dictionary stores its own reference, so the
  // lister's is given up here, whatever became of the entry.
  HRESULT STDMETHODCALLTYPE AddEntry(VARIANT* key, VARIANT* item) override {
    HRESULT hr = entries_->Add(key, item);
    if (item && item->vt == (VT_DISPATCH | VT_BYREF) && item->ppdispVal && *item->ppdispVal)
      (*item->ppdispVal)->Release();
    return hr;
  }

  HRESULT STDMETHODCALLTYPE get_Item(VARIANT key, Child** child) override {
    if (!child) return E_POINTER;
    *child = nullptr;
    VARIANT item;
    VariantInit(&item);
    HRESULT hr = entries_->get_Item(&key, &item);
    if (FAILED(hr)) return hr;
    if (item.vt == VT_DISPATCH && item.pdispVal) {
      hr = item.pdispVal->QueryInterface(Iid<Child>::Get(), reinterpret_cast<void**>(child));
    } else {
      hr = E_NOINTERFACE;
    }
    VariantClear(&item);
    return hr;
  }

  HRESULT STDMETHODCALLTYPE get__NewEnum(IUnknown** enumerator) override {
    return entries_->get__NewEnum(enumerator);
  }

  HRESULT STDMETHODCALLTYPE get_Count(LONG* count) override { return entries_->get_Count(count); }

 private:
  Dictionary* entries_ = nullptr;
};

}  // namespace tessary

class Files : public tessary::Collection<Files, IFileCollection, IFileCollectionAdd, IFile> {};
class Folders
    : public tessary::Collection<Folders, IFolderCollection, IFolderCollectionAdd, IFolder> {};
