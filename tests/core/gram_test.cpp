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

using testing::integers;
using testing::same_bits;
using testing::spread_values;

template <class T>
std::vector<T> nans(std::size_t n) {
  return std::vector<T>(n, std::numeric_limits<T>::quiet_NaN());
}

template <class T>
struct Batch {
  std::uint64_t n, p;
  std::vector<T> design;
  std::optional<std::vector<T>> sample_weight = std::nullopt;
  std::vector<T> target = std::vector<T>(n);

  BatchView<T> view() const {
    BatchView<T> v;
    v.design = design;
    v.target = target;
    v.rows = n;
    v.cols = p;
    if (sample_weight) v.sample_weight = std::span<const T>(*sample_weight);
    return v;
  }
};

// Exact for the small integers used with it.
template <class T>
std::vector<T> reference_gram(const Batch<T>& b, const std::vector<T>& curvature) {
  std::vector<double> g(b.p * b.p, 0.0);
  for (std::uint64_t r = 0; r < b.n; ++r) {
    const double m = double(curvature[r]) * (b.sample_weight ? double((*b.sample_weight)[r]) : 1.0);
    for (std::uint64_t k = 0; k < b.p * b.p; ++k) g[k] += double(b.design[r * b.p + k / b.p]) * m * b.design[r * b.p + k % b.p];
  }
  return std::vector<T>(g.begin(), g.end());
}

