// The Dictionary through its interface: key order and folding, positions,
// the key types it refuses, by-reference keys and items, the references Add
// leaves to its caller, the members that edit and inspect it, its enumerator's
// snapshot, and the same calls arriving late-bound.
#include "dictionary/dictionary.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "frame/module.h"
#include "test_support.h"

namespace {

// An owned argument variant.
class Arg {
 public:
  Arg() { VariantInit(&v_); }
  ~Arg() { VariantClear(&v_); }
  Arg(Arg&& other) noexcept : v_(other.v_) { VariantInit(&other.v_); }
  Arg(const Arg&) = delete;
  Arg& operator=(const Arg&) = delete;
  VARIANT* get() { return &v_; }

 private:
  VARIANT v_;
};

Arg Str(const std::u16string& text) {
  Arg a;
  a.get()->vt = VT_BSTR;
  a.get()->bstrVal = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
  return a;
}
Arg Int(LONG n) {
  Arg a;
  a.get()->vt = VT_I4;
  a.get()->lVal = n;
  return a;
}
// A plain value of any type; the payload bits are whatever `bits` says.
Arg Raw(VARTYPE vt, LONGLONG bits = 0) {
  Arg a;
  a.get()->llVal = bits;
  a.get()->vt = vt;
  return a;
}
Arg Double(double d) {
  Arg a;
  a.get()->vt = VT_R8;
  a.get()->dblVal = d;
  return a;
}
Arg Object(IDispatch* object) {
  Arg a;
  object->AddRef();
  a.get()->vt = VT_DISPATCH;
  a.get()->pdispVal = object;
  return a;
}
// A reference to a variant the caller keeps; clearing it frees nothing.
Arg RefTo(VARIANT* target) {
  Arg a;
  a.get()->vt = VT_BYREF | VT_VARIANT;
  a.get()->pvarVal = target;
  return a;
}

std::string Narrow(const std::u16string& s) {
  std::string out;
  for (char16_t c : s) {
    if (c >= 0x20 && c < 0x7F) {
      out += static_cast<char>(c);
    } else {
      char buffer[8];
      std::snprintf(buffer, sizeof buffer, "\\u%04x", static_cast<unsigned>(c));
      out += buffer;
    }
  }
  return out;
}

// The thread's error record's description, taken (and so cleared).
std::string TakeDescription() {
  IErrorInfo* info = nullptr;
  if (GetErrorInfo(0, &info) != S_OK || !info) return "(no record)";
  BSTR text = nullptr;
  info->GetDescription(&text);
  std::string out = Narrow(text ? std::u16string(text, SysStringLen(text)) : u"");
  SysFreeString(text);
  info->Release();
  return out;
}

// A call's outcome as text: the value, or "!" and the reported text. Every
// reported failure must come as DISP_E_EXCEPTION; a bare one shows its code.
std::string Outcome(HRESULT hr, const VARIANT& v) {
  if (FAILED(hr)) {
    if (hr != DISP_E_EXCEPTION) {
      char buffer[24];
      std::snprintf(buffer, sizeof buffer, "!0x%08X", static_cast<unsigned>(hr));
      return buffer;
    }
    return "!" + TakeDescription();
  }
  switch (v.vt) {
    case VT_I4:
      return std::to_string(v.lVal);
    case VT_BSTR:
      return "'" + Narrow(std::u16string(v.bstrVal, SysStringLen(v.bstrVal))) + "'";
    case VT_DISPATCH:
      return "object";
    case VT_EMPTY:
      return "empty";
    default:
      return "vt " + std::to_string(v.vt);
  }
}
// The outcome of a call without a value: "" for success.
std::string Outcome(HRESULT hr) {
  VARIANT none;
  VariantInit(&none);
  return SUCCEEDED(hr) ? "" : Outcome(hr, none);
}

ULONG Refs(IUnknown* object) {
  object->AddRef();
  return object->Release();
}

// An object that runs a callback when it is destroyed, to call back into a
// dictionary while that dictionary frees the object.
class Probe : public tessary::Object<Probe, IDictionary> {
 public:
  ~Probe() override {
    if (on_destroy) on_destroy();
  }
  std::function<void()> on_destroy;
};

class DictionaryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(S_OK, tessary::CreateObject(&d_));
    SetErrorInfo(0, nullptr);
  }
  void TearDown() override {
    if (d_) d_->Release();
  }

  IDispatch* NewObject() {
    Dictionary* object = nullptr;
    EXPECT_EQ(S_OK, tessary::CreateObject(&object));
    return object;
  }

  std::string Add(Arg key, Arg item) { return Outcome(d_->Add(key.get(), item.get())); }
  std::string Add(const std::u16string& key, LONG n) { return Add(Str(key), Int(n)); }
  std::string Get(Arg key) {
    Arg result;
    HRESULT hr = d_->get_Item(key.get(), result.get());
    return Outcome(hr, *result.get());
  }
  std::string Get(const std::u16string& key) { return Get(Str(key)); }
  std::string Get(LONG position) { return Get(Int(position)); }
  std::string Put(Arg key, Arg item) { return Outcome(d_->put_Item(key.get(), item.get())); }
  std::string Exists(Arg key) {
    VARIANT_BOOL exists = 7;
    HRESULT hr = d_->Exists(key.get(), &exists);
    if (FAILED(hr)) return Outcome(hr);
    return exists == VARIANT_TRUE ? "true" : (exists == VARIANT_FALSE ? "false" : "junk");
  }
  LONG Count() {
    LONG count = -1;
    EXPECT_EQ(S_OK, d_->get_Count(&count));
    return count;
  }
  // The elements of Keys() or Items(), each as Outcome shows a value.
  std::vector<std::string> ArrayOf(HRESULT (Dictionary::*member)(VARIANT*)) {
    Arg result;
    EXPECT_EQ(S_OK, (d_->*member)(result.get()));
    std::vector<std::string> out;
    VARIANT* v = result.get();
    EXPECT_EQ(VT_ARRAY | VT_VARIANT, v->vt);
    if (v->vt != (VT_ARRAY | VT_VARIANT)) return out;
    LONG lower = -1, upper = -2;
    EXPECT_EQ(1u, SafeArrayGetDim(v->parray));
    SafeArrayGetLBound(v->parray, 1, &lower);
    SafeArrayGetUBound(v->parray, 1, &upper);
    EXPECT_EQ(0, lower);
    VARIANT* elements = nullptr;
    SafeArrayAccessData(v->parray, reinterpret_cast<void**>(&elements));
    for (LONG i = 0; i <= upper; ++i) out.push_back(Outcome(S_OK, elements[i]));
    SafeArrayUnaccessData(v->parray);
    return out;
  }
  std::vector<std::string> KeyList() { return ArrayOf(&Dictionary::Keys); }
  std::vector<std::string> ItemList() { return ArrayOf(&Dictionary::Items); }
  // What a fresh enumerator yields.
  std::vector<std::string> Enumerate() {
    IUnknown* unknown = nullptr;
    EXPECT_EQ(S_OK, d_->get__NewEnum(&unknown));
    return Drain(unknown);
  }
  static std::vector<std::string> Drain(IUnknown* unknown) {
    std::vector<std::string> out;
    IEnumVARIANT* items = nullptr;
    EXPECT_EQ(S_OK, unknown->QueryInterface(IID_IEnumVARIANT, reinterpret_cast<void**>(&items)));
    unknown->Release();
    Arg item;
    ULONG fetched = 0;
    while (items->Next(1, item.get(), &fetched) == S_OK && fetched == 1) {
      out.push_back(Outcome(S_OK, *item.get()));
      VariantClear(item.get());
    }
    items->Release();
    return out;
  }

  Dictionary* d_ = nullptr;
};

