// One benchmark binary for every bench/*.cpp.
#include <benchmark/benchmark.h>

BENCHMARK_MAIN();
