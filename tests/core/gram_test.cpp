#include "core/kernels/gram.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <ostream>
#include <vector>

#include <oneapi/tbb/task_arena.h>

#include "kernel_testing.hpp"

namespace vintrel::core {
namespace {

using testing::Batch;
using testing::integers;
using testing::nans;
using testing::same_bits;
using testing::spread_values;

// Exact for the small integers used with it.
template <class T>
std::vector<T> reference_gram(const Batch<T>& b, const std::vector<T>& curvature) {
  std::vector<double> g(b.p * b.p, 0.0);
  for (std::uint64_t r = 0; r < b.n; ++r) {
    const double m = double(curvature[r]) * (b.sample_weight ? double((*b.sample_weight)[r]) : 1.0);
    for (std::uint64_t k = 0; k < b.p * b.p; ++k) {
      g[k] += double(b.design[r * b.p + k / b.p]) * m * b.design[r * b.p + k % b.p];
    }
  }
  return std::vector<T>(g.begin(), g.end());
}

// K Gram slots with `areas` partial areas over caller-owned storage.
template <class T>
SlotPartials<T> gram_areas(std::vector<T>& storage, std::uint64_t p, std::uint64_t slots, std::uint64_t areas) {
  storage.assign(areas * p * p, T(0));
  return {.slots = slots, .width = p * p, .stride = p * p, .storage = storage};
}

template <class T>
class GramTest : public ::testing::Test {};
TYPED_TEST_SUITE(GramTest, testing::Precisions);

// One row; then 300 rows, two blocks of 256 and 44 whose second adds to the
// first, with a zero-curvature row of large values that must vanish
// whatever its sample weight. The NaN output must not leak in.
TYPED_TEST(GramTest, BlocksAccumulateAndZeroCurvatureRowsVanish) {
  using T = TypeParam;
  const Batch<T> single{1, 3, {1, -2, 3}, std::vector<T>{4}};
  std::vector<T> out = nans<T>(9), scratch(3);
  ASSERT_TRUE(weighted_gram<T>(single.view(), std::vector<T>{0.5}, scratch, SlotPartials<T>{}, out));
  EXPECT_EQ(out, (std::vector<T>{2, -4, 6, -4, 8, -12, 6, -12, 18}));

  const std::uint64_t n = 300, p = 5;
  Batch<T> batch{n, p, integers<T>(n * p, 1, -3, 3), integers<T>(n, 2, 0, 3)};
  auto curvature = integers<T>(n, 3, 0, 2);
  const auto expected = reference_gram(batch, curvature);
  std::fill_n(batch.design.begin() + 270 * p, p, T(1e6));
  (*batch.sample_weight)[270] = T(7);
  curvature[270] = T(0);
  for (std::uint64_t scratch_rows : {256, 1000, 7}) {
    std::vector<T> rows(scratch_rows * p), gram = nans<T>(p * p);
    ASSERT_TRUE(weighted_gram<T>(batch.view(), curvature, rows, SlotPartials<T>{}, gram));
    EXPECT_EQ(gram, expected) << scratch_rows << " scratch rows";
  }
}

// n*p*p = 16,000,000 with three slots: the slot pass. Its bits depend on
// the slot count only; against the sequential sum only rounding differs.
TYPED_TEST(GramTest, SlotPassIsReproducibleAndAgreesWithTheSequentialSum) {
  using T = TypeParam;
  const std::uint64_t n = 62'500, p = 16, slots = 3;
  const Batch<T> batch{n, p, spread_values<T>(n * p, 4), spread_values<T>(n, 5)};
  const auto curvature = spread_values<T>(n, 6);
  std::vector<T> scratch(256 * p), sequential(p * p), first_run;
  ASSERT_TRUE(weighted_gram<T>(batch.view(), curvature, scratch, SlotPartials<T>{}, sequential));
  // One area per slot, or waves of one or two slots behind a running sum.
  for (auto [threads, areas] : {std::pair<int, std::uint64_t>{1, 3}, {2, 3}, {3, 3}, {1, 2}, {2, 4}, {2, 2}}) {
    const std::uint64_t pieces = slots_at_once(slots, areas);
    std::vector<T> slot_scratch(pieces * 256 * p), storage, out = nans<T>(p * p);
    const auto partials = gram_areas(storage, p, slots, areas);
    ASSERT_TRUE(tbb::task_arena(threads).execute(
        [&] { return weighted_gram<T>(batch.view(), curvature, slot_scratch, partials, out); }));
    if (first_run.empty()) first_run = out;
    EXPECT_TRUE(same_bits(out, first_run)) << threads << " threads, " << areas << " areas";
  }
  const double bound = 4096.0 * 4096.0 * 4096.0 * n * std::numeric_limits<T>::epsilon();  // |values| < 2^12
  for (std::size_t k = 0; k < p * p; ++k) EXPECT_NEAR(first_run[k], sequential[k], bound) << k;
}

TEST(GramTest, ErrorsOfTheGramKernels) {
  const auto shapes = EngineError::batch("GEMM buffers do not match the declared matrix shapes");
  const auto overflow = EngineError::overflow();
  constexpr auto overwrite = GemmOutput::overwrite;
  std::vector<double> block(6), out(4);
  EXPECT_EQ(gram_gemm<double>(block, block, 3, 2, std::span(out).first(3), overwrite).error(), shapes);
  EXPECT_EQ(gram_gemm<double>(std::span(block).first(4), block, 3, 2, out, overwrite).error(), shapes);
  EXPECT_EQ(gram_gemm<double>(block, std::span(block).first(5), 3, 2, out, GemmOutput::accumulate).error(), shapes);
  EXPECT_EQ(gram_gemm<double>(block, block, 1ull << 40, 1ull << 30, out, overwrite).error(), overflow);
  EXPECT_EQ(gram_gemm<double>({}, {}, 0, 1ull << 32, out, overwrite).error(), overflow);
  EXPECT_EQ(gram_gemm<double>({}, {}, 0, 1ull << 31, out, overwrite).error(), overflow);  // > 32-bit BLAS

  const Batch<double> batch{2, 3, {1, 2, 3, 4, 5, 6}};
  std::vector<double> gram = nans<double>(9), scratch(2);
  EXPECT_EQ(weighted_gram_rows<double>(batch.view(), block, 0, 2, scratch, gram).error(),
            EngineError::batch("weighted row scratch is smaller than one row"));
  ASSERT_TRUE(weighted_gram_rows<double>(batch.view(), block, 1, 1, {}, gram));  // empty: zeros, no scratch
  EXPECT_EQ(gram, std::vector<double>(9, 0.0));
  auto huge = batch.view();
  huge.cols = 1ull << 32;
  EXPECT_EQ(weighted_gram<double>(huge, block, scratch, SlotPartials<double>{}, gram).error(), EngineError::overflow());

  // A thousand slot areas with less than one scratch row each: the slot
  // pass refuses at n*p*p = 16,000,000, while 15,999,984 stays sequential.
  const std::uint64_t p = 4;
  const Batch<float> tall{1'000'000, p, std::vector<float>(1'000'000 * p, 1.0f)};
  const std::vector<float> curvature(1'000'000, 1.0f);
  std::vector<float> rows(256 * p), storage, sum(p * p);
  const auto partials = gram_areas(storage, p, 1000, 1000);
  auto fewer = tall.view();
  fewer.rows = 999'999;
  fewer.design = fewer.design.first(999'999 * p);
  ASSERT_TRUE(weighted_gram<float>(fewer, std::span(curvature).first(999'999), rows, partials, sum));
  EXPECT_EQ(sum[0], 999'999.0f);
  EXPECT_EQ(weighted_gram<float>(tall.view(), curvature, rows, partials, sum).error(),
            EngineError::batch("weighted row scratch is smaller than one row per Gram worker"));
}

}  // namespace
}  // namespace vintrel::core