using Strings = std::vector<std::string>;

// ---------------------------------------------------------------------------
// Order, folding and positions.

TEST_F(DictionaryTest, KeysThatDifferOnlyInTheCaseOfAToZAreOneKey) {
  EXPECT_EQ("", Add(Str(u"B"), Str(u"x")));
  EXPECT_EQ("'x'", Get(u"b"));
  EXPECT_EQ("", Add(Str(u"b"), Str(u"y")));  // the first item stays
  EXPECT_EQ("'x'", Get(u"B"));
  EXPECT_EQ(1, Count());
  // Other letters keep their case: two keys.
  EXPECT_EQ("", Add(u"\u00e9", 1));
  EXPECT_EQ("", Add(u"\u00c9", 2));
  EXPECT_EQ(3, Count());
  EXPECT_EQ("2", Get(u"\u00c9"));
}

TEST_F(DictionaryTest, PositionsAndEnumerationFollowKeyOrderNotInsertionOrder) {
  EXPECT_EQ("", Add(u"b", 1));
  EXPECT_EQ("", Add(u"a", 2));
  EXPECT_EQ("2", Get(1));
  EXPECT_EQ("1", Get(2));
  EXPECT_EQ((Strings{"2", "1"}), Enumerate());
}

TEST_F(DictionaryTest, FoldingIsToLowerCaseSoPunctuationBetweenTheCasesSortsFirst) {
  // '[' and '_' lie between 'Z' and 'a'; a comparison that folded to upper
  // case would put "Ab" and "A" before them.
  for (const char16_t* key : {u"b", u"Ab", u"_b", u"[", u"A"}) EXPECT_EQ("", Add(key, 0));
  EXPECT_EQ((Strings{"'['", "'_b'", "'A'", "'Ab'", "'b'"}), KeyList());
}

TEST_F(DictionaryTest, PositionsOutsideOneToCountAreOutOfRange) {
  EXPECT_EQ("!Index out of range.", Get(1));  // empty
  EXPECT_EQ("", Add(u"a", 1));
  EXPECT_EQ("", Add(u"b", 2));
  EXPECT_EQ("!Index out of range.", Get(0));
  EXPECT_EQ("!Index out of range.", Get(-1));
  EXPECT_EQ("!Index out of range.", Get(3));
  EXPECT_EQ("!Index out of range.", Get(-2147483647 - 1));
}

TEST_F(DictionaryTest, SmallerIntegerTypesArePositionsToo) {
  for (const char16_t* key : {u"a", u"b", u"c"}) EXPECT_EQ("", Add(key, key[0]));
  EXPECT_EQ("98", Get(Raw(VT_UI1, 2)));
  EXPECT_EQ("98", Get(Raw(VT_I1, 2)));
  EXPECT_EQ("98", Get(Raw(VT_I2, 2)));
  EXPECT_EQ("98", Get(Raw(VT_UI2, 2)));
  EXPECT_EQ("98", Get(Raw(VT_UI4, 2)));
  EXPECT_EQ("!Index out of range.", Get(Raw(VT_I2, -1)));
  // Above 2147483647 an unsigned position has no 32-bit form.
  EXPECT_EQ("!VariantChangeType failed.", Get(Raw(VT_UI4, 0xFFFFFFFFll)));
  EXPECT_EQ("!VariantChangeType failed.", Get(Raw(VT_UI4, 0x80000000ll)));
}

// ---------------------------------------------------------------------------
// Key types.

