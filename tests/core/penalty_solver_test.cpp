// The L2 and elastic-net penalties, the coordinate solver and forgetting,
// against references that do not share the engine's code: closed-form
// model steps, and minimisers of the whole objective certified by their
// optimality conditions.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <optional>
#include <vector>

#include "core/engine.hpp"
#include "core/kernels/coordinate_descent.hpp"
#include "update_fixtures.hpp"

namespace vintrel::core {
namespace {

using testing::default_config;
using testing::linear_batch;
using testing::OwnedBatch;
using Matrix = std::vector<std::vector<long double>>;

// Solves A x = b by Gaussian elimination with partial pivoting.
std::vector<long double> solve_dense(Matrix a, std::vector<long double> b) {
  const std::size_t m = b.size();
  for (std::size_t c = 0; c < m; ++c) {
    std::size_t pivot = c;
    for (std::size_t r = c + 1; r < m; ++r) pivot = std::abs(a[r][c]) > std::abs(a[pivot][c]) ? r : pivot;
    std::swap(a[c], a[pivot]);
    std::swap(b[c], b[pivot]);
    for (std::size_t r = c + 1; r < m; ++r) {
      const long double f = a[r][c] / a[c][c];
      for (std::size_t k = c; k < m; ++k) a[r][k] -= f * a[c][k];
      b[r] -= f * b[c];
    }
  }
  std::vector<long double> x(m);
  for (std::size_t c = m; c-- > 0;) {
    long double s = b[c];
    for (std::size_t k = c + 1; k < m; ++k) s -= a[c][k] * x[k];
    x[c] = s / a[c][c];
  }
  return x;
}

template <class T>
class CoordinateModelTest : public ::testing::Test {};
TYPED_TEST_SUITE(CoordinateModelTest, testing::Precisions);

TYPED_TEST(CoordinateModelTest, SeparableModelsTakeOneExactStepAndFlatCoordinatesNone) {
  using T = TypeParam;
  // A diagonal H: each coordinate's minimiser is soft_threshold(beta_j -
  // g_j / h_j, level / h_j), the last (the intercept) never thresholded;
  // the sweeps stop once a second one changes nothing.
  const std::vector<T> h = {2, 0, 0, 0, 0.5, 0, 0, 0, 4}, g = {0.5, 3, 0.25}, beta = {0.125, 1, -2};
  std::vector<T> step(3), product(3);
  const T level = T(0.5);
  const ModelSweeps sweeps = minimize_l1_model<T>(h, g, beta, level, FeatureLayout{2, true}, T(0), step, product);
  EXPECT_EQ(sweeps.sweeps, 2u);
  EXPECT_FALSE(sweeps.skipped_flat);
  const std::vector<T> expected = {T(0) - beta[0], soft_threshold(T(1 - 6), T(1)) - beta[1], T(-2.0625) - beta[2]};
  EXPECT_TRUE(testing::same_bits(step, expected));
  EXPECT_EQ(beta[0] + step[0], T(0));  // an exact zero
  // A coordinate without curvature keeps a zero step and is reported.
  const std::vector<T> flat = {1, 0, 0, 0}, g2 = {1, 1}, start = {0, 0};
  std::vector<T> step2(2), product2(2);
  EXPECT_TRUE(minimize_l1_model<T>(flat, g2, start, T(0), FeatureLayout{2, false}, T(0), step2, product2).skipped_flat);
  EXPECT_EQ(step2, (std::vector<T>{-1, 0}));
}

// One batch under a penalty, with the stated objective's parameters.
struct PenaltyCase {
  Penalty penalty;
  std::optional<double> l1_ratio;
  std::optional<PenaltySolver> solver;
  double lambda_scale;
  friend void PrintTo(const PenaltyCase& c, std::ostream* os) {
    *os << penalty_rule(c.penalty).name << " a=" << c.l1_ratio.value_or(-1)
        << " solver=" << (c.solver ? solver_name(*c.solver) : "default");
  }
};

UpdateConfig penalty_config(const PenaltyCase& c) {
  UpdateConfig config = default_config(c.penalty);
  config.model.lambda_scale = c.lambda_scale;
  config.model.l1_ratio = c.l1_ratio;
  config.solver = {.max_iter = 200, .tolerance = 1e-12, .ridge = 0.0, .solver = c.solver};
  return config;
}

OwnedBatch<double> outlying_batch(std::uint64_t rows, const FeatureLayout& layout, std::uint64_t seed) {
  auto batch = linear_batch<double>(rows, layout, {1.5, -0.5, 0.0, 0.02, 2.0}, 1.0, seed);
  for (std::uint64_t i = 0; i < rows; i += 17) batch.target[i] += 25.0;
  batch.batch_weight = double(rows);
  return batch;
}

// The minimiser whose sets (quadratic rows, the signs of the others, zero
// and signed coefficients) are those of `guess`, by one linear solve; it is
// the minimiser of the convex objective when it keeps those sets and every
// zero coefficient meets its subgradient bound, else nothing.
std::optional<std::vector<double>> certified_minimum(const OwnedBatch<double>& batch, const FeatureLayout& layout,
                                                     double tau, double lambda, double a,
                                                     const std::vector<double>& guess) {
  const std::size_t n = batch.rows, p = batch.cols;
  const long double w = batch.batch_weight;
  const auto residual = [&](const std::vector<long double>& beta, std::size_t i) {
    long double r = batch.target[i];
    for (std::size_t j = 0; j < p; ++j) r -= batch.design[i * p + j] * beta[j];
    return r;
  };
  const std::vector<long double> start(guess.begin(), guess.end());
  std::vector<std::size_t> free;
  for (std::size_t j = 0; j < p; ++j) if (layout.is_intercept(j, p) || guess[j] != 0) free.push_back(j);
  Matrix m(free.size(), std::vector<long double>(free.size()));
  std::vector<long double> rhs(free.size());
  std::vector<int> row_side(n);
  for (std::size_t i = 0; i < n; ++i) {
    const long double r = residual(start, i);
    row_side[i] = std::abs(r) <= tau ? 0 : (r > 0 ? 1 : -1);
    for (std::size_t c = 0; c < free.size(); ++c) {
      const long double x = batch.design[i * p + free[c]];
      rhs[c] += (row_side[i] == 0 ? batch.target[i] : tau * row_side[i]) * x / w;
      if (row_side[i] == 0) {
        for (std::size_t k = 0; k < free.size(); ++k) m[c][k] += x * batch.design[i * p + free[k]] / w;
      }
    }
  }
  for (std::size_t c = 0; c < free.size(); ++c) {
    if (layout.is_intercept(free[c], p)) continue;
    m[c][c] += lambda * (1 - a);
    rhs[c] -= lambda * a * (guess[free[c]] > 0 ? 1 : -1);
  }
  const auto solved = solve_dense(m, rhs);
  std::vector<long double> beta(p, 0);
  for (std::size_t c = 0; c < free.size(); ++c) beta[free[c]] = solved[c];
  std::vector<long double> score(p, 0);
  for (std::size_t i = 0; i < n; ++i) {
    const long double r = residual(beta, i);
    if (row_side[i] != (std::abs(r) <= tau ? 0 : (r > 0 ? 1 : -1))) return std::nullopt;
    for (std::size_t j = 0; j < p; ++j) score[j] += std::clamp<long double>(r, -tau, tau) * batch.design[i * p + j] / w;
  }
  for (std::size_t j = 0; j < p; ++j) {
    if (guess[j] != 0 && beta[j] * guess[j] <= 0) return std::nullopt;
    if (guess[j] == 0 && !layout.is_intercept(j, p) && std::abs(score[j]) > lambda * a * (1 + 1e-9)) return std::nullopt;
  }
  return std::vector<double>(beta.begin(), beta.end());
}

double relative_gap(const std::vector<double>& a, const std::vector<double>& b) {
  double gap = 0, scale = 0;
  for (std::size_t j = 0; j < a.size(); ++j) gap = std::max(gap, std::abs(a[j] - b[j])), scale = std::max(scale, std::abs(b[j]));
  return gap / scale;
}

class PenaltySolutionTest : public ::testing::TestWithParam<PenaltyCase> {};

TEST_P(PenaltySolutionTest, SingleBatchIsTheCertifiedMinimum) {
  const PenaltyCase& c = GetParam();
  const FeatureLayout layout{4, true};
  const auto batch = outlying_batch(300, layout, 3);
  UpdateConfig config = penalty_config(c);
  const bool proximal = c.solver == PenaltySolver::proximal_l1;  // first order: many short steps
  if (proximal) config.solver.max_iter = 5'000;
  Workspace<double> workspace;
  auto result = update_stream(workspace, batch.view(), StreamState<double>::zeros(5), layout, config);
  ASSERT_TRUE(result.has_value());
  EXPECT_TRUE(result->summary.converged || proximal);
  const double a = penalty_rule(c.penalty).takes_l1_ratio ? *c.l1_ratio : penalty_rule(c.penalty).fixed_l1_share;
  const auto& beta = result->state.coefficients;
  const auto exact = certified_minimum(batch, layout, config.model.tau, result->summary.lambda_value, a, beta);
  ASSERT_TRUE(exact.has_value()) << "the solution's sets do not give a minimum";
  EXPECT_LT(relative_gap(beta, *exact), 1e-6);
  if (a > 0) {
    EXPECT_NE(std::count(beta.begin(), beta.end(), 0.0), 0);  // the L1 term zeroes some
  }
}

INSTANTIATE_TEST_SUITE_P(
    Penalties, PenaltySolutionTest,
    ::testing::Values(PenaltyCase{Penalty::l2, std::nullopt, std::nullopt, 0.3},
                      PenaltyCase{Penalty::elasticnet, 0.0, std::nullopt, 0.3},
                      PenaltyCase{Penalty::elasticnet, 0.5, std::nullopt, 0.1},
                      PenaltyCase{Penalty::elasticnet, 1.0, std::nullopt, 0.05},
                      PenaltyCase{Penalty::elasticnet, 0.5, PenaltySolver::proximal_l1, 0.1},
                      PenaltyCase{Penalty::l1, std::nullopt, PenaltySolver::coordinate, 0.5}));

TEST(CoordinateSolverTest, MeetsTheProximalSolverRunToConvergence) {
  // Correlated features (about 0.95). The proximal solver accepts a rise
  // of 1e-12 in F, which bounds its accuracy near sqrt(1e-12) however long
  // it runs; coordinate descent gets there in a few iterations.
  const FeatureLayout layout{4, true};
  auto batch = outlying_batch(400, layout, 8);
  for (std::size_t i = 0; i < 400; ++i) batch.design[i * 5 + 1] = batch.design[i * 5] + 0.3 * batch.design[i * 5 + 1];
  std::vector<std::vector<double>> solutions;
  for (const PenaltySolver solver : {PenaltySolver::coordinate, PenaltySolver::proximal_l1}) {
    UpdateConfig config = penalty_config({Penalty::l1, std::nullopt, solver, 2.0});
    config.solver.max_iter = solver == PenaltySolver::coordinate ? 50 : 20'000;
    Workspace<double> workspace;
    auto result = update_stream(workspace, batch.view(), StreamState<double>::zeros(5), layout, config);
    ASSERT_TRUE(result.has_value());
    if (solver == PenaltySolver::coordinate) {
      EXPECT_TRUE(result->summary.converged);
      EXPECT_LT(result->summary.iterations, 20u);
    }
    solutions.push_back(result->state.coefficients);
  }
  EXPECT_LT(relative_gap(solutions[0], solutions[1]), 1e-5);
}

TEST(CarriedPenaltyTest, TwoQuadraticBatchesGiveTheOneBatchAnswer) {
  // With every residual inside tau the carried information is the exact
  // curvature of the past loss, so two updates minimise the one-batch
  // objective of the combined rows. (A coefficient the first batch leaves
  // at zero would carry sgn(0) = 0 instead of its subgradient, so all stay
  // clear of zero here.)
  const FeatureLayout layout{4, true};
  const auto batch = linear_batch<double>(200, layout, {1.5, -0.5, 0.8, 0.6, 2.0}, 1.0, 4);
  const auto rows = [&](std::size_t first, std::size_t last) {
    OwnedBatch<double> part{{batch.design.begin() + first * 5, batch.design.begin() + last * 5},
                            {batch.target.begin() + first, batch.target.begin() + last}, std::nullopt,
                            last - first, 5, double(last - first)};
    return part;
  };
  for (const PenaltyCase& c : {PenaltyCase{Penalty::l2, std::nullopt, std::nullopt, 0.3},
                               PenaltyCase{Penalty::elasticnet, 0.6, std::nullopt, 0.2}}) {
    UpdateConfig config = penalty_config(c);
    config.model.tau = 1e6;
    Workspace<double> workspace;
    const auto whole = rows(0, 200);
    auto one = update_stream(workspace, whole.view(), StreamState<double>::zeros(5), layout, config);
    auto first = update_stream(workspace, rows(0, 70).view(), StreamState<double>::zeros(5), layout, config);
    ASSERT_TRUE(one && first);
    auto second = update_stream(workspace, rows(70, 200).view(), first->state, layout, config);
    ASSERT_TRUE(second.has_value());
    EXPECT_LT(relative_gap(second->state.coefficients, one->state.coefficients), 1e-10);
  }
}

template <class T>
class DiscountTest : public ::testing::Test {};
TYPED_TEST_SUITE(DiscountTest, testing::Precisions);

TYPED_TEST(DiscountTest, EqualsTheStateScaledBeforehand) {
  using T = TypeParam;
  const FeatureLayout layout{3, true};
  for (const Penalty penalty : {Penalty::none, Penalty::l1, Penalty::elasticnet}) {
    UpdateConfig config = default_config(penalty);
    if (penalty == Penalty::elasticnet) config.model.l1_ratio = 0.5, config.model.lambda_scale = 0.05;
    Workspace<T> workspace;
    auto opening = linear_batch<T>(80, layout, {1, 2, 0, 4}, 0.5, 1);
    opening.batch_weight = 80;
    auto first = update_stream(workspace, opening.view(), StreamState<T>::zeros(4), layout, config);
    ASSERT_TRUE(first.has_value());
    auto next = linear_batch<T>(60, layout, {1, 2, 0, 4}, 0.5, 2);
    next.batch_weight = 60;
    StreamState<T> scaled = first->state;
    for (T& v : scaled.information) v = v * T(0.75);
    scaled.weight_sum = scaled.weight_sum * 0.75;
    auto plain = update_stream(workspace, next.view(), scaled, layout, config);
    config.model.discount = 0.75;
    auto discounted = update_stream(workspace, next.view(), first->state, layout, config);
    ASSERT_TRUE(plain && discounted);
    EXPECT_TRUE(testing::same_bits(plain->state.coefficients, discounted->state.coefficients));
    EXPECT_TRUE(testing::same_bits(plain->state.information, discounted->state.information));
    EXPECT_EQ(discounted->state.weight_sum, 0.75 * 80 + 60);
    EXPECT_EQ(discounted->summary.objective, plain->summary.objective);
    EXPECT_EQ(discounted->state.n_samples_seen, 140u);
  }
}

}  // namespace
}  // namespace vintrel::core
