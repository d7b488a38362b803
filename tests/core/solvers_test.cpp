#include <gtest/gtest.h>

#include <cmath>

#include "core/engine.hpp"
#include "core/kernels/objective.hpp"
#include "core/kernels/vector.hpp"
#include "update_fixtures.hpp"

namespace vintrel::core {
namespace {

using testing::default_config;
using testing::linear_batch;
using testing::OwnedBatch;

// One solver call on a prepared workspace, with W and h (or lambda) given
// directly rather than derived by the driver.
template <class T>
struct SolverRun {
  OwnedBatch<T> batch;
  StreamState<T> state;
  FeatureLayout layout;
  UpdateConfig config = default_config();
  double total_weight = 1.0;
  double level = 0.1;  // bandwidth for Newton, lambda for L1
  Workspace<T> workspace;

  Result<SolveOutcome<T>> newton() {
    EXPECT_TRUE(prepare_workspace(workspace, batch.rows, batch.cols).has_value());
    return solve_newton(workspace, batch.view(), state, layout, config, level, total_weight);
  }
  Result<SolveOutcome<T>> proximal() {
    EXPECT_TRUE(prepare_workspace(workspace, batch.rows, batch.cols).has_value());
    return solve_proximal_l1(workspace, batch.view(), state, layout, config, level, total_weight);
  }
  std::vector<T> residuals_at(const std::vector<T>& beta) const {
    std::vector<T> r(batch.rows);
    compute_residuals<T>(batch.design, batch.cols, batch.target, beta, r);
    return r;
  }
};

// One row x = 1, y = 1, no intercept, tau = 1e-3: the residual at the start
// lies in the linear part of the loss, so the score is tau and the loss is
// about 1e-3, small enough that single precision sees every change below.
template <class T>
SolverRun<T> one_row_problem(T information) {
  SolverRun<T> run;
  run.layout = FeatureLayout{1, false};
  run.batch.rows = 1;
  run.batch.cols = 1;
  run.batch.design = {T(1)};
  run.batch.target = {T(1)};
  run.state = StreamState<T>::zeros(1);
  run.state.information = {information};
  run.config.tau = 1e-3;
  run.level = 1e-4;
  return run;
}

template <class T>
class SolverExitTest : public ::testing::Test {};
using Precisions = ::testing::Types<float, double>;
TYPED_TEST_SUITE(SolverExitTest, Precisions);

TYPED_TEST(SolverExitTest, OptimalStartConvergesInOneIteration) {
  using T = TypeParam;
  // y = X beta_prev exactly: zero residuals, zero gradient, zero step.
  SolverRun<T> run;
  run.layout = FeatureLayout{1, true};
  run.batch.rows = 3;
  run.batch.cols = 2;
  run.batch.design = {1, 1, 2, 1, -3, 1};
  run.batch.target = {3, 5, -5};
  run.state = StreamState<T>::zeros(2);
  run.state.coefficients = {2, 1};
  for (const bool l1 : {false, true}) {
    run.level = l1 ? 0.0 : 0.1;  // a positive lambda would shrink the start
    auto result = l1 ? run.proximal() : run.newton();
    ASSERT_TRUE(result.has_value());
    EXPECT_TRUE(result->converged);
    EXPECT_EQ(result->iterations, 1u);
    EXPECT_EQ(result->coefficients, run.state.coefficients);
    EXPECT_FALSE(result->used_regularized_fallback);
  }
}

TYPED_TEST(SolverExitTest, NewtonLineSearchFailureKeepsTheStart) {
  using T = TypeParam;
  // A restored information of -1e-6 makes the Newton matrix negative: the
  // direction climbs F, so no step from 1 down to 2^-26 is accepted.
  auto run = one_row_problem<T>(T(-1e-6));
  auto result = run.newton();
  ASSERT_TRUE(result.has_value());
  EXPECT_FALSE(result->converged);
  EXPECT_EQ(result->iterations, 1u);
  EXPECT_EQ(result->coefficients, std::vector<T>{T(0)});
  // The residuals are those of the returned coefficients, not of the last
  // rejected candidate.
  EXPECT_EQ(run.workspace.residuals, std::vector<T>{T(1)});
}

TYPED_TEST(SolverExitTest, ProximalGivesUpAfterFortyRejectedTrials) {
  using T = TypeParam;
  // Curvature 1e24 of the carried quadratic exceeds even 2^39, the last
  // trial's L, so every candidate breaks the quadratic bound.
  auto run = one_row_problem<T>(T(1e24));
  run.level = 0.0;
  auto result = run.proximal();
  ASSERT_TRUE(result.has_value());
  EXPECT_FALSE(result->converged);
  EXPECT_EQ(result->iterations, 1u);
  EXPECT_EQ(result->coefficients, std::vector<T>{T(0)});
  EXPECT_EQ(run.workspace.residuals, std::vector<T>{T(1)});
}

TYPED_TEST(SolverExitTest, IterationCapAndInvariantsOnEveryExit) {
  using T = TypeParam;
  const FeatureLayout layout{3, true};
  for (const bool l1 : {false, true}) {
    double previous = std::numeric_limits<double>::infinity();
    for (const std::uint64_t cap : {1u, 2u, 3u, 200u}) {
      SolverRun<T> run;
      run.layout = layout;
      run.batch = linear_batch<T>(60, layout, {1.5, -2.0, 0.0, 4.0}, 1.0, 9);
      run.batch.target[3] = T(40);  // an outlier keeps the fit genuinely Huber
      run.state = StreamState<T>::zeros(4);
      run.config.max_iter = cap;
      run.config.tolerance = 1e-6;
      run.total_weight = 3.0;
      run.level = l1 ? 0.5 : 0.3;
      auto result = l1 ? run.proximal() : run.newton();
      ASSERT_TRUE(result.has_value());
      SCOPED_TRACE(::testing::Message() << (l1 ? "l1" : "newton") << " cap " << cap);
      if (cap < 3) {
        EXPECT_EQ(result->iterations, cap);
        EXPECT_FALSE(result->converged);
      } else {
        EXPECT_LE(result->iterations, cap);
      }
      if (cap == 200) {
        EXPECT_TRUE(result->converged);
      }
      // The reported F and the workspace residuals belong to the returned
      // coefficients.
      Workspace<T> fresh;
      ASSERT_TRUE(prepare_workspace(fresh, run.batch.rows, run.batch.cols).has_value());
      const double f = surrogate_objective<T>(run.batch.view(), result->coefficients, run.state, layout,
                                              run.config, run.total_weight, fresh);
      EXPECT_EQ(result->objective, f);
      EXPECT_TRUE(testing::same_bits(run.workspace.residuals, run.residuals_at(result->coefficients)));
      if (!l1) {
        EXPECT_LE(result->objective, previous);  // accepted Newton steps never raise F
      }
      previous = result->objective;
    }
  }
}

TEST(NewtonSolverTest, HugeTauSingleBatchIsLeastSquares) {
  const FeatureLayout layout{4, true};
  auto batch = linear_batch<double>(500, layout, {0.5, -1.0, 2.0, 0.0, 3.0}, 2.0, 17);
  batch.weights = std::vector<double>(500);
  for (std::size_t i = 0; i < 500; ++i) (*batch.weights)[i] = 0.25 + double(i % 7) / 3.0;
  UpdateConfig config = default_config();
  config.tau = 1e8;
  config.ridge = 0.0;
  Workspace<double> workspace;
  auto result = update_stream(workspace, batch.view(), StreamState<double>::zeros(5), layout, config);
  ASSERT_TRUE(result.has_value()) << display(result.error());
  EXPECT_TRUE(result->summary.converged);
  EXPECT_FALSE(result->summary.used_regularized_fallback);
  const auto expected = testing::least_squares(batch);
  for (std::size_t j = 0; j < 5; ++j) {
    EXPECT_NEAR(result->state.coefficients[j], expected[j], 1e-10 * std::abs(expected[j]) + 1e-14) << j;
  }
}

}  // namespace
}  // namespace vintrel::core