TEST_F(DictionaryTest, KeysOfOtherTypesAreNotSupported) {
  EXPECT_EQ("", Add(u"1", 1));
  IDispatch* object = NewObject();
  EXPECT_EQ("!Type not supported.", Get(Double(1.0)));
  EXPECT_EQ("!Type not supported.", Get(Raw(VT_R4)));
  EXPECT_EQ("!Type not supported.", Get(Raw(VT_BOOL, VARIANT_TRUE)));
  EXPECT_EQ("!Type not supported.", Get(Raw(VT_EMPTY)));
  EXPECT_EQ("!Type not supported.", Get(Raw(VT_NULL)));
  EXPECT_EQ("!Type not supported.", Get(Raw(VT_CY, 10000)));
  EXPECT_EQ("!Type not supported.", Get(Raw(VT_DATE)));
  EXPECT_EQ("!Type not supported.", Get(Raw(VT_ERROR, DISP_E_PARAMNOTFOUND)));
  EXPECT_EQ("!Type not supported.", Get(Raw(VT_I8, 1)));
  EXPECT_EQ("!Type not supported.", Get(Raw(VT_UI8, -1)));
  EXPECT_EQ("!Type not supported.", Get(Raw(VT_INT, 1)));
  EXPECT_EQ("!Type not supported.", Get(Object(object)));
  Arg array;
  array.get()->vt = VT_ARRAY | VT_VARIANT;
  array.get()->parray = SafeArrayCreateVector(VT_VARIANT, 0, 1);
  EXPECT_EQ("!Type not supported.", Get(std::move(array)));
  // A position held as a string is a key, not a position.
  EXPECT_EQ("1", Get(u"1"));
  object->Release();
}

TEST_F(DictionaryTest, ArgumentsThatCannotBeResolvedAreReportedNotFollowed) {
  EXPECT_EQ("", Add(u"k", 1));
  Arg inner = Str(u"k");
  Arg outer = RefTo(inner.get());
  EXPECT_EQ("!Could not resolve argument into simple type.", Get(RefTo(outer.get())));
  EXPECT_EQ("!Could not resolve argument into simple type.", Get(Raw(VT_BYREF | VT_BSTR, 0)));
  EXPECT_EQ("!Could not resolve argument into simple type.", Get(Raw(VT_BYREF | VT_VARIANT, 0)));
  EXPECT_EQ("!Could not resolve argument into simple type.", Get(Raw(0x7F)));
  EXPECT_EQ("!Could not resolve argument into simple type.", Add(Str(u"x"), Raw(0x7F)));
  EXPECT_EQ(1, Count());
}

TEST_F(DictionaryTest, ByReferenceKeysAreFollowedOneLevel) {
  EXPECT_EQ("", Add(u"key", 5));
  EXPECT_EQ("", Add(u"other", 6));
  BSTR text = SysAllocString(u"KEY");
  LONG position = 2;
  unsigned char small = 1;
  EXPECT_EQ("5", Get(Raw(VT_BYREF | VT_BSTR, reinterpret_cast<LONGLONG>(&text))));
  EXPECT_EQ("6", Get(Raw(VT_BYREF | VT_I4, reinterpret_cast<LONGLONG>(&position))));
  EXPECT_EQ("5", Get(Raw(VT_BYREF | VT_UI1, reinterpret_cast<LONGLONG>(&small))));
  Arg held = Str(u"Key");
  EXPECT_EQ("5", Get(RefTo(held.get())));
  Arg number = Int(2);
  EXPECT_EQ("6", Get(RefTo(number.get())));
  Arg text_ref = Raw(VT_BYREF | VT_BSTR, reinterpret_cast<LONGLONG>(&text));
  EXPECT_EQ("5", Get(RefTo(text_ref.get())));
  // A by-reference key of Add is a string key like any other.
  EXPECT_EQ("", Add(Raw(VT_BYREF | VT_BSTR, reinterpret_cast<LONGLONG>(&text)), Int(7)));
  EXPECT_EQ(2, Count());
  SysFreeString(text);
}

TEST_F(DictionaryTest, AddTakesStringKeysOnly) {
  IDispatch* object = NewObject();
  EXPECT_EQ("!Type not supported.", Add(Int(1), Int(1)));
  EXPECT_EQ("!Type not supported.", Add(Raw(VT_UI4, 0xFFFFFFFFll), Int(1)));
  EXPECT_EQ("!Type not supported.", Add(Double(1.5), Int(1)));
  EXPECT_EQ("!Type not supported.", Add(Raw(VT_EMPTY), Int(1)));
  EXPECT_EQ("!Type not supported.", Add(Raw(VT_NULL), Int(1)));
  EXPECT_EQ("!Type not supported.", Add(Object(object), Int(1)));
  EXPECT_EQ(0, Count());
  // A null string is the empty string, and a key like any other.
  EXPECT_EQ("", Add(Raw(VT_BSTR, 0), Int(3)));
  EXPECT_EQ("3", Get(u""));
  EXPECT_EQ((Strings{"''"}), KeyList());
  object->Release();
}

TEST_F(DictionaryTest, AnEmbeddedNulIsPartOfTheKey) {
  EXPECT_EQ("", Add(u"a", 1));
  EXPECT_EQ("", Add(std::u16string(u"a\0b", 3), 2));
  EXPECT_EQ("", Add(std::u16string(u"a\0c", 3), 3));
  EXPECT_EQ(3, Count());
  EXPECT_EQ("3", Get(std::u16string(u"A\0C", 3)));
  EXPECT_EQ("1", Get(1));
}

