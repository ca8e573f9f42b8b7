#include "dictionary/ordered_store.h"

#include <new>
#include <utility>

namespace tessary {
namespace {

// A leaf of 32 entries is 1 KiB on 64-bit targets: an insertion moves at
// most that much, and a node stays within a few cache lines of page-friendly
// size. Inner nodes fan out wider, as they hold only a pointer, a count and
// a separator per child.
constexpr int kLeafCapacity = 32;
constexpr int kInnerCapacity = 64;
constexpr int kLeafMinimum = kLeafCapacity / 2;
constexpr int kInnerMinimum = kInnerCapacity / 2;
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

// Entries, separators and counts are plain data (a BSTR pointer, a VARIANT,
// sizes), so nodes move them with memcpy/memmove.
struct OrderedStore::Node {
  explicit Node(bool is_leaf) : leaf(is_leaf) {}
  bool leaf;
  uint16_t count = 0;
};

struct OrderedStore::Leaf : Node {
  Leaf() : Node(true) {}
  DictionaryEntry entries[kLeafCapacity];
};

// sizes[i] counts the entries under children[i]; mins[i] is the smallest key
// under it, the very BSTR its leaf holds, refreshed whenever the entries
// under it change.
struct OrderedStore::Inner : Node {
  Inner() : Node(false) {}
  size_t sizes[kInnerCapacity];
  Node* children[kInnerCapacity];
  BSTR mins[kInnerCapacity];
};

namespace {

inline int Capacity(bool leaf) { return leaf ? kLeafCapacity : kInnerCapacity; }
inline int Minimum(bool leaf) { return leaf ? kLeafMinimum : kInnerMinimum; }

}  // namespace

OrderedStore::~OrderedStore() {
  if (root_) Destroy(root_);
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
      SysFreeString(leaf->entries[i].key);
      VariantClear(&leaf->entries[i].item);
    }
  } else {
    Inner* inner = static_cast<Inner*>(node);
    for (int i = 0; i < inner->count; ++i) Destroy(inner->children[i]);
  }
  FreeNode(node);
}

BSTR OrderedStore::MinKey(const Node* node) {
  return node->leaf ? static_cast<const Leaf*>(node)->entries[0].key
                    : static_cast<const Inner*>(node)->mins[0];
}

const DictionaryEntry* OrderedStore::LeafEntries(const Node* node, uint16_t* count) {
  if (!node->leaf) return nullptr;
  *count = node->count;
  return static_cast<const Leaf*>(node)->entries;
}

const OrderedStore::Node* const* OrderedStore::InnerChildren(const Node* node, uint16_t* count) {
  *count = node->count;
  return static_cast<const Inner*>(node)->children;
}

// The child whose range holds `key`: the last one whose smallest key is not
// above it, or the first child for a key below them all.
int OrderedStore::ChildFor(const Inner* inner, KeyText key) const {
  int lo = 1;
  int hi = inner->count;
  while (lo < hi) {
    const int mid = (lo + hi) / 2;
    if (Compare(key, TextOf(inner->mins[mid])) >= 0) {
      lo = mid + 1;
    } else {
      hi = mid;
    }
  }
  return lo - 1;
}

