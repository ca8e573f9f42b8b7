// The Dictionary's ordered store: the key comparison and hash, and the tree
// checked against a plain sorted model through long runs of random inserts,
// removals, lookups and respellings that drive every split, merge and
// redistribution.
#include "dictionary/ordered_store.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

namespace tessary {
namespace {

KeyText K(const std::u16string& s) { return KeyText{s.data(), s.size()}; }

int Sign(int v) { return (v > 0) - (v < 0); }

TEST(CompareKeys, FoldsOnlyTheLettersAToZ) {
  struct Case {
    std::u16string a, b;
    int folded, binary;
  } cases[] = {
      {u"Key", u"KEY", 0, 1},
      {u"abcXYZ", u"ABCxyz", 0, 1},
      // '_' (0x5F) lies between 'Z' and 'a': folding to lower case puts it first.
      {u"_b", u"Ab", -1, 1},
      {u"[", u"a", -1, -1},
      {u"[", u"A", -1, 1},
      {u"@", u"a", -1, -1},
      // Letters outside A-Z keep their case.
      {u"\u00e9", u"\u00c9", 1, 1},
      {u"\u0430", u"\u0410", 1, 1},
      // Code units compare unsigned, surrogates included.
      {u"\xd83d\xde00", u"z", 1, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.a.begin(), c.a.end()) + " / " + std::string(c.b.begin(), c.b.end()));
    EXPECT_EQ(c.folded, Sign(CompareKeys(K(c.a), K(c.b), true)));
    EXPECT_EQ(-c.folded, Sign(CompareKeys(K(c.b), K(c.a), true)));
    EXPECT_EQ(c.binary, Sign(CompareKeys(K(c.a), K(c.b), false)));
  }
}

TEST(CompareKeys, APrefixComesFirstAndAnEmbeddedNulIsPartOfTheKey) {
  EXPECT_LT(CompareKeys(K(u""), K(u"a"), true), 0);
  EXPECT_LT(CompareKeys(K(u"ab"), K(u"abc"), true), 0);
  EXPECT_GT(CompareKeys(K(u"ABC"), K(u"ab"), true), 0);
  const std::u16string with_nul(u"a\0b", 3);
  EXPECT_LT(CompareKeys(K(u"a"), K(with_nul), true), 0);
  EXPECT_NE(0, CompareKeys(K(with_nul), K(std::u16string(u"a\0c", 3)), true));
}

TEST(HashKey, IsFnv1aOverTheFoldedUtf16TextCutTo31Bits) {
  // Pinned: scripts may keep these numbers, so they never change.
  EXPECT_EQ(18652613, HashKey(K(u""), true));
  EXPECT_EQ(773757309, HashKey(K(u"abc"), true));
  EXPECT_EQ(773757309, HashKey(K(u"ABC"), true));
  EXPECT_EQ(1919598365, HashKey(K(u"ABC"), false));
  EXPECT_EQ(1206558810, HashKey(K(u"Key"), true));
  EXPECT_EQ(215310394, HashKey(K(u"KEY"), false));
  EXPECT_GE(HashKey(K(u"\xffff\xffff\xffff"), false), 0);
}

// The model: keys in order under the comparison, each with the number it
// was inserted with. Keys live in an append-only pool so that the model's
// own insertions and removals move only small records.
struct ModelEntry {
  size_t key;
  LONG id;
};

class StoreModel {
 public:
  explicit StoreModel(bool fold) : store_(fold), fold_(fold) {}

  bool Less(const std::u16string& a, const std::u16string& b) const {
    return CompareKeys(K(a), K(b), fold_) < 0;
  }
  size_t LowerBound(const std::u16string& key) const {
    return static_cast<size_t>(std::lower_bound(model_.begin(), model_.end(), key,
                                                [&](const ModelEntry& e, const std::u16string& k) {
                                                  return Less(pool_[e.key], k);
                                                }) -
                               model_.begin());
  }
  bool Has(const std::u16string& key, size_t* at) const {
    *at = LowerBound(key);
    return *at < model_.size() && !Less(key, KeyAt(*at));
  }

  void Insert(const std::u16string& key) {
    BSTR stored = SysAllocStringLen(key.data(), static_cast<UINT>(key.size()));
    DictionaryEntry* entry = nullptr;
    bool inserted = false;
    ASSERT_EQ(S_OK, store_.Insert(stored, &entry, &inserted));
    size_t at = 0;
    const bool had = Has(key, &at);
    ASSERT_EQ(!had, inserted);
    if (!inserted) {
      SysFreeString(stored);
      ASSERT_EQ(model_[at].id, entry->item.lVal);  // the existing entry, untouched
      return;
    }
    entry->item.vt = VT_I4;
    entry->item.lVal = ++next_id_;
    pool_.push_back(key);
    model_.insert(model_.begin() + static_cast<std::ptrdiff_t>(at),
                  ModelEntry{pool_.size() - 1, next_id_});
  }

