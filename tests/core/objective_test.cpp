#include "core/kernels/objective.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "core/error.hpp"

namespace vintrel::core {
namespace {

template <class T>
class ObjectiveTest : public ::testing::Test {};
using Precisions = ::testing::Types<float, double>;
TYPED_TEST_SUITE(ObjectiveTest, Precisions);

TYPED_TEST(ObjectiveTest, RampEdgesAndPlateau) {
  using T = TypeParam;
  const auto ramp = CurvatureRamp<T>::make(1.5, 0.5);  // a = 0.5
  const T nan = std::numeric_limits<T>::quiet_NaN();
  const std::pair<T, T> cases[] = {
      {-2.0, 0.0},  {-1.75, 0.25}, {-1.5, 0.5}, {-1.0, 1.0}, {0.0, 1.0},  {1.0, 1.0},
      {1.25, 0.75}, {1.5, 0.5},    {2.0, 0.0},  {2.5, 0.0},  {-9.0, 0.0}, {nan, 0.0},
  };
  for (const auto& [r, expected] : cases) EXPECT_EQ(smoothed_curvature(r, ramp), expected) << "r = " << r;
}

TYPED_TEST(ObjectiveTest, HalfWidthIsCappedAtTauAndFallsBackToBandwidthForNaNTau) {
  using T = TypeParam;
  // h > tau: a = tau, the plateau is empty and r = 0 ends the first ramp at 1.
  const auto capped = CurvatureRamp<T>::make(0.5, 4.0);
  EXPECT_EQ(capped.width, T(1));
  EXPECT_EQ(smoothed_curvature(T(0), capped), T(1));
  EXPECT_EQ(smoothed_curvature(T(0.5), capped), T(0.5));

  const auto nan_tau = CurvatureRamp<T>::make(std::numeric_limits<double>::quiet_NaN(), 0.25);
  EXPECT_EQ(nan_tau.width, T(0.5));
}

TEST(ObjectiveTest, SinglePrecisionThresholdsAreFormedFromRoundedValues) {
  const auto ramp = CurvatureRamp<float>::make(0.1, 0.03);
  EXPECT_EQ(ramp.tau, 0.1f);
  EXPECT_EQ(ramp.width, 2.0f * 0.03f);
  EXPECT_EQ(ramp.upper_outer, 0.1f + 0.03f);
  EXPECT_EQ(ramp.lower_outer, -0.1f - 0.03f);
  EXPECT_EQ(ramp.upper_inner, 0.1f - 0.03f);
}

TYPED_TEST(ObjectiveTest, HuberLossAtTauUsesTheQuadraticBranch) {
  using T = TypeParam;
  EXPECT_EQ(huber_loss(T(2), T(2)), T(2));
  EXPECT_EQ(huber_loss(T(-2), T(2)), T(2));
  EXPECT_EQ(huber_loss(T(-5), T(2)), T(8));
  EXPECT_EQ(huber_score(T(-5), T(2)), T(-2));
  EXPECT_TRUE(std::isnan(huber_score(std::numeric_limits<T>::quiet_NaN(), T(2))));
}

// Three rows and two coefficients (the second one the intercept when
// fitted), with dyadic values so the objective is exact:
// residuals 0.5, -4.5, 0; L = 2*0.125 + 0.5*4 + 3*0 = 2.25;
// delta = (0.5, 1.5), I_prev delta = (2.5, 6.5), Q = 5.5.
template <class T>
struct ObjectiveCase {
  std::vector<T> design{2, 1, 0, 1, 1, 1};
  std::vector<T> target{3, -4, 1.5};
  std::vector<T> weights{2, 0.5, 3};
  std::vector<T> beta{1, 0.5};
  StreamState<T> state;
  Workspace<T> workspace;
  UpdateConfig config;

  ObjectiveCase() {
    state.coefficients = {0.5, -1};
    state.information = {2, 1, 1, 4};
    state.n_samples_seen = 10;
    state.weight_sum = 2.0;
    state.previous_lambda = 0.5;
    workspace.residuals.assign(3, std::numeric_limits<T>::quiet_NaN());
    workspace.step_delta.assign(2, std::numeric_limits<T>::quiet_NaN());
    config.tau = 1.0;
    config.penalty = Penalty::l1;
  }

  BatchView<T> batch() const {
    return BatchView<T>{.design = design, .target = target, .rows = 3, .cols = 2, .sample_weight = weights};
  }
  double objective(bool fit_intercept, double total_weight) {
    return surrogate_objective<T>(batch(), beta, state, FeatureLayout{1, fit_intercept}, config, total_weight,
                                  workspace);
  }
};

TYPED_TEST(ObjectiveTest, SurrogateObjectiveAndItsSideEffects) {
  using T = TypeParam;
  ObjectiveCase<T> c;
  // (2.25 + 5.5) / 4 = 1.9375; carry (2/4)*0.5 = 0.25 times the signed step
  // of the penalised coefficients only.
  EXPECT_EQ(c.objective(true, 4.0), 1.9375 - 0.25 * 0.5);
  EXPECT_EQ(c.workspace.residuals, (std::vector<T>{0.5, -4.5, 0}));
  EXPECT_EQ(c.workspace.step_delta, (std::vector<T>{0.5, 1.5}));
  EXPECT_EQ(c.objective(false, 4.0), 1.9375 - 0.25 * (0.5 - 1.5));

  c.state.n_samples_seen = 0;  // first batch: no carried-over L1 term
  EXPECT_EQ(c.objective(false, 4.0), 1.9375);
  c.state.n_samples_seen = 10;
  c.config.penalty = Penalty::none;
  EXPECT_EQ(c.objective(false, 4.0), 1.9375);
}

TEST(ObjectiveTest, SinglePrecisionDividesByTheRoundedWeightAndRoundsTheCarry) {
  ObjectiveCase<float> c;
  const float expected =
      7.75f / 3.0f - static_cast<float>((2.0 / 3.0) * 0.5) * 0.5f;  // W = 3 is inexact in both
  EXPECT_EQ(c.objective(true, 3.0), static_cast<double>(expected));
  ObjectiveCase<double> d;
  EXPECT_EQ(d.objective(true, 3.0), 7.75 / 3.0 - ((2.0 / 3.0) * 0.5) * 0.5);
}

TYPED_TEST(ObjectiveTest, PenalizedObjectiveAddsTheL1TermOfPenalisedCoefficients) {
  using T = TypeParam;
  const std::vector<T> beta{-1, 0.25, 3};
  EXPECT_EQ(penalized_objective<T>(beta, FeatureLayout{2, true}, Penalty::l1, 1.0, 0.5), 1.0 + 0.5 * 1.25);
  EXPECT_EQ(penalized_objective<T>(beta, FeatureLayout{3, false}, Penalty::l1, 1.0, 0.5), 1.0 + 0.5 * 4.25);
  EXPECT_EQ(penalized_objective<T>(beta, FeatureLayout{2, true}, Penalty::none, 1.0, 0.5), 1.0);
  // Only the intercept: the sum starts at -0.0, so a -0.0 objective stays -0.0.
  EXPECT_TRUE(std::signbit(penalized_objective<T>(std::vector<T>{7}, FeatureLayout{0, true}, Penalty::l1, -0.0, 2.0)));
  EXPECT_THROW(penalized_objective<T>({}, FeatureLayout{0, true}, Penalty::l1, 0.0, 1.0), InternalFault);
}

}  // namespace
}  // namespace vintrel::core