DictionaryEntry* OrderedStore::Find(KeyText key, size_t* position) const {
  const Node* node = root_;
  if (!node) return nullptr;
  size_t before = 0;
  while (!node->leaf) {
    const Inner* inner = static_cast<const Inner*>(node);
    const int i = ChildFor(inner, key);
    if (position)
      for (int j = 0; j < i; ++j) before += inner->sizes[j];
    node = inner->children[i];
  }
  Leaf* leaf = const_cast<Leaf*>(static_cast<const Leaf*>(node));
  int lo = 0;
  int hi = leaf->count;
  while (lo < hi) {
    const int mid = (lo + hi) / 2;
    const int c = Compare(key, TextOf(leaf->entries[mid].key));
    if (c == 0) {
      if (position) *position = before + static_cast<size_t>(mid);
      return &leaf->entries[mid];
    }
    if (c < 0) {
      hi = mid;
    } else {
      lo = mid + 1;
    }
  }
  return nullptr;
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
  return const_cast<DictionaryEntry*>(&static_cast<const Leaf*>(node)->entries[position]);
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
    std::memcpy(to->entries, from->entries + keep, sizeof(DictionaryEntry) * move);
    moved = static_cast<size_t>(move);
    right = to;
  } else {
    Inner* from = static_cast<Inner*>(child);
    Inner* to = new (std::nothrow) Inner;
    if (!to) return false;
    std::memcpy(to->children, from->children + keep, sizeof(Node*) * move);
    std::memcpy(to->sizes, from->sizes + keep, sizeof(size_t) * move);
    std::memcpy(to->mins, from->mins + keep, sizeof(BSTR) * move);
    for (int i = 0; i < move; ++i) moved += to->sizes[i];
    right = to;
  }
  child->count = static_cast<uint16_t>(keep);
  right->count = static_cast<uint16_t>(move);

  const int tail = parent->count - index - 1;
  std::memmove(parent->children + index + 2, parent->children + index + 1, sizeof(Node*) * tail);
  std::memmove(parent->sizes + index + 2, parent->sizes + index + 1, sizeof(size_t) * tail);
  std::memmove(parent->mins + index + 2, parent->mins + index + 1, sizeof(BSTR) * tail);
  parent->children[index + 1] = right;
  parent->sizes[index + 1] = moved;
  parent->sizes[index] -= moved;
  parent->mins[index + 1] = MinKey(right);
  ++parent->count;
  return true;
}

