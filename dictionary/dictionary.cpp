#include "dictionary/dictionary.h"

#include <new>

using tessary::DictionaryEntry;
using tessary::KeyText;
using tessary::TextOf;

namespace {

constexpr const char* kNotSimple = "Could not resolve argument into simple type.";
constexpr const char* kChangeTypeFailed = "VariantChangeType failed.";
constexpr const char* kOutOfRange = "Index out of range.";
constexpr const char* kNotFound = "Item not found.";
constexpr const char* kTypeNotSupported = "Type not supported.";
constexpr const char* kKeyExists = "Key already exists.";
constexpr const char* kObjectRequired = "Object required.";
constexpr const char* kBadCompareMode =
    "CompareMode must be BinaryCompare (0), TextCompare (1) or DatabaseCompare (2).";
constexpr const char* kCompareModeLocked =
    "CompareMode cannot be changed while the dictionary holds entries.";

// Count answers a 32-bit long, so the entries stop there.
constexpr size_t kMaxEntries = 0x7FFFFFFF;

// Some system headers declare the source of a copy without const; it is
// only read.
HRESULT Copy(VARIANT* to, const VARIANT* from) {
  return VariantCopy(to, const_cast<VARIANT*>(from));
}
HRESULT CopyIndirect(VARIANT* to, const VARIANT* from) {
  return VariantCopyInd(to, const_cast<VARIANT*>(from));
}

// A copy of an argument with one level of by-reference indirection resolved.
// A copy that fails for want of memory is E_OUTOFMEMORY; any other failure
// (a dangling or doubly indirect reference, a type no variant may hold) is
// the argument not resolving.
HRESULT CopyArgument(VARIANT* out, const VARIANT* in, const char** failure) {
  VariantInit(out);
  HRESULT hr = CopyIndirect(out, in);
  if (FAILED(hr) && hr != E_OUTOFMEMORY) *failure = kNotSimple;
  return hr;
}

BSTR CopyKey(KeyText key) { return SysAllocStringLen(key.text, static_cast<UINT>(key.length)); }

// The items of a dictionary as they were when an enumerator was made; shared
// by that enumerator and its clones, possibly on several threads, and only
// read once filled (under the dictionary's lock, before it is shared).
class ItemSnapshot {
 public:
  static ItemSnapshot* Create(size_t count) {
    ItemSnapshot* snapshot = new (std::nothrow) ItemSnapshot;
    if (!snapshot) return nullptr;
    snapshot->items_ = new (std::nothrow) VARIANT[count > 0 ? count : 1];
    if (!snapshot->items_) {
      delete snapshot;
      return nullptr;
    }
    return snapshot;
  }
  void AddRef() { InterlockedIncrement(&refs_); }
  void Release() {
    if (InterlockedDecrement(&refs_) == 0) delete this;
  }
  // Copies the next item in; the snapshot owns what it holds even when a
  // later copy fails.
  HRESULT Append(const VARIANT& item) {
    VariantInit(&items_[count_]);
    HRESULT hr = Copy(&items_[count_], &item);
    if (SUCCEEDED(hr)) ++count_;
    return hr;
  }
  size_t count() const { return count_; }
  const VARIANT& at(size_t i) const { return items_[i]; }

 private:
  ItemSnapshot() = default;
  ~ItemSnapshot() {
    if (items_)
      for (size_t i = 0; i < count_; ++i) VariantClear(&items_[i]);
    delete[] items_;
  }

  LONG volatile refs_ = 1;
  VARIANT* items_ = nullptr;
  size_t count_ = 0;
};

class ItemEnumerator : public IEnumVARIANT, public tessary::RefCounted<ItemEnumerator> {
 public:
  ItemEnumerator(ItemSnapshot* snapshot, size_t position)
      : snapshot_(snapshot), position_(position) {
    InitializeCriticalSection(&lock_);
    if (snapshot_) snapshot_->AddRef();
  }
  ~ItemEnumerator() override {
    if (snapshot_) snapshot_->Release();
    DeleteCriticalSection(&lock_);
  }

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (!IsEqualIID(riid, IID_IUnknown) && !IsEqualIID(riid, IID_IEnumVARIANT))
      return E_NOINTERFACE;
    *ppv = static_cast<IEnumVARIANT*>(this);
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return AddRefImpl(); }
  ULONG STDMETHODCALLTYPE Release() override { return ReleaseImpl(); }

