#include "core/kernels/gram.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <ostream>
#include <random>
#include <vector>

#include <oneapi/tbb/task_arena.h>

#include "core/error.hpp"

namespace vintrel::core {
namespace {

template <class T>
bool same_bits(const std::vector<T>& a, const std::vector<T>& b) {
  using Bits = std::conditional_t<sizeof(T) == 4, std::uint32_t, std::uint64_t>;
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (std::bit_cast<Bits>(a[i]) != std::bit_cast<Bits>(b[i])) return false;
  }
  return true;
}

template <class T>
std::vector<T> nan_filled(std::size_t n) {
  return std::vector<T>(n, std::numeric_limits<T>::quiet_NaN());
}

template <class T>
std::vector<T> integers(std::size_t n, std::uint32_t seed, int low, int high) {
  std::mt19937 engine(seed);
  std::uniform_int_distribution<int> pick(low, high);
  std::vector<T> values(n);
  for (auto& v : values) v = static_cast<T>(pick(engine));
  return values;
}

template <class T>
std::vector<T> uniform(std::size_t n, std::uint32_t seed) {
  std::mt19937 engine(seed);
  std::uniform_real_distribution<double> pick(-1.0, 1.0);
  std::vector<T> values(n);
  for (auto& v : values) v = static_cast<T>(pick(engine));
  return values;
}

// A batch that owns its arrays.
template <class T>
struct Batch {
  std::uint64_t n, p;
  std::vector<T> design, target;
  std::optional<std::vector<T>> sample_weight;

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

// G(i, j) = sum over rows of x_ri * (m_r * x_rj), in double: exact for the
// small integers the exact tests use.
template <class T>
std::vector<double> reference_gram(const Batch<T>& batch, const std::vector<T>& curvature) {
  const std::uint64_t p = batch.p;
  std::vector<double> gram(p * p, 0.0);
  for (std::uint64_t r = 0; r < batch.n; ++r) {
    const double m = double(curvature[r]) * (batch.sample_weight ? double((*batch.sample_weight)[r]) : 1.0);
    for (std::uint64_t i = 0; i < p; ++i) {
      for (std::uint64_t j = 0; j < p; ++j) gram[i * p + j] += double(batch.design[r * p + i]) * m * double(batch.design[r * p + j]);
    }
  }
  return gram;
}

template <class T>
std::vector<T> narrowed(const std::vector<double>& values) {
  return std::vector<T>(values.begin(), values.end());
}

template <class T>
class GramTest : public ::testing::Test {};
using Precisions = ::testing::Types<float, double>;
TYPED_TEST_SUITE(GramTest, Precisions);

TYPED_TEST(GramTest, SingleRowIsOneScaledOuterProduct) {
  using T = TypeParam;
  const Batch<T> batch{1, 3, {1, -2, 3}, {0}, std::vector<T>{4}};
  const std::vector<T> curvature{0.5};
  std::vector<T> scratch(3), out = nan_filled<T>(9);
  ASSERT_TRUE(weighted_gram<T>(batch.view(), curvature, scratch, {}, out));
  EXPECT_EQ(out, (std::vector<T>{2, -4, 6, -4, 8, -12, 6, -12, 18}));
}

// 300 rows make two blocks of 256 and 44; the second must add to the first.
// A row with curvature 0 and large values contributes nothing whatever its
// sample weight. The stale NaN output must not leak into the result.
TYPED_TEST(GramTest, BlocksAccumulateAndZeroCurvatureRowsVanish) {
  using T = TypeParam;
  const std::uint64_t n = 300, p = 5;
  Batch<T> batch{n, p, integers<T>(n * p, 1, -3, 3), std::vector<T>(n), integers<T>(n, 2, 0, 3)};
  auto curvature = integers<T>(n, 3, 0, 2);
  const auto expected = narrowed<T>(reference_gram(batch, curvature));
  for (std::uint64_t j = 0; j < p; ++j) batch.design[270 * p + j] = T(1e6);
  (*batch.sample_weight)[270] = T(7);
  curvature[270] = T(0);

  for (std::size_t scratch_rows : {std::size_t{256}, std::size_t{1000}, std::size_t{7}, std::size_t{1}}) {
    std::vector<T> scratch(scratch_rows * p), out = nan_filled<T>(p * p);
    ASSERT_TRUE(weighted_gram<T>(batch.view(), curvature, scratch, {}, out));
    EXPECT_EQ(out, expected) << scratch_rows << " scratch rows";
  }
  batch.sample_weight.reset();  // no sample weights: the curvature alone weighs each row
  std::vector<T> scratch(256 * p), out = nan_filled<T>(p * p);
  ASSERT_TRUE(weighted_gram<T>(batch.view(), curvature, scratch, {}, out));
  EXPECT_EQ(out, narrowed<T>(reference_gram(batch, curvature)));
}

// n*p*p = 16,000,000 with three slots: a slot pass. Its bits are fixed by
// the slot count, whatever the pool; against the sequential sum only the
// rounding may differ.
TYPED_TEST(GramTest, SlotPassIsReproducibleAndAgreesWithTheSequentialSum) {
  using T = TypeParam;
  const std::uint64_t n = 62'500, p = 16, slots = 3;
  const Batch<T> batch{n, p, uniform<T>(n * p, 4), std::vector<T>(n), uniform<T>(n, 5)};
  const auto curvature = uniform<T>(n, 6);

  std::vector<T> scratch(256 * p), sequential(p * p);
  ASSERT_TRUE(weighted_gram<T>(batch.view(), curvature, scratch, {}, sequential));

  std::vector<T> first_run;
  for (int threads : {1, 2, 3, 2}) {
    std::vector<T> slot_scratch(slots * 256 * p), partials(slots * p * p), out = nan_filled<T>(p * p);
    tbb::task_arena arena(threads);
    ASSERT_TRUE(arena.execute([&] { return weighted_gram<T>(batch.view(), curvature, slot_scratch, partials, out); }));
    if (first_run.empty()) first_run = out;
    EXPECT_TRUE(same_bits(out, first_run)) << threads << " threads";
  }
  const double tolerance = 4.0 * n * std::numeric_limits<T>::epsilon();  // |terms| <= 1
  for (std::size_t k = 0; k < p * p; ++k) EXPECT_NEAR(first_run[k], sequential[k], tolerance) << k;
}

TEST(GramTest, SlotPassStartsAtTheWorkThreshold) {
  // A thousand slot areas but one row of scratch per slot: the slot pass
  // refuses, the sequential path (n*p*p one row short of 16,000,000) runs.
  const std::uint64_t p = 4;
  std::vector<float> design(1'000'000 * p, 1.0f), curvature(1'000'000, 1.0f), target(1'000'000);
  std::vector<float> scratch(256 * p), partials(1000 * p * p), out(p * p);
  const auto batch = [&](std::uint64_t n) {
    BatchView<float> view;
    view.design = design;
    view.target = target;
    view.rows = n;
    view.cols = p;
    return view;
  };
  ASSERT_TRUE(weighted_gram<float>(batch(999'999), curvature, scratch, partials, out));
  EXPECT_EQ(out[0], 999'999.0f);
  EXPECT_EQ(weighted_gram<float>(batch(1'000'000), curvature, scratch, partials, out).error(),
            EngineError::batch("weighted row scratch is smaller than one row per Gram worker"));
}

TEST(GramTest, ErrorsOfTheGramKernels) {
  const auto shapes = EngineError::batch("GEMM buffers do not match the declared matrix shapes");
  std::vector<double> block(6), out(4), short_out(3);
  EXPECT_EQ(gram_gemm<double>(block, block, 3, 2, short_out, false).error(), shapes);
  EXPECT_EQ(gram_gemm<double>(std::span(block).first(4), block, 3, 2, out, false).error(), shapes);
  EXPECT_EQ(gram_gemm<double>(block, std::span(block).first(5), 3, 2, out, true).error(), shapes);
  EXPECT_EQ(gram_gemm<double>(block, block, std::uint64_t{1} << 40, std::uint64_t{1} << 30, out, false).error(),
            EngineError::overflow());
  EXPECT_EQ(gram_gemm<double>({}, {}, 0, std::uint64_t{1} << 32, out, false).error(), EngineError::overflow());
  // p beyond the library's 32-bit dimensions, with a consistent p*p claim.
  EXPECT_EQ(gram_gemm<double>({}, {}, 0, std::uint64_t{1} << 31, out, false).error(), EngineError::overflow());

  const Batch<double> batch{2, 3, {1, 2, 3, 4, 5, 6}, {0, 0}, std::nullopt};
  const std::vector<double> curvature{1, 1};
  std::vector<double> gram(9), scratch(2);
  EXPECT_EQ(weighted_gram_rows<double>(batch.view(), curvature, 0, 2, scratch, gram).error(),
            EngineError::batch("weighted row scratch is smaller than one row"));
  // An empty range needs no scratch and yields zeros.
  gram = nan_filled<double>(9);
  ASSERT_TRUE(weighted_gram_rows<double>(batch.view(), curvature, 1, 1, {}, gram));
  EXPECT_EQ(gram, std::vector<double>(9, 0.0));

  BatchView<double> huge;
  huge.rows = 1;
  huge.cols = std::uint64_t{1} << 32;
  EXPECT_EQ(weighted_gram<double>(huge, curvature, scratch, {}, gram).error(), EngineError::overflow());
}

TEST(GramTest, GemmWithoutAccumulationIgnoresTheOldOutput) {
  const std::vector<double> d{1, 2, 3, 4}, s{1, 1, 1, 1};  // 2 x 2 blocks
  std::vector<double> out = nan_filled<double>(4);
  ASSERT_TRUE(gram_gemm<double>(d, s, 2, 2, out, false));
  EXPECT_EQ(out, (std::vector<double>{4, 4, 6, 6}));
  ASSERT_TRUE(gram_gemm<double>(d, s, 2, 2, out, true));
  EXPECT_EQ(out, (std::vector<double>{8, 8, 12, 12}));
  ASSERT_TRUE(gram_gemm<double>({}, {}, 0, 2, out, false));
  EXPECT_EQ(out, std::vector<double>(4, 0.0));
}

// ---- gradient -------------------------------------------------------------

// X^T psi as the row form computes it with the given slot count (0: the
// plain sequential loop), the oracle for every gradient form.
template <class T>
std::vector<T> reference_scores(const Batch<T>& batch, const std::vector<T>& psi, std::uint64_t slots) {
  const std::uint64_t n = batch.n, p = batch.p;
  const auto sum_rows = [&](std::uint64_t first, std::uint64_t last) {
    std::vector<T> sums(p, T(0));
    for (std::uint64_t i = first; i < last; ++i) {
      for (std::uint64_t j = 0; j < p; ++j) sums[j] = sums[j] + batch.design[i * p + j] * psi[i];
    }
    return sums;
  };
  if (slots == 0) return sum_rows(0, n);
  std::vector<T> total(p, T(0));
  const std::uint64_t per_slot = (n + slots - 1) / slots;
  for (std::uint64_t k = 0; k < slots; ++k) {
    const auto part = sum_rows(std::min(n, k * per_slot), std::min(n, (k + 1) * per_slot));
    for (std::uint64_t j = 0; j < p; ++j) total[j] = total[j] + part[j];
  }
  return total;
}

// A workspace sized as the update sizes it, with Gram slots G and gradient
// slots S given.
template <class T>
Workspace<T> sized_workspace(std::uint64_t n, std::uint64_t p, std::uint64_t gram_slots, std::uint64_t gradient_slots) {
  Workspace<T> w;
  for (auto* buffer : {&w.residuals, &w.psi, &w.curvature}) buffer->assign(n, T(0));
  for (auto* buffer : {&w.gradient, &w.step_delta, &w.direction, &w.candidate, &w.step}) buffer->assign(p, T(0));
  for (auto* buffer : {&w.newton_matrix, &w.gram}) buffer->assign(p * p, T(0));
  w.row_scratch.assign(std::max<std::uint64_t>(gram_slots, 1) * std::min<std::uint64_t>(n, 256) * p, T(0));
  w.gram_partials.assign(gram_slots * p * p, T(0));
  w.gradient_partials.assign(gradient_slots * p, T(0));
  return w;
}

struct FormCase {
  std::uint64_t n, p, slots;
  bool penalized;
  std::uint64_t expected_slots;  // the oracle's slot count: 0 for sequential and column sums

  friend std::ostream& operator<<(std::ostream& out, const FormCase& c) {
    return out << "n " << c.n << " p " << c.p << " slots " << c.slots << (c.penalized ? " l1" : " none");
  }
};

template <class T>
void check_gradient_form(const FormCase& c) {
  // Zero information and beta = beta_prev isolate X^T psi: gradient = -X^T psi / 1.
  const Batch<T> batch{c.n, c.p, uniform<T>(c.n * c.p, 7), std::vector<T>(c.n), std::nullopt};
  auto state = StreamState<T>::zeros(c.p);
  const auto expected_scores = reference_scores(batch, uniform<T>(c.n, 8), c.expected_slots);
  std::vector<T> expected(c.p);
  for (std::uint64_t j = 0; j < c.p; ++j) expected[j] = -expected_scores[j];

  for (int threads : {1, 2, 3}) {
    auto workspace = sized_workspace<T>(c.n, c.p, 0, c.slots);
    workspace.psi = uniform<T>(c.n, 8);
    tbb::task_arena arena(threads);
    ASSERT_TRUE(arena.execute([&] {
      return newton_gradient<T>(batch.view(), state.coefficients, state, FeatureLayout{c.p, false}, c.penalized,
                                1.0, workspace);
    }));
    EXPECT_TRUE(same_bits(workspace.gradient, expected))
        << c << ", " << threads << " threads";
  }
}

class GradientFormTest : public ::testing::TestWithParam<FormCase> {};

INSTANTIATE_TEST_SUITE_P(
    Forms, GradientFormTest,
    ::testing::Values(FormCase{62'499, 16, 0, false, 0},       // n*p = 999,984: sequential
                      FormCase{62'500, 16, 1, false, 1},       // row form, one slot: the sequential bits
                      FormCase{62'500, 16, 3, false, 3},       // row form, three slots
                      FormCase{15'625, 64, 2, false, 2},       // widest row form in double
                      FormCase{15'385, 65, 2, false, 0},       // narrowest column form in double
                      FormCase{15'385, 65, 2, true, 2}));      // the L1 penalty keeps rows for any width

TEST_P(GradientFormTest, DoublePrecision) { check_gradient_form<double>(GetParam()); }

TEST(GradientFormTest, SinglePrecisionSwitchesToColumnsAtWidth129) {
  check_gradient_form<float>(FormCase{7'813, 128, 2, false, 2});
  check_gradient_form<float>(FormCase{7'752, 129, 2, false, 0});
}

// Three coefficients, the last one the intercept when fitted; all values
// dyadic so every step is exact:
// delta = (0.5, 1, 1), I_prev delta = (1, 4, 8), X^T psi = (1, 2, 3),
// so (I_prev delta - X^T psi) / 4 = (0, 0.5, 1.25); carry (2 / 4) * 1 = 0.5.
template <class T>
struct CarryCase {
  Batch<T> batch{1, 3, {1, 2, 3}, {0}, std::nullopt};
  StreamState<T> state;
  std::vector<T> beta{2.5, 1, 0};
  Workspace<T> workspace = sized_workspace<T>(1, 3, 0, 0);

  CarryCase() {
    state.coefficients = {2, 0, -1};
    state.information = {2, 0, 0, 0, 4, 0, 0, 0, 8};
    state.n_samples_seen = 5;
    state.weight_sum = 2.0;
    state.previous_lambda = 1.0;
    workspace.psi = {1};
  }
  std::vector<T> gradient(bool fit_intercept, bool penalized, double total_weight = 4.0) {
    EXPECT_TRUE(newton_gradient<T>(batch.view(), beta, state, FeatureLayout{3, fit_intercept}, penalized,
                                   total_weight, workspace));
    return workspace.gradient;
  }
};

TYPED_TEST(GramTest, GradientCarriesThePenaltyOnlyOntoPenalisedNonzeroCoefficients) {
  using T = TypeParam;
  CarryCase<T> c;
  EXPECT_EQ(c.gradient(true, true), (std::vector<T>{-0.5, 0.5, 1.25}));  // intercept and sgn(0) spared
  EXPECT_EQ(c.workspace.step_delta, (std::vector<T>{0.5, 1, 1}));
  EXPECT_EQ(c.gradient(false, true), (std::vector<T>{-0.5, 0.5, 1.75}));
  EXPECT_EQ(c.gradient(false, false), (std::vector<T>{0, 0.5, 1.25}));
  c.state.n_samples_seen = 0;  // first batch: nothing carried over
  EXPECT_EQ(c.gradient(false, true), (std::vector<T>{0, 0.5, 1.25}));
}

TEST(GramTest, SinglePrecisionGradientUsesTheRoundedWeightAndCarry) {
  CarryCase<float> c;
  const float carry = static_cast<float>((2.0 / 3.0) * 1.0);
  EXPECT_EQ(c.gradient(false, true, 3.0), (std::vector<float>{0.0f / 3.0f - carry, 2.0f / 3.0f, 5.0f / 3.0f + carry}));
}

// ---- Newton system ---------------------------------------------------------

TYPED_TEST(GramTest, NewtonSystemFromResiduals) {
  using T = TypeParam;
  // tau = 1, h = 0.5: residuals -3, -1, 0.75, 1.5 give scores -1, -1, 0.75, 1
  // and curvatures 0, 0.5, 0.75, 0 (the last on the outer edge).
  Batch<T> batch{4, 2, {1, 0, 1, 1, 2, 1, 3, 5}, std::vector<T>(4), std::vector<T>{2, 1, 4, 1}};
  auto state = StreamState<T>::zeros(2);
  state.information = {1, 2, 2, 3};
  auto workspace = sized_workspace<T>(4, 2, 0, 0);
  workspace.residuals = {-3, -1, 0.75, 1.5};
  UpdateConfig config;
  config.tau = 1.0;
  config.ridge = 0.25;
  ASSERT_TRUE(newton_system<T>(batch.view(), state.coefficients, state, FeatureLayout{2, false}, config, 0.5, 2.0,
                               workspace));
  EXPECT_EQ(workspace.psi, (std::vector<T>{-2, -1, 3, 1}));
  EXPECT_EQ(workspace.curvature, (std::vector<T>{0, 0.5, 0.75, 0}));
  // G = 0.5 * (1,1)(1,1)^T + 3 * (2,1)(2,1)^T = ((12.5, 6.5), (6.5, 3.5)).
  EXPECT_EQ(workspace.gram, (std::vector<T>{12.5, 6.5, 6.5, 3.5}));
  EXPECT_EQ(workspace.newton_matrix, (std::vector<T>{6.75 + 0.25, 4.25, 4.25, 3.25 + 0.25}));
  // X^T psi = (-2*1 - 1*1 + 3*2 + 1*3, 0 - 1 + 3 + 5) = (6, 7); delta = 0.
  EXPECT_EQ(workspace.gradient, (std::vector<T>{-3, -3.5}));

  batch.sample_weight.reset();  // unweighted scores are the clamped residuals
  ASSERT_TRUE(newton_system<T>(batch.view(), state.coefficients, state, FeatureLayout{2, false}, config, 0.5, 2.0,
                               workspace));
  EXPECT_EQ(workspace.psi, (std::vector<T>{-1, -1, 0.75, 1}));
}

TEST(GramTest, NewtonSystemLeavesTheMatrixAloneWhenTheGramFails) {
  const Batch<double> batch{2, 3, {1, 2, 3, 4, 5, 6}, {0, 0}, std::nullopt};
  auto state = StreamState<double>::zeros(3);
  auto workspace = sized_workspace<double>(2, 3, 0, 0);
  workspace.row_scratch.resize(2);
  workspace.newton_matrix = nan_filled<double>(9);
  const auto status = newton_system<double>(batch.view(), state.coefficients, state, FeatureLayout{3, false},
                                            UpdateConfig{}, 0.5, 1.0, workspace);
  EXPECT_EQ(status.error(), EngineError::batch("weighted row scratch is smaller than one row"));
  EXPECT_TRUE(std::all_of(workspace.newton_matrix.begin(), workspace.newton_matrix.end(), [](double v) { return std::isnan(v); }));
}

}  // namespace
}  // namespace vintrel::core
