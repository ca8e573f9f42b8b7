// The Dictionary against std::map with the same key comparison, doing the
// same work per call: copy the key and the item in, copy the item out.
// Figures and their baselines, one iteration = the whole batch:
//   Dictionary_Add_1M        vs StdMap_Add_1M          1,000,000 Adds, random order
//   Dictionary_Lookup_1M     vs StdMap_Lookup_1M       1,000,000 keyed Item gets
//   Dictionary_Enumerate_1M  vs StdMap_Enumerate_1M    a For Each over 1,000,000 items
//   Dictionary_PositionLoop_100K vs Dictionary_KeyLoop_100K
//                                                      Item(i) for i = 1 to Count, against
//                                                      the same gets by key
//   Dictionary_PositionLoop_100K vs Dictionary_PositionLoop_10K
//                                                      ten times the entries: about 12x when
//                                                      positions are n log n, 100x if n^2
//   StdMapWalk_PositionLoop_10K vs Dictionary_PositionLoop_10K
//                                                      positions found by walking from the
//                                                      first entry, as an ordered map must
//   Dictionary_Add_1M        vs Python_DictAdd_1M      the same Adds into a Python dict
//                                                      keyed by casefold(), timed inside
//   Dictionary_Lookup_1M     vs Python_DictLookup_1M   /usr/bin/python3 (its start-up and
//                                                      key making left out)
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <map>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "dictionary/dictionary.h"

namespace {

struct FoldLess {
  using is_transparent = void;
  bool operator()(std::u16string_view a, std::u16string_view b) const {
    return tessary::CompareKeys({a.data(), a.size()}, {b.data(), b.size()}, true) < 0;
  }
};
using Map = std::map<std::u16string, VARIANT, FoldLess>;

// Distinct file-like names in a shuffled order, as VT_BSTR variants, with
// every third one spelt in upper case so that folding is exercised.
class KeySet {
 public:
  KeySet(size_t count, unsigned seed) {
    keys_.resize(count);
    std::vector<size_t> order(count);
    for (size_t i = 0; i < count; ++i) order[i] = i;
    std::shuffle(order.begin(), order.end(), std::mt19937(seed));
    for (size_t i = 0; i < count; ++i) {
      char name[32];
      std::snprintf(name, sizeof name, order[i] % 3 ? "report_%07zu.txt" : "REPORT_%07zu.TXT",
                    order[i]);
      std::u16string wide(name, name + std::char_traits<char>::length(name));
      VariantInit(&keys_[i]);
      keys_[i].vt = VT_BSTR;
      keys_[i].bstrVal = SysAllocStringLen(wide.data(), static_cast<UINT>(wide.size()));
    }
  }
  ~KeySet() {
    for (VARIANT& v : keys_) VariantClear(&v);
  }
  size_t size() const { return keys_.size(); }
  VARIANT* at(size_t i) { return &keys_[i]; }
  std::u16string_view text(size_t i) const {
    return {keys_[i].bstrVal, SysStringLen(keys_[i].bstrVal)};
  }

