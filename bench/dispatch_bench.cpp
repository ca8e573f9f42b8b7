// Late-bound calls against the direct vtable call they end in. A small
// class on the real frame answers a property get, so what is measured is
// exactly the dispatch path every object of the module takes.
#include <benchmark/benchmark.h>

#include "frame/com_object.h"
#include "root/tessary.h"

namespace {

class CountOnly : public tessary::Object<CountOnly, IDictionary> {
 public:
  HRESULT STDMETHODCALLTYPE get_Count(LONG* count) override {
    if (!count) return E_POINTER;
    *count = count_;
    return S_OK;
  }

 private:
  LONG count_ = 42;
};

IDictionary* MakeObject() {
  CountOnly* object = nullptr;
  tessary::CreateObject(&object);
  return object;
}

DISPID CountId(IDispatch* object) {
  OLECHAR name[] = OLESTR("Count");
  LPOLESTR names[] = {name};
  DISPID id = 0;
  object->GetIDsOfNames(IID_NULL, names, 1, 0, &id);
  return id;
}

void Direct_PropertyGet(benchmark::State& state) {
  IDictionary* object = MakeObject();
  // Through a pointer the compiler cannot see into, so the call stays a real
  // virtual call, as a caller of the interface makes it.
  IDictionary* volatile opaque = object;
  LONG count = 0;
  for (auto _ : state) {
    opaque->get_Count(&count);
    benchmark::DoNotOptimize(count);
  }
  object->Release();
}
BENCHMARK(Direct_PropertyGet);

void Invoke_PropertyGet(benchmark::State& state) {
  IDictionary* object = MakeObject();
  DISPID id = CountId(object);
  DISPPARAMS none = {nullptr, nullptr, 0, 0};
  VARIANT result;
  VariantInit(&result);
  for (auto _ : state) {
    object->Invoke(id, IID_NULL, 0, DISPATCH_PROPERTYGET, &none, &result, nullptr, nullptr);
    benchmark::DoNotOptimize(result.lVal);
  }
  object->Release();
}
BENCHMARK(Invoke_PropertyGet);

// Name lookup on the largest interface: the first, a middle and the last
// member, and an unknown name, should all cost about the same.
void GetIDsOfNames_Root(benchmark::State& state, const char16_t* member) {
  IDispatch* root = nullptr;
  tessary::CreateInstance<Tessary>(IID_IDispatch, reinterpret_cast<void**>(&root));
  std::u16string text(member);
  LPOLESTR names[] = {&text[0]};
  DISPID id = 0;
  for (auto _ : state) {
    root->GetIDsOfNames(IID_NULL, names, 1, 0, &id);
    benchmark::DoNotOptimize(id);
  }
  root->Release();
}
BENCHMARK_CAPTURE(GetIDsOfNames_Root, first, u"onstartpage");
BENCHMARK_CAPTURE(GetIDsOfNames_Root, last, u"DRIVEEXISTS");
BENCHMARK_CAPTURE(GetIDsOfNames_Root, unknown, u"NoSuchMemberAtAll");

}  // namespace