TEST_F(DictionaryTest, NullPointersAreRefusedWithoutAText) {
  Arg key = Str(u"k");
  Arg item = Int(1);
  EXPECT_EQ(E_POINTER, d_->get_Item(key.get(), nullptr));
  EXPECT_EQ(E_POINTER, d_->get_Count(nullptr));
  EXPECT_EQ(E_POINTER, d_->get__NewEnum(nullptr));
  EXPECT_EQ(E_POINTER, d_->Exists(key.get(), nullptr));
  EXPECT_EQ(E_POINTER, d_->Items(nullptr));
  EXPECT_EQ(E_POINTER, d_->Keys(nullptr));
  EXPECT_EQ(E_POINTER, d_->get_CompareMode(nullptr));
  EXPECT_EQ(E_POINTER, d_->get_HashVal(key.get(), nullptr));
  EXPECT_EQ(E_POINTER, d_->Add(nullptr, item.get()));
  EXPECT_EQ(E_POINTER, d_->Add(key.get(), nullptr));
  EXPECT_EQ(E_POINTER, d_->put_Item(key.get(), nullptr));
  EXPECT_EQ(E_POINTER, d_->Remove(nullptr));
  EXPECT_EQ("(no record)", TakeDescription());
  EXPECT_EQ(0, Count());
}

TEST(DictionaryErrors, AreReportedUnderTheDictionaryClass) {
  tessary::testing::ScopedStore store;
  ASSERT_EQ(S_OK, tessary::RegisterServer());
  Dictionary* d = nullptr;
  ASSERT_EQ(S_OK, tessary::CreateObject(&d));
  Arg key = Str(u"missing");
  Arg result;
  EXPECT_EQ(DISP_E_EXCEPTION, d->get_Item(key.get(), result.get()));
  IErrorInfo* info = nullptr;
  ASSERT_EQ(S_OK, GetErrorInfo(0, &info));
  BSTR source = nullptr;
  info->GetSource(&source);
  EXPECT_EQ(u"Tessary.Dictionary.1", std::u16string(source ? source : u""));
  SysFreeString(source);
  info->Release();
  EXPECT_EQ(S_OK, d->InterfaceSupportsErrorInfo(IID_IDictionary));
  EXPECT_EQ(S_FALSE, d->InterfaceSupportsErrorInfo(IID_IDispatch));
  d->Release();
}

// ---------------------------------------------------------------------------
// Items: put, put by reference, and what Add takes over.

TEST_F(DictionaryTest, PutAddsAMissingKeyAndReplacesThePresentItem) {
  EXPECT_EQ("", Put(Str(u"Key"), Int(1)));
  EXPECT_EQ(1, Count());
  EXPECT_EQ("", Put(Str(u"KEY"), Int(2)));
  EXPECT_EQ(1, Count());
  EXPECT_EQ("2", Get(u"key"));
  // The key keeps the spelling it was added with.
  EXPECT_EQ((Strings{"'Key'"}), KeyList());
}

TEST_F(DictionaryTest, PutByPositionReplacesThatEntrysItem) {
  EXPECT_EQ("", Add(u"b", 1));
  EXPECT_EQ("", Add(u"a", 2));
  EXPECT_EQ("", Put(Int(2), Str(u"second")));
  EXPECT_EQ("'second'", Get(u"b"));
  EXPECT_EQ("!Index out of range.", Put(Int(3), Int(0)));
  EXPECT_EQ("!Type not supported.", Put(Double(1.0), Int(0)));
  EXPECT_EQ(2, Count());
  EXPECT_EQ((Strings{"2", "'second'"}), ItemList());
}

TEST_F(DictionaryTest, StoredItemsAreCopiesWithReferencesResolved) {
  LONG number = 10;
  EXPECT_EQ("", Put(Str(u"n"), Raw(VT_BYREF | VT_I4, reinterpret_cast<LONGLONG>(&number))));
  number = 11;
  EXPECT_EQ("10", Get(u"n"));
  Arg text = Str(u"before");
  EXPECT_EQ("", Add(Str(u"t"), RefTo(text.get())));
  SysReAllocString(&text.get()->bstrVal, u"after");
  EXPECT_EQ("'before'", Get(u"t"));
}

TEST_F(DictionaryTest, PutByReferenceStoresTheObject) {
  IDispatch* object = NewObject();
  const ULONG before = Refs(object);
  Arg key = Str(u"o");
  Arg item = Object(object);
  EXPECT_EQ(S_OK, d_->putref_Item(key.get(), item.get()));
  EXPECT_EQ(before + 2, Refs(object));  // the argument's and the dictionary's
  Arg result;
  EXPECT_EQ(S_OK, d_->get_Item(key.get(), result.get()));
  EXPECT_EQ(VT_DISPATCH, result.get()->vt);
  EXPECT_EQ(object, result.get()->pdispVal);
  // Only objects (or Nothing) are assigned by reference.
  Arg text = Str(u"text");
  EXPECT_EQ(DISP_E_EXCEPTION, d_->putref_Item(key.get(), text.get()));
  EXPECT_EQ("Object required.", TakeDescription());
  Arg nothing = Raw(VT_DISPATCH, 0);
  EXPECT_EQ(S_OK, d_->putref_Item(key.get(), nothing.get()));
  EXPECT_EQ(1, Count());
  EXPECT_EQ(before + 2, Refs(object));  // `result` and `item` still hold it
  object->Release();
}

TEST_F(DictionaryTest, AddCopiesObjectsPassedByReferenceAndLeavesTheCallersReference) {
  IDispatch* object = NewObject();
  const ULONG before = Refs(object);
  IDispatch* held = object;
  auto by_ref = [&] { return Raw(VT_BYREF | VT_DISPATCH, reinterpret_cast<LONGLONG>(&held)); };
  EXPECT_EQ("", Add(Str(u"child"), by_ref()));
  EXPECT_EQ(before + 1, Refs(object));  // the dictionary's own
  EXPECT_EQ(object, held);
  EXPECT_EQ("object", Get(u"child"));
  // A key already present, or refused, stores nothing and takes nothing.
  EXPECT_EQ("", Add(Str(u"CHILD"), by_ref()));
  EXPECT_EQ("!Type not supported.", Add(Int(5), by_ref()));
  EXPECT_EQ(before + 1, Refs(object));
  IUnknown* unknown = object;
  EXPECT_EQ("", Add(Str(u"u"), Raw(VT_BYREF | VT_UNKNOWN, reinterpret_cast<LONGLONG>(&unknown))));
  VARIANT target;
  target.vt = VT_DISPATCH;
  target.pdispVal = object;
  EXPECT_EQ("", Add(Str(u"v"), RefTo(&target)));
  EXPECT_EQ(before + 3, Refs(object));
  EXPECT_EQ(3, Count());
  d_->Release();
  d_ = nullptr;
  EXPECT_EQ(before, Refs(object));
  object->Release();
}

