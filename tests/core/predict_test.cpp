#include <gtest/gtest.h>

#include <limits>
#include <random>

#include "core/engine.hpp"
#include "core/kernels/vector.hpp"
#include "core/pool.hpp"
#include "update_fixtures.hpp"

namespace vintrel::core {
namespace {

template <class T>
class PredictTest : public ::testing::Test {};
using Precisions = ::testing::Types<float, double>;
TYPED_TEST_SUITE(PredictTest, Precisions);

TYPED_TEST(PredictTest, ChecksRunInOrder) {
  using T = TypeParam;
  const std::vector<T> beta = {1, 2, 3};
  const T nan = std::numeric_limits<T>::quiet_NaN();
  const EngineError shape = EngineError::batch("invalid prediction shape");
  const EngineError finite = EngineError::batch("prediction input must contain only finite values");
  const std::uint64_t huge = std::uint64_t{1} << 63;
  struct Case {
    std::vector<T> design;
    std::uint64_t n, c;
    EngineError expected;
  };
  const Case cases[] = {
      {{}, 0, 4, shape},                      // width checked even without rows
      {{nan}, huge, 4, shape},                // width before the overflow
      {{}, huge, 3, EngineError::overflow()},  // n * c overflows
      {std::vector<T>(7, nan), 2, 3, shape},  // element count before finiteness
      {{1, 2, 3, 4, 5, nan}, 2, 3, finite},
      {{1, 2, 3, std::numeric_limits<T>::infinity(), 5, 6}, 2, 3, finite},
  };
  for (const auto& c : cases) {
    auto result = predict_rows<T>(c.design, c.n, c.c, beta);
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error(), c.expected) << display(c.expected);
  }
}

TYPED_TEST(PredictTest, RowsTimesCoefficients) {
  using T = TypeParam;
  auto empty = predict_rows<T>({}, 0, 3, std::vector<T>{1, 2, 3});
  ASSERT_TRUE(empty.has_value());
  EXPECT_TRUE(empty->empty());

  auto zeros = predict_rows<T>(std::vector<T>{1, 2, 3, 4, 5, 6}, 2, 3, std::vector<T>(3, T(0)));
  ASSERT_TRUE(zeros.has_value());
  EXPECT_EQ(*zeros, std::vector<T>(2, T(0)));

  auto values = predict_rows<T>(std::vector<T>{1, 2, 3, -1, 0.5, 2}, 2, 3, std::vector<T>{2, -1, 1});
  ASSERT_TRUE(values.has_value());
  EXPECT_EQ(*values, (std::vector<T>{3, -0.5}));
}

TYPED_TEST(PredictTest, ParallelPassMatchesTheSequentialLoopAtTheThreshold) {
  using T = TypeParam;
  // p = 10: 99,999 rows hold 999,990 elements (one thread), 100,000 rows
  // exactly 1,000,000 (the pool). Both must equal dot() row by row.
  const std::uint64_t p = 10;
  std::mt19937_64 rng(3);
  std::uniform_real_distribution<double> uniform(-1, 1);
  std::vector<T> design(100'000 * p), beta(p);
  for (auto& v : design) v = T(uniform(rng));
  for (auto& v : beta) v = T(uniform(rng));
  std::vector<T> expected(100'000);
  for (std::size_t i = 0; i < expected.size(); ++i) {
    expected[i] = dot<T>(std::span<const T>(design).subspan(i * p, p), beta);
  }
  EnginePool pool(3);
  for (const std::uint64_t rows : {std::uint64_t{99'999}, std::uint64_t{100'000}}) {
    auto result = pool.run([&] {
      return predict_rows<T>(std::span<const T>(design).first(rows * p), rows, p, beta);
    });
    ASSERT_TRUE(result.has_value());
    EXPECT_TRUE(testing::same_bits(*result, std::vector<T>(expected.begin(), expected.begin() + rows)));
  }
}

}  // namespace
}  // namespace vintrel::core
