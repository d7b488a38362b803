#include "core/kernels/objective.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "core/error.hpp"
#include "kernel_testing.hpp"

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

// Two coefficients (the second the intercept when fitted), dyadic values:
// residuals 0.5, -4.5, 0 (the last exactly at no loss, the second linear);
// L = 2*0.125 + 0.5*4 + 0 = 2.25; delta = (0.5, 1.5); Q = 5.5.
template <class T>
struct ObjectiveCase {
  std::vector<T> design{2, 1, 0, 1, 1, 1}, target{3, -4, 1.5}, weights{2, 0.5, 3}, beta{1, 0.5};
  StreamState<T> state{.coefficients = {0.5, -1}, .information = {2, 1, 1, 4}, .n_samples_seen = 10,
                       .batch_count = 1, .previous_lambda = 0.5, .weight_sum = 2.0};
  Workspace<T> workspace;
  UpdateConfig config;

  ObjectiveCase() {
    workspace.residuals.resize(3);
    workspace.step_delta.resize(2);
    config.tau = 1.0;
    config.penalty = Penalty::l1;
  }
  double objective(bool fit_intercept, double total_weight) {
    BatchView<T> batch;
    batch.design = design;
    batch.target = target;
    batch.rows = 3;
    batch.cols = 2;
    batch.sample_weight = std::span<const T>(weights);
    return surrogate_objective<T>(batch, beta, state, FeatureLayout{1, fit_intercept}, config, total_weight,
                                  workspace);
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
  c.config.penalty = Penalty::none;
  EXPECT_EQ(c.objective(false, 4.0), 1.9375);
}

TEST(ObjectiveTest, SinglePrecisionDividesByTheRoundedWeightAndRoundsTheCarry) {
  ObjectiveCase<float> c;  // W = 3 is inexact in both precisions
  EXPECT_EQ(c.objective(true, 3.0), double(7.75f / 3.0f - float((2.0 / 3.0) * 0.5) * 0.5f));
}

TYPED_TEST(ObjectiveTest, PenalizedObjectiveSparesTheIntercept) {
  using T = TypeParam;
  const std::vector<T> beta{-1, 0.25, 3};
  EXPECT_EQ(penalized_objective<T>(beta, FeatureLayout{2, true}, Penalty::l1, 1.0, 0.5), 1.0 + 0.5 * 1.25);
  EXPECT_EQ(penalized_objective<T>(beta, FeatureLayout{3, false}, Penalty::l1, 1.0, 0.5), 1.0 + 0.5 * 4.25);
  EXPECT_EQ(penalized_objective<T>(beta, FeatureLayout{2, true}, Penalty::none, 1.0, 0.5), 1.0);
  EXPECT_THROW(penalized_objective<T>({}, FeatureLayout{0, true}, Penalty::l1, 0.0, 1.0), InternalFault);
}

}  // namespace
}  // namespace vintrel::core
