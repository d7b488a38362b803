// The prediction row pass on a tall, narrow float64 design, timed on the
// default pool. Compare with NumPy's X @ beta on the same shape:
//   python -c "import numpy as np,timeit; X=np.random.rand(2_000_000,16); b=np.random.rand(16);
//              print(min(timeit.repeat(lambda: X @ b, number=10, repeat=5))/10)"
#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#include "core/kernels/vector.hpp"

namespace {

void BM_RowDots(benchmark::State& state) {
  const std::uint64_t n = static_cast<std::uint64_t>(state.range(0));
  const std::uint64_t p = static_cast<std::uint64_t>(state.range(1));
  std::mt19937_64 engine(1);
  std::uniform_real_distribution<double> uniform(0.0, 1.0);
  std::vector<double> design(n * p), coefficients(p), out(n);
  for (auto& v : design) v = uniform(engine);
  for (auto& v : coefficients) v = uniform(engine);
  for (auto _ : state) {
    vintrel::core::row_dots<double>(design, p, coefficients, out);
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * n * p * sizeof(double)));
}
BENCHMARK(BM_RowDots)->Args({2'000'000, 16})->Args({400'000, 64})->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
