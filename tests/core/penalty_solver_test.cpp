// The L2 and elastic-net penalties, the coordinate solver and forgetting,
// against references that do not share the engine's code: exact minimisers
// of small models by enumeration, and minimisers of the whole objective
// certified by their optimality conditions.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <optional>
#include <random>
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

// The minimiser of g'd + 1/2 d'Hd + level * sum_{j penalised} |beta_j + d_j|
// by trying every pattern of zero and signed coordinates: the one whose
// stationary point keeps its signs and meets the subgradient bound.
std::vector<long double> enumerated_model_minimum(const Matrix& h, const std::vector<long double>& g,
                                                  const std::vector<long double>& beta, long double level,
                                                  std::size_t penalised) {
  const std::size_t p = g.size();
  for (int code = 0; code < static_cast<int>(std::pow(3, penalised)); ++code) {
    std::vector<int> sign(p, 2);  // 2: free (unpenalised); -1, 0, 1 for penalised coordinates
    for (std::size_t j = 0, c = code; j < penalised; ++j, c /= 3) sign[j] = static_cast<int>(c % 3) - 1;
    std::vector<std::size_t> free;
    for (std::size_t j = 0; j < p; ++j) if (sign[j] != 0) free.push_back(j);
    // With z = beta + d: H z = H beta - g - level * s on the free coordinates.
    Matrix a(free.size(), std::vector<long double>(free.size()));
    std::vector<long double> b(free.size());
    for (std::size_t r = 0; r < free.size(); ++r) {
      const std::size_t i = free[r];
      b[r] = -g[i] - (sign[i] == 2 ? 0 : level * sign[i]);
      for (std::size_t k = 0; k < p; ++k) b[r] += h[i][k] * beta[k];
      for (std::size_t c = 0; c < free.size(); ++c) a[r][c] = h[i][free[c]];
    }
    const auto solved = solve_dense(a, b);
    std::vector<long double> z(p, 0);
    for (std::size_t r = 0; r < free.size(); ++r) z[free[r]] = solved[r];
    bool optimal = true;
    for (std::size_t j = 0; j < p && optimal; ++j) {
      long double slope = g[j];
      for (std::size_t k = 0; k < p; ++k) slope += h[j][k] * (z[k] - beta[k]);
      if (sign[j] == 0) optimal = std::abs(slope) <= level;
      else if (sign[j] != 2) optimal = z[j] * sign[j] > 0;
    }
    if (optimal) {
      for (std::size_t j = 0; j < p; ++j) z[j] -= beta[j];
      return z;
    }
  }
  ADD_FAILURE() << "no sign pattern is optimal";
  return {};
}

template <class T>
class CoordinateModelTest : public ::testing::Test {};
TYPED_TEST_SUITE(CoordinateModelTest, testing::Precisions);

TYPED_TEST(CoordinateModelTest, ReachesTheExactModelMinimum) {
  using T = TypeParam;
  constexpr std::size_t p = 4;
  const FeatureLayout layout{3, true};  // the last coordinate is never thresholded
  std::mt19937_64 rng(5);
  std::normal_distribution<double> normal;
  for (int trial = 0; trial < 20; ++trial) {
    // H = M M^T / p + 0.05 I with strongly correlated rows in most trials.
    std::vector<double> m(p * p);
    for (auto& v : m) v = normal(rng);
    for (std::size_t k = 0; k < p; ++k) m[p + k] = m[k] + 0.1 * m[p + k];
    std::vector<T> h(p * p), g(p), beta(p), step(p), product(p);
    Matrix hl(p, std::vector<long double>(p));
    std::vector<long double> gl(p), betal(p);
    for (std::size_t i = 0; i < p; ++i) {
      for (std::size_t k = 0; k < p; ++k) {
        double s = i == k ? 0.05 : 0.0;
        for (std::size_t c = 0; c < p; ++c) s += m[i * p + c] * m[k * p + c] / p;
        h[i * p + k] = T(s), hl[i][k] = h[i * p + k];
      }
      g[i] = T(normal(rng)), gl[i] = g[i];
      beta[i] = T(trial % 3 == 0 ? 0.0 : normal(rng)), betal[i] = beta[i];
    }
    const T level = T(0.25 * (trial % 4));
    const ModelSweeps sweeps =
        minimize_l1_model<T>(h, g, beta, level, layout, T(1e-12), step, product);
    const auto exact = enumerated_model_minimum(hl, gl, betal, level, p - 1);
    ASSERT_EQ(exact.size(), p);
    EXPECT_FALSE(sweeps.skipped_flat);
    EXPECT_LT(sweeps.sweeps, MAX_MODEL_SWEEPS);
    // The sweeps stop at a change of 1e-6 of the step, which leaves the
    // error of a slowly converging (correlated) model some 100 times that.
    const double tolerance = sizeof(T) == 4 ? 1e-3 : 1e-4;
    for (std::size_t j = 0; j < p; ++j) {
      EXPECT_NEAR(double(step[j]), double(exact[j]), tolerance * (1 + std::abs(double(exact[j])))) << trial << " " << j;
      if (exact[j] + betal[j] == 0 && j + 1 < p) {
        EXPECT_EQ(beta[j] + step[j], T(0));  // exact zeros
      }
    }
  }
  // A coordinate without curvature keeps a zero step and is reported.
  std::vector<T> flat = {1, 0, 0, 0}, g = {1, 1}, beta = {0, 0}, step(2), product(2);
  const ModelSweeps sweeps = minimize_l1_model<T>(flat, g, beta, T(0), FeatureLayout{2, false}, T(0), step, product);
  EXPECT_TRUE(sweeps.skipped_flat);
  EXPECT_EQ(step, (std::vector<T>{-1, 0}));
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
