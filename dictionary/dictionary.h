// The Dictionary: a keyed store of variant values, created by scripts and
// used inside the module by the Files, Folders and Drives collections, which
// keep their members in one and inherit its order, positions and lookups.
//
// Keys are text. Two keys are the same key when they differ at most in the
// case of the letters A-Z; entries stay in ascending key order (code units
// with only A-Z folded, so "_b" comes before "Ab"), and positions and
// enumeration follow that order. BinaryCompare, chosen while the dictionary
// is empty, folds nothing.
//
// Addressing an entry (Item, Exists, Remove, Key): a key argument of an
// integer type (VT_I1, VT_UI1, VT_I2, VT_UI2, VT_I4, VT_UI4, after one level
// of by-reference indirection) is a position from 1 to Count; a string is a
// key; anything else is refused with "Type not supported.". Add, Key's new
// name and HashVal take strings only. Failures go through the common error
// path under the Dictionary class and return DISP_E_EXCEPTION; the contents
// are unchanged by any failure.
//
// HashVal answers a long from 0 to 2^31-1 that depends only on the key's
// text (see HashKey), the same for keys the comparison finds equal, and the
// same on every platform and in every run.
//
// What callers inside the module rely on:
// - Add and Item store a copy of the item, one level of by-reference
//   indirection resolved; the argument stays the caller's, so an object
//   passed as VT_DISPATCH | VT_BYREF keeps the reference its caller holds.
// - Add under a key that is already present keeps the existing item.
// - _NewEnum yields the items (not the keys) in key order, from a snapshot
//   taken when it is called; later changes do not reach it.
//
// One dictionary may be called from several threads at once: every member
// runs under the object's lock (its enumerators under their own), and
// items that leave the dictionary are freed after the lock is let go, so an
// item's teardown may call back into the dictionary.
#pragma once

#include "dictionary/ordered_store.h"
#include "frame/com_object.h"
#include "frame/values.h"

class Dictionary : public tessary::Object<Dictionary, IDictionary> {
 public:
  static constexpr const CLSID* kErrorClass = &CLSID_Dictionary;

  HRESULT STDMETHODCALLTYPE putref_Item(VARIANT* key, VARIANT* item) override;
  HRESULT STDMETHODCALLTYPE put_Item(VARIANT* key, VARIANT* item) override;
  HRESULT STDMETHODCALLTYPE get_Item(VARIANT* key, VARIANT* item) override;
  HRESULT STDMETHODCALLTYPE get_Count(LONG* count) override;
  HRESULT STDMETHODCALLTYPE get__NewEnum(IUnknown** enumerator) override;
  HRESULT STDMETHODCALLTYPE Add(VARIANT* key, VARIANT* item) override;
  HRESULT STDMETHODCALLTYPE Exists(VARIANT* key, VARIANT_BOOL* exists) override;
  HRESULT STDMETHODCALLTYPE Items(VARIANT* items) override;
  HRESULT STDMETHODCALLTYPE put_Key(VARIANT* key, VARIANT* new_key) override;
  HRESULT STDMETHODCALLTYPE Keys(VARIANT* keys) override;
  HRESULT STDMETHODCALLTYPE Remove(VARIANT* key) override;
  HRESULT STDMETHODCALLTYPE RemoveAll() override;
  HRESULT STDMETHODCALLTYPE put_CompareMode(CompareMethod mode) override;
  HRESULT STDMETHODCALLTYPE get_CompareMode(CompareMethod* mode) override;
  HRESULT STDMETHODCALLTYPE get_HashVal(VARIANT* key, VARIANT* hash) override;

  // Add for callers inside the module that hand over what they made: the
  // key and the item become the dictionary's, and both are freed when the
  // key is already present (which keeps its item) or the entry cannot be
  // stored. Spares the copies Add makes of its arguments.
  HRESULT AddOwned(BSTR key, VARIANT* item);

 private:
  class KeyArgument;

  // Stores a copy of `item` under `key`: a new entry for a key not present,
  // a replaced item for a present key or a position.
  HRESULT SetItem(VARIANT* key, VARIANT* item, bool object_only);
  // The entry a key argument names (and its 0-based position when asked),
  // or the report of why there is none.
  HRESULT Locate(const KeyArgument& key, tessary::DictionaryEntry** entry, size_t* position);
  HRESULT Report(HRESULT hr, const char* text);

  tessary::OrderedStore store_;
  CompareMethod compare_mode_ = TextCompare;
};