  void TakeAt(size_t at) {
    DictionaryEntry taken;
    store_.TakeAt(at, &taken);
    ASSERT_EQ(model_[at].id, taken.item.lVal);
    ASSERT_EQ(KeyAt(at), std::u16string(taken.key, BstrLength(taken.key)));
    SysFreeString(taken.key);
    model_.erase(model_.begin() + static_cast<std::ptrdiff_t>(at));
  }

  // A change of spelling that keeps the key: flips the case of A-Z letters.
  void Respell(size_t at) {
    std::u16string& key = pool_[model_[at].key];
    for (char16_t& c : key) {
      if (c >= u'a' && c <= u'z') {
        c = static_cast<char16_t>(c - 32);
      } else if (c >= u'A' && c <= u'Z') {
        c = static_cast<char16_t>(c + 32);
      }
    }
    SysFreeString(
        store_.ReplaceKeyAt(at, SysAllocStringLen(key.data(), static_cast<UINT>(key.size()))));
  }

  void CheckLookups(const std::u16string& probe) const {
    size_t expected_at = 0;
    const bool has = Has(probe, &expected_at);
    size_t at = 0;
    DictionaryEntry* found = store_.Find(K(probe), &at);
    ASSERT_EQ(has, found != nullptr);
    if (found) {
      ASSERT_EQ(expected_at, at);
      ASSERT_EQ(model_[at].id, found->item.lVal);
    }
  }

  void CheckAll() const {
    ASSERT_TRUE(store_.CheckInvariants());
    ASSERT_EQ(model_.size(), store_.size());
    size_t i = 0;
    store_.ForEach([&](const DictionaryEntry& e) {
      EXPECT_EQ(model_[i].id, e.item.lVal);
      EXPECT_EQ(KeyAt(i), std::u16string(e.key, BstrLength(e.key)));
      ++i;
      return true;
    });
    ASSERT_EQ(model_.size(), i);
    // Positions: both ends and a spread between them.
    for (size_t p = 0; p < model_.size(); p += p < 64 || p + 64 > model_.size() ? 1 : 61)
      ASSERT_EQ(model_[p].id, store_.At(p)->item.lVal);
    ASSERT_EQ(nullptr, store_.At(model_.size()));
    // Look-ups through the index and down the tree, of keys present and
    // keys one unit longer, which are not.
    for (size_t p = 0; p < model_.size(); p += p < 64 || p + 64 > model_.size() ? 1 : 61) {
      const std::u16string& key = KeyAt(p);
      size_t at = ~size_t{0};
      size_t in_order = ~size_t{0};
      ASSERT_EQ(store_.Find(K(key), &at), store_.FindInOrder(K(key), &in_order));
      ASSERT_EQ(p, at);
      ASSERT_EQ(p, in_order);
      size_t unused = 0;
      if (!Has(key + u'\x01', &unused)) {
        ASSERT_EQ(nullptr, store_.Find(K(key + u'\x01')));
        ASSERT_EQ(nullptr, store_.FindInOrder(K(key + u'\x01')));
      }
    }
  }

  OrderedStore& store() { return store_; }
  size_t size() const { return model_.size(); }
  const std::u16string& KeyAt(size_t at) const { return pool_[model_[at].key]; }

