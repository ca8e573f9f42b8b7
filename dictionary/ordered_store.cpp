#include "dictionary/ordered_store.h"

#include <new>
#include <utility>

namespace tessary {
namespace {

// A leaf holds 64 record pointers, half a KiB on 64-bit targets: an
// insertion moves at most that much, and the tree stays shallow. Inner nodes
// hold a pointer, a count and a separator per child.
constexpr int kLeafCapacity = 64;
constexpr int kInnerCapacity = 64;
constexpr int kLeafMinimum = kLeafCapacity / 2;
constexpr int kInnerMinimum = kInnerCapacity / 2;
constexpr uint32_t kInlinePrefix = 16;
// With the minimum fan-outs above, 2^31 entries need fewer than 8 levels.
constexpr int kMaxDepth = 32;

inline OLECHAR Fold(OLECHAR c) { return c >= u'A' && c <= u'Z' ? static_cast<OLECHAR>(c + 32) : c; }

}  // namespace

int CompareKeys(KeyText a, KeyText b, bool fold_ascii) {
  const size_t common = a.length < b.length ? a.length : b.length;
  for (size_t i = 0; i < common; ++i) {
    OLECHAR ca = a.text[i];
    OLECHAR cb = b.text[i];
    if (ca == cb) continue;
    if (fold_ascii) {
      ca = Fold(ca);
      cb = Fold(cb);
      if (ca == cb) continue;
    }
    return ca < cb ? -1 : 1;
  }
  // A key that is a prefix of the other comes first, as a terminated string
  // would, since its terminator is below every code unit.
  return a.length < b.length ? -1 : (a.length > b.length ? 1 : 0);
}

int32_t HashKey(KeyText key, bool fold_ascii) {
  uint32_t hash = 2166136261u;
  for (size_t i = 0; i < key.length; ++i) {
    const OLECHAR c = fold_ascii ? Fold(key.text[i]) : key.text[i];
    hash = (hash ^ (c & 0xFFu)) * 16777619u;
    hash = (hash ^ ((c >> 8) & 0xFFu)) * 16777619u;
  }
  return static_cast<int32_t>(hash & 0x7FFFFFFFu);
}

// A stored entry with its key folded once, on insertion. The folded code
// units follow the record in the same allocation, so a comparison touches
// one block of memory per stored key.
struct OrderedStore::Record {
  DictionaryEntry entry;
  Record* next;   // the next record in the same hash bucket
  uint64_t hash;  // IndexHash of the folded key
  size_t length;  // of the key, in code units
  const OLECHAR* folded() const { return reinterpret_cast<const OLECHAR*>(this + 1); }
  OLECHAR* folded() { return reinterpret_cast<OLECHAR*>(this + 1); }
};

namespace {

// The index's own hash (the reported HashVal is another): 64-bit FNV-1a
// over whole folded code units, then mixed so that the low bits, which
// pick the bucket, depend on every unit.
constexpr uint64_t kIndexSeed = 14695981039346656037ull;
inline uint64_t IndexStep(uint64_t hash, OLECHAR c) { return (hash ^ c) * 1099511628211ull; }
inline uint64_t IndexFinish(uint64_t hash) {
  hash ^= hash >> 33;
  hash *= 0xff51afd7ed558ccdull;
  hash ^= hash >> 33;
  return hash;
}

// Code unit order over folded (or unfolded, in binary mode) forms, eight
// bytes at a time until they differ.
int CompareUnits(const OLECHAR* a, size_t a_length, const OLECHAR* b, size_t b_length) {
  const size_t common = a_length < b_length ? a_length : b_length;
  size_t i = 0;
  for (; i + 4 <= common; i += 4) {
    uint64_t x;
    uint64_t y;
    std::memcpy(&x, a + i, sizeof x);
    std::memcpy(&y, b + i, sizeof y);
    if (x != y) break;
  }
  for (; i < common; ++i)
    if (a[i] != b[i]) return a[i] < b[i] ? -1 : 1;
  return a_length < b_length ? -1 : (a_length > b_length ? 1 : 0);
}

}  // namespace

// Leaves and inner nodes hold record pointers, sizes and counts, all plain
// data, so nodes move them with memcpy/memmove.
//
// A binary search that read every key it passes would touch one record per
// step, each a cache miss in a large store. So each node keeps, beside its
// keys, the length of the prefix all of them share (`skip`) and, per slot,
// the next four folded code units after it (`parts`): a search compares
// those in the node, and reads a record only to tell apart keys whose parts
// are equal. `skip` may be shorter than what the keys share, never longer.
// A prefix of up to kInlinePrefix units is kept in the node too, so that
// asking whether a key holds it reads no record either.
struct OrderedStore::Node {
  explicit Node(bool is_leaf) : leaf(is_leaf) {}
  bool leaf;
  uint16_t count = 0;
  uint32_t skip = 0;
  OLECHAR prefix[kInlinePrefix];  // the first min(skip, kInlinePrefix) units
  uint64_t parts[kLeafCapacity > kInnerCapacity ? kLeafCapacity : kInnerCapacity];
};

struct OrderedStore::Leaf : Node {
  Leaf() : Node(true) {}
  Record* records[kLeafCapacity];
};

// sizes[i] counts the entries under children[i]; mins[i] is the record with
// the smallest key under it, refreshed whenever the entries under it change.
struct OrderedStore::Inner : Node {
  Inner() : Node(false) {}
  size_t sizes[kInnerCapacity];
  Node* children[kInnerCapacity];
  Record* mins[kInnerCapacity];
};

namespace {

inline int Capacity(bool leaf) { return leaf ? kLeafCapacity : kInnerCapacity; }

// Four folded code units of a key from `from` on, the first in the high
// bits, so that integer order is code unit order; units past the key's end
// count as 0. For two keys that share their first `from` units, a smaller
// part means a smaller key and a larger part a larger one (a key that ends
// comes before one that goes on); equal parts decide nothing.
inline uint64_t PartAt(const OLECHAR* folded, size_t length, size_t from) {
  uint64_t part = 0;
  for (size_t i = from; i < from + 4; ++i) part = (part << 16) | (i < length ? folded[i] : 0u);
  return part;
}

inline size_t CommonUnits(const OLECHAR* a, size_t a_length, const OLECHAR* b, size_t b_length) {
  const size_t common = a_length < b_length ? a_length : b_length;
  size_t i = 0;
  while (i < common && a[i] == b[i]) ++i;
  return i;
}
inline int Minimum(bool leaf) { return leaf ? kLeafMinimum : kInnerMinimum; }

}  // namespace

OrderedStore::~OrderedStore() {
  if (root_) Destroy(root_);
  delete[] buckets_;
}

void OrderedStore::FreeNode(Node* node) {
  if (node->leaf) {
    delete static_cast<Leaf*>(node);
  } else {
    delete static_cast<Inner*>(node);
  }
}

void OrderedStore::Destroy(Node* node) {
  if (node->leaf) {
    Leaf* leaf = static_cast<Leaf*>(node);
    for (int i = 0; i < leaf->count; ++i) {
      Record* record = leaf->records[i];
      SysFreeString(record->entry.key);
      VariantClear(&record->entry.item);
      ::operator delete(record);
    }
  } else {
    Inner* inner = static_cast<Inner*>(node);
    for (int i = 0; i < inner->count; ++i) Destroy(inner->children[i]);
  }
  FreeNode(node);
}

OrderedStore::Record* OrderedStore::MinRecord(const Node* node) {
  return node->leaf ? static_cast<const Leaf*>(node)->records[0]
                    : static_cast<const Inner*>(node)->mins[0];
}

const OrderedStore::Record* OrderedStore::KeyAt(const Node* node, int slot) {
  return node->leaf ? static_cast<const Leaf*>(node)->records[slot]
                    : static_cast<const Inner*>(node)->mins[slot];
}

uint64_t OrderedStore::PartOf(const Record* key, size_t skip) {
  return PartAt(key->folded(), key->length, skip);
}

bool OrderedStore::SharesPrefix(const Node* node, const Record* key) {
  if (key->length < node->skip) return false;
  const OLECHAR* prefix = node->skip <= kInlinePrefix ? node->prefix : KeyAt(node, 0)->folded();
  return std::memcmp(key->folded(), prefix, node->skip * sizeof(OLECHAR)) == 0;
}

void OrderedStore::Reprefix(Node* node) {
  if (node->count == 0) {
    node->skip = 0;
    return;
  }
  const Record* first = KeyAt(node, 0);
  const Record* last = KeyAt(node, node->count - 1);
  node->skip = static_cast<uint32_t>(
      CommonUnits(first->folded(), first->length, last->folded(), last->length));
  std::memcpy(node->prefix, first->folded(),
              (node->skip < kInlinePrefix ? node->skip : kInlinePrefix) * sizeof(OLECHAR));
  for (int i = 0; i < node->count; ++i) node->parts[i] = PartOf(KeyAt(node, i), node->skip);
}

void OrderedStore::Reslot(Node* node, int slot) {
  const Record* key = KeyAt(node, slot);
  if (node->count > 1) {
    // A long prefix is read from any other slot, which holds it.
    const OLECHAR* prefix =
        node->skip <= kInlinePrefix ? node->prefix : KeyAt(node, slot == 0 ? 1 : 0)->folded();
    if (key->length >= node->skip &&
        std::memcmp(key->folded(), prefix, node->skip * sizeof(OLECHAR)) == 0) {
      node->parts[slot] = PartOf(key, node->skip);
      return;
    }
  }
  Reprefix(node);
}

const OrderedStore::Record* const* OrderedStore::LeafRecords(const Node* node, uint16_t* count) {
  if (!node->leaf) return nullptr;
  *count = node->count;
  return static_cast<const Leaf*>(node)->records;
}

const OrderedStore::Node* const* OrderedStore::InnerChildren(const Node* node, uint16_t* count) {
  *count = node->count;
  return static_cast<const Inner*>(node)->children;
}

const DictionaryEntry& OrderedStore::EntryOf(const Record* record) { return record->entry; }

// The child whose range holds `key`: the last one whose smallest key is not
// above it, or the first child for a key below them all.
int OrderedStore::ChildFor(const Inner* inner, const Record* key) {
  if (!SharesPrefix(inner, key)) {
    // The key differs from every separator within their shared prefix, so
    // it is below them all or above them all.
    const Record* first = inner->mins[0];
    return CompareUnits(key->folded(), key->length, first->folded(), first->length) < 0
               ? 0
               : inner->count - 1;
  }
  const uint64_t part = PartOf(key, inner->skip);
  int lo = 1;
  int hi = inner->count;
  while (lo < hi) {
    const int mid = (lo + hi) / 2;
    bool not_above;
    if (inner->parts[mid] != part) {
      not_above = inner->parts[mid] < part;
    } else {
      const Record* min = inner->mins[mid];
      not_above = CompareUnits(key->folded(), key->length, min->folded(), min->length) >= 0;
    }
    if (not_above) {
      lo = mid + 1;
    } else {
      hi = mid;
    }
  }
  return lo - 1;
}

// Where `key` stands in the leaf: its slot when *equal, else the slot it
// would be inserted at.
int OrderedStore::SlotFor(const Leaf* leaf, const Record* key, bool* equal) {
  *equal = false;
  if (leaf->count == 0) return 0;
  if (!SharesPrefix(leaf, key)) {
    const Record* first = leaf->records[0];
    return CompareUnits(key->folded(), key->length, first->folded(), first->length) < 0
               ? 0
               : leaf->count;
  }
  const uint64_t part = PartOf(key, leaf->skip);
  int lo = 0;
  int hi = leaf->count;
  while (lo < hi) {
    const int mid = (lo + hi) / 2;
    int c;
    if (leaf->parts[mid] != part) {
      c = part < leaf->parts[mid] ? -1 : 1;
    } else {
      const Record* at = leaf->records[mid];
      c = CompareUnits(key->folded(), key->length, at->folded(), at->length);
    }
    if (c == 0) {
      *equal = true;
      return mid;
    }
    if (c < 0) {
      hi = mid;
    } else {
      lo = mid + 1;
    }
  }
  return lo;
}

OrderedStore::Record* OrderedStore::NewRecord(BSTR key) const {
  const size_t length = BstrLength(key);
  void* memory = ::operator new(sizeof(Record) + length * sizeof(OLECHAR), std::nothrow);
  if (!memory) return nullptr;
  Record* record = new (memory) Record;
  record->entry.key = key;
  VariantInit(&record->entry.item);
  record->next = nullptr;
  record->length = length;
  OLECHAR* folded = record->folded();
  uint64_t hash = kIndexSeed;
  for (size_t i = 0; i < length; ++i) {
    const OLECHAR c = fold_ ? Fold(key[i]) : key[i];
    folded[i] = c;
    hash = IndexStep(hash, c);
  }
  record->hash = IndexFinish(hash);
  return record;
}

int OrderedStore::CompareWithRecord(KeyText key, const Record* record) const {
  const OLECHAR* folded = record->folded();
  const size_t common = key.length < record->length ? key.length : record->length;
  for (size_t i = 0; i < common; ++i) {
    const OLECHAR c = fold_ ? Fold(key.text[i]) : key.text[i];
    if (c != folded[i]) return c < folded[i] ? -1 : 1;
  }
  return key.length < record->length ? -1 : (key.length > record->length ? 1 : 0);
}

void OrderedStore::IndexNode(const Node* node, Record** buckets, size_t mask) {
  if (node->leaf) {
    const Leaf* leaf = static_cast<const Leaf*>(node);
    for (int i = 0; i < leaf->count; ++i) {
      Record* record = leaf->records[i];
      Record*& head = buckets[record->hash & mask];
      record->next = head;
      head = record;
    }
    return;
  }
  const Inner* inner = static_cast<const Inner*>(node);
  for (int i = 0; i < inner->count; ++i) IndexNode(inner->children[i], buckets, mask);
}

bool OrderedStore::EnsureIndex() const {
  if (buckets_) return true;
  size_t count = 64;
  while (count < size_) count *= 2;
  Record** buckets = new (std::nothrow) Record*[count]();
  if (!buckets) return false;
  if (root_) IndexNode(root_, buckets, count - 1);
  buckets_ = buckets;
  bucket_count_ = count;
  return true;
}

OrderedStore::Record* OrderedStore::Lookup(KeyText key) const {
  if (!buckets_) return nullptr;
  uint64_t hash = kIndexSeed;
  for (size_t i = 0; i < key.length; ++i)
    hash = IndexStep(hash, fold_ ? Fold(key.text[i]) : key.text[i]);
  hash = IndexFinish(hash);
  for (Record* r = buckets_[hash & (bucket_count_ - 1)]; r; r = r->next) {
    if (r->hash != hash || r->length != key.length) continue;
    const OLECHAR* folded = r->folded();
    size_t i = 0;
    if (fold_) {
      while (i < key.length && Fold(key.text[i]) == folded[i]) ++i;
    } else {
      while (i < key.length && key.text[i] == folded[i]) ++i;
    }
    if (i == key.length) return r;
  }
  return nullptr;
}

OrderedStore::Record* OrderedStore::Lookup(const Record* key) const {
  for (Record* r = buckets_[key->hash & (bucket_count_ - 1)]; r; r = r->next) {
    if (r->hash == key->hash && r->length == key->length &&
        std::memcmp(r->folded(), key->folded(), key->length * sizeof(OLECHAR)) == 0)
      return r;
  }
  return nullptr;
}

// Doubles the buckets (or makes the first ones). Running out of memory here
// only leaves the chains longer.
void OrderedStore::GrowIndex() {
  const size_t count = bucket_count_ ? 2 * bucket_count_ : 64;
  Record** buckets = new (std::nothrow) Record*[count]();
  if (!buckets) return;
  for (size_t b = 0; b < bucket_count_; ++b) {
    for (Record* r = buckets_[b]; r;) {
      Record* next = r->next;
      Record*& head = buckets[r->hash & (count - 1)];
      r->next = head;
      head = r;
      r = next;
    }
  }
  delete[] buckets_;
  buckets_ = buckets;
  bucket_count_ = count;
}

void OrderedStore::IndexAdd(Record* record) {
  if (size_ > bucket_count_) GrowIndex();
  Record*& head = buckets_[record->hash & (bucket_count_ - 1)];
  record->next = head;
  head = record;
}

void OrderedStore::IndexRemove(Record* record) {
  if (!buckets_) return;
  Record** link = &buckets_[record->hash & (bucket_count_ - 1)];
  while (*link != record) link = &(*link)->next;
  *link = record->next;
}

DictionaryEntry* OrderedStore::FindInOrder(KeyText key, size_t* position) const {
  if (!root_) return nullptr;
  const Node* node = root_;
  size_t before = 0;
  while (!node->leaf) {
    const Inner* inner = static_cast<const Inner*>(node);
    int i = inner->count - 1;
    while (i > 0 && CompareWithRecord(key, inner->mins[i]) < 0) --i;
    for (int j = 0; j < i; ++j) before += inner->sizes[j];
    node = inner->children[i];
  }
  const Leaf* leaf = static_cast<const Leaf*>(node);
  int lo = 0;
  int hi = leaf->count;
  while (lo < hi) {
    const int mid = (lo + hi) / 2;
    const int c = CompareWithRecord(key, leaf->records[mid]);
    if (c == 0) {
      if (position) *position = before + static_cast<size_t>(mid);
      return &leaf->records[mid]->entry;
    }
    if (c < 0) {
      hi = mid;
    } else {
      lo = mid + 1;
    }
  }
  return nullptr;
}

DictionaryEntry* OrderedStore::Find(KeyText key, size_t* position) const {
  if (size_ == 0) return nullptr;
  if (!EnsureIndex()) return FindInOrder(key, position);
  Record* record = Lookup(key);
  if (!record || !position) return record ? &record->entry : nullptr;
  const Node* node = root_;
  size_t before = 0;
  while (!node->leaf) {
    const Inner* inner = static_cast<const Inner*>(node);
    const int i = ChildFor(inner, record);
    for (int j = 0; j < i; ++j) before += inner->sizes[j];
    node = inner->children[i];
  }
  bool equal = false;
  const int at = SlotFor(static_cast<const Leaf*>(node), record, &equal);
  *position = before + static_cast<size_t>(at);
  return &record->entry;
}

DictionaryEntry* OrderedStore::At(size_t position) const {
  if (position >= size_) return nullptr;
  const Node* node = root_;
  while (!node->leaf) {
    const Inner* inner = static_cast<const Inner*>(node);
    int i = 0;
    while (position >= inner->sizes[i]) position -= inner->sizes[i++];
    node = inner->children[i];
  }
  return &static_cast<const Leaf*>(node)->records[position]->entry;
}

// Splits the full child `index` of a parent that has room, moving its upper
// half into a new right sibling. False, with nothing changed, when the new
// node cannot be allocated.
bool OrderedStore::SplitChild(Inner* parent, int index) {
  Node* child = parent->children[index];
  const int keep = child->count / 2;
  const int move = child->count - keep;
  Node* right = nullptr;
  size_t moved = 0;
  if (child->leaf) {
    Leaf* from = static_cast<Leaf*>(child);
    Leaf* to = new (std::nothrow) Leaf;
    if (!to) return false;
    std::memcpy(to->records, from->records + keep, sizeof(Record*) * move);
    moved = static_cast<size_t>(move);
    right = to;
  } else {
    Inner* from = static_cast<Inner*>(child);
    Inner* to = new (std::nothrow) Inner;
    if (!to) return false;
    std::memcpy(to->children, from->children + keep, sizeof(Node*) * move);
    std::memcpy(to->sizes, from->sizes + keep, sizeof(size_t) * move);
    std::memcpy(to->mins, from->mins + keep, sizeof(Record*) * move);
    for (int i = 0; i < move; ++i) moved += to->sizes[i];
    right = to;
  }
  child->count = static_cast<uint16_t>(keep);
  right->count = static_cast<uint16_t>(move);
  // Each half's keys lie in a narrower range: their shared prefix grows.
  Reprefix(child);
  Reprefix(right);

  const int tail = parent->count - index - 1;
  std::memmove(parent->children + index + 2, parent->children + index + 1, sizeof(Node*) * tail);
  std::memmove(parent->sizes + index + 2, parent->sizes + index + 1, sizeof(size_t) * tail);
  std::memmove(parent->mins + index + 2, parent->mins + index + 1, sizeof(Record*) * tail);
  std::memmove(parent->parts + index + 2, parent->parts + index + 1, sizeof(uint64_t) * tail);
  parent->children[index + 1] = right;
  parent->sizes[index + 1] = moved;
  parent->sizes[index] -= moved;
  parent->mins[index + 1] = MinRecord(right);
  ++parent->count;
  Reslot(parent, index + 1);
  return true;
}

OrderedStore::Record* OrderedStore::MaxRecord() const {
  const Node* node = root_;
  while (!node->leaf) {
    const Inner* inner = static_cast<const Inner*>(node);
    node = inner->children[inner->count - 1];
  }
  const Leaf* leaf = static_cast<const Leaf*>(node);
  return leaf->records[leaf->count - 1];
}

HRESULT OrderedStore::Insert(BSTR key, DictionaryEntry** entry, bool* inserted) {
  *entry = nullptr;
  *inserted = false;
  Record* record = NewRecord(key);
  if (!record) {
    *entry = Find(TextOf(key));
    return *entry ? S_OK : E_OUTOFMEMORY;
  }
  // Keys often arrive in order (a listing, a copy of another dictionary): a
  // key above the largest (or the first) is new and goes down the right
  // edge, with no look-up and no search of the nodes it passes.
  bool append = true;
  if (size_ > 0) {
    const Record* last = MaxRecord();
    append = CompareUnits(record->folded(), record->length, last->folded(), last->length) > 0;
  }
  if (!append) {
    if (!EnsureIndex()) {
      ::operator delete(record);
      return E_OUTOFMEMORY;
    }
    if (Record* found = Lookup(record)) {
      ::operator delete(record);
      *entry = &found->entry;
      return S_OK;
    }
  }
  // The record is the caller's key until it is linked in: on failure only
  // the record goes.
  auto fail = [record] {
    ::operator delete(record);
    return E_OUTOFMEMORY;
  };
  if (!root_) {
    root_ = new (std::nothrow) Leaf;
    if (!root_) return fail();
  }
  // Full nodes are split on the way down, so every split finds room in its
  // parent and a failed allocation leaves a whole, valid tree behind.
  if (root_->count == Capacity(root_->leaf)) {
    Inner* top = new (std::nothrow) Inner;
    if (!top) return fail();
    top->count = 1;
    top->children[0] = root_;
    top->sizes[0] = size_;
    top->mins[0] = MinRecord(root_);
    Reprefix(top);
    if (!SplitChild(top, 0)) {
      delete top;
      return fail();
    }
    root_ = top;
  }

  Inner* path[kMaxDepth];
  int slots[kMaxDepth];
  int depth = 0;
  Node* node = root_;
  while (!node->leaf) {
    Inner* inner = static_cast<Inner*>(node);
    int i = append ? inner->count - 1 : ChildFor(inner, record);
    Node* child = inner->children[i];
    if (child->count == Capacity(child->leaf)) {
      if (!SplitChild(inner, i)) return fail();
      const Record* split = inner->mins[i + 1];
      if (CompareUnits(record->folded(), record->length, split->folded(), split->length) >= 0) ++i;
    }
    path[depth] = inner;
    slots[depth] = i;
    ++depth;
    node = inner->children[i];
  }

  Leaf* leaf = static_cast<Leaf*>(node);
  bool equal = false;
  const int at = append ? leaf->count : SlotFor(leaf, record, &equal);
  std::memmove(leaf->records + at + 1, leaf->records + at,
               sizeof(Record*) * static_cast<size_t>(leaf->count - at));
  std::memmove(leaf->parts + at + 1, leaf->parts + at,
               sizeof(uint64_t) * static_cast<size_t>(leaf->count - at));
  leaf->records[at] = record;
  ++leaf->count;
  Reslot(leaf, at);
  ++size_;
  if (buckets_) IndexAdd(record);
  for (int d = depth - 1; d >= 0; --d) {
    path[d]->sizes[slots[d]] += 1;
    Record* min = MinRecord(path[d]->children[slots[d]]);
    if (path[d]->mins[slots[d]] != min) {
      path[d]->mins[slots[d]] = min;
      Reslot(path[d], slots[d]);
    }
  }
  *entry = &record->entry;
  *inserted = true;
  return S_OK;
}

// Refills the under-full child `index` of `parent` from a neighbour: the two
// are merged when they fit in one node, else their contents are shared out
// evenly. Only frees memory, so removal never fails.
void OrderedStore::Rebalance(Inner* parent, int index) {
  const int left = index + 1 < parent->count ? index : index - 1;
  const int right = left + 1;
  Node* l = parent->children[left];
  Node* r = parent->children[right];
  const bool leaf = l->leaf;

  if (l->count + r->count <= Capacity(leaf)) {
    if (leaf) {
      std::memcpy(static_cast<Leaf*>(l)->records + l->count, static_cast<Leaf*>(r)->records,
                  sizeof(Record*) * r->count);
    } else {
      Inner* li = static_cast<Inner*>(l);
      Inner* ri = static_cast<Inner*>(r);
      std::memcpy(li->children + l->count, ri->children, sizeof(Node*) * r->count);
      std::memcpy(li->sizes + l->count, ri->sizes, sizeof(size_t) * r->count);
      std::memcpy(li->mins + l->count, ri->mins, sizeof(Record*) * r->count);
    }
    l->count = static_cast<uint16_t>(l->count + r->count);
    parent->sizes[left] += parent->sizes[right];
    FreeNode(r);
    const int tail = parent->count - right - 1;
    std::memmove(parent->children + right, parent->children + right + 1, sizeof(Node*) * tail);
    std::memmove(parent->sizes + right, parent->sizes + right + 1, sizeof(size_t) * tail);
    std::memmove(parent->mins + right, parent->mins + right + 1, sizeof(Record*) * tail);
    --parent->count;
    parent->mins[left] = MinRecord(l);
    Reprefix(l);
    Reprefix(parent);
    return;
  }

  const int total = l->count + r->count;
  const int want_left = total / 2;
  size_t moved = 0;
  if (leaf) {
    Leaf* ll = static_cast<Leaf*>(l);
    Leaf* rl = static_cast<Leaf*>(r);
    if (l->count < want_left) {
      const int n = want_left - l->count;
      std::memcpy(ll->records + l->count, rl->records, sizeof(Record*) * n);
      std::memmove(rl->records, rl->records + n, sizeof(Record*) * (r->count - n));
      moved = static_cast<size_t>(n);
      parent->sizes[left] += moved;
      parent->sizes[right] -= moved;
    } else {
      const int n = l->count - want_left;
      std::memmove(rl->records + n, rl->records, sizeof(Record*) * r->count);
      std::memcpy(rl->records, ll->records + want_left, sizeof(Record*) * n);
      moved = static_cast<size_t>(n);
      parent->sizes[left] -= moved;
      parent->sizes[right] += moved;
    }
  } else {
    Inner* li = static_cast<Inner*>(l);
    Inner* ri = static_cast<Inner*>(r);
    if (l->count < want_left) {
      const int n = want_left - l->count;
      std::memcpy(li->children + l->count, ri->children, sizeof(Node*) * n);
      std::memcpy(li->sizes + l->count, ri->sizes, sizeof(size_t) * n);
      std::memcpy(li->mins + l->count, ri->mins, sizeof(Record*) * n);
      for (int i = 0; i < n; ++i) moved += ri->sizes[i];
      const int rest = r->count - n;
      std::memmove(ri->children, ri->children + n, sizeof(Node*) * rest);
      std::memmove(ri->sizes, ri->sizes + n, sizeof(size_t) * rest);
      std::memmove(ri->mins, ri->mins + n, sizeof(Record*) * rest);
      parent->sizes[left] += moved;
      parent->sizes[right] -= moved;
    } else {
      const int n = l->count - want_left;
      std::memmove(ri->children + n, ri->children, sizeof(Node*) * r->count);
      std::memmove(ri->sizes + n, ri->sizes, sizeof(size_t) * r->count);
      std::memmove(ri->mins + n, ri->mins, sizeof(Record*) * r->count);
      std::memcpy(ri->children, li->children + want_left, sizeof(Node*) * n);
      std::memcpy(ri->sizes, li->sizes + want_left, sizeof(size_t) * n);
      std::memcpy(ri->mins, li->mins + want_left, sizeof(Record*) * n);
      for (int i = 0; i < n; ++i) moved += ri->sizes[i];
      parent->sizes[left] -= moved;
      parent->sizes[right] += moved;
    }
  }
  r->count = static_cast<uint16_t>(total - want_left);
  l->count = static_cast<uint16_t>(want_left);
  parent->mins[left] = MinRecord(l);
  parent->mins[right] = MinRecord(r);
  Reprefix(l);
  Reprefix(r);
  Reprefix(parent);
}

void OrderedStore::TakeAt(size_t position, DictionaryEntry* taken) {
  Inner* path[kMaxDepth];
  int slots[kMaxDepth];
  int depth = 0;
  Node* node = root_;
  while (!node->leaf) {
    Inner* inner = static_cast<Inner*>(node);
    int i = 0;
    while (position >= inner->sizes[i]) position -= inner->sizes[i++];
    path[depth] = inner;
    slots[depth] = i;
    ++depth;
    node = inner->children[i];
  }
  Leaf* leaf = static_cast<Leaf*>(node);
  const int at = static_cast<int>(position);
  Record* record = leaf->records[at];
  *taken = record->entry;
  IndexRemove(record);
  ::operator delete(record);
  std::memmove(leaf->records + at, leaf->records + at + 1,
               sizeof(Record*) * static_cast<size_t>(leaf->count - at - 1));
  std::memmove(leaf->parts + at, leaf->parts + at + 1,
               sizeof(uint64_t) * static_cast<size_t>(leaf->count - at - 1));
  --leaf->count;
  --size_;

  for (int d = depth - 1; d >= 0; --d) {
    Inner* parent = path[d];
    const int i = slots[d];
    parent->sizes[i] -= 1;
    Node* child = parent->children[i];
    if (child->count < Minimum(child->leaf)) {
      Rebalance(parent, i);
    } else if (parent->mins[i] != MinRecord(child)) {
      parent->mins[i] = MinRecord(child);
      Reslot(parent, i);
    }
  }

  if (root_->leaf) {
    if (root_->count == 0) {
      FreeNode(root_);
      root_ = nullptr;
    }
  } else if (root_->count == 1) {
    Node* only = static_cast<Inner*>(root_)->children[0];
    FreeNode(root_);
    root_ = only;
  }
}

BSTR OrderedStore::ReplaceKeyAt(size_t position, BSTR key) {
  // The folded form, its hash and so the record's place all stay.
  DictionaryEntry& entry = *At(position);
  BSTR old = entry.key;
  entry.key = key;
  return old;
}

void OrderedStore::Swap(OrderedStore& other) {
  std::swap(root_, other.root_);
  std::swap(size_, other.size_);
  std::swap(fold_, other.fold_);
  std::swap(buckets_, other.buckets_);
  std::swap(bucket_count_, other.bucket_count_);
}

bool OrderedStore::CheckNode(const Node* node, bool is_root, int depth, int* leaf_depth,
                             size_t* count) {
  const int capacity = Capacity(node->leaf);
  const int minimum = is_root ? (node->leaf ? 1 : 2) : Minimum(node->leaf);
  if (node->count > capacity || node->count < minimum) return false;
  // Every key holds the node's prefix, and every part is its key's.
  for (int i = 0; i < node->count; ++i) {
    if (!SharesPrefix(node, KeyAt(node, i)) || node->parts[i] != PartOf(KeyAt(node, i), node->skip))
      return false;
  }
  if (node->leaf) {
    if (*leaf_depth < 0) *leaf_depth = depth;
    if (*leaf_depth != depth) return false;
    *count = node->count;
    return true;
  }
  const Inner* inner = static_cast<const Inner*>(node);
  size_t total = 0;
  for (int i = 0; i < inner->count; ++i) {
    size_t below = 0;
    if (!CheckNode(inner->children[i], false, depth + 1, leaf_depth, &below)) return false;
    if (below != inner->sizes[i] || inner->mins[i] != MinRecord(inner->children[i])) return false;
    total += below;
  }
  *count = total;
  return true;
}

bool OrderedStore::CheckInvariants() const {
  if (!root_) return size_ == 0;
  int leaf_depth = -1;
  size_t count = 0;
  if (!CheckNode(root_, true, 0, &leaf_depth, &count) || count != size_) return false;
  const DictionaryEntry* previous = nullptr;
  bool ascending = true;
  ForEach([&](const DictionaryEntry& e) {
    if (previous && Compare(TextOf(previous->key), TextOf(e.key)) >= 0) ascending = false;
    // Every entry is found through the index as itself.
    if (Find(TextOf(e.key)) != &e) ascending = false;
    previous = &e;
    return ascending;
  });
  return ascending;
}

}  // namespace tessary