// A workspace sized as the update sizes it, for G Gram and S gradient slots
// and one area per slot.
template <class T>
Workspace<T> sized_workspace(std::uint64_t n, std::uint64_t p, std::uint64_t gram_slots, std::uint64_t gradient_slots) {
  Workspace<T> w;
  w.gram_slots = gram_slots;
  w.gradient_slots = gradient_slots;
  for (auto* buffer : {&w.residuals, &w.psi, &w.curvature}) buffer->assign(n, T(0));
  for (auto* buffer : {&w.gradient, &w.step_delta}) buffer->assign(p, T(0));
  for (auto* buffer : {&w.newton_matrix, &w.gram}) buffer->assign(p * p, T(0));
  w.row_scratch.assign(std::max<std::uint64_t>(gram_slots, 1) * std::min<std::uint64_t>(n, 256) * p, T(0));
  w.gram_partials.assign(gram_slots * p * p, T(0));
  w.gradient_partials.assign(gradient_slots * gradient_partial_stride(p, sizeof(T)), T(0));
  return w;
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
  std::vector<double> block(6), out(4);
  EXPECT_EQ(gram_gemm<double>(block, block, 3, 2, std::span(out).first(3), false).error(), shapes);
  EXPECT_EQ(gram_gemm<double>(std::span(block).first(4), block, 3, 2, out, false).error(), shapes);
  EXPECT_EQ(gram_gemm<double>(block, std::span(block).first(5), 3, 2, out, true).error(), shapes);
  EXPECT_EQ(gram_gemm<double>(block, block, 1ull << 40, 1ull << 30, out, false).error(), EngineError::overflow());
  EXPECT_EQ(gram_gemm<double>({}, {}, 0, 1ull << 32, out, false).error(), EngineError::overflow());
  EXPECT_EQ(gram_gemm<double>({}, {}, 0, 1ull << 31, out, false).error(), EngineError::overflow());  // > 32-bit BLAS

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

// X^T psi as the row form computes it with the given slot count (0: the
// plain sequential loop, whose bits the column form must match).
template <class T>
std::vector<T> reference_scores(const Batch<T>& b, const std::vector<T>& psi, std::uint64_t slots) {
  const auto sum_rows = [&](std::uint64_t first, std::uint64_t last) {
    std::vector<T> sums(b.p, T(0));
    for (std::uint64_t i = first; i < last; ++i) {
      for (std::uint64_t j = 0; j < b.p; ++j) sums[j] = sums[j] + b.design[i * b.p + j] * psi[i];
    }
    return sums;
  };
  if (slots == 0) return sum_rows(0, b.n);
  std::vector<T> total(b.p, T(0));
  const std::uint64_t per_slot = (b.n + slots - 1) / slots;
  for (std::uint64_t k = 0; k < slots; ++k) {
    const auto part = sum_rows(std::min(b.n, k * per_slot), std::min(b.n, (k + 1) * per_slot));
    for (std::uint64_t j = 0; j < b.p; ++j) total[j] = total[j] + part[j];
  }
  return total;
}

struct FormCase {
  std::uint64_t n, p, slots;
  bool penalized;
  std::uint64_t oracle_slots;
  friend std::ostream& operator<<(std::ostream& out, const FormCase& c) {
    return out << "n " << c.n << " p " << c.p << " slots " << c.slots << (c.penalized ? " l1" : "");
  }
};

template <class T>
void check_gradient_form(const FormCase& c) {
  // Zero information and beta = beta_prev leave gradient = -X^T psi / 1.
  const Batch<T> batch{c.n, c.p, spread_values<T>(c.n * c.p, 7)};
  const auto state = StreamState<T>::zeros(c.p);
  const auto psi = spread_values<T>(c.n, 8);
  auto expected = reference_scores(batch, psi, c.oracle_slots);
  for (auto& v : expected) v = -v;
  for (int threads : {1, 2, 3}) {
    auto workspace = sized_workspace<T>(c.n, c.p, 0, c.slots);
    workspace.psi = psi;
    ASSERT_TRUE(tbb::task_arena(threads).execute([&] {
      return newton_gradient<T>(batch.view(), state.coefficients, state, FeatureLayout{c.p, false}, c.penalized,
                                1.0, workspace);
    }));
    EXPECT_TRUE(same_bits(workspace.gradient, expected)) << c << ", " << threads << " threads";
  }
}

class GradientFormTest : public ::testing::TestWithParam<FormCase> {};
INSTANTIATE_TEST_SUITE_P(Forms, GradientFormTest,
                         ::testing::Values(FormCase{62'499, 16, 0, false, 0},   // n*p = 999,984: sequential
                                           FormCase{62'500, 16, 1, false, 1},   // one slot: the sequential bits
                                           FormCase{62'500, 16, 3, false, 3},   // three slots
                                           FormCase{15'625, 64, 2, false, 2},   // widest double row form
                                           FormCase{15'385, 65, 2, false, 0},   // column form
                                           FormCase{15'385, 65, 2, true, 2}));  // L1 keeps the row form

TEST_P(GradientFormTest, DoublePrecision) { check_gradient_form<double>(GetParam()); }

TEST(GradientFormTest, SinglePrecisionSwitchesToColumnsAtWidth129) {
  check_gradient_form<float>(FormCase{7'813, 128, 2, false, 2});
  check_gradient_form<float>(FormCase{7'752, 129, 2, false, 0});
}

// Dyadic values: delta = (0.5, 1, 1), I_prev delta = (1, 4, 8), X^T psi =
// (1, 2, 3), (I_prev delta - X^T psi) / 4 = (0, 0.5, 1.25), carry 0.5.
TYPED_TEST(GramTest, GradientCarriesThePenaltyOnlyOntoPenalisedCoefficients) {
  using T = TypeParam;
  const Batch<T> batch{1, 3, {1, 2, 3}};
  StreamState<T> state{.coefficients = {2, 0, -1}, .information = {2, 0, 0, 0, 4, 0, 0, 0, 8},
                       .n_samples_seen = 5, .batch_count = 1, .previous_lambda = 1.0, .weight_sum = 2.0};
  auto workspace = sized_workspace<T>(1, 3, 0, 0);
  workspace.psi = {1};
  const auto gradient = [&](bool fit_intercept, bool penalized, double total_weight) {
    EXPECT_TRUE(newton_gradient<T>(batch.view(), std::vector<T>{2.5, 1, 0}, state, FeatureLayout{3, fit_intercept},
                                   penalized, total_weight, workspace));
    return workspace.gradient;
  };
  EXPECT_EQ(gradient(true, true, 4.0), (std::vector<T>{-0.5, 0.5, 1.25}));  // intercept and sgn(0) spared
  EXPECT_EQ(gradient(false, true, 4.0), (std::vector<T>{-0.5, 0.5, 1.75}));
  EXPECT_EQ(gradient(false, false, 4.0), (std::vector<T>{0, 0.5, 1.25}));
  if constexpr (std::is_same_v<T, float>) {  // W and the carry rounded to single precision
    const float carry = float((2.0 / 3.0) * 1.0);
    EXPECT_EQ(gradient(false, true, 3.0), (std::vector<float>{0.0f - carry, 2.0f / 3.0f, 5.0f / 3.0f + carry}));
  }
  state.n_samples_seen = 0;
  EXPECT_EQ(gradient(false, true, 4.0), (std::vector<T>{0, 0.5, 1.25}));
}

TYPED_TEST(GramTest, NewtonSystemFromResiduals) {
  using T = TypeParam;
  // tau = 1, h = 0.5: residuals -3, -1, 0.75, 1.5 give clamped scores
  // -1, -1, 0.75, 1 and curvatures 0, 0.5, 0.75, 0 (the outer edge).
  Batch<T> batch{4, 2, {1, 0, 1, 1, 2, 1, 3, 5}, std::vector<T>{2, 1, 4, 1}};
  auto state = StreamState<T>::zeros(2);
  state.information = {1, 2, 2, 3};
  auto workspace = sized_workspace<T>(4, 2, 0, 0);
  workspace.residuals = {-3, -1, 0.75, 1.5};
  UpdateConfig config;
  config.tau = 1.0;
  config.ridge = 0.25;
  const auto run = [&] {
    return newton_system<T>(batch.view(), state.coefficients, state, FeatureLayout{2, false}, config, 0.5, 2.0,
                            workspace);
  };
  ASSERT_TRUE(run());
  EXPECT_EQ(workspace.psi, (std::vector<T>{-2, -1, 3, 1}));
  EXPECT_EQ(workspace.curvature, (std::vector<T>{0, 0.5, 0.75, 0}));
  EXPECT_EQ(workspace.gram, (std::vector<T>{12.5, 6.5, 6.5, 3.5}));
  EXPECT_EQ(workspace.newton_matrix, (std::vector<T>{6.75 + 0.25, 4.25, 4.25, 3.25 + 0.25}));
  EXPECT_EQ(workspace.gradient, (std::vector<T>{-3, -3.5}));  // -(X^T psi) / 2

  batch.sample_weight.reset();
  workspace.row_scratch.resize(1);  // the Gram fails: the Newton matrix stays as it was
  workspace.newton_matrix = nans<T>(4);
  EXPECT_EQ(run().error(), EngineError::batch("weighted row scratch is smaller than one row"));
  EXPECT_EQ(workspace.psi, (std::vector<T>{-1, -1, 0.75, 1}));  // unweighted scores
  EXPECT_TRUE(std::all_of(workspace.newton_matrix.begin(), workspace.newton_matrix.end(),
                          [](T v) { return std::isnan(v); }));
}

}  // namespace
}  // namespace vintrel::core
