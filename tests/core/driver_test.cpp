#include <gtest/gtest.h>

#include <functional>
#include <limits>
#include <string>

#include "core/engine.hpp"
#include "core/pool.hpp"
#include "update_fixtures.hpp"

namespace vintrel::core {
namespace {

using testing::default_config;
using testing::linear_batch;
using testing::OwnedBatch;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr std::uint64_t kMaxU64 = std::numeric_limits<std::uint64_t>::max();

// A valid update (two features and an intercept, eight rows, a fresh state)
// that each case below breaks in one or more places.
struct UpdateSetup {
  FeatureLayout layout{2, true};
  OwnedBatch<double> batch = linear_batch<double>(8, layout, {1.0, -2.0, 0.5}, 0.1, 11);
  StreamState<double> state = StreamState<double>::zeros(3);
  UpdateConfig config = default_config();

  Result<UpdateOutcome<double>> run() {
    Workspace<double> workspace;
    return update_stream(workspace, batch.view(), state, layout, config);
  }
};

struct CheckCase {
  std::string name;
  std::function<void(UpdateSetup&)> breaks;
  EngineError expected;

  friend void PrintTo(const CheckCase& c, std::ostream* os) { *os << c.name; }
};

class UpdateCheckOrderTest : public ::testing::TestWithParam<CheckCase> {};

TEST_P(UpdateCheckOrderTest, FirstFailingCheckWins) {
  UpdateSetup setup;
  GetParam().breaks(setup);
  const StreamState<double> before = setup.state;
  auto result = setup.run();
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error(), GetParam().expected) << display(result.error());
  EXPECT_TRUE(testing::same_bits(setup.state.coefficients, before.coefficients));
  EXPECT_TRUE(testing::same_bits(setup.state.information, before.information));
}

const EngineError kCoefficientShape = EngineError::state("coefficient shape does not match feature metadata");
const EngineError kStateFinite = EngineError::state("state arrays must contain only finite values");
const EngineError kTau = EngineError::configuration("tau must be finite and positive");
const EngineError kBatchFinite = EngineError::batch("batch arrays must contain only finite values");
const EngineError kWeightRange = EngineError::batch("sample_weight must be finite and non-negative");

INSTANTIATE_TEST_SUITE_P(
    Driver, UpdateCheckOrderTest,
    ::testing::Values(
        // State checks come first, then configuration, then the batch.
        CheckCase{"layout_before_config_and_batch",
                  [](UpdateSetup& s) { s.layout.n_features_in = 3; s.config.tau = 0; s.batch.rows = 0; },
                  kCoefficientShape},
        CheckCase{"intercept_flag_changes_width", [](UpdateSetup& s) { s.layout.fit_intercept = false; },
                  kCoefficientShape},
        CheckCase{"information_shape", [](UpdateSetup& s) { s.state.information.pop_back(); s.config.tau = 0; },
                  EngineError::state("information shape does not match feature metadata")},
        CheckCase{"previous_lambda_nan", [](UpdateSetup& s) { s.state.previous_lambda = kNaN; },
                  EngineError::state("previous_lambda must be finite and non-negative")},
        CheckCase{"previous_lambda_negative", [](UpdateSetup& s) { s.state.previous_lambda = -1e-300; },
                  EngineError::state("previous_lambda must be finite and non-negative")},
        CheckCase{"weight_sum_infinite", [](UpdateSetup& s) { s.state.weight_sum = kInf; },
                  EngineError::state("weight_sum must be finite and non-negative")},
        CheckCase{"weight_sum_zero_after_samples",
                  [](UpdateSetup& s) { s.state.weight_sum = -0.0; s.state.n_samples_seen = 5; },
                  EngineError::state("weight_sum must be positive after observing samples")},
        CheckCase{"coefficient_nan", [](UpdateSetup& s) { s.state.coefficients[2] = kNaN; }, kStateFinite},
        CheckCase{"information_infinite", [](UpdateSetup& s) { s.state.information[8] = -kInf; }, kStateFinite},
        CheckCase{"tau_before_empty_batch", [](UpdateSetup& s) { s.config.tau = 0; s.batch.rows = 0; }, kTau},
        CheckCase{"tau_nan", [](UpdateSetup& s) { s.config.tau = kNaN; }, kTau},
        CheckCase{"lambda_scale_negative", [](UpdateSetup& s) { s.config.lambda_scale = -1; },
                  EngineError::configuration("lambda_scale must be finite and non-negative")},
        CheckCase{"bandwidth_scale_zero", [](UpdateSetup& s) { s.config.bandwidth_scale = -0.0; },
                  EngineError::configuration("bandwidth_scale must be finite and positive")},
        CheckCase{"max_iter_zero", [](UpdateSetup& s) { s.config.max_iter = 0; },
                  EngineError::configuration("max_iter must be positive")},
        CheckCase{"tolerance_infinite", [](UpdateSetup& s) { s.config.tolerance = kInf; },
                  EngineError::configuration("tolerance must be finite and positive")},
        CheckCase{"ridge_nan", [](UpdateSetup& s) { s.config.ridge = kNaN; },
                  EngineError::configuration("ridge must be finite and non-negative")},
        CheckCase{"empty_batch_before_width", [](UpdateSetup& s) { s.batch.rows = 0; s.batch.cols = 7; },
                  EngineError::batch("batch must contain at least one row")},
        CheckCase{"design_width", [](UpdateSetup& s) { s.batch.cols = 2; },
                  EngineError::batch("design width does not match state parameters")},
        CheckCase{"element_count_overflow", [](UpdateSetup& s) { s.batch.rows = std::uint64_t{1} << 63; },
                  EngineError::overflow()},
        CheckCase{"trailing_design_element", [](UpdateSetup& s) { s.batch.design.push_back(0.0); },
                  EngineError::batch("design buffer is not a complete contiguous matrix")},
        CheckCase{"target_length", [](UpdateSetup& s) { s.batch.target.pop_back(); },
                  EngineError::batch("target length does not match design rows")},
        CheckCase{"batch_weight_zero", [](UpdateSetup& s) { s.batch.batch_weight = 0.0; },
                  EngineError::batch("batch_weight must be finite and positive")},
        CheckCase{"batch_weight_before_arrays",
                  [](UpdateSetup& s) { s.batch.batch_weight = kNaN; s.batch.design[0] = kNaN; },
                  EngineError::batch("batch_weight must be finite and positive")},
        CheckCase{"design_before_weights",
                  [](UpdateSetup& s) { s.batch.design[23] = kInf; s.batch.weights = std::vector<double>(3, 1.0); },
                  kBatchFinite},
        CheckCase{"target_nan", [](UpdateSetup& s) { s.batch.target[7] = kNaN; }, kBatchFinite},
        CheckCase{"weight_length", [](UpdateSetup& s) { s.batch.weights = std::vector<double>(9, 1.0); },
                  EngineError::batch("sample_weight length does not match design rows")},
        CheckCase{"weight_negative",
                  [](UpdateSetup& s) { s.batch.weights = std::vector<double>(8, 1.0); (*s.batch.weights)[4] = -1; },
                  kWeightRange},
        CheckCase{"weight_nan",
                  [](UpdateSetup& s) { s.batch.weights = std::vector<double>(8, 0.0); (*s.batch.weights)[7] = kNaN; },
                  kWeightRange},
        CheckCase{"weights_all_zero",
                  [](UpdateSetup& s) { s.batch.weights = std::vector<double>(8, 0.0); (*s.batch.weights)[2] = -0.0; },
                  EngineError::batch("sample_weight must contain a positive value")},
        CheckCase{"samples_seen_overflow",
                  [](UpdateSetup& s) { s.state.n_samples_seen = kMaxU64 - 7; s.state.weight_sum = 1.0; },
                  EngineError::overflow()},
        CheckCase{"batch_count_overflow", [](UpdateSetup& s) { s.state.batch_count = kMaxU64; },
                  EngineError::overflow()},
        CheckCase{"combined_weight_overflow",
                  [](UpdateSetup& s) {
                    s.state.weight_sum = std::numeric_limits<double>::max();
                    s.state.n_samples_seen = 1;
                    s.batch.batch_weight = std::numeric_limits<double>::max();
                  },
                  EngineError::batch("combined effective weight must be finite and positive")}),
    [](const auto& test_info) { return test_info.param.name; });

TEST(UpdateDriverTest, BoundaryValuesAreAccepted) {
  UpdateSetup setup;
  setup.state.previous_lambda = -0.0;
  setup.batch.weights = std::vector<double>(8, -0.0);
  (*setup.batch.weights)[5] = 1e-300;
  EXPECT_TRUE(setup.run().has_value());
}

struct LevelCase {
  std::uint64_t n_features_in;
  double batch_weight, tau, bandwidth_scale, lambda_scale;
  double bandwidth, lambda_value;
};

TEST(UpdateDriverTest, BandwidthAndLambdaFollowTheTotalWeight) {
  const LevelCase cases[] = {
      {1, 4.0, 1.345, 1.0, 1.0, 0.7213475204444817, 0.5598929760035517},
      {2, 4.0, 1.345, 1.0, 1.0, 0.7213475204444817, 0.5598929760035517},  // m = max(n_features_in, 2)
      {10, 100.0, 1.0, 0.5, 2.0, 0.021714724095162587, 0.30348542587702926},
      {3, 2.0, 0.8, 1e300, 1.0, 0.8, 0.8 * std::sqrt(std::log(3.0) / 2.0)},  // capped at tau
  };
  for (const auto& c : cases) {
    const FeatureLayout layout{c.n_features_in, true};
    std::vector<double> beta(layout.n_parameters(), 0.5);
    auto batch = linear_batch<double>(20, layout, beta, 0.3, 5);
    batch.batch_weight = c.batch_weight;
    UpdateConfig config = default_config(Penalty::l1);
    config.tau = c.tau;
    config.bandwidth_scale = c.bandwidth_scale;
    config.lambda_scale = c.lambda_scale;
    Workspace<double> workspace;
    const auto state = StreamState<double>::zeros(layout.n_parameters());
    auto result = update_stream(workspace, batch.view(), state, layout, config);
    ASSERT_TRUE(result.has_value()) << display(result.error());
    EXPECT_DOUBLE_EQ(result->summary.bandwidth, c.bandwidth);
    EXPECT_DOUBLE_EQ(result->summary.lambda_value, c.lambda_value);
    EXPECT_EQ(result->state.previous_lambda, result->summary.lambda_value);
    EXPECT_EQ(result->state.weight_sum, c.batch_weight);

    // The same batch under "none" has no regularisation level at all.
    config.penalty = Penalty::none;
    auto plain = update_stream(workspace, batch.view(), result->state, layout, config);
    ASSERT_TRUE(plain.has_value());
    EXPECT_EQ(plain->summary.lambda_value, 0.0);
    EXPECT_EQ(plain->state.previous_lambda, 0.0);
    EXPECT_EQ(plain->state.weight_sum, 2 * c.batch_weight);
  }
}

TEST(UpdateDriverTest, NewStateAdvancesCountersAndAddsTheWeightedGram) {
  // With a huge tau every residual sits in the flat part of the curvature, so
  // the increment is exactly sum_i s_i x_i x_i^T.
  const FeatureLayout layout{2, true};
  auto batch = linear_batch<double>(30, layout, {1.0, 2.0, -1.0}, 0.5, 3);
  batch.weights = std::vector<double>(30);
  for (std::size_t i = 0; i < 30; ++i) (*batch.weights)[i] = 0.5 + 0.1 * double(i % 4);
  batch.batch_weight = 2.5;
  StreamState<double> state = StreamState<double>::zeros(3);
  state.coefficients = {0.9, 2.1, -1.2};
  state.information = {4, 1, 0, 1, 3, 0.5, 0, 0.5, 2};
  state.n_samples_seen = 17;
  state.batch_count = 4;
  state.weight_sum = 7.0;
  state.previous_lambda = 0.25;
  UpdateConfig config = default_config();
  config.tau = 1e6;

  Workspace<double> workspace;
  auto result = update_stream(workspace, batch.view(), state, layout, config);
  ASSERT_TRUE(result.has_value()) << display(result.error());
  EXPECT_EQ(result->state.n_samples_seen, 47u);
  EXPECT_EQ(result->state.batch_count, 5u);
  EXPECT_EQ(result->state.weight_sum, 9.5);
  EXPECT_EQ(result->state.previous_lambda, 0.0);
  EXPECT_EQ(result->layout.n_features_in, 2u);
  for (std::size_t r = 0; r < 3; ++r) {
    for (std::size_t c = 0; c < 3; ++c) {
      double expected = state.information[r * 3 + c];
      for (std::size_t i = 0; i < 30; ++i) {
        expected += (*batch.weights)[i] * batch.design[i * 3 + r] * batch.design[i * 3 + c];
      }
      EXPECT_NEAR(result->state.information[r * 3 + c], expected, 1e-12 * std::abs(expected) + 1e-12);
    }
  }
}

TEST(UpdateDriverTest, L1ZeroesWeakCoefficientsButNeverTheIntercept) {
  for (const bool fit_intercept : {true, false}) {
    const FeatureLayout layout{3, fit_intercept};
    std::vector<double> beta = {3.0, 0.0, 0.001};
    if (fit_intercept) beta.push_back(5.0);
    auto batch = linear_batch<double>(200, layout, beta, 0.2, 21);
    UpdateConfig config = default_config(Penalty::l1);
    config.max_iter = 500;
    config.tolerance = 1e-9;
    config.lambda_scale = 15.0;  // lambda about 21, seven noise deviations
    Workspace<double> workspace;
    auto result = update_stream(workspace, batch.view(), StreamState<double>::zeros(beta.size()), layout, config);
    ASSERT_TRUE(result.has_value()) << display(result.error());
    const auto& fitted = result->state.coefficients;
    EXPECT_GT(fitted[0], 1.0);
    EXPECT_EQ(fitted[1], 0.0);
    EXPECT_EQ(fitted[2], 0.0);
    if (fit_intercept) {
      EXPECT_GT(fitted[3], 1.0);
    }
    EXPECT_FALSE(result->summary.used_regularized_fallback);

    // A level far above every score zeroes all penalised coefficients; an
    // intercept stays free.
    config.lambda_scale = 1e6;
    auto crushed = update_stream(workspace, batch.view(), StreamState<double>::zeros(beta.size()), layout, config);
    ASSERT_TRUE(crushed.has_value());
    for (std::size_t j = 0; j < 3; ++j) EXPECT_EQ(crushed->state.coefficients[j], 0.0) << j;
    if (fit_intercept) {
      EXPECT_GT(crushed->state.coefficients[3], 1.0);
    }
  }
}

TEST(UpdateDriverTest, AllOutlierFirstBatchUsesTheRegularizedFallback) {
  // Every residual at the zero start lies beyond tau + a: all curvature
  // weights vanish, the Newton matrix is zero and only the singular-value
  // step answers, with a zero direction.
  const FeatureLayout layout{1, true};
  OwnedBatch<double> batch;
  batch.rows = 4;
  batch.cols = 2;
  batch.design = {1, 1, -1, 1, 2, 1, 0.5, 1};
  batch.target = {100, 120, 90, 110};
  UpdateConfig config = default_config();
  config.tau = 1.0;
  Workspace<double> workspace;
  auto result = update_stream(workspace, batch.view(), StreamState<double>::zeros(2), layout, config);
  ASSERT_TRUE(result.has_value()) << display(result.error());
  EXPECT_TRUE(result->summary.used_regularized_fallback);
  EXPECT_TRUE(result->summary.converged);
  EXPECT_EQ(result->summary.iterations, 1u);
  EXPECT_EQ(result->state.coefficients, std::vector<double>(2, 0.0));
  EXPECT_EQ(result->state.information, std::vector<double>(4, 0.0));
}

TEST(UpdateDriverTest, OverflowingSumsEndTheUpdateWithAnError) {
  // A Gram entry near 1e308 on top of an information entry at the largest
  // double. Under "none" the Newton matrix overflows first and no solve can
  // use it; under "l1" (no Newton matrix) the new information overflows.
  for (const Penalty penalty : {Penalty::none, Penalty::l1}) {
    UpdateSetup setup;
    setup.batch.design[0] = 1e154;
    setup.state.information[0] = std::numeric_limits<double>::max();
    setup.config.tau = 1e300;
    setup.config.penalty = penalty;
    auto result = setup.run();
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error(), penalty == Penalty::none ? EngineError::linear_solve() : EngineError::non_finite());
  }
}

