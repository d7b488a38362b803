// The sequential weighted Gram (one slot: no Gram partials) against one
// plain GEMM of the same shapes, D^T D for a 200,000 x 64 float64 design,
// both on one thread. Prints the ratio of their median times at the end.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "core/linear_algebra.hpp"
#include "core/kernels/gram.hpp"

namespace {

constexpr std::uint64_t kRows = 200'000;
constexpr std::uint64_t kWidth = 64;

struct Data {
  std::vector<double> design = values(kRows * kWidth, 1);
  std::vector<double> target = std::vector<double>(kRows);
  std::vector<double> curvature = values(kRows, 2);
  std::vector<double> sample_weight = values(kRows, 3);

  static std::vector<double> values(std::size_t n, unsigned seed) {
    std::mt19937_64 engine(seed);
    std::uniform_real_distribution<double> uniform(0.0, 1.0);
    std::vector<double> out(n);
    for (auto& v : out) v = uniform(engine);
    return out;
  }
};

const Data& data() {
  static const Data instance;
  return instance;
}

void BM_WeightedGram(benchmark::State& state) {
  const Data& d = data();
  vintrel::core::BatchView<double> batch;
  batch.design = d.design;
  batch.target = d.target;
  batch.rows = kRows;
  batch.cols = kWidth;
  if (state.range(0) != 0) batch.sample_weight = std::span<const double>(d.sample_weight);
  std::vector<double> scratch(256 * kWidth), gram(kWidth * kWidth);
  for (auto _ : state) {
    if (!vintrel::core::weighted_gram<double>(batch, d.curvature, scratch, {}, gram)) state.SkipWithError("failed");
    benchmark::DoNotOptimize(gram.data());
  }
}
BENCHMARK(BM_WeightedGram)->Arg(0)->Arg(1)->ArgName("sample_weight")->Unit(benchmark::kMillisecond);

void BM_PlainGemm(benchmark::State& state) {
  const Data& d = data();
  vintrel::core::use_single_threaded_blas();
  std::vector<double> gram(kWidth * kWidth);
  const int p = static_cast<int>(kWidth);
  for (auto _ : state) {
    scipy_cblas_dgemm(CblasRowMajor, CblasTrans, CblasNoTrans, p, p, static_cast<int>(kRows), 1.0,
                      d.design.data(), p, d.design.data(), p, 0.0, gram.data(), p);
    benchmark::DoNotOptimize(gram.data());
  }
}
BENCHMARK(BM_PlainGemm)->Unit(benchmark::kMillisecond);

// Prints as usual and keeps each run's time per iteration for the ratio.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  std::map<std::string, std::vector<double>> real_times, cpu_times;
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const auto& run : runs) {
      // Single runs, or only the median when just aggregates are reported.
      const bool single = run.run_type == Run::RT_Iteration;
      if (!single && run.aggregate_name != "median") continue;
      real_times[run.run_name.str()].push_back(run.GetAdjustedRealTime());
      cpu_times[run.run_name.str()].push_back(run.GetAdjustedCPUTime());
    }
    ConsoleReporter::ReportRuns(runs);
  }
};

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  // CPU time is the steadier figure on a shared machine; both runs use
  // one thread, so it measures the same work as wall time.
  const std::string gemm = "BM_PlainGemm";
  if (!reporter.real_times.contains(gemm)) return 0;
  for (const auto& [name, runs] : reporter.real_times) {
    if (name == gemm) continue;
    std::printf("%s / %s: %.3f (median wall time), %.3f (median CPU time)\n", name.c_str(), gemm.c_str(),
                median(runs) / median(reporter.real_times[gemm]),
                median(reporter.cpu_times[name]) / median(reporter.cpu_times[gemm]));
  }
  return 0;
}