TEST_F(DictionaryTest, AddLeavesItemsPassedByValueToTheCaller) {
  Arg text = Str(u"value");
  BSTR held = text.get()->bstrVal;
  Arg key = Str(u"k");
  EXPECT_EQ(S_OK, d_->Add(key.get(), text.get()));
  EXPECT_EQ(VT_BSTR, text.get()->vt);
  EXPECT_EQ(held, text.get()->bstrVal);
  EXPECT_EQ(u"value", std::u16string(held));
  EXPECT_EQ("'value'", Get(u"k"));

  IDispatch* object = NewObject();
  const ULONG before = Refs(object);
  EXPECT_EQ("", Add(Str(u"o"), Object(object)));
  EXPECT_EQ(before + 1, Refs(object));
  object->Release();
}

// What the collections use: the key and the item become the dictionary's,
// and both are let go when the key is present already.
TEST_F(DictionaryTest, AddOwnedTakesOverTheKeyAndTheItem) {
  IDispatch* object = NewObject();
  const ULONG before = Refs(object);
  auto owned = [&](const char16_t* key) {
    VARIANT item;
    item.vt = VT_DISPATCH;
    item.pdispVal = object;
    object->AddRef();
    return d_->AddOwned(key ? SysAllocString(key) : nullptr, &item);
  };
  EXPECT_EQ(S_OK, owned(u"b"));
  EXPECT_EQ(S_OK, owned(u"a"));
  EXPECT_EQ(S_OK, owned(u"B"));  // present: the first item stays
  EXPECT_EQ(S_OK, owned(nullptr));
  EXPECT_EQ(before + 3, Refs(object));
  EXPECT_EQ((Strings{"''", "'a'", "'b'"}), KeyList());
  d_->Release();
  d_ = nullptr;
  EXPECT_EQ(before, Refs(object));
  object->Release();
}

// ---------------------------------------------------------------------------
// Exists, Items, Keys, Remove, RemoveAll, Key.

TEST_F(DictionaryTest, ExistsAnswersWhetherItemWouldFindAnEntry) {
  EXPECT_EQ("false", Exists(Str(u"a")));
  EXPECT_EQ("", Add(u"a", 1));
  EXPECT_EQ("true", Exists(Str(u"A")));
  EXPECT_EQ("false", Exists(Str(u"b")));
  EXPECT_EQ("true", Exists(Int(1)));
  EXPECT_EQ("false", Exists(Int(2)));
  EXPECT_EQ("false", Exists(Int(0)));
  EXPECT_EQ("!Type not supported.", Exists(Double(1)));
  EXPECT_EQ(1, Count());
}

TEST_F(DictionaryTest, KeysAndItemsAreVariantArraysInKeyOrder) {
  EXPECT_EQ(Strings{}, KeyList());
  EXPECT_EQ(Strings{}, ItemList());
  EXPECT_EQ("", Add(Str(u"b"), Str(u"two")));
  EXPECT_EQ("", Add(Str(u"A"), Int(1)));
  EXPECT_EQ("", Add(Str(u"c"), Raw(VT_EMPTY)));
  EXPECT_EQ((Strings{"'A'", "'b'", "'c'"}), KeyList());
  EXPECT_EQ((Strings{"1", "'two'", "empty"}), ItemList());
}

TEST_F(DictionaryTest, RemoveTakesOutOneEntryByKeyOrPosition) {
  for (const char16_t* key : {u"a", u"b", u"c", u"d"}) EXPECT_EQ("", Add(key, key[0]));
  EXPECT_EQ("", Outcome(d_->Remove(Str(u"B").get())));
  EXPECT_EQ("", Outcome(d_->Remove(Int(3).get())));  // now "d"
  EXPECT_EQ((Strings{"'a'", "'c'"}), KeyList());
  EXPECT_EQ("!Item not found.", Outcome(d_->Remove(Str(u"b").get())));
  EXPECT_EQ("!Index out of range.", Outcome(d_->Remove(Int(3).get())));
  EXPECT_EQ("!Type not supported.", Outcome(d_->Remove(Raw(VT_NULL).get())));
  EXPECT_EQ(2, Count());
  EXPECT_EQ("99", Get(2));
}

TEST_F(DictionaryTest, RemoveAndRemoveAllFreeTheItems) {
  IDispatch* object = NewObject();
  const ULONG before = Refs(object);
  EXPECT_EQ("", Add(Str(u"one"), Object(object)));
  EXPECT_EQ("", Add(Str(u"two"), Object(object)));
  EXPECT_EQ(before + 2, Refs(object));
  EXPECT_EQ("", Outcome(d_->Remove(Str(u"one").get())));
  EXPECT_EQ(before + 1, Refs(object));
  EXPECT_EQ(S_OK, d_->RemoveAll());
  EXPECT_EQ(before, Refs(object));
  EXPECT_EQ(0, Count());
  EXPECT_EQ("!Index out of range.", Get(1));
  EXPECT_EQ("", Add(u"again", 1));
  EXPECT_EQ(1, Count());
  object->Release();
}

