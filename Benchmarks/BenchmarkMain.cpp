// The one main of CameraUpdateBenchmarks; every other file of this folder
// only registers benchmarks.
#include <benchmark/benchmark.h>

BENCHMARK_MAIN();
