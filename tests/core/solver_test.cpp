#include "core/solver.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <vector>

namespace vintrel::core {
namespace {

template <class T>
Result<Direction<T>> solve(const std::vector<T>& matrix, const std::vector<T>& gradient) {
  return solve_newton_system<T>(matrix, gradient, gradient.size());
}

// max_i |(H d - g)_i|, in double.
template <class T>
double residual_norm(const std::vector<T>& matrix, const std::vector<T>& gradient, const std::vector<T>& d) {
  const std::size_t p = gradient.size();
  double worst = 0.0;
  for (std::size_t i = 0; i < p; ++i) {
    double sum = 0.0;
    for (std::size_t j = 0; j < p; ++j) sum += double(matrix[i * p + j]) * double(d[j]);
    worst = std::max(worst, std::abs(sum - double(gradient[i])));
  }
  return worst;
}

template <class T>
class SolveChainTest : public ::testing::Test {};
using Precisions = ::testing::Types<float, double>;
TYPED_TEST_SUITE(SolveChainTest, Precisions);

TYPED_TEST(SolveChainTest, WellConditionedSystemsAvoidTheFallback) {
  using T = TypeParam;
  const double tolerance = std::is_same_v<T, float> ? 1e-4 : 1e-12;
  // Positive definite (A A^T + p I), symmetric indefinite, and clearly
  // asymmetric: all non-singular, so none may reach the singular-value step.
  std::mt19937_64 rng(7);
  std::normal_distribution<double> normal;
  const std::size_t p = 6;
  std::vector<T> a(p * p), spd(p * p, T(0)), indefinite(p * p), asymmetric(p * p);
  for (auto& v : a) v = T(normal(rng));
  for (std::size_t i = 0; i < p; ++i) {
    for (std::size_t j = 0; j < p; ++j) {
      for (std::size_t k = 0; k < p; ++k) spd[i * p + j] += a[i * p + k] * a[j * p + k];
      indefinite[i * p + j] = a[i * p + j] + a[j * p + i];
      asymmetric[i * p + j] = a[i * p + j];
    }
    spd[i * p + i] += T(p);
  }
  std::vector<T> g(p);
  for (auto& v : g) v = T(normal(rng));
  for (const auto* matrix : {&spd, &indefinite, &asymmetric}) {
    auto result = solve(*matrix, g);
    ASSERT_TRUE(result.has_value());
    EXPECT_FALSE(result->used_fallback);
    EXPECT_LT(residual_norm(*matrix, g, result->values), tolerance);
  }
}

TYPED_TEST(SolveChainTest, SymmetricIndefiniteMatrixIsSolvedExactly) {
  using T = TypeParam;
  auto result = solve<T>({1, 2, 2, 1}, {3, 3});  // eigenvalues 3 and -1
  ASSERT_TRUE(result.has_value());
  EXPECT_FALSE(result->used_fallback);
  EXPECT_NEAR(result->values[0], 1.0, 1e-6);
  EXPECT_NEAR(result->values[1], 1.0, 1e-6);
}

TYPED_TEST(SolveChainTest, ZeroMatrixGivesZeroDirectionThroughTheFallback) {
  using T = TypeParam;
  auto result = solve<T>(std::vector<T>(9, T(0)), {1, -2, 3});
  ASSERT_TRUE(result.has_value());
  EXPECT_TRUE(result->used_fallback);
  EXPECT_EQ(result->values, std::vector<T>(3, T(0)));
}

TYPED_TEST(SolveChainTest, SingularMatrixGetsTheMinimumNormSolution) {
  using T = TypeParam;
  // Rank one: LU meets an exactly zero pivot; the truncated solve drops
  // the null direction (1, -1) and returns (1, 1).
  auto result = solve<T>({1, 1, 1, 1}, {2, 2});
  ASSERT_TRUE(result.has_value());
  EXPECT_TRUE(result->used_fallback);
  EXPECT_NEAR(result->values[0], 1.0, 1e-5);
  EXPECT_NEAR(result->values[1], 1.0, 1e-5);
}

TYPED_TEST(SolveChainTest, NonFiniteMatrixEndsWithTheLinearSolveError) {
  using T = TypeParam;
  const T nan = std::numeric_limits<T>::quiet_NaN();
  const T inf = std::numeric_limits<T>::infinity();
  for (const T bad : {nan, inf, -inf}) {
    for (const std::size_t at : {std::size_t{0}, std::size_t{1}, std::size_t{3}}) {
      std::vector<T> matrix = {2, 0, 0, 2};
      matrix[at] = bad;
      auto result = solve<T>(matrix, {1, 1});
      ASSERT_FALSE(result.has_value()) << "entry " << at << " = " << bad;
      EXPECT_EQ(result.error(), EngineError::linear_solve());
    }
  }
}

TYPED_TEST(SolveChainTest, NonFiniteGradientEndsWithTheNonFiniteError) {
  using T = TypeParam;
  auto result = solve<T>({1, 0, 0, 1}, {std::numeric_limits<T>::quiet_NaN(), 1});
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error(), EngineError::non_finite());
}

// H = [[1e12, 0], [0.01, 1]], g = (0, 1). The asymmetry 0.01 lies below the
// tolerance 1e12 * 64 eps, so double precision treats H as symmetric and the
// Cholesky factor (read from the lower triangle) solves
// [[1e12, 0.01], [0.01, 1]], giving d0 = -1e-14. LU solves H itself, whose
// exact answer has d0 = 0. Single precision never tries Cholesky.
TEST(SolveChainPathTest, CholeskyOnlyInDoublePrecision) {
  auto in_double = solve<double>({1e12, 0, 0.01, 1}, {0, 1});
  ASSERT_TRUE(in_double.has_value());
  EXPECT_FALSE(in_double->used_fallback);
  EXPECT_NEAR(in_double->values[0], -1e-14, 1e-20);

  auto in_float = solve<float>({1e12f, 0, 0.01f, 1}, {0, 1});
  ASSERT_TRUE(in_float.has_value());
  EXPECT_FALSE(in_float->used_fallback);
  EXPECT_EQ(in_float->values[0], 0.0f);
  EXPECT_EQ(in_float->values[1], 1.0f);
}

TEST(SolveChainPathTest, AsymmetryBeyondTheToleranceSkipsCholesky) {
  // 0.1 exceeds 1e12 * 64 eps (about 0.0142): LU on H itself gives d0 = 0.
  auto result = solve<double>({1e12, 0, 0.1, 1}, {0, 1});
  ASSERT_TRUE(result.has_value());
  EXPECT_FALSE(result->used_fallback);
  EXPECT_EQ(result->values[0], 0.0);
  EXPECT_EQ(result->values[1], 1.0);

  // Positive definite but asymmetric at unit scale: the answer must satisfy
  // H d = g for the full H, which neither symmetric reading of it does.
  const std::vector<double> matrix = {4, 1, 1 + 1e-6, 4};
  const std::vector<double> g = {1, 2};
  auto skewed = solve<double>(matrix, g);
  ASSERT_TRUE(skewed.has_value());
  EXPECT_LT(residual_norm(matrix, g, skewed->values), 1e-15);
}

}  // namespace
}  // namespace vintrel::core
