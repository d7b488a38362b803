#include <gtest/gtest.h>

#include <limits>
#include <string_view>

#include "core/model/penalty.hpp"
#include "kernel_testing.hpp"

namespace vintrel::core {
namespace {

TEST(PenaltyTest, OnlyTheExactNameFindsAPenalty) {
  const auto named = [](std::string_view text) {
    return find_penalty([&](const char* name) { return text == name; });
  };
  EXPECT_EQ(named("none"), Penalty::none);
  EXPECT_EQ(named("l1"), Penalty::l1);
  EXPECT_EQ(named("l2"), Penalty::l2);
  EXPECT_EQ(named("elasticnet"), Penalty::elasticnet);
  for (const std::string_view other : {"", "L1", "l1 ", "None", "L2", "elastic_net"}) {
    EXPECT_EQ(named(other), std::nullopt) << other;
  }
}

template <class T>
class SoftThresholdTest : public ::testing::Test {};
TYPED_TEST_SUITE(SoftThresholdTest, testing::Precisions);

TYPED_TEST(SoftThresholdTest, ShrinksTowardZeroAndStopsThere) {
  using T = TypeParam;
  const T nan = std::numeric_limits<T>::quiet_NaN();
  struct Case {
    T z, threshold, expected;
  };
  const Case cases[] = {
      {3, 1, 2}, {-3, 1, -2}, {1, 1, 0}, {-0.5, 1, T(-0.0)},  // beyond, at and inside; zero keeps z's sign
      {2.5, 0, 2.5}, {-2.5, 0, -2.5},                         // a zero threshold (the intercept's) keeps z
      {nan, 1, 0}, {3, nan, 0},                               // a NaN excess counts as 0
  };
  for (const Case& c : cases) {
    EXPECT_TRUE(testing::same_bits<T>({soft_threshold(c.z, c.threshold)}, {c.expected}))
        << "z = " << c.z << ", threshold = " << c.threshold;
  }
}

}  // namespace
}  // namespace vintrel::core