 private:
  std::vector<VARIANT> keys_;
};

VARIANT Number(LONG n) {
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_I4;
  v.lVal = n;
  return v;
}

Dictionary* Fill(KeySet& keys) {
  Dictionary* d = nullptr;
  tessary::CreateObject(&d);
  for (size_t i = 0; i < keys.size(); ++i) {
    VARIANT item = Number(static_cast<LONG>(i));
    d->Add(keys.at(i), &item);
  }
  return d;
}

void FillMap(KeySet& keys, Map* m) {
  for (size_t i = 0; i < keys.size(); ++i) {
    VARIANT item = Number(static_cast<LONG>(i));
    VARIANT copy;
    VariantInit(&copy);
    VariantCopy(&copy, &item);
    auto placed = m->emplace(std::u16string(keys.text(i)), copy);
    if (!placed.second) VariantClear(&copy);
  }
}

void ClearMap(Map* m) {
  for (auto& entry : *m) VariantClear(&entry.second);
  m->clear();
}

constexpr size_t kMillion = 1000000;

KeySet& MillionKeys() {
  static KeySet keys(kMillion, 1);
  return keys;
}
// The same keys in another order, for lookups.
KeySet& MillionProbes() {
  static KeySet keys(kMillion, 2);
  return keys;
}

void Dictionary_Add_1M(benchmark::State& state) {
  KeySet& keys = MillionKeys();
  for (auto _ : state) {
    Dictionary* d = Fill(keys);
    state.PauseTiming();
    d->Release();
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(kMillion));
}
BENCHMARK(Dictionary_Add_1M);

void StdMap_Add_1M(benchmark::State& state) {
  KeySet& keys = MillionKeys();
  for (auto _ : state) {
    Map m;
    FillMap(keys, &m);
    state.PauseTiming();
    ClearMap(&m);
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(kMillion));
}
BENCHMARK(StdMap_Add_1M);

void Dictionary_Lookup_1M(benchmark::State& state) {
  Dictionary* d = Fill(MillionKeys());
  KeySet& probes = MillionProbes();
  VARIANT out;
  VariantInit(&out);
  for (auto _ : state) {
    for (size_t i = 0; i < probes.size(); ++i) {
      d->get_Item(probes.at(i), &out);
      benchmark::DoNotOptimize(out.lVal);
    }
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(kMillion));
  d->Release();
}
BENCHMARK(Dictionary_Lookup_1M);

void StdMap_Lookup_1M(benchmark::State& state) {
  Map m;
  FillMap(MillionKeys(), &m);
  KeySet& probes = MillionProbes();
  VARIANT out;
  VariantInit(&out);
  for (auto _ : state) {
    for (size_t i = 0; i < probes.size(); ++i) {
      auto found = m.find(probes.text(i));
      VariantInit(&out);
      VariantCopy(&out, &found->second);
      benchmark::DoNotOptimize(out.lVal);
    }
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(kMillion));
  ClearMap(&m);
}
BENCHMARK(StdMap_Lookup_1M);

void Dictionary_Enumerate_1M(benchmark::State& state) {
  Dictionary* d = Fill(MillionKeys());
  VARIANT out;
  VariantInit(&out);
  for (auto _ : state) {
    IUnknown* unknown = nullptr;
    d->get__NewEnum(&unknown);
    IEnumVARIANT* items = static_cast<IEnumVARIANT*>(unknown);
    ULONG fetched = 0;
    while (items->Next(1, &out, &fetched) == S_OK) benchmark::DoNotOptimize(out.lVal);
    items->Release();
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(kMillion));
  d->Release();
}
BENCHMARK(Dictionary_Enumerate_1M);

void StdMap_Enumerate_1M(benchmark::State& state) {
  Map m;
  FillMap(MillionKeys(), &m);
  VARIANT out;
  VariantInit(&out);
  for (auto _ : state) {
    for (auto& entry : m) {
      VariantInit(&out);
      VariantCopy(&out, &entry.second);
      benchmark::DoNotOptimize(out.lVal);
    }
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(kMillion));
  ClearMap(&m);
}
BENCHMARK(StdMap_Enumerate_1M);

void PositionLoop(benchmark::State& state, size_t count) {
  KeySet keys(count, 3);
  Dictionary* d = Fill(keys);
  VARIANT out;
  VariantInit(&out);
  for (auto _ : state) {
    for (LONG p = 1; p <= static_cast<LONG>(count); ++p) {
      VARIANT position = Number(p);
      d->get_Item(&position, &out);
      benchmark::DoNotOptimize(out.lVal);
    }
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(count));
  d->Release();
}
void Dictionary_PositionLoop_100K(benchmark::State& state) { PositionLoop(state, 100000); }
void Dictionary_PositionLoop_10K(benchmark::State& state) { PositionLoop(state, 10000); }
BENCHMARK(Dictionary_PositionLoop_100K);
BENCHMARK(Dictionary_PositionLoop_10K);

void Dictionary_KeyLoop_100K(benchmark::State& state) {
  KeySet keys(100000, 3);
  Dictionary* d = Fill(keys);
  VARIANT out;
  VariantInit(&out);
  for (auto _ : state) {
    for (size_t i = 0; i < keys.size(); ++i) {
      d->get_Item(keys.at(i), &out);
      benchmark::DoNotOptimize(out.lVal);
    }
  }
  state.SetItemsProcessed(state.iterations() * 100000);
  d->Release();
}
BENCHMARK(Dictionary_KeyLoop_100K);

void StdMapWalk_PositionLoop_10K(benchmark::State& state) {
  KeySet keys(10000, 3);
  Map m;
  FillMap(keys, &m);
  VARIANT out;
  VariantInit(&out);
  for (auto _ : state) {
    for (size_t p = 1; p <= m.size(); ++p) {
      auto at = std::next(m.begin(), static_cast<std::ptrdiff_t>(p - 1));
      VariantInit(&out);
      VariantCopy(&out, &at->second);
      benchmark::DoNotOptimize(out.lVal);
    }
  }
  state.SetItemsProcessed(state.iterations() * 10000);
  ClearMap(&m);
}
BENCHMARK(StdMapWalk_PositionLoop_10K);

// The same key set as KeySet, in Python's own shuffled orders: a pass of
// 1,000,000 stores into a dict keyed by casefold() and a pass of 1,000,000
// look-ups, each timed by the interpreter itself. Prints both in ns.
constexpr const char kPythonDict[] = R"(
import random, time
names = ["REPORT_%07d.TXT" % i if i % 3 == 0 else "report_%07d.txt" % i for i in range(1000000)]
keys = names[:]; random.Random(1).shuffle(keys)
probes = names[:]; random.Random(2).shuffle(probes)
d = {}
t0 = time.perf_counter_ns()
for i, k in enumerate(keys):
    d[k.casefold()] = i
t1 = time.perf_counter_ns()
for k in probes:
    v = d[k.casefold()]
t2 = time.perf_counter_ns()
print(t1 - t0, t2 - t1)
)";

// Runs the script once: false when Python is missing or says nothing.
bool RunPythonDict(double* add_ns, double* lookup_ns) {
  std::string command = "/usr/bin/python3 -c '";
  command += kPythonDict;
  command += "'";
  FILE* out = popen(command.c_str(), "r");
  if (!out) return false;
  const bool read = std::fscanf(out, "%lf %lf", add_ns, lookup_ns) == 2;
  return pclose(out) == 0 && read;
}

void PythonDict(benchmark::State& state, bool lookup) {
  for (auto _ : state) {
    double add_ns = 0;
    double lookup_ns = 0;
    if (!RunPythonDict(&add_ns, &lookup_ns)) {
      state.SkipWithError("/usr/bin/python3 did not run");
      return;
    }
    state.SetIterationTime((lookup ? lookup_ns : add_ns) / 1e9);
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(kMillion));
}
void Python_DictAdd_1M(benchmark::State& state) { PythonDict(state, false); }
void Python_DictLookup_1M(benchmark::State& state) { PythonDict(state, true); }
BENCHMARK(Python_DictAdd_1M)->UseManualTime()->Iterations(2);
BENCHMARK(Python_DictLookup_1M)->UseManualTime()->Iterations(2);

}  // namespace