TEST_F(DictionaryTest, FreeingAnItemMayCallBackIntoTheDictionary) {
  // The object's teardown reads and changes the dictionary that frees it.
  auto add_probe = [&](const std::u16string& key) {
    Probe* probe = nullptr;
    ASSERT_EQ(S_OK, tessary::CreateObject(&probe));
    probe->on_destroy = [this] {
      LONG count = 0;
      d_->get_Count(&count);
      Arg key =
          Str(u"from teardown " + std::u16string(1, static_cast<char16_t>(u'0' + count % 10)));
      Arg item = Int(count);
      d_->Add(key.get(), item.get());
    };
    IDispatch* held = probe;
    Arg item = Raw(VT_BYREF | VT_DISPATCH, reinterpret_cast<LONGLONG>(&held));
    Arg k = Str(key);
    ASSERT_EQ(S_OK, d_->Add(k.get(), item.get()));
    probe->Release();  // the dictionary's reference is the last
  };
  add_probe(u"p1");
  add_probe(u"p2");
  add_probe(u"p3");
  EXPECT_EQ("", Outcome(d_->Remove(Str(u"p1").get())));
  EXPECT_EQ(3, Count());  // p2, p3 and what p1's teardown added
  EXPECT_EQ("", Put(Str(u"p2"), Int(0)));
  EXPECT_EQ(4, Count());
  EXPECT_EQ(S_OK, d_->RemoveAll());
  EXPECT_EQ(1, Count());  // what p3's teardown added to the emptied dictionary
}

TEST_F(DictionaryTest, KeyRenamesAnEntryAndKeepsItsItem) {
  for (const char16_t* key : {u"a", u"m", u"z"}) EXPECT_EQ("", Add(key, key[0]));
  EXPECT_EQ("", Outcome(d_->put_Key(Str(u"A").get(), Str(u"y").get())));
  EXPECT_EQ((Strings{"'m'", "'y'", "'z'"}), KeyList());
  EXPECT_EQ("97", Get(u"y"));
  EXPECT_EQ("!Item not found.", Get(u"a"));
  // By position; and a change of case only respells the key.
  EXPECT_EQ("", Outcome(d_->put_Key(Int(1).get(), Str(u"M").get())));
  EXPECT_EQ((Strings{"'M'", "'y'", "'z'"}), KeyList());
  EXPECT_EQ("109", Get(u"m"));
  EXPECT_EQ(3, Count());
}

TEST_F(DictionaryTest, KeyRefusesMissingEntriesClashesAndNonStringNames) {
  for (const char16_t* key : {u"a", u"b"}) EXPECT_EQ("", Add(key, key[0]));
  EXPECT_EQ("!Key already exists.", Outcome(d_->put_Key(Str(u"a").get(), Str(u"B").get())));
  EXPECT_EQ("!Item not found.", Outcome(d_->put_Key(Str(u"c").get(), Str(u"d").get())));
  EXPECT_EQ("!Index out of range.", Outcome(d_->put_Key(Int(5).get(), Str(u"d").get())));
  EXPECT_EQ("!Type not supported.", Outcome(d_->put_Key(Str(u"a").get(), Int(3).get())));
  EXPECT_EQ((Strings{"'a'", "'b'"}), KeyList());
  EXPECT_EQ((Strings{"97", "98"}), ItemList());
}

// ---------------------------------------------------------------------------
// CompareMode and HashVal.

TEST_F(DictionaryTest, CompareModeIsTextUntilBinaryIsChosenOnAnEmptyDictionary) {
  CompareMethod mode = BinaryCompare;
  EXPECT_EQ(S_OK, d_->get_CompareMode(&mode));
  EXPECT_EQ(TextCompare, mode);
  EXPECT_EQ(S_OK, d_->put_CompareMode(BinaryCompare));
  EXPECT_EQ(S_OK, d_->get_CompareMode(&mode));
  EXPECT_EQ(BinaryCompare, mode);
  for (const char16_t* key : {u"b", u"a", u"B", u"A"}) EXPECT_EQ("", Add(key, key[0]));
  EXPECT_EQ((Strings{"'A'", "'B'", "'a'", "'b'"}), KeyList());
  EXPECT_EQ("!Item not found.", Get(u"C"));
  EXPECT_EQ("98", Get(u"b"));
  EXPECT_EQ("66", Get(u"B"));
}

TEST_F(DictionaryTest, CompareModeChangesOnlyWhileEmptyAndOnlyToAKnownMode) {
  EXPECT_EQ("", Add(u"a", 1));
  EXPECT_EQ("!CompareMode cannot be changed while the dictionary holds entries.",
            Outcome(d_->put_CompareMode(BinaryCompare)));
  EXPECT_EQ("", Outcome(d_->put_CompareMode(TextCompare)));  // no change
  EXPECT_EQ("!CompareMode must be BinaryCompare (0), TextCompare (1) or DatabaseCompare (2).",
            Outcome(d_->put_CompareMode(static_cast<CompareMethod>(3))));
  EXPECT_EQ("!CompareMode must be BinaryCompare (0), TextCompare (1) or DatabaseCompare (2).",
            Outcome(d_->put_CompareMode(static_cast<CompareMethod>(-1))));
  EXPECT_EQ(S_OK, d_->RemoveAll());
  EXPECT_EQ("", Outcome(d_->put_CompareMode(DatabaseCompare)));
  CompareMethod mode = BinaryCompare;
  EXPECT_EQ(S_OK, d_->get_CompareMode(&mode));
  EXPECT_EQ(DatabaseCompare, mode);
  EXPECT_EQ("", Add(u"a", 1));
  EXPECT_EQ("1", Get(u"A"));  // compares as text
}

