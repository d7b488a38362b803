#include "core/kernels/objective.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "core/engine.hpp"
#include "core/error.hpp"
#include "kernel_testing.hpp"
#include "update_fixtures.hpp"

namespace vintrel::core {
namespace {

template <class T>
class ObjectiveTest : public ::testing::Test {};
TYPED_TEST_SUITE(ObjectiveTest, testing::Precisions);

TYPED_TEST(ObjectiveTest, CurvatureRampEdges) {
  using T = TypeParam;
  const auto ramp = CurvatureRamp<T>::make(1.5, 0.5);  // a = 0.5
  const T nan = std::numeric_limits<T>::quiet_NaN();
  const std::pair<T, T> cases[] = {{-2.0, 0.0}, {-1.75, 0.25}, {-1.5, 0.5}, {-1.0, 1.0}, {0.0, 1.0},
                                   {1.0, 1.0},  {1.5, 0.5},    {2.0, 0.0},  {2.5, 0.0},  {nan, 0.0}};
  for (const auto& [r, expected] : cases) EXPECT_EQ(smoothed_curvature(r, ramp), expected) << "r = " << r;

  // h above tau: a = tau, the plateau is empty and r = 0 ends the first ramp at 1.
  EXPECT_EQ(smoothed_curvature(T(0), CurvatureRamp<T>::make(0.5, 4.0)), T(1));
  EXPECT_EQ(CurvatureRamp<T>::make(std::numeric_limits<double>::quiet_NaN(), 0.25).width, T(0.5));

  // A half-width of zero (in single precision: rounded to zero) makes a
  // step at +-tau, with 0.5 on it rather than NaN.
  const auto step = CurvatureRamp<T>::make(1.0, sizeof(T) == 4 ? 1e-300 : 0.0);
  for (const auto& [r, expected] : {std::pair<T, T>{-1, 0.5}, {1, 0.5}, {0, 1}, {T(1.5), 0}}) {
    EXPECT_EQ(smoothed_curvature(r, step), expected) << "r = " << r;
  }
}

// The per-row rules as first written, with branches: the select forms must
// give the same bits for every input, zero signs and NaN included.
template <class T>
T branching_loss(T r, T tau) {
  if (std::abs(r) <= tau) return r * T(0.5) * r;
  return std::abs(r) * tau - T(0.5) * tau * tau;
}
template <class T>
T branching_score(T r, T tau) {
  if (r < -tau) return -tau;
  if (r > tau) return tau;
  return r;
}
template <class T>
T branching_curvature(T r, const CurvatureRamp<T>& ramp) {
  if (r < ramp.lower_outer) return T(0);
  if (r <= ramp.lower_inner) return ramp.width > T(0) ? (r + ramp.tau) / ramp.width + T(0.5) : T(0.5);
  if (r < ramp.upper_inner) return T(1);
  if (r <= ramp.upper_outer) return ramp.width > T(0) ? T(0.5) - (r - ramp.tau) / ramp.width : T(0.5);
  return T(0);
}

TYPED_TEST(ObjectiveTest, SelectFormsKeepTheBitsOfTheBranchingRules) {
  using T = TypeParam;
  const T inf = std::numeric_limits<T>::infinity();
  std::vector<T> residuals = testing::spread_values<T>(2000, 9);
  for (const T special : {T(0), T(-0.0), T(1.345), T(-1.345), T(1.5), T(-1.5), T(2), T(-2), T(1), T(-1), inf, -inf,
                          std::numeric_limits<T>::quiet_NaN(), std::numeric_limits<T>::denorm_min()}) {
    residuals.push_back(special);
    residuals.push_back(std::nextafter(special, inf));
  }
  for (const auto& [tau, bandwidth] : {std::pair{1.345, 0.3}, {1.5, 0.5}, {1.0, 0.0}, {0.5, 4.0}}) {
    const auto ramp = CurvatureRamp<T>::make(tau, bandwidth);
    const T t = static_cast<T>(tau);
    for (const T r : residuals) {
      const std::vector<T> got = {huber_loss(r, t), huber_score(r, t), smoothed_curvature(r, ramp)};
      const std::vector<T> want = {branching_loss(r, t), branching_score(r, t), branching_curvature(r, ramp)};
      EXPECT_TRUE(testing::same_bits(got, want)) << "r = " << r << ", tau = " << tau << ", h = " << bandwidth;
    }
  }
}

// Two coefficients (the second the intercept when fitted), dyadic values:
// residuals 0.5, -4.5, 0 (the last exactly at no loss, the second linear);
// L = 2*0.125 + 0.5*4 + 0 = 2.25; delta = (0.5, 1.5); Q = 5.5.
template <class T>
struct ObjectiveCase {
  std::vector<T> design{2, 1, 0, 1, 1, 1}, target{3, -4, 1.5}, weights{2, 0.5, 3}, beta{1, 0.5};
  StreamState<T> state{.coefficients = {0.5, -1}, .information = {2, 1, 1, 4}, .n_samples_seen = 10,
                       .batch_count = 1, .previous_lambda = 0.5, .weight_sum = 2.0};
  Workspace<T> workspace;
  UpdateModel model{.tau = 1.0, .penalty = Penalty::l1};