 private:
  OrderedStore store_;
  bool fold_;
  std::vector<ModelEntry> model_;
  std::vector<std::u16string> pool_;
  LONG next_id_ = 0;
};

std::u16string RandomKey(std::mt19937& rng, int space) {
  static const char16_t kAlphabet[] = u"aAbBzZ_[0\u00e9\u00c9";
  const int n = static_cast<int>(std::uniform_int_distribution<int>(0, space)(rng));
  std::u16string key = u"k";
  for (int v = n; v > 0; v /= 11) key += kAlphabet[v % 11];
  if (rng() % 3 == 0) key[0] = u'K';
  return key;
}

void RandomRun(bool fold, int key_space, int steps, unsigned seed) {
  SCOPED_TRACE("seed " + std::to_string(seed) + ", key space " + std::to_string(key_space));
  std::mt19937 rng(seed);
  StoreModel m(fold);
  const int check_every = key_space < 500 ? 1 : 211;
  for (int step = 0; step < steps; ++step) {
    // Phases that grow, shrink and churn, so the tree climbs and falls.
    const int phase = (step / (steps / 6 + 1)) % 3;
    const unsigned roll = rng() % 100;
    const unsigned insert_share = phase == 0 ? 75 : (phase == 1 ? 25 : 50);
    if (roll < insert_share || m.size() == 0) {
      ASSERT_NO_FATAL_FAILURE(m.Insert(RandomKey(rng, key_space)));
    } else if (roll < insert_share + 20) {
      ASSERT_NO_FATAL_FAILURE(m.TakeAt(rng() % m.size()));
    } else if (fold && roll < insert_share + 22) {
      ASSERT_NO_FATAL_FAILURE(m.Respell(rng() % m.size()));
    } else {
      ASSERT_NO_FATAL_FAILURE(m.CheckLookups(RandomKey(rng, key_space)));
    }
    if (step % check_every == 0) {
      ASSERT_NO_FATAL_FAILURE(m.CheckAll());
    }
  }
  ASSERT_NO_FATAL_FAILURE(m.CheckAll());
  while (m.size() > 0) {
    ASSERT_NO_FATAL_FAILURE(m.TakeAt(rng() % m.size()));
    if (m.size() % 97 == 0) {
      ASSERT_NO_FATAL_FAILURE(m.CheckAll());
    }
  }
  ASSERT_NO_FATAL_FAILURE(m.CheckAll());
  // An emptied store takes entries again.
  ASSERT_NO_FATAL_FAILURE(m.Insert(u"again"));
  ASSERT_NO_FATAL_FAILURE(m.CheckAll());
}

TEST(OrderedStore, AgreesWithASortedModelThroughRandomChanges) {
  RandomRun(true, 40, 4000, 1);
  RandomRun(true, 3000, 20000, 2);
  RandomRun(true, 200000, 30000, 3);
  RandomRun(false, 3000, 20000, 4);
}

// Keys alike far into their text, ending where others go on, or holding
// NULs there: what a node keeps of each key cannot tell these apart, so the
// keys themselves must.
TEST(OrderedStore, KeysAlikeFarIntoTheirTextKeepTheirOrder) {
  static const char16_t kUnits[] = {u'\0', u'a', u'A', u'b'};
  std::mt19937 rng(5);
  StoreModel m(true);
  for (int step = 0; step < 8000; ++step) {
    std::u16string key = u"a/long/prefix/every/key/shares/";
    for (unsigned n = rng() % 9; n > 0; --n) key += kUnits[rng() % 4];
    if (m.size() > 0 && rng() % 4 == 0) {
      ASSERT_NO_FATAL_FAILURE(m.TakeAt(rng() % m.size()));
    } else {
      ASSERT_NO_FATAL_FAILURE(m.Insert(key));
    }
    if (step % 499 == 0) {
      ASSERT_NO_FATAL_FAILURE(m.CheckAll());
      ASSERT_NO_FATAL_FAILURE(m.CheckLookups(key + u'\0'));
    }
  }
  ASSERT_NO_FATAL_FAILURE(m.CheckAll());
}

TEST(OrderedStore, SequentialInsertsAndRemovalsFromEitherEnd) {
  // Ascending and descending runs always split and empty the same edge.
  for (bool ascending : {true, false}) {
    StoreModel m(true);
    for (int i = 0; i < 6000; ++i) {
      char buffer[16];
      std::snprintf(buffer, sizeof buffer, "%06d", ascending ? i : 6000 - i);
      ASSERT_NO_FATAL_FAILURE(m.Insert(std::u16string(buffer, buffer + 6)));
    }
    ASSERT_NO_FATAL_FAILURE(m.CheckAll());
    for (int i = 0; m.size() > 0; ++i) {
      ASSERT_NO_FATAL_FAILURE(m.TakeAt(i % 2 == 0 ? 0 : m.size() - 1));
      if (i % 307 == 0) {
        ASSERT_NO_FATAL_FAILURE(m.CheckAll());
      }
    }
    ASSERT_NO_FATAL_FAILURE(m.CheckAll());
  }
}

// Keys that mostly arrive in order, as a folder's listing hands them over
// (upper-case order, which puts "_" after the letters where the dictionary
// puts it before): the largest key again in another case is the same key,
// and whatever arrives out of order still lands in its place.
TEST(OrderedStore, KeysArrivingNearlyInOrderKeepTheirPlacesAndTheirIdentity) {
  for (bool fold : {true, false}) {
    StoreModel m(fold);
    // In order only: the look-ups that follow find every key appended.
    for (int i = 0; i < 3000; i += 2) {
      char buffer[16];
      std::snprintf(buffer, sizeof buffer, "k%05dX", i);
      ASSERT_NO_FATAL_FAILURE(m.Insert(std::u16string(buffer, buffer + 7)));
    }
    ASSERT_NO_FATAL_FAILURE(m.CheckAll());
    for (int i = 0; i < 3000; ++i) {
      char buffer[16];
      std::snprintf(buffer, sizeof buffer, "k%05dX", i);
      std::u16string key(buffer, buffer + 7);
      ASSERT_NO_FATAL_FAILURE(m.Insert(key));
      key[6] = u'x';
      ASSERT_NO_FATAL_FAILURE(m.Insert(key));
      if (i % 7 == 0) {
        std::snprintf(buffer, sizeof buffer, "k%05d_", i);
        ASSERT_NO_FATAL_FAILURE(m.Insert(std::u16string(buffer, buffer + 7)));
      }
      if (i % 101 == 0) {
        ASSERT_NO_FATAL_FAILURE(m.Insert(u"K" + std::u16string(buffer + 1, buffer + 3)));
        ASSERT_NO_FATAL_FAILURE(m.CheckAll());
      }
    }
    ASSERT_NO_FATAL_FAILURE(m.CheckAll());
  }
}

TEST(OrderedStore, RespellingTheSmallestKeyKeepsTheSeparatorsAbove) {
  StoreModel m(true);
  for (int i = 0; i < 5000; ++i) {
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "key%05d", i);
    ASSERT_NO_FATAL_FAILURE(m.Insert(std::u16string(buffer, buffer + 8)));
  }
  // Every entry that starts a leaf is some separator's string; respelling
  // them all and then removing them must leave no separator dangling.
  for (size_t at = 0; at < m.size(); at += 7) ASSERT_NO_FATAL_FAILURE(m.Respell(at));
  ASSERT_NO_FATAL_FAILURE(m.CheckAll());
  for (size_t at = 0; at < m.size(); at += 3) ASSERT_NO_FATAL_FAILURE(m.TakeAt(at));
  ASSERT_NO_FATAL_FAILURE(m.CheckAll());
  ASSERT_NO_FATAL_FAILURE(m.CheckLookups(u"KEY00014"));
}