template <class T>
class WorkspaceTest : public ::testing::Test {};
using Precisions = ::testing::Types<float, double>;
TYPED_TEST_SUITE(WorkspaceTest, Precisions);

template <class T>
std::vector<std::size_t> lengths(const Workspace<T>& w) {
  return {w.residuals.size(), w.psi.size(), w.curvature.size(), w.row_scratch.size(), w.gram_partials.size(),
          w.gradient_partials.size(), w.gradient.size(), w.newton_matrix.size(), w.gram.size(),
          w.step_delta.size(), w.direction.size(), w.candidate.size(), w.step.size()};
}

template <class T>
std::vector<const T*> storage(const Workspace<T>& w) {
  return {w.residuals.data(), w.psi.data(), w.curvature.data(), w.row_scratch.data(), w.gram_partials.data(),
          w.gradient_partials.data(), w.gradient.data(), w.newton_matrix.data(), w.gram.data(),
          w.step_delta.data(), w.direction.data(), w.candidate.data(), w.step.data()};
}

TYPED_TEST(WorkspaceTest, SizedBySlotRulesAndResizedExactly) {
  using T = TypeParam;
  EnginePool pool(2);
  pool.run([] {
    Workspace<T> w;
    // Small: no slots; the row scratch still holds min(n, 256) rows.
    ASSERT_TRUE(prepare_workspace(w, 300, 3).has_value());
    EXPECT_EQ(lengths(w), (std::vector<std::size_t>{300, 300, 300, 256 * 3, 0, 0, 3, 9, 9, 3, 3, 3, 3}));
    // n p >= 1,000,000 gives two gradient slots; n p p = 16,000,000 two Gram slots.
    ASSERT_TRUE(prepare_workspace(w, 1'000'000, 4).has_value());
    EXPECT_EQ(lengths(w), (std::vector<std::size_t>{1'000'000, 1'000'000, 1'000'000, 2 * 256 * 4, 2 * 16, 2 * 4, 4,
                                                    16, 16, 4, 4, 4, 4}));
    // Shrinks again exactly.
    ASSERT_TRUE(prepare_workspace(w, 5, 2).has_value());
    EXPECT_EQ(lengths(w), (std::vector<std::size_t>{5, 5, 5, 10, 0, 0, 2, 4, 4, 2, 2, 2, 2}));
  });
}