TEST_F(DictionaryTest, HashValIsAStableNonNegativeLongThatEqualKeysShare) {
  auto hash = [&](Arg key) {
    Arg result;
    HRESULT hr = d_->get_HashVal(key.get(), result.get());
    if (SUCCEEDED(hr) && result.get()->vt != VT_I4) return std::string("not a long");
    return Outcome(hr, *result.get());
  };
  EXPECT_EQ("773757309", hash(Str(u"abc")));
  EXPECT_EQ("773757309", hash(Str(u"ABC")));
  EXPECT_EQ("18652613", hash(Str(u"")));
  EXPECT_EQ("!Type not supported.", hash(Int(1)));
  EXPECT_EQ("!Type not supported.", hash(Raw(VT_EMPTY)));
  EXPECT_EQ(0, Count());
  EXPECT_EQ(S_OK, d_->put_CompareMode(BinaryCompare));
  EXPECT_EQ("1919598365", hash(Str(u"ABC")));
}

// ---------------------------------------------------------------------------
// The enumerator.

class DictionaryEnumeratorTest : public DictionaryTest {
 protected:
  IEnumVARIANT* NewEnum() {
    IUnknown* unknown = nullptr;
    EXPECT_EQ(S_OK, d_->get__NewEnum(&unknown));
    IEnumVARIANT* items = nullptr;
    EXPECT_EQ(S_OK, unknown->QueryInterface(IID_IEnumVARIANT, reinterpret_cast<void**>(&items)));
    unknown->Release();
    return items;
  }
};

TEST_F(DictionaryEnumeratorTest, WorksOnTheItemsAsTheyWereWhenItWasMade) {
  EXPECT_EQ("", Add(u"b", 2));
  EXPECT_EQ("", Add(u"a", 1));
  IEnumVARIANT* before = NewEnum();
  EXPECT_EQ("", Add(u"c", 3));
  EXPECT_EQ("", Put(Str(u"a"), Int(10)));
  EXPECT_EQ("", Outcome(d_->Remove(Str(u"b").get())));
  EXPECT_EQ((Strings{"1", "2"}), Drain(before));
  EXPECT_EQ((Strings{"10", "3"}), Enumerate());
}

TEST_F(DictionaryEnumeratorTest, ItsSnapshotKeepsObjectsAliveAfterTheDictionaryLetsGo) {
  IDispatch* object = NewObject();
  const ULONG before = Refs(object);
  EXPECT_EQ("", Add(Str(u"o"), Object(object)));
  IEnumVARIANT* items = NewEnum();
  EXPECT_EQ(S_OK, d_->RemoveAll());
  d_->Release();
  d_ = nullptr;
  EXPECT_EQ(before + 1, Refs(object));
  Arg item;
  ULONG fetched = 0;
  EXPECT_EQ(S_OK, items->Next(1, item.get(), &fetched));
  EXPECT_EQ(object, item.get()->pdispVal);
  items->Release();
  VariantClear(item.get());
  EXPECT_EQ(before, Refs(object));
  object->Release();
}

TEST_F(DictionaryEnumeratorTest, NextHandsOutWhatIsLeftAndSaysWhenItRanShort) {
  for (const char16_t* key : {u"a", u"b", u"c", u"d"}) EXPECT_EQ("", Add(key, key[0]));
  IEnumVARIANT* items = NewEnum();
  VARIANT out[5];
  ULONG fetched = 99;
  EXPECT_EQ(S_OK, items->Next(1, out, nullptr));  // one item needs no count
  EXPECT_EQ(97, out[0].lVal);
  // Slots are out-parameters: junk in them is overwritten, never freed.
  std::memset(out, 0xA5, sizeof out);
  EXPECT_EQ(S_FALSE, items->Next(5, out, &fetched));
  EXPECT_EQ(3u, fetched);
  EXPECT_EQ(98, out[0].lVal);
  EXPECT_EQ(100, out[2].lVal);
  EXPECT_EQ(S_FALSE, items->Next(1, out, &fetched));
  EXPECT_EQ(0u, fetched);
  EXPECT_EQ(E_POINTER, items->Next(2, out, nullptr));
  EXPECT_EQ(E_POINTER, items->Next(1, nullptr, &fetched));
  items->Release();
}

TEST_F(DictionaryEnumeratorTest, SkipResetAndClone) {
  for (const char16_t* key : {u"a", u"b", u"c"}) EXPECT_EQ("", Add(key, key[0]));
  IEnumVARIANT* items = NewEnum();
  EXPECT_EQ(S_OK, items->Skip(1));
  IEnumVARIANT* copy = nullptr;
  EXPECT_EQ(E_POINTER, items->Clone(nullptr));
  EXPECT_EQ(S_OK, items->Clone(&copy));
  EXPECT_EQ(S_FALSE, items->Skip(2));  // exactly to the end
  VARIANT out;
  ULONG fetched = 9;
  EXPECT_EQ(S_FALSE, items->Next(1, &out, &fetched));
  EXPECT_EQ(0u, fetched);
  EXPECT_EQ(S_FALSE, items->Skip(0xFFFFFFFFu));
  EXPECT_EQ(S_OK, items->Reset());
  EXPECT_EQ(S_OK, items->Next(1, &out, &fetched));
  EXPECT_EQ(97, out.lVal);
  items->Release();
  // The clone started where the original stood and outlives it.
  d_->Release();
  d_ = nullptr;
  EXPECT_EQ((Strings{"98", "99"}), Drain(copy));
}

TEST_F(DictionaryEnumeratorTest, IsAPlainEnumeratorCountedInTheModuleLock) {
  const LONG locks = tessary::ModuleLockCount();
  IEnumVARIANT* items = NewEnum();
  EXPECT_EQ(locks + 1, tessary::ModuleLockCount());
  IDispatch* dispatch = nullptr;
  EXPECT_EQ(E_NOINTERFACE,
            items->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&dispatch)));
  IUnknown* unknown = nullptr;
  EXPECT_EQ(S_OK, items->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&unknown)));
  unknown->Release();
  VARIANT out;
  ULONG fetched = 9;
  EXPECT_EQ(S_FALSE, items->Next(1, &out, &fetched));  // an empty dictionary
  EXPECT_EQ(0u, fetched);
  items->Release();
  EXPECT_EQ(locks, tessary::ModuleLockCount());
}

