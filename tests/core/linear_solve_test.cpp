#include "core/linear_solve.hpp"

#include <gtest/gtest.h>

#include <limits>
#include <vector>

#include "kernel_testing.hpp"

namespace vintrel::core {
namespace {

template <class T>
Result<Direction<T>> solve(const std::vector<T>& matrix, const std::vector<T>& gradient) {
  return solve_newton_system<T>(matrix, gradient, gradient.size());
}

template <class T>
class SolveChainTest : public ::testing::Test {};
TYPED_TEST_SUITE(SolveChainTest, testing::Precisions);

TYPED_TEST(SolveChainTest, EachRungGivesItsDirection) {
  using T = TypeParam;
  struct Case {
    std::vector<T> matrix, gradient, direction;
    bool fallback;
  };
  const Case cases[] = {
      {{4, 1, 1, 3}, {6, 7}, {1, 2}, false},   // positive definite
      {{1, 2, 2, 1}, {3, 3}, {1, 1}, false},   // symmetric indefinite: Cholesky fails, LU solves
      {{1, 1, 1, 1}, {2, 2}, {1, 1}, true},    // rank one: zero LU pivot, minimum-norm SVD answer
      {{0, 0, 0, 0}, {1, -2}, {0, 0}, true},   // zero: every singular value truncated
  };
  for (const auto& c : cases) {
    auto result = solve(c.matrix, c.gradient);
    ASSERT_TRUE(result.has_value());
    EXPECT_EQ(result->used_fallback, c.fallback);
    for (std::size_t j = 0; j < 2; ++j) EXPECT_NEAR(result->values[j], c.direction[j], 1e-5);
  }
}

TYPED_TEST(SolveChainTest, NonFiniteInputsEndWithAnError) {
  using T = TypeParam;
  // A factorisation reading one triangle must not hide a bad entry in the
  // other one, so both off-diagonal places are tried.
  for (const T bad : {std::numeric_limits<T>::quiet_NaN(), std::numeric_limits<T>::infinity()}) {
    for (const std::size_t at : {1, 2}) {
      std::vector<T> matrix = {2, 0, 0, 2};
      matrix[at] = bad;
      EXPECT_EQ(solve<T>(matrix, {1, 1}), fail(EngineError::linear_solve())) << at;
    }
  }
  EXPECT_EQ(solve<T>({1, 0, 0, 1}, {std::numeric_limits<T>::quiet_NaN(), 1}), fail(EngineError::non_finite()));
}

// H = [[1e12, 0], [a, 1]], g = (0, 1). LU solves H itself: d0 = 0 exactly.
// When a is within 1e12 * 64 eps (about 0.0142) double precision takes H as
// symmetric, and the Cholesky factor (from the lower triangle) solves
// [[1e12, a], [a, 1]]: d0 = -a * 1e-12.
TEST(SolveChainPathTest, CholeskyOnlyInDoubleAndOnlyForSymmetricMatrices) {
  auto symmetric = solve<double>({1e12, 0, 0.01, 1}, {0, 1});
  ASSERT_TRUE(symmetric.has_value());
  EXPECT_NEAR(symmetric->values[0], -1e-14, 1e-20);

  auto in_float = solve<float>({1e12f, 0, 0.01f, 1}, {0, 1});
  ASSERT_TRUE(in_float.has_value());
  EXPECT_EQ(in_float->values, (std::vector<float>{0, 1}));

  auto asymmetric = solve<double>({1e12, 0, 0.1, 1}, {0, 1});
  ASSERT_TRUE(asymmetric.has_value());
  EXPECT_EQ(asymmetric->values, (std::vector<double>{0, 1}));
}

}  // namespace
}  // namespace vintrel::core