TYPED_TEST(WorkspaceTest, OverflowingSizesAreRefused) {
  using T = TypeParam;
  Workspace<T> w;
  // p * p itself overflows: nothing is resized.
  EXPECT_EQ(prepare_workspace(w, 3, std::uint64_t{1} << 32), fail(EngineError::overflow()));
  EXPECT_TRUE(w.residuals.empty());
  // p * p fits but its byte size does not: the row buffers were sized first.
  EXPECT_EQ(prepare_workspace(w, 3, std::uint64_t{1} << 31), fail(EngineError::overflow()));
  EXPECT_EQ(w.residuals.size(), 3u);
  EXPECT_TRUE(w.gradient.empty());
}

TYPED_TEST(WorkspaceTest, EqualShapedBatchesReuseTheStorage) {
  using T = TypeParam;
  const FeatureLayout layout{3, true};
  auto first = linear_batch<T>(40, layout, {1, 2, 3, 4}, 0.1, 1);
  auto second = linear_batch<T>(40, layout, {1, 2, 3, 4}, 0.1, 2);
  const UpdateConfig config = default_config();
  Workspace<T> workspace;
  auto one = update_stream(workspace, first.view(), StreamState<T>::zeros(4), layout, config);
  ASSERT_TRUE(one.has_value());
  const auto before = storage(workspace);
  auto two = update_stream(workspace, second.view(), one->state, layout, config);
  ASSERT_TRUE(two.has_value());
  EXPECT_EQ(storage(workspace), before);
}

}  // namespace
}  // namespace vintrel::core