// ---------------------------------------------------------------------------
// Late-bound, as scripts call it: the dispatcher hands members shallow views
// of the caller's arguments, which the caller clears afterwards.

class DictionaryDispatchTest : public DictionaryTest {
 protected:
  DISPID Id(const char16_t* name) {
    std::u16string text(name);
    LPOLESTR names[] = {&text[0]};
    DISPID id = DISPID_UNKNOWN;
    EXPECT_EQ(S_OK, d_->GetIDsOfNames(IID_NULL, names, 1, 0, &id));
    return id;
  }
  // Arguments in script order; they stay the caller's and are cleared here.
  std::string Invoke(DISPID id, WORD flags, std::vector<Arg> args) {
    std::vector<VARIANT> reversed;
    for (auto it = args.rbegin(); it != args.rend(); ++it) reversed.push_back(*it->get());
    DISPID named = DISPID_PROPERTYPUT;
    const bool put = flags == DISPATCH_PROPERTYPUT || flags == DISPATCH_PROPERTYPUTREF;
    DISPPARAMS params{reversed.data(), put ? &named : nullptr, static_cast<UINT>(reversed.size()),
                      put ? 1u : 0u};
    EXCEPINFO excep{};
    Arg result;
    HRESULT hr =
        d_->Invoke(id, IID_NULL, 0, flags, &params, put ? nullptr : result.get(), &excep, nullptr);
    std::string outcome;
    if (hr == DISP_E_EXCEPTION) {
      outcome = "!" + Narrow(excep.bstrDescription ? excep.bstrDescription : u"");
      EXPECT_EQ(DISP_E_EXCEPTION, excep.scode);
      SysFreeString(excep.bstrSource);
      SysFreeString(excep.bstrDescription);
      SysFreeString(excep.bstrHelpFile);
    } else {
      outcome = Outcome(hr, *result.get());
    }
    // The caller's copies are still whole: checked by clearing them.
    for (VARIANT& v : reversed) EXPECT_EQ(S_OK, VariantClear(&v));
    for (Arg& a : args) VariantInit(a.get());
    return outcome;
  }
  static std::vector<Arg> Args(Arg a) {
    std::vector<Arg> v;
    v.push_back(std::move(a));
    return v;
  }
  static std::vector<Arg> Args(Arg a, Arg b) {
    std::vector<Arg> v = Args(std::move(a));
    v.push_back(std::move(b));
    return v;
  }
};

TEST_F(DictionaryDispatchTest, ScriptCallsReachEveryMember) {
  const WORD get = DISPATCH_METHOD | DISPATCH_PROPERTYGET;
  EXPECT_EQ("empty", Invoke(Id(u"Add"), DISPATCH_METHOD, Args(Str(u"b"), Str(u"bee"))));
  EXPECT_EQ("empty", Invoke(Id(u"add"), DISPATCH_METHOD, Args(Str(u"a"), Str(u"ay"))));
  EXPECT_EQ("'ay'", Invoke(DISPID_VALUE, get, Args(Int(1))));
  EXPECT_EQ("'bee'", Invoke(Id(u"Item"), get, Args(Str(u"B"))));
  EXPECT_EQ("!Item not found.", Invoke(Id(u"Item"), get, Args(Str(u"c"))));
  EXPECT_EQ("empty", Invoke(DISPID_VALUE, DISPATCH_PROPERTYPUT, Args(Str(u"c"), Str(u"sea"))));
  EXPECT_EQ("3", Invoke(Id(u"Count"), DISPATCH_PROPERTYGET, {}));
  EXPECT_EQ("vt 11", Invoke(Id(u"Exists"), get, Args(Str(u"C"))));
  EXPECT_EQ("vt 8204", Invoke(Id(u"Keys"), get, {}));
  EXPECT_EQ("empty", Invoke(Id(u"Remove"), DISPATCH_METHOD, Args(Str(u"c"))));
  EXPECT_EQ("1", Invoke(Id(u"CompareMode"), DISPATCH_PROPERTYGET, {}));
  IDispatch* object = NewObject();
  EXPECT_EQ("empty",
            Invoke(DISPID_VALUE, DISPATCH_PROPERTYPUTREF, Args(Str(u"o"), Object(object))));
  EXPECT_EQ("object", Invoke(DISPID_VALUE, get, Args(Str(u"o"))));
  object->Release();

  // An object a script passes by reference stays the script's.
  object = NewObject();
  const ULONG before = Refs(object);
  IDispatch* held = object;
  EXPECT_EQ("empty", Invoke(Id(u"Add"), DISPATCH_METHOD,
                            Args(Str(u"p"),
                                 Raw(VT_BYREF | VT_DISPATCH, reinterpret_cast<LONGLONG>(&held)))));
  EXPECT_EQ(before + 1, Refs(object));
  EXPECT_EQ("empty", Invoke(Id(u"Remove"), DISPATCH_METHOD, Args(Str(u"p"))));
  EXPECT_EQ(before, Refs(object));
  object->Release();

  Arg result;
  DISPPARAMS none{nullptr, nullptr, 0, 0};
  ASSERT_EQ(S_OK, d_->Invoke(DISPID_NEWENUM, IID_NULL, 0, DISPATCH_PROPERTYGET, &none, result.get(),
                             nullptr, nullptr));
  ASSERT_EQ(VT_UNKNOWN, result.get()->vt);
  IUnknown* unknown = result.get()->punkVal;
  unknown->AddRef();
  EXPECT_EQ((Strings{"'ay'", "'bee'", "object"}), Drain(unknown));
}

}  // namespace