  HRESULT STDMETHODCALLTYPE Next(ULONG celt, VARIANT* rgelt, ULONG* fetched) override {
    if (!rgelt || (celt != 1 && !fetched)) return E_POINTER;
    if (!snapshot_) return E_FAIL;
    // Callers sharing one enumerator each get items of their own.
    tessary::ObjectLock hold(&lock_);
    const size_t left = snapshot_->count() - position_;
    const size_t n = celt < left ? celt : left;
    for (size_t i = 0; i < n; ++i) {
      // The caller's slots are out-parameters: whatever they held is not
      // theirs to free, so they are set empty rather than cleared.
      VariantInit(&rgelt[i]);
      HRESULT hr = Copy(&rgelt[i], &snapshot_->at(position_ + i));
      if (FAILED(hr)) {
        for (size_t j = 0; j < i; ++j) VariantClear(&rgelt[j]);
        if (fetched) *fetched = 0;
        return hr;
      }
    }
    position_ += n;
    if (fetched) *fetched = static_cast<ULONG>(n);
    return n < celt ? S_FALSE : S_OK;
  }
  HRESULT STDMETHODCALLTYPE Skip(ULONG celt) override {
    if (!snapshot_) return E_FAIL;
    tessary::ObjectLock hold(&lock_);
    const size_t left = snapshot_->count() - position_;
    if (celt >= left) {
      position_ = snapshot_->count();
      return S_FALSE;
    }
    position_ += celt;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Reset() override {
    tessary::ObjectLock hold(&lock_);
    position_ = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Clone(IEnumVARIANT** ppenum) override {
    if (!ppenum) return E_POINTER;
    *ppenum = nullptr;
    size_t position = 0;
    {
      tessary::ObjectLock hold(&lock_);
      position = position_;
    }
    ItemEnumerator* copy = new (std::nothrow) ItemEnumerator(snapshot_, position);
    if (!copy) return E_OUTOFMEMORY;
    copy->AddRef();
    *ppenum = copy;
    return S_OK;
  }

 private:
  ItemSnapshot* const snapshot_;
  CRITICAL_SECTION lock_;
  size_t position_;
};

}  // namespace

// A key argument resolved as the members need it: one level of by-reference
// indirection followed, the small integer types widened to a 32-bit
// position where positions are allowed. Strings are borrowed from the
// argument where they can be, since the common lookups need no copy.
class Dictionary::KeyArgument {
 public:
  enum Kind { kPosition, kName, kOther };

  KeyArgument() { VariantInit(&work_); }
  ~KeyArgument() { VariantClear(&work_); }
  KeyArgument(const KeyArgument&) = delete;
  KeyArgument& operator=(const KeyArgument&) = delete;

  // A failure either carries a text in *failure or is a bare HRESULT.
  HRESULT Resolve(const VARIANT* key, bool positions, const char** failure) {
    if (!key) return E_POINTER;
    const VARIANT* v = key;
    // What script engines pass: a string or a number, by value or through
    // one variant reference.
    if (v->vt == (VT_BYREF | VT_VARIANT) && v->pvarVal &&
        (v->pvarVal->vt == VT_BSTR || v->pvarVal->vt == VT_I4))
      v = v->pvarVal;
    if (v->vt == VT_BSTR) return SetName(v->bstrVal);
    if (v->vt == VT_I4) return SetPosition(v->lVal, positions);

    HRESULT hr = CopyArgument(&work_, key, failure);
    if (FAILED(hr)) return hr;
    switch (work_.vt) {
      case VT_I1:
      case VT_UI1:
      case VT_I2:
      case VT_UI2:
      case VT_UI4:
        if (!positions) break;
        hr = VariantChangeType(&work_, &work_, 0, VT_I4);
        if (FAILED(hr)) {
          *failure = kChangeTypeFailed;
          return hr;
        }
        return SetPosition(work_.lVal, positions);
      case VT_I4:
        return SetPosition(work_.lVal, positions);
      case VT_BSTR:
        return SetName(work_.bstrVal);
      default:
        break;
    }
    kind_ = kOther;
    return S_OK;
  }

  Kind kind() const { return kind_; }
  LONG position() const { return position_; }
  KeyText name() const { return name_; }

 private:
  HRESULT SetName(BSTR name) {
    kind_ = kName;
    name_ = TextOf(name);
    return S_OK;
  }
  HRESULT SetPosition(LONG position, bool positions) {
    kind_ = positions ? kPosition : kOther;
    position_ = position;
    return S_OK;
  }

