// The Dictionary's store: entries (a key string and a variant item) kept in
// ascending key order in a B+ tree whose inner nodes count the entries below
// each child. Lookup, insertion and removal by key, and access by position,
// all take time logarithmic in the number of entries, so a script that walks
// a large dictionary with `for i = 1 to Count: Item(i)` stays n log n.
//
// Key order is the dictionary's comparison: code unit by code unit, with
// only 'A'-'Z' folded to 'a'-'z' (no locale), the shorter key first when one
// is a prefix of the other. Binary order (no folding at all) serves the
// BinaryCompare mode. The store is not thread-safe; its owner serialises.
//
// Each entry lives in its own record beside its key folded once, on
// insertion: the tree compares folded forms a word at a time and never
// folds a stored key again, and a hash index over the folded forms answers
// keyed look-ups that need no position without descending the tree. A key
// above every stored one is appended down the right edge of the tree with no
// look-up at all.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "platform/automation.h"

namespace tessary {

// A key as counted UTF-16 text. Keys are compared over their whole length,
// so an embedded NUL is part of the key, not its end.
struct KeyText {
  const OLECHAR* text;
  size_t length;
};

// A BSTR's length in code units, read from its prefix as system code does;
// a null BSTR is the empty string.
inline size_t BstrLength(BSTR s) {
  if (!s) return 0;
  uint32_t bytes;
  std::memcpy(&bytes, reinterpret_cast<const char*>(s) - sizeof bytes, sizeof bytes);
  return bytes / sizeof(OLECHAR);
}
inline KeyText TextOf(BSTR s) { return KeyText{s, BstrLength(s)}; }

// Negative, zero or positive as a comes before, equals or comes after b.
int CompareKeys(KeyText a, KeyText b, bool fold_ascii);

// The key's hash as the dictionary reports it (HashVal): 32-bit FNV-1a over
// the key's code units (low byte first), folded the same way as the
// comparison so that equal keys hash equally, cut to 31 bits so that every
// script host holds it as a plain non-negative integer.
int32_t HashKey(KeyText key, bool fold_ascii);

struct DictionaryEntry {
  BSTR key;      // owned
  VARIANT item;  // owned
};

class OrderedStore {
 public:
  explicit OrderedStore(bool fold_ascii = true) : fold_(fold_ascii) {}
  // Frees every key and clears every item.
  ~OrderedStore();
  OrderedStore(const OrderedStore&) = delete;
  OrderedStore& operator=(const OrderedStore&) = delete;

  size_t size() const { return size_; }
  bool folds() const { return fold_; }
  // Only while empty: the order of stored keys depends on it.
  void set_folds(bool fold_ascii) { fold_ = fold_ascii; }
  int Compare(KeyText a, KeyText b) const { return CompareKeys(a, b, fold_); }

  // The entry with an equal key, or null; *position (0-based) when found.
  DictionaryEntry* Find(KeyText key, size_t* position = nullptr) const;
  // Find's answer by a descent of the tree instead of the index: Find's way
  // when there is no index and no memory to build one.
  DictionaryEntry* FindInOrder(KeyText key, size_t* position = nullptr) const;
  // The entry at a 0-based position below size().
  DictionaryEntry* At(size_t position) const;

  // Finds the entry with an equal key or inserts one with `key` (taken over
  // only when inserted) and an empty item. E_OUTOFMEMORY leaves the store as
  // it was. The entry pointer stays valid until that entry is taken out.
  [[nodiscard]] HRESULT Insert(BSTR key, DictionaryEntry** entry, bool* inserted);

  // Takes the entry at a 0-based position out of the store; the caller owns
  // its key and item. Never fails.
  void TakeAt(size_t position, DictionaryEntry* taken);

  // Gives the entry at a position a key that compares equal to its own (a
  // change of spelling); returns the old key to the caller.
  BSTR ReplaceKeyAt(size_t position, BSTR key);

  // Exchanges the whole contents (and the folding) of two stores.
  void Swap(OrderedStore& other);

  // Calls f(const DictionaryEntry&) for every entry in key order; stops and
  // returns false when f does.
  template <class F>
  bool ForEach(F&& f) const {
    return root_ ? Walk(root_, f) : true;
  }

  // Structural self-check for the tests: order, counts, separators, fill.
  bool CheckInvariants() const;

 private:
  struct Node;
  struct Leaf;
  struct Inner;
  struct Record;

  template <class F>
  static bool Walk(const Node* node, F& f);
  static const Record* const* LeafRecords(const Node* node, uint16_t* count);
  static const Node* const* InnerChildren(const Node* node, uint16_t* count);
  static const DictionaryEntry& EntryOf(const Record* record);

  static void Destroy(Node* node);
  static Record* MinRecord(const Node* node);
  // The key of a slot: a leaf's record, an inner node's smallest key below.
  static const Record* KeyAt(const Node* node, int slot);
  static uint64_t PartOf(const Record* key, size_t skip);
  // Whether `key` begins with the prefix the node's keys share.
  static bool SharesPrefix(const Node* node, const Record* key);
  // Recomputes the node's prefix from its first and last keys, and every part.
  static void Reprefix(Node* node);
  // Keeps the prefix and parts whole after `slot` took a new key.
  static void Reslot(Node* node, int slot);
  static int ChildFor(const Inner* inner, const Record* key);
  static int SlotFor(const Leaf* leaf, const Record* key, bool* equal);
  [[nodiscard]] bool SplitChild(Inner* parent, int index);
  void Rebalance(Inner* parent, int index);
  static void FreeNode(Node* node);
  static bool CheckNode(const Node* node, bool is_root, int depth, int* leaf_depth, size_t* count);

  Record* NewRecord(BSTR key) const;
  // A key (not folded) against a stored record's folded key, as Compare.
  int CompareWithRecord(KeyText key, const Record* record) const;
  // Builds the index over every record when there is none; false, with
  // nothing changed, when memory runs out.
  bool EnsureIndex() const;
  static void IndexNode(const Node* node, Record** buckets, size_t mask);
  Record* Lookup(KeyText key) const;
  // The stored record whose folded key equals that of `key` (not stored).
  Record* Lookup(const Record* key) const;
  // The record with the largest key; only while the store holds any.
  Record* MaxRecord() const;
  void IndexAdd(Record* record);
  void IndexRemove(Record* record);
  void GrowIndex();

  Node* root_ = nullptr;
  size_t size_ = 0;
  bool fold_;
  // Chains of records by the hash of their folded keys; a power-of-two
  // number of buckets, grown to keep about one record per bucket. Keys that
  // arrive in order need no look-up, so there is no index until a look-up
  // first needs one (a const one too); from then on it holds every record.
  mutable Record** buckets_ = nullptr;
  mutable size_t bucket_count_ = 0;
};

template <class F>
bool OrderedStore::Walk(const Node* node, F& f) {
  uint16_t count = 0;
  if (const Record* const* records = LeafRecords(node, &count)) {
    for (uint16_t i = 0; i < count; ++i)
      if (!f(EntryOf(records[i]))) return false;
    return true;
  }
  const Node* const* children = InnerChildren(node, &count);
  for (uint16_t i = 0; i < count; ++i)
    if (!Walk(children[i], f)) return false;
  return true;
}

}  // namespace tessary
