#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <string>

#include "core/engine.hpp"
#include "core/kernels/objective.hpp"
#include "core/kernels/partition.hpp"
#include "core/kernels/vector.hpp"
#include "core/pool.hpp"
#include "core/solvers.hpp"
#include "update_fixtures.hpp"

namespace vintrel::core {
namespace {

using testing::default_config;
using testing::linear_batch;
using testing::OwnedBatch;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kMax = std::numeric_limits<double>::max();
constexpr std::uint64_t kMaxCount = std::numeric_limits<std::uint64_t>::max();

// A valid update (two features and an intercept, eight rows, fresh state)
// that each case breaks in one or more places.
struct UpdateCase {
  FeatureLayout layout{2, true};
  OwnedBatch<double> batch = linear_batch<double>(8, layout, {1.0, -2.0, 0.5}, 0.1, 11);
  StreamState<double> state = StreamState<double>::zeros(3);
  UpdateConfig config = default_config();
  Result<UpdateOutcome<double>> run() {
    Workspace<double> workspace;
    return update_stream(workspace, batch.view(), state, layout, config);
  }
  std::vector<double>& weights(double value) { return batch.weights.emplace(8, value); }
};

using CheckCase = testing::CheckCase<UpdateCase>;

class UpdateCheckOrderTest : public ::testing::TestWithParam<CheckCase> {};

TEST_P(UpdateCheckOrderTest, FirstFailingCheckWins) { testing::expect_first_failing_check(GetParam()); }

using E = EngineError;
INSTANTIATE_TEST_SUITE_P(
    Driver, UpdateCheckOrderTest,
    ::testing::Values(
        // State, then configuration, then batch; a later fault never masks an earlier one.
        CheckCase{"layout_first",
                  [](UpdateCase& s) { s.layout.n_features_in = 3; s.config.model.tau = 0; s.batch.rows = 0; },
                  E::state("coefficient shape does not match feature metadata")},
        CheckCase{"information_shape", [](UpdateCase& s) { s.state.information.pop_back(); s.config.model.tau = 0; },
                  E::state("information shape does not match feature metadata")},
        CheckCase{"weight_sum_after_samples",
                  [](UpdateCase& s) { s.state.weight_sum = -0.0; s.state.n_samples_seen = 5; },
                  E::state("weight_sum must be positive after observing samples")},
        CheckCase{"information_finite", [](UpdateCase& s) { s.state.information[8] = -kInf; },
                  E::state("state arrays must contain only finite values")},
        CheckCase{"tau_before_batch", [](UpdateCase& s) { s.config.model.tau = 0; s.batch.rows = 0; },
                  E::configuration("tau must be finite and positive")},
        CheckCase{"ridge", [](UpdateCase& s) { s.config.solver.ridge = -1; },
                  E::configuration("ridge must be finite and non-negative")},
        CheckCase{"l1_ratio_missing", [](UpdateCase& s) { s.config.model.penalty = Penalty::elasticnet; s.batch.rows = 0; },
                  E::configuration("l1_ratio must be in [0, 1] under this penalty")},
        CheckCase{"l1_ratio_nan",
                  [](UpdateCase& s) { s.config.model.penalty = Penalty::elasticnet; s.config.model.l1_ratio = kNaN; },
                  E::configuration("l1_ratio must be in [0, 1] under this penalty")},
        CheckCase{"l1_ratio_unused", [](UpdateCase& s) { s.config.model.l1_ratio = 0.5; s.config.model.discount = 0; },
                  E::configuration("l1_ratio does not apply to this penalty")},
        CheckCase{"discount_before_solver",
                  [](UpdateCase& s) { s.config.model.discount = kNaN; s.config.solver.solver = PenaltySolver::coordinate; },
                  E::configuration("discount must be in (0, 1]")},
        CheckCase{"solver_of_another_penalty",
                  [](UpdateCase& s) { s.config.solver.solver = PenaltySolver::proximal_l1; s.batch.rows = 0; },
                  E::configuration("solver does not apply to this penalty")},
        CheckCase{"empty_batch", [](UpdateCase& s) { s.batch.rows = 0; s.batch.cols = 7; },
                  E::batch("batch must contain at least one row")},
        CheckCase{"width",
                  [](UpdateCase& s) { s.batch.cols = 2; }, E::batch("design width does not match state parameters")},
        CheckCase{"element_count_overflow",
                  [](UpdateCase& s) { s.batch.rows = std::uint64_t{1} << 63; }, E::overflow()},
        CheckCase{"trailing_element", [](UpdateCase& s) { s.batch.design.push_back(0.0); },
                  E::batch("design buffer is not a complete contiguous matrix")},
        CheckCase{"batch_weight_before_arrays",
                  [](UpdateCase& s) { s.batch.batch_weight = 0; s.batch.design[0] = kNaN; },
                  E::batch("batch_weight must be finite and positive")},
        CheckCase{"arrays_before_weights",
                  [](UpdateCase& s) { s.batch.target[7] = kNaN; s.batch.weights.emplace(3, 1.0); },
                  E::batch("batch arrays must contain only finite values")},
        CheckCase{"weight_range_before_all_zero", [](UpdateCase& s) { s.weights(0.0)[7] = kNaN; },
                  E::batch("sample_weight must be finite and non-negative")},
        CheckCase{"weights_all_zero", [](UpdateCase& s) { s.weights(0.0)[2] = -0.0; },
                  E::batch("sample_weight must contain a positive value")},
        CheckCase{"samples_seen_overflow",
                  [](UpdateCase& s) { s.state.n_samples_seen = kMaxCount - 7; s.state.weight_sum = 1; },
                  E::overflow()},
        CheckCase{"combined_weight",
                  [](UpdateCase& s) {
                    s.state.weight_sum = kMax;
                    s.state.n_samples_seen = 1;
                    s.batch.batch_weight = kMax;
                  },
                  E::batch("combined effective weight must be finite and positive")},
        // Overflowing sums: under "none" the Newton matrix overflows and no
        // solve can use it; under "l1" (no Newton matrix) the information does.
        CheckCase{"newton_matrix_overflow",
                  [](UpdateCase& s) {
                    s.batch.design[0] = 1e154;
                    s.state.information[0] = kMax;
                    s.config.model.tau = 1e300;
                  },
                  E::linear_solve()},
        CheckCase{"information_overflow",
                  [](UpdateCase& s) {
                    s.batch.design[0] = 1e154;
                    s.state.information[0] = kMax;
                    s.config.model.tau = 1e300;
                    s.config.model.penalty = Penalty::l1;
                  },
                  E::non_finite()}),
    [](const auto& test_info) { return test_info.param.name; });

TEST(UpdateDriverTest, BoundaryValuesPass) {
  UpdateCase setup;
  setup.state.previous_lambda = -0.0;
  setup.weights(-0.0)[5] = 1e-300;
  EXPECT_TRUE(setup.run().has_value());
}

TEST(UpdateDriverTest, LevelsAndCountersOfTheNewState) {
  struct Case {
    std::uint64_t features;
    double batch_weight, tau, bandwidth_scale, lambda_scale, bandwidth, lambda_value;
  };
  const Case cases[] = {
      {1, 4.0, 1.345, 1.0, 1.0, 0.7213475204444817, 0.5598929760035517},
      {2, 4.0, 1.345, 1.0, 1.0, 0.7213475204444817, 0.5598929760035517},  // m = max(n_features_in, 2)
      {10, 100.0, 1.0, 0.5, 2.0, 0.021714724095162587, 0.30348542587702926},
      {3, 2.0, 0.8, 1e300, 1.0, 0.8, 0.8 * std::sqrt(std::log(3.0) / 2.0)},  // capped at tau
  };
  for (const auto& c : cases) {
    const FeatureLayout layout{c.features, true};
    auto batch = linear_batch<double>(20, layout, std::vector<double>(c.features + 1, 0.5), 0.3, 5);
    batch.batch_weight = c.batch_weight;
    UpdateConfig config = default_config(Penalty::l1);
    config.model.tau = c.tau;
    config.model.bandwidth_scale = c.bandwidth_scale;
    config.model.lambda_scale = c.lambda_scale;
    Workspace<double> workspace;
    auto l1 = update_stream(workspace, batch.view(), StreamState<double>::zeros(c.features + 1), layout, config);
    ASSERT_TRUE(l1.has_value());
    EXPECT_DOUBLE_EQ(l1->summary.bandwidth, c.bandwidth);
    EXPECT_DOUBLE_EQ(l1->summary.lambda_value, c.lambda_value);
    EXPECT_EQ(l1->state.previous_lambda, l1->summary.lambda_value);

    config.model.penalty = Penalty::none;
    auto plain = update_stream(workspace, batch.view(), l1->state, layout, config);
    ASSERT_TRUE(plain.has_value());
    EXPECT_EQ(plain->summary.lambda_value, 0.0);
    EXPECT_EQ(plain->state.previous_lambda, 0.0);
    EXPECT_EQ(plain->state.weight_sum, 2 * c.batch_weight);
    EXPECT_EQ(plain->state.n_samples_seen, 40u);
    EXPECT_EQ(plain->state.batch_count, 2u);
  }
}

TEST(UpdateDriverTest, HugeTauGivesWeightedLeastSquaresAndAddsTheWeightedGram) {
  // Every residual lies in the flat part of the curvature: the fit is
  // weighted least squares and the increment is sum_i w_i x_i x_i^T.
  const FeatureLayout layout{1, true};
  auto batch = linear_batch<double>(300, layout, {-2.0, 3.0}, 2.0, 17);
  std::vector<double>& w = batch.weights.emplace(300);
  for (std::size_t i = 0; i < 300; ++i) w[i] = 0.25 + double(i % 7) / 3.0;
  const StreamState<double> state = StreamState<double>::zeros(2);
  UpdateConfig config = default_config();
  config.model.tau = 1e8;
  Workspace<double> workspace;
  auto result = update_stream(workspace, batch.view(), state, layout, config);
  ASSERT_TRUE(result.has_value());
  EXPECT_TRUE(result->summary.converged);
  EXPECT_FALSE(result->summary.used_regularized_fallback);

  long double sw = 0, sx = 0, sy = 0, sxx = 0, sxy = 0;
  for (std::size_t i = 0; i < 300; ++i) {
    const long double x = batch.design[2 * i], y = batch.target[i];
    sw += w[i], sx += w[i] * x, sy += w[i] * y, sxx += w[i] * x * x, sxy += w[i] * x * y;
  }
  const long double slope = (sw * sxy - sx * sy) / (sw * sxx - sx * sx);
  const long double intercept = (sy - slope * sx) / sw;
  EXPECT_NEAR(result->state.coefficients[0], double(slope), 1e-10 * std::abs(double(slope)));
  EXPECT_NEAR(result->state.coefficients[1], double(intercept), 1e-10 * std::abs(double(intercept)));
  const double gram[] = {double(sxx), double(sx), double(sx), double(sw)};
  for (std::size_t k = 0; k < 4; ++k) EXPECT_NEAR(result->state.information[k], gram[k], 1e-12 * double(sw + sxx));
}

TEST(UpdateDriverTest, L1ZeroesWeakCoefficientsButNeverTheIntercept) {
  for (const bool fit_intercept : {true, false}) {
    const FeatureLayout layout{3, fit_intercept};
    std::vector<double> beta = {3.0, 0.0, 0.001, 5.0};
    beta.resize(layout.n_parameters().value());
    auto batch = linear_batch<double>(200, layout, beta, 0.2, 21);
    UpdateConfig config = default_config(Penalty::l1);
    config.solver.max_iter = 500;
    for (const double scale : {15.0, 1e6}) {  // lambda about 21 (seven noise deviations), then enormous
      config.model.lambda_scale = scale;
      Workspace<double> workspace;
      auto result = update_stream(workspace, batch.view(), StreamState<double>::zeros(beta.size()), layout, config);
      ASSERT_TRUE(result.has_value());
      const auto& fitted = result->state.coefficients;
      EXPECT_TRUE(scale < 1e6 ? fitted[0] > 1.0 : fitted[0] == 0.0);
      EXPECT_EQ(fitted[1], 0.0);
      EXPECT_EQ(fitted[2], 0.0);
      if (fit_intercept) {
        EXPECT_GT(fitted[3], 1.0);
      }
      EXPECT_FALSE(result->summary.used_regularized_fallback);
    }
  }
}

TEST(UpdateDriverTest, AllOutlierFirstBatchUsesTheRegularizedFallback) {
  // All residuals beyond tau + a: zero curvature, a zero Newton matrix, and
  // a zero direction from the singular-value step.
  OwnedBatch<double> batch{{1, 1, -1, 1, 2, 1, 0.5, 1}, {100, 120, 90, 110}, std::nullopt, 4, 2, 1.0};
  Workspace<double> workspace;
  auto result = update_stream(workspace, batch.view(), StreamState<double>::zeros(2), FeatureLayout{1, true},
                              default_config());
  ASSERT_TRUE(result.has_value());
  EXPECT_TRUE(result->summary.used_regularized_fallback);
  EXPECT_TRUE(result->summary.converged);
  EXPECT_EQ(result->summary.iterations, 1u);
  EXPECT_EQ(result->state.coefficients, std::vector<double>(2, 0.0));
}

template <class T>
class WorkspaceTest : public ::testing::Test {};
TYPED_TEST_SUITE(WorkspaceTest, testing::Precisions);

TYPED_TEST(WorkspaceTest, SizedBySlotRulesAndReusedForEqualShapes) {
  using T = TypeParam;
  const auto lengths = [](const Workspace<T>& w) {
    return std::vector<std::size_t>{w.residuals.size(),  w.psi.size(),     w.curvature.size(), w.row_scratch.size(),
                                    w.gram_partials.size(), w.gradient_partials.size(), w.gradient.size(),
                                    w.newton_matrix.size(), w.gram.size(), w.step_delta.size(),
                                    w.direction.size(), w.candidate.size(), w.step.size()};
  };
  EnginePool(2).run([&] {
    Workspace<T> w;
    ASSERT_TRUE(prepare_workspace(w, 300, 3).has_value());  // no slots; scratch of min(n, 256) rows
    EXPECT_EQ(lengths(w), (std::vector<std::size_t>{300, 300, 300, 768, 0, 0, 3, 9, 9, 3, 3, 3, 3}));
    // n p = 4,000,000 and n p p = 16,000,000: two gradient and two Gram
    // slots, when the two threads can run at once.
    if (running_threads() < 2) return;
    ASSERT_TRUE(prepare_workspace(w, 1'000'000, 4).has_value());
    const std::size_t stride = gradient_partial_stride(4, sizeof(T));
    EXPECT_EQ(lengths(w), (std::vector<std::size_t>{1'000'000, 1'000'000, 1'000'000, 2048, 32, 2 * stride, 4, 16,
                                                    16, 4, 4, 4, 4}));
    EXPECT_EQ(std::pair(w.gram_slots, w.gradient_slots), (std::pair<std::uint64_t, std::uint64_t>(2, 2)));
  });
  // A pool far larger than the machine: the slot counts follow the pool,
  // the scratch only the threads that can run at once.
  EnginePool(65'535).run([&] {
    Workspace<T> w;
    ASSERT_TRUE(prepare_workspace(w, 70'000, 16).has_value());
    const std::size_t running = static_cast<std::size_t>(running_threads());
    const std::uint64_t gram_slots = sizeof(T) == 8 ? 32'768 : 65'535;  // the 64 MiB budget, or the pool
    EXPECT_EQ(std::pair(w.gram_slots, w.gradient_slots), (std::pair<std::uint64_t, std::uint64_t>(gram_slots, 65'535)));
    EXPECT_EQ(w.row_scratch.size(), slots_at_once(w.gram_slots, running + 1) * 256 * 16);
    EXPECT_EQ(w.gram_partials.size(), (running + 1) * 256);
    EXPECT_EQ(w.gradient_partials.size(), (running + 1) * gradient_partial_stride(16, sizeof(T)));
  });

  const FeatureLayout layout{3, true};
  Workspace<T> w;
  auto one = update_stream(w, linear_batch<T>(40, layout, {1, 2, 3, 4}, 0.1, 1).view(), StreamState<T>::zeros(4),
                           layout, default_config());
  ASSERT_TRUE(one.has_value());
  const std::vector<const T*> storage = {w.residuals.data(), w.row_scratch.data(), w.gram.data(), w.step.data()};
  auto two = update_stream(w, linear_batch<T>(40, layout, {1, 2, 3, 4}, 0.1, 2).view(), one->state, layout,
                           default_config());
  ASSERT_TRUE(two.has_value());
  EXPECT_EQ((std::vector<const T*>{w.residuals.data(), w.row_scratch.data(), w.gram.data(), w.step.data()}), storage);
}

// One solver call with W and the level (h or lambda) given directly.
template <class T>
struct SolverRun {
  OwnedBatch<T> batch;
  FeatureLayout layout;
  StreamState<T> state;
  UpdateConfig config = default_config();
  double total_weight = 1.0, level = 0.1;
  Workspace<T> workspace;

  UpdateModel model(bool l1) const {
    return {.tau = config.model.tau, .penalty = l1 ? Penalty::l1 : Penalty::none, .total_weight = total_weight,
            .bandwidth = level, .lambda_value = level};
  }
  Result<SolveOutcome<T>> solve(bool l1) {
    EXPECT_TRUE(prepare_workspace(workspace, batch.rows, batch.cols).has_value());
    const auto view = batch.view();
    return l1 ? solve_proximal_l1(workspace, view, state, layout, model(l1), config.solver)
              : solve_newton(workspace, view, state, layout, model(l1), config.solver);
  }
};

template <class T>
SolverRun<T> make_run(OwnedBatch<T> batch, FeatureLayout layout, StreamState<T> state) {
  SolverRun<T> run;
  run.batch = std::move(batch);
  run.layout = layout;
  run.state = std::move(state);
  return run;
}

// x = 1, y = 1, tau = 1e-3: the start sits in the linear part of the loss,
// so F is about 1e-3 and single precision sees every change below.
template <class T>
SolverRun<T> one_row(T information) {
  auto run = make_run<T>({{1}, {1}, std::nullopt, 1, 1, 1.0}, FeatureLayout{1, false}, StreamState<T>::zeros(1));
  run.state.information = {information};
  run.config.model.tau = 1e-3;
  run.level = 1e-4;
  return run;
}

template <class T>
class SolverExitTest : public ::testing::Test {};
TYPED_TEST_SUITE(SolverExitTest, testing::Precisions);

TYPED_TEST(SolverExitTest, ExitsThatKeepTheStart) {
  using T = TypeParam;
  // y = X beta_prev exactly: zero gradient, zero step, converged at once.
  auto exact = make_run<T>({{1, 1, 2, 1, -3, 1}, {3, 5, -5}, std::nullopt, 3, 2, 1.0}, FeatureLayout{1, true},
                           StreamState<T>::zeros(2));
  exact.state.coefficients = {2, 1};
  exact.level = 0.0;  // as lambda: a positive one would shrink the start
  // Information -1e-6 turns the Newton matrix negative: its direction climbs
  // F at every step length down to 2^-26.
  auto climbing = one_row<T>(T(-1e-6));
  // A carried curvature of 1e24 exceeds even the last trial's L = 2^39.
  auto stiff = one_row<T>(T(1e24));
  stiff.level = 0.0;
  struct Case {
    SolverRun<T>* run;
    bool l1, converged;
  };
  for (const Case c : {Case{&exact, false, true}, Case{&exact, true, true}, Case{&climbing, false, false},
                       Case{&stiff, true, false}}) {
    auto result = c.run->solve(c.l1);
    ASSERT_TRUE(result.has_value());
    EXPECT_EQ(result->converged, c.converged);
    EXPECT_EQ(result->iterations, 1u);
    EXPECT_EQ(result->coefficients, c.run->state.coefficients);
    // The residuals are those of the returned coefficients, not of the last
    // rejected candidate.
    EXPECT_EQ(c.run->workspace.residuals[0], c.converged ? T(0) : T(1));
  }
}

TYPED_TEST(SolverExitTest, IterationCapAndWhatEveryExitLeavesBehind) {
  using T = TypeParam;
  const FeatureLayout layout{3, true};
  for (const bool l1 : {false, true}) {
    double previous = kInf;
    for (const std::uint64_t cap : {1u, 2u, 3u, 200u}) {
      SCOPED_TRACE(::testing::Message() << (l1 ? "l1" : "newton") << " cap " << cap);
      auto run = make_run(linear_batch<T>(60, layout, {1.5, -2.0, 0.0, 4.0}, 1.0, 9), layout, StreamState<T>::zeros(4));
      run.batch.target[3] = T(40);  // an outlier keeps the fit genuinely Huber
      run.config.solver.max_iter = cap;
      run.config.solver.tolerance = 1e-6;
      run.total_weight = 3.0;
      auto result = run.solve(l1);
      ASSERT_TRUE(result.has_value());
      EXPECT_LE(result->iterations, cap);
      if (cap < 3) {
        EXPECT_EQ(result->iterations, cap);
        EXPECT_FALSE(result->converged);
      }
      if (cap == 200) {
        EXPECT_TRUE(result->converged);
      }
      // F and the workspace residuals belong to the returned coefficients.
      Workspace<T> fresh;
      ASSERT_TRUE(prepare_workspace(fresh, run.batch.rows, run.batch.cols).has_value());
      EXPECT_EQ(result->objective, surrogate_objective<T>(run.batch.view(), result->coefficients, run.state, layout,
                                                          run.model(l1), fresh));
      EXPECT_TRUE(testing::same_bits(run.workspace.residuals, fresh.residuals));
      if (!l1) {
        EXPECT_LE(result->objective, previous);  // accepted Newton steps never raise F
      }
      previous = result->objective;
    }
  }
}

}  // namespace
}  // namespace vintrel::core
