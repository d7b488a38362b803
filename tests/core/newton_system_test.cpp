#include "core/kernels/newton_system.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <ostream>
#include <vector>

#include <oneapi/tbb/task_arena.h>

#include "core/kernels/gram.hpp"
#include "kernel_testing.hpp"
#include "update_fixtures.hpp"

namespace vintrel::core {
namespace {

using testing::Batch;
using testing::nans;
using testing::same_bits;
using testing::sized_workspace;
using testing::spread_values;

template <class T>
class NewtonSystemTest : public ::testing::Test {};
TYPED_TEST_SUITE(NewtonSystemTest, testing::Precisions);

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
  Penalty penalty;
  std::uint64_t oracle_slots;
  friend std::ostream& operator<<(std::ostream& out, const FormCase& c) {
    return out << "n " << c.n << " p " << c.p << " slots " << c.slots << (c.penalty == Penalty::l1 ? " l1" : "");
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
      return newton_gradient<T>(batch.view(), state.coefficients, state, FeatureLayout{c.p, false},
                                UpdateModel{.penalty = c.penalty, .total_weight = 1.0}, workspace);
    }));
    EXPECT_TRUE(same_bits(workspace.gradient, expected)) << c << ", " << threads << " threads";
  }
}

class GradientFormTest : public ::testing::TestWithParam<FormCase> {};
INSTANTIATE_TEST_SUITE_P(Forms, GradientFormTest,
                         ::testing::Values(FormCase{62'499, 16, 0, Penalty::none, 0},   // n*p = 999,984: sequential
                                           FormCase{62'500, 16, 1, Penalty::none, 1},   // one slot: the sequential bits
                                           FormCase{62'500, 16, 3, Penalty::none, 3},   // three slots
                                           FormCase{15'625, 64, 2, Penalty::none, 2},   // widest double row form
                                           FormCase{15'385, 65, 2, Penalty::none, 0},   // column form
                                           FormCase{15'385, 65, 2, Penalty::l1, 2}));  // L1 keeps the row form

TEST_P(GradientFormTest, DoublePrecision) { check_gradient_form<double>(GetParam()); }

TEST(GradientFormTest, SinglePrecisionSwitchesToColumnsAtWidth129) {
  check_gradient_form<float>(FormCase{7'813, 128, 2, Penalty::none, 2});
  check_gradient_form<float>(FormCase{7'752, 129, 2, Penalty::none, 0});
}

// Dyadic values: delta = (0.5, 1, 1), I_prev delta = (1, 4, 8), X^T psi =
// (1, 2, 3), (I_prev delta - X^T psi) / 4 = (0, 0.5, 1.25), carry 0.5.
TYPED_TEST(NewtonSystemTest, GradientCarriesThePenaltyOnlyOntoPenalisedCoefficients) {
  using T = TypeParam;
  const Batch<T> batch{1, 3, {1, 2, 3}};
  StreamState<T> state{.coefficients = {2, 0, -1}, .information = {2, 0, 0, 0, 4, 0, 0, 0, 8},
                       .n_samples_seen = 5, .batch_count = 1, .previous_lambda = 1.0, .weight_sum = 2.0};
  auto workspace = sized_workspace<T>(1, 3, 0, 0);
  workspace.psi = {1};
  const auto gradient = [&](bool fit_intercept, Penalty penalty, double total_weight) {
    EXPECT_TRUE(newton_gradient<T>(batch.view(), std::vector<T>{2.5, 1, 0}, state, FeatureLayout{3, fit_intercept},
                                   UpdateModel{.penalty = penalty, .total_weight = total_weight}, workspace));
    return workspace.gradient;
  };
  EXPECT_EQ(gradient(true, Penalty::l1, 4.0), (std::vector<T>{-0.5, 0.5, 1.25}));  // intercept and sgn(0) spared
  EXPECT_EQ(gradient(false, Penalty::l1, 4.0), (std::vector<T>{-0.5, 0.5, 1.75}));
  EXPECT_EQ(gradient(false, Penalty::none, 4.0), (std::vector<T>{0, 0.5, 1.25}));
  if constexpr (std::is_same_v<T, float>) {  // W and the carry rounded to single precision
    const float carry = float((2.0 / 3.0) * 1.0);
    EXPECT_EQ(gradient(false, Penalty::l1, 3.0), (std::vector<float>{0.0f - carry, 2.0f / 3.0f, 5.0f / 3.0f + carry}));
  }
  state.n_samples_seen = 0;
  EXPECT_EQ(gradient(false, Penalty::l1, 4.0), (std::vector<T>{0, 0.5, 1.25}));
}

TYPED_TEST(NewtonSystemTest, NewtonSystemFromResiduals) {
  using T = TypeParam;
  // tau = 1, h = 0.5: residuals -3, -1, 0.75, 1.5 give clamped scores
  // -1, -1, 0.75, 1 and curvatures 0, 0.5, 0.75, 0 (the outer edge).
  Batch<T> batch{4, 2, {1, 0, 1, 1, 2, 1, 3, 5}, std::vector<T>{2, 1, 4, 1}};
  auto state = StreamState<T>::zeros(2);
  state.information = {1, 2, 2, 3};
  auto workspace = sized_workspace<T>(4, 2, 0, 0);
  workspace.residuals = {-3, -1, 0.75, 1.5};
  const UpdateModel model{.tau = 1.0, .total_weight = 2.0, .bandwidth = 0.5};
  const auto run = [&] {
    return newton_system<T>(batch.view(), state.coefficients, state, FeatureLayout{2, false}, model, 0.25,
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

// Where the Gram's weighting pass forms X^T psi as well, the gradient and
// the Gram keep the bits of the two separate passes: a sequential Gram, a
// Gram in slots sharing the row form's slots (in waves too), and shapes
// where the two cannot share a pass.
struct FusionCase {
  std::uint64_t n, p, gram_slots, gradient_slots, areas;
  friend std::ostream& operator<<(std::ostream& out, const FusionCase& c) {
    return out << "n " << c.n << " p " << c.p << " G " << c.gram_slots << " S " << c.gradient_slots << " areas "
               << c.areas;
  }
};

template <class T>
void check_fused_pass(const FusionCase& c) {
  const Batch<T> batch{c.n, c.p, spread_values<T>(c.n * c.p, 7), spread_values<T>(c.n, 9)};
  StreamState<T> state = StreamState<T>::zeros(c.p);
  state.information = spread_values<T>(c.p * c.p, 10);
  const FeatureLayout layout{c.p, false};
  const UpdateModel model{.tau = 1.345, .total_weight = 3.0, .bandwidth = 0.5};
  auto workspace = sized_workspace<T>(c.n, c.p, c.gram_slots, c.gradient_slots);
  const std::uint64_t pieces = slots_at_once(c.gram_slots, c.areas);
  workspace.row_scratch.assign(std::max<std::uint64_t>(pieces, 1) * std::min<std::uint64_t>(c.n, 256) * c.p, T(0));
  workspace.gram_partials.assign(c.gram_slots == 0 ? 0 : c.areas * c.p * c.p, T(0));
  workspace.gradient_partials.assign(c.gradient_slots == 0 ? 0 : c.areas * gradient_partial_stride(c.p, sizeof(T)),
                                     T(0));
  workspace.residuals = spread_values<T>(c.n, 8);
  const auto beta = spread_values<T>(c.p, 11);
  ASSERT_TRUE(newton_system<T>(batch.view(), beta, state, layout, model, 0.0, workspace));
  const auto gradient = workspace.gradient, gram = workspace.gram;

  ASSERT_TRUE(newton_gradient<T>(batch.view(), beta, state, layout, model, workspace));
  ASSERT_TRUE(weighted_gram<T>(batch.view(), workspace.curvature, workspace.row_scratch,
                               gram_partials(workspace, c.p), workspace.gram));
  EXPECT_TRUE(same_bits(gradient, workspace.gradient)) << c;
  EXPECT_TRUE(same_bits(gram, workspace.gram)) << c;
}

class FusedPassTest : public ::testing::TestWithParam<FusionCase> {};
INSTANTIATE_TEST_SUITE_P(Shapes, FusedPassTest,
                         ::testing::Values(FusionCase{300, 5, 0, 0, 0},              // both sequential
                                           FusionCase{62'500, 16, 1, 1, 1},          // one slot each
                                           FusionCase{62'500, 16, 3, 3, 3},          // shared slots
                                           FusionCase{62'500, 16, 3, 3, 2},          // in waves
                                           FusionCase{62'500, 16, 2, 3, 3},          // slots differ
                                           FusionCase{20'000, 40, 2, 0, 2},          // Gram slots only
                                           FusionCase{15'385, 65, 1, 2, 2}));  // double: columns; float: 2 row slots

TEST_P(FusedPassTest, DoublePrecision) { check_fused_pass<double>(GetParam()); }
TEST_P(FusedPassTest, SinglePrecision) { check_fused_pass<float>(GetParam()); }

}  // namespace
}  // namespace vintrel::core