  ObjectiveCase() {
    workspace.residuals.resize(3);
    workspace.step_delta.resize(2);
  }
  double objective(bool fit_intercept, double total_weight) {
    BatchView<T> batch;
    batch.design = design;
    batch.target = target;
    batch.rows = 3;
    batch.cols = 2;
    batch.sample_weight = std::span<const T>(weights);
    model.total_weight = total_weight;
    return surrogate_objective<T>(batch, beta, state, FeatureLayout{1, fit_intercept}, model, workspace);
  }
};

TYPED_TEST(ObjectiveTest, SurrogateObjectiveCarriesThePenaltyOnlyAfterTheFirstBatch) {
  using T = TypeParam;
  ObjectiveCase<T> c;
  // (2.25 + 5.5) / 4, minus (2/4)*0.5 times the signed steps of penalised coefficients.
  EXPECT_EQ(c.objective(true, 4.0), 1.9375 - 0.25 * 0.5);
  EXPECT_EQ(c.workspace.residuals, (std::vector<T>{0.5, -4.5, 0}));
  EXPECT_EQ(c.workspace.step_delta, (std::vector<T>{0.5, 1.5}));
  EXPECT_EQ(c.objective(false, 4.0), 1.9375 - 0.25 * (0.5 - 1.5));
  c.state.n_samples_seen = 0;
  EXPECT_EQ(c.objective(false, 4.0), 1.9375);
  c.state.n_samples_seen = 10;
  c.model.penalty = Penalty::none;
  EXPECT_EQ(c.objective(false, 4.0), 1.9375);
}

// Several points in one pass: each value and each point's residuals as the
// single evaluation gives them, below and above the row threshold.
TYPED_TEST(ObjectiveTest, TrialPointsTogetherEqualEachAlone) {
  using T = TypeParam;
  const FeatureLayout layout{4, true};
  const UpdateModel model{.tau = 1.345, .penalty = Penalty::l1, .total_weight = 9.0};
  for (std::uint64_t rows : {300, 250'000}) {
    auto owned = testing::linear_batch<T>(rows, layout, {1, -1, 0.5, 2, 0.25}, 1.0, 4);
    owned.weights = testing::spread_values<T>(rows, 5);
    for (T& w : *owned.weights) w = std::abs(w);
    const BatchView<T> batch = owned.view();
    StreamState<T> state{.coefficients = testing::spread_values<T>(5, 6), .information = std::vector<T>(25, T(0.5)),
                         .n_samples_seen = 3, .batch_count = 1, .previous_lambda = 0.25, .weight_sum = 7.0};
    Workspace<T> workspace;
    ASSERT_TRUE(prepare_workspace(workspace, rows, 5));
    const auto points = testing::spread_values<T>(MAX_TRIAL_POINTS * 5, 7);
    for (std::size_t count = 1; count <= MAX_TRIAL_POINTS; ++count) {
      std::vector<double> together(count);
      surrogate_objectives<T>(batch, std::span(points).first(count * 5), state, layout, model, workspace, together);
      std::vector<std::vector<T>> residuals;
      for (std::size_t k = 0; k < count; ++k) {
        const auto buffer = trial_residual_buffer(workspace, k);
        residuals.emplace_back(buffer.begin(), buffer.end());
      }
      for (std::size_t k = 0; k < count; ++k) {
        const double alone =
            surrogate_objective<T>(batch, std::span(points).subspan(k * 5, 5), state, layout, model, workspace);
        EXPECT_TRUE(testing::same_bits<double>({together[k]}, {alone})) << rows << " rows, point " << k;
        EXPECT_TRUE(testing::same_bits(residuals[k], workspace.residuals)) << rows << " rows, point " << k;
      }
    }
  }
}

TEST(ObjectiveTest, SinglePrecisionDividesByTheRoundedWeightAndRoundsTheCarry) {
  ObjectiveCase<float> c;  // W = 3 is inexact in both precisions
  EXPECT_EQ(c.objective(true, 3.0), double(7.75f / 3.0f - float((2.0 / 3.0) * 0.5) * 0.5f));
}

TYPED_TEST(ObjectiveTest, PenalizedObjectiveSparesTheIntercept) {
  using T = TypeParam;
  const std::vector<T> beta{-1, 0.25, 3};
  const UpdateModel l1{.penalty = Penalty::l1, .lambda_value = 0.5};
  const UpdateModel none{.penalty = Penalty::none, .lambda_value = 0.5};
  EXPECT_EQ(penalized_objective<T>(beta, FeatureLayout{2, true}, l1, 1.0), 1.0 + 0.5 * 1.25);
  EXPECT_EQ(penalized_objective<T>(beta, FeatureLayout{3, false}, l1, 1.0), 1.0 + 0.5 * 4.25);
  EXPECT_EQ(penalized_objective<T>(beta, FeatureLayout{2, true}, none, 1.0), 1.0);
  EXPECT_THROW(penalized_objective<T>({}, FeatureLayout{0, true}, l1, 0.0), InternalFault);
}

}  // namespace
}  // namespace vintrel::core