  VARIANT work_;
  Kind kind_ = kOther;
  LONG position_ = 0;
  KeyText name_{nullptr, 0};
};

HRESULT Dictionary::Report(HRESULT hr, const char* text) {
  return text ? ReportError(text, 0) : hr;
}

HRESULT Dictionary::Locate(const KeyArgument& key, DictionaryEntry** entry, size_t* position) {
  switch (key.kind()) {
    case KeyArgument::kPosition: {
      const LONG p = key.position();
      if (p < 1 || static_cast<size_t>(p) > store_.size()) return ReportError(kOutOfRange, 0);
      if (position) *position = static_cast<size_t>(p - 1);
      *entry = store_.At(static_cast<size_t>(p - 1));
      return S_OK;
    }
    case KeyArgument::kName:
      *entry = store_.Find(key.name(), position);
      return *entry ? S_OK : ReportError(kNotFound, 0);
    case KeyArgument::kOther:
      break;
  }
  return ReportError(kTypeNotSupported, 0);
}

HRESULT Dictionary::get_Item(VARIANT* key, VARIANT* item) {
  if (!item) return E_POINTER;
  VariantInit(item);
  KeyArgument k;
  const char* failure = nullptr;
  HRESULT hr = k.Resolve(key, true, &failure);
  if (FAILED(hr)) return Report(hr, failure);
  auto hold = Lock();
  DictionaryEntry* entry = nullptr;
  hr = Locate(k, &entry, nullptr);
  if (FAILED(hr)) return hr;
  return Copy(item, &entry->item);
}

HRESULT Dictionary::put_Item(VARIANT* key, VARIANT* item) { return SetItem(key, item, false); }

// The by-reference assignment a script makes for an object (`Set d(k) = o`):
// the item must be an object, or Nothing.
HRESULT Dictionary::putref_Item(VARIANT* key, VARIANT* item) { return SetItem(key, item, true); }

HRESULT Dictionary::SetItem(VARIANT* key, VARIANT* item, bool object_only) {
  if (!item) return E_POINTER;
  KeyArgument k;
  const char* failure = nullptr;
  HRESULT hr = k.Resolve(key, true, &failure);
  if (FAILED(hr)) return Report(hr, failure);
  if (k.kind() == KeyArgument::kOther) return ReportError(kTypeNotSupported, 0);

  VARIANT value;
  hr = CopyArgument(&value, item, &failure);
  if (FAILED(hr)) return Report(hr, failure);
  if (object_only && value.vt != VT_DISPATCH && value.vt != VT_UNKNOWN) {
    VariantClear(&value);
    return ReportError(kObjectRequired, 0);
  }

  // What leaves the dictionary (the replaced item, or the new one when it
  // is not stored) is freed once the lock is gone: freeing may release an
  // object whose teardown calls back into this dictionary. A replaced item
  // keeps the key as it was first spelt.
  VARIANT discard = value;
  {
    auto hold = Lock();
    DictionaryEntry* entry = nullptr;
    if (k.kind() == KeyArgument::kPosition) {
      hr = Locate(k, &entry, nullptr);
    } else {
      entry = store_.Find(k.name());
    }
    if (entry) {
      discard = entry->item;
      entry->item = value;
    } else if (SUCCEEDED(hr)) {
      BSTR stored = store_.size() < kMaxEntries ? CopyKey(k.name()) : nullptr;
      bool inserted = false;
      hr = stored ? store_.Insert(stored, &entry, &inserted) : E_OUTOFMEMORY;
      if (FAILED(hr)) {
        SysFreeString(stored);
      } else {
        entry->item = value;
        VariantInit(&discard);
      }
    }
  }
  VariantClear(&discard);
  return hr;
}

HRESULT Dictionary::get_Count(LONG* count) {
  if (!count) return E_POINTER;
  auto hold = Lock();
  *count = static_cast<LONG>(store_.size());
  return S_OK;
}

HRESULT Dictionary::get__NewEnum(IUnknown** enumerator) {
  if (!enumerator) return E_POINTER;
  *enumerator = nullptr;
  ItemSnapshot* snapshot = nullptr;
  HRESULT hr = S_OK;
  {
    auto hold = Lock();
    snapshot = ItemSnapshot::Create(store_.size());
    if (!snapshot) return E_OUTOFMEMORY;
    store_.ForEach([&](const DictionaryEntry& e) {
      hr = snapshot->Append(e.item);
      return SUCCEEDED(hr);
    });
  }
  ItemEnumerator* items = nullptr;
  if (SUCCEEDED(hr)) {
    items = new (std::nothrow) ItemEnumerator(snapshot, 0);
    if (!items) hr = E_OUTOFMEMORY;
  }
  snapshot->Release();
  if (FAILED(hr)) return hr;
  items->AddRef();
  *enumerator = static_cast<IEnumVARIANT*>(items);
  return S_OK;
}

// The item is copied, whatever its type: an object passed by reference
// stays the caller's reference, as any [in] argument does. Code that hands
// a reference over (the collections) releases it itself.
HRESULT Dictionary::Add(VARIANT* key, VARIANT* item) {
  if (!item) return E_POINTER;
  KeyArgument k;
  const char* failure = nullptr;
  HRESULT hr = k.Resolve(key, false, &failure);
  if (FAILED(hr)) return Report(hr, failure);
  if (k.kind() != KeyArgument::kName) return ReportError(kTypeNotSupported, 0);

  VARIANT value;
  hr = CopyArgument(&value, item, &failure);
  if (FAILED(hr)) return Report(hr, failure);
  BSTR stored = CopyKey(k.name());
  bool inserted = false;
  if (!stored) {
    hr = E_OUTOFMEMORY;
  } else {
    auto hold = Lock();
    DictionaryEntry* entry = nullptr;
    hr = store_.size() < kMaxEntries ? store_.Insert(stored, &entry, &inserted) : E_OUTOFMEMORY;
    if (inserted) entry->item = value;
  }
  if (!inserted) {
    // A key already present keeps its item.
    SysFreeString(stored);
    VariantClear(&value);
  }
  return hr;
}

HRESULT Dictionary::AddOwned(BSTR key, VARIANT* item) {
  VARIANT value = *item;
  VariantInit(item);
  // A stored key is never null: the empty key is an empty string.
  BSTR stored = key ? key : SysAllocStringLen(nullptr, 0);
  bool inserted = false;
  HRESULT hr = E_OUTOFMEMORY;
  if (stored) {
    auto hold = Lock();
    DictionaryEntry* entry = nullptr;
    if (store_.size() < kMaxEntries) hr = store_.Insert(stored, &entry, &inserted);
    if (inserted) entry->item = value;
  }
  if (!inserted) {
    SysFreeString(stored);
    VariantClear(&value);
  }
  return hr;
}

HRESULT Dictionary::Exists(VARIANT* key, VARIANT_BOOL* exists) {
  if (!exists) return E_POINTER;
  *exists = VARIANT_FALSE;
  KeyArgument k;
  const char* failure = nullptr;
  HRESULT hr = k.Resolve(key, true, &failure);
  if (FAILED(hr)) return Report(hr, failure);
  bool found = false;
  switch (k.kind()) {
    case KeyArgument::kPosition: {
      auto hold = Lock();
      found = k.position() >= 1 && static_cast<size_t>(k.position()) <= store_.size();
      break;
    }
    case KeyArgument::kName: {
      auto hold = Lock();
      found = store_.Find(k.name()) != nullptr;
      break;
    }
    case KeyArgument::kOther:
      return ReportError(kTypeNotSupported, 0);
  }
  *exists = tessary::ToVariantBool(found);
  return S_OK;
}

namespace {

// A variant array (VT_ARRAY | VT_VARIANT, lower bound 0) with one element
// per entry in key order, each made by fill(entry, element).
template <class Fill>
HRESULT EntryArray(const tessary::OrderedStore& store, VARIANT* out, Fill fill) {
  if (!out) return E_POINTER;
  VariantInit(out);
  SAFEARRAY* array = SafeArrayCreateVector(VT_VARIANT, 0, static_cast<ULONG>(store.size()));
  if (!array) return E_OUTOFMEMORY;
  VARIANT* elements = nullptr;
  HRESULT hr = SafeArrayAccessData(array, reinterpret_cast<void**>(&elements));
  if (SUCCEEDED(hr)) {
    size_t i = 0;
    store.ForEach([&](const DictionaryEntry& e) {
      hr = fill(e, &elements[i++]);
      return SUCCEEDED(hr);
    });
    SafeArrayUnaccessData(array);
  }
  if (FAILED(hr)) {
    SafeArrayDestroy(array);
    return hr;
  }
  out->vt = VT_ARRAY | VT_VARIANT;
  out->parray = array;
  return S_OK;
}

}  // namespace

// The arrays only copy: an item's copy adds a reference and releases none,
// so they are made under the lock.
HRESULT Dictionary::Items(VARIANT* items) {
  auto hold = Lock();
  return EntryArray(store_, items, [](const DictionaryEntry& e, VARIANT* element) {
    return Copy(element, &e.item);
  });
}

HRESULT Dictionary::Keys(VARIANT* keys) {
  auto hold = Lock();
  return EntryArray(store_, keys, [](const DictionaryEntry& e, VARIANT* element) {
    element->bstrVal = CopyKey(TextOf(e.key));
    if (!element->bstrVal) return E_OUTOFMEMORY;
    element->vt = VT_BSTR;
    return S_OK;
  });
}

// Renames an entry, keeping its item. A new name that is the same key under
// the comparison only respells it; one that names another entry is refused.
HRESULT Dictionary::put_Key(VARIANT* key, VARIANT* new_key) {
  KeyArgument k;
  KeyArgument name;
  const char* failure = nullptr;
  HRESULT hr = k.Resolve(key, true, &failure);
  if (FAILED(hr)) return Report(hr, failure);
  hr = name.Resolve(new_key, false, &failure);
  if (FAILED(hr)) return Report(hr, failure);
  if (name.kind() != KeyArgument::kName) return ReportError(kTypeNotSupported, 0);
  auto hold = Lock();
  DictionaryEntry* entry = nullptr;
  size_t at = 0;
  hr = Locate(k, &entry, &at);
  if (FAILED(hr)) return hr;
  size_t other = 0;
  const bool same_key = store_.Find(name.name(), &other) != nullptr;
  if (same_key && other != at) return ReportError(kKeyExists, 0);

  BSTR renamed = CopyKey(name.name());
  if (!renamed) return E_OUTOFMEMORY;
  if (same_key) {
    SysFreeString(store_.ReplaceKeyAt(at, renamed));
    return S_OK;
  }
  // The new entry goes in first, so that running out of memory changes
  // nothing; then the item moves over and the old entry goes.
  const BSTR old_key = entry->key;
  DictionaryEntry* moved = nullptr;
  bool inserted = false;
  hr = store_.Insert(renamed, &moved, &inserted);
  if (FAILED(hr)) {
    SysFreeString(renamed);
    return hr;
  }
  store_.Find(TextOf(old_key), &at);
  DictionaryEntry taken;
  store_.TakeAt(at, &taken);
  store_.Find(TextOf(renamed))->item = taken.item;
  SysFreeString(taken.key);
  return S_OK;
}

HRESULT Dictionary::Remove(VARIANT* key) {
  KeyArgument k;
  const char* failure = nullptr;
  HRESULT hr = k.Resolve(key, true, &failure);
  if (FAILED(hr)) return Report(hr, failure);
  DictionaryEntry taken;
  {
    auto hold = Lock();
    DictionaryEntry* entry = nullptr;
    size_t at = 0;
    hr = Locate(k, &entry, &at);
    if (FAILED(hr)) return hr;
    store_.TakeAt(at, &taken);
  }
  // Freed outside the lock, for the same reason as in SetItem.
  SysFreeString(taken.key);
  VariantClear(&taken.item);
  return S_OK;
}

HRESULT Dictionary::RemoveAll() {
  // The entries leave the dictionary under the lock; their items are freed
  // after it, for the same reason as in SetItem.
  tessary::OrderedStore removed;
  {
    auto hold = Lock();
    removed.set_folds(store_.folds());
    store_.Swap(removed);
  }
  return S_OK;
}

// The comparison is TextCompare unless BinaryCompare is chosen; the stored
// order depends on it, so it changes only while the dictionary is empty.
// DatabaseCompare has no database to defer to and compares as text.
HRESULT Dictionary::put_CompareMode(CompareMethod mode) {
  if (mode != BinaryCompare && mode != TextCompare && mode != DatabaseCompare)
    return ReportError(kBadCompareMode, 0);
  auto hold = Lock();
  if (mode == compare_mode_) return S_OK;
  if (store_.size() != 0) return ReportError(kCompareModeLocked, 0);
  compare_mode_ = mode;
  store_.set_folds(mode != BinaryCompare);
  return S_OK;
}

HRESULT Dictionary::get_CompareMode(CompareMethod* mode) {
  if (!mode) return E_POINTER;
  auto hold = Lock();
  *mode = compare_mode_;
  return S_OK;
}

HRESULT Dictionary::get_HashVal(VARIANT* key, VARIANT* hash) {
  if (!hash) return E_POINTER;
  VariantInit(hash);
  KeyArgument k;
  const char* failure = nullptr;
  HRESULT hr = k.Resolve(key, false, &failure);
  if (FAILED(hr)) return Report(hr, failure);
  if (k.kind() != KeyArgument::kName) return ReportError(kTypeNotSupported, 0);
  bool folds = true;
  {
    auto hold = Lock();
    folds = store_.folds();
  }
  hash->vt = VT_I4;
  hash->lVal = tessary::HashKey(k.name(), folds);
  return S_OK;
}

TESSARY_CREATABLE(Dictionary)
