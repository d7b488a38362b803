#include "core/numeric.hpp"

#include <gtest/gtest.h>

#include <limits>
#include <vector>

#include "kernel_testing.hpp"

namespace vintrel::core {
namespace {

template <class T>
class NumericTest : public ::testing::Test {};
TYPED_TEST_SUITE(NumericTest, testing::Precisions);

// The block scan must see a bad value wherever it sits: in a full block, in
// the tail, first or last; and the largest finite values and zeros pass.
TYPED_TEST(NumericTest, AllFiniteFindsEveryNonFiniteValue) {
  using T = TypeParam;
  using limits = std::numeric_limits<T>;
  for (std::size_t n : {0, 1, 63, 64, 65, 200}) {
    std::vector<T> values(n, limits::max());
    if (n > 1) values[1] = -T(0);
    EXPECT_TRUE(all_finite(values)) << n;
    for (std::size_t at : {std::size_t{0}, n / 2, n - 1}) {
      if (n == 0) continue;
      for (const T bad : {limits::quiet_NaN(), limits::infinity(), -limits::infinity()}) {
        std::vector<T> with_bad = values;
        with_bad[at] = bad;
        EXPECT_FALSE(all_finite(with_bad)) << n << " values, bad at " << at;
      }
    }
  }
}

}  // namespace
}  // namespace vintrel::core