HRESULT OrderedStore::Insert(BSTR key, DictionaryEntry** entry, bool* inserted) {
  *entry = nullptr;
  *inserted = false;
  const KeyText text = TextOf(key);
  if (!root_) {
    root_ = new (std::nothrow) Leaf;
    if (!root_) return E_OUTOFMEMORY;
  }
  // Full nodes are split on the way down, so every split finds room in its
  // parent and a failed allocation leaves a whole, valid tree behind.
  if (root_->count == Capacity(root_->leaf)) {
    Inner* top = new (std::nothrow) Inner;
    if (!top) return E_OUTOFMEMORY;
    top->count = 1;
    top->children[0] = root_;
    top->sizes[0] = size_;
    top->mins[0] = MinKey(root_);
    if (!SplitChild(top, 0)) {
      delete top;
      return E_OUTOFMEMORY;
    }
    root_ = top;
  }

  Inner* path[kMaxDepth];
  int slots[kMaxDepth];
  int depth = 0;
  Node* node = root_;
  while (!node->leaf) {
    Inner* inner = static_cast<Inner*>(node);
    int i = ChildFor(inner, text);
    Node* child = inner->children[i];
    if (child->count == Capacity(child->leaf)) {
      if (!SplitChild(inner, i)) return E_OUTOFMEMORY;
      if (Compare(text, TextOf(inner->mins[i + 1])) >= 0) ++i;
    }
    path[depth] = inner;
    slots[depth] = i;
    ++depth;
    node = inner->children[i];
  }

  Leaf* leaf = static_cast<Leaf*>(node);
  int lo = 0;
  int hi = leaf->count;
  while (lo < hi) {
    const int mid = (lo + hi) / 2;
    const int c = Compare(text, TextOf(leaf->entries[mid].key));
    if (c == 0) {
      *entry = &leaf->entries[mid];
      return S_OK;
    }
    if (c < 0) {
      hi = mid;
    } else {
      lo = mid + 1;
    }
  }
  std::memmove(leaf->entries + lo + 1, leaf->entries + lo,
               sizeof(DictionaryEntry) * static_cast<size_t>(leaf->count - lo));
  leaf->entries[lo].key = key;
  VariantInit(&leaf->entries[lo].item);
  ++leaf->count;
  ++size_;
  for (int d = depth - 1; d >= 0; --d) {
    path[d]->sizes[slots[d]] += 1;
    path[d]->mins[slots[d]] = MinKey(path[d]->children[slots[d]]);
  }
  *entry = &leaf->entries[lo];
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
      std::memcpy(static_cast<Leaf*>(l)->entries + l->count, static_cast<Leaf*>(r)->entries,
                  sizeof(DictionaryEntry) * r->count);
    } else {
      Inner* li = static_cast<Inner*>(l);
      Inner* ri = static_cast<Inner*>(r);
      std::memcpy(li->children + l->count, ri->children, sizeof(Node*) * r->count);
      std::memcpy(li->sizes + l->count, ri->sizes, sizeof(size_t) * r->count);
      std::memcpy(li->mins + l->count, ri->mins, sizeof(BSTR) * r->count);
    }
    l->count = static_cast<uint16_t>(l->count + r->count);
    parent->sizes[left] += parent->sizes[right];
    FreeNode(r);
    const int tail = parent->count - right - 1;
    std::memmove(parent->children + right, parent->children + right + 1, sizeof(Node*) * tail);
    std::memmove(parent->sizes + right, parent->sizes + right + 1, sizeof(size_t) * tail);
    std::memmove(parent->mins + right, parent->mins + right + 1, sizeof(BSTR) * tail);
    --parent->count;
    parent->mins[left] = MinKey(l);
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
      std::memcpy(ll->entries + l->count, rl->entries, sizeof(DictionaryEntry) * n);
      std::memmove(rl->entries, rl->entries + n, sizeof(DictionaryEntry) * (r->count - n));
      moved = static_cast<size_t>(n);
      parent->sizes[left] += moved;
      parent->sizes[right] -= moved;
    } else {
      const int n = l->count - want_left;
      std::memmove(rl->entries + n, rl->entries, sizeof(DictionaryEntry) * r->count);
      std::memcpy(rl->entries, ll->entries + want_left, sizeof(DictionaryEntry) * n);
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
      std::memcpy(li->mins + l->count, ri->mins, sizeof(BSTR) * n);
      for (int i = 0; i < n; ++i) moved += ri->sizes[i];
      const int rest = r->count - n;
      std::memmove(ri->children, ri->children + n, sizeof(Node*) * rest);
      std::memmove(ri->sizes, ri->sizes + n, sizeof(size_t) * rest);
      std::memmove(ri->mins, ri->mins + n, sizeof(BSTR) * rest);
      parent->sizes[left] += moved;
      parent->sizes[right] -= moved;
    } else {
      const int n = l->count - want_left;
      std::memmove(ri->children + n, ri->children, sizeof(Node*) * r->count);
      std::memmove(ri->sizes + n, ri->sizes, sizeof(size_t) * r->count);
      std::memmove(ri->mins + n, ri->mins, sizeof(BSTR) * r->count);
      std::memcpy(ri->children, li->children + want_left, sizeof(Node*) * n);
      std::memcpy(ri->sizes, li->sizes + want_left, sizeof(size_t) * n);
      std::memcpy(ri->mins, li->mins + want_left, sizeof(BSTR) * n);
      for (int i = 0; i < n; ++i) moved += ri->sizes[i];
      parent->sizes[left] -= moved;
      parent->sizes[right] += moved;
    }
  }
  r->count = static_cast<uint16_t>(total - want_left);
  l->count = static_cast<uint16_t>(want_left);
  parent->mins[left] = MinKey(l);
  parent->mins[right] = MinKey(r);
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
  *taken = leaf->entries[at];
  std::memmove(leaf->entries + at, leaf->entries + at + 1,
               sizeof(DictionaryEntry) * static_cast<size_t>(leaf->count - at - 1));
  --leaf->count;
  --size_;

  for (int d = depth - 1; d >= 0; --d) {
    Inner* parent = path[d];
    const int i = slots[d];
    parent->sizes[i] -= 1;
    Node* child = parent->children[i];
    if (child->count < Minimum(child->leaf)) {
      Rebalance(parent, i);
    } else {
      parent->mins[i] = MinKey(child);
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
  DictionaryEntry& entry = static_cast<Leaf*>(node)->entries[position];
  BSTR old = entry.key;
  entry.key = key;
  // Separators above may be this very string.
  for (int d = depth - 1; d >= 0; --d)
    path[d]->mins[slots[d]] = MinKey(path[d]->children[slots[d]]);
  return old;
}

void OrderedStore::Swap(OrderedStore& other) {
  std::swap(root_, other.root_);
  std::swap(size_, other.size_);
  std::swap(fold_, other.fold_);
}

bool OrderedStore::CheckNode(const Node* node, bool is_root, int depth, int* leaf_depth,
                             size_t* count) {
  const int capacity = Capacity(node->leaf);
  const int minimum = is_root ? (node->leaf ? 1 : 2) : Minimum(node->leaf);
  if (node->count > capacity || node->count < minimum) return false;
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
    if (below != inner->sizes[i] || inner->mins[i] != MinKey(inner->children[i])) return false;
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
    previous = &e;
    return ascending;
  });
  return ascending;
}

}  // namespace tessary