// Entries keep their place in memory while others come and go, and keys
// differing only in case or only past a shared prefix stay apart.
TEST(OrderedStore, EntriesStayPutAndSimilarKeysStayApart) {
  OrderedStore store(true);
  DictionaryEntry* first = nullptr;
  bool inserted = false;
  ASSERT_EQ(S_OK, store.Insert(SysAllocString(u"Report_0000000.txt"), &first, &inserted));
  first->item.vt = VT_I4;
  first->item.lVal = -1;
  std::vector<std::u16string> keys;
  for (int i = 1; i < 3000; ++i) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, i % 2 ? "report_%07d.txt" : "REPORT_%07d.TXT", i);
    keys.emplace_back(buffer, buffer + std::char_traits<char>::length(buffer));
    DictionaryEntry* entry = nullptr;
    ASSERT_EQ(S_OK, store.Insert(SysAllocString(keys.back().c_str()), &entry, &inserted));
    ASSERT_TRUE(inserted);
  }
  for (size_t i = 0; i < keys.size(); i += 2) {
    size_t at = 0;
    ASSERT_NE(nullptr, store.Find(K(keys[i]), &at));
    DictionaryEntry taken;
    store.TakeAt(at, &taken);
    SysFreeString(taken.key);
  }
  EXPECT_EQ(first, store.Find(K(u"REPORT_0000000.TXT")));
  EXPECT_EQ(-1, first->item.lVal);
  EXPECT_EQ(nullptr, store.Find(K(u"report_0000002.txt ")));
  EXPECT_EQ(nullptr, store.Find(K(u"report_0000002.tx")));
  size_t at = 0;
  EXPECT_NE(nullptr, store.Find(K(u"Report_0000004.TXT"), &at));
  EXPECT_EQ(2u, at);
  EXPECT_TRUE(store.CheckInvariants());
}

TEST(OrderedStore, SwapExchangesContentsAndFolding) {
  StoreModel m(true);
  for (const char16_t* key : {u"b", u"a", u"c"}) ASSERT_NO_FATAL_FAILURE(m.Insert(key));
  OrderedStore other(false);
  m.store().Swap(other);
  EXPECT_EQ(0u, m.store().size());
  EXPECT_FALSE(m.store().folds());
  EXPECT_TRUE(other.folds());
  EXPECT_EQ(3u, other.size());
  EXPECT_NE(nullptr, other.Find(K(u"B")));
  EXPECT_TRUE(other.CheckInvariants());
  EXPECT_TRUE(m.store().CheckInvariants());
}

}  // namespace
}  // namespace tessary
