#include "core/kernels/vector.hpp"

#include <gtest/gtest.h>

#include <limits>
#include <vector>

#include <oneapi/tbb/task_arena.h>

#include "core/kernels/row_simd.hpp"
#include "kernel_testing.hpp"

namespace vintrel::core {
namespace {

using testing::same_bits;
using testing::spread_values;

// A plain scalar transcription of the summation order: the oracle.
template <class T>
T reference_dot(const T* a, const T* b, std::size_t n) {
  T acc[8] = {};
  const std::size_t blocks = n / 8;
  for (std::size_t i = 0; i < 8 * blocks; ++i) acc[i % 8] = acc[i % 8] + a[i] * b[i];
  T result = 0;
  if (blocks != 0) result = ((acc[0] + acc[4]) + (acc[2] + acc[6])) + ((acc[1] + acc[5]) + (acc[3] + acc[7]));
  for (std::size_t i = 8 * blocks; i < n; ++i) result = result + a[i] * b[i];
  return result;
}

template <class T>
class DotTest : public ::testing::Test {};
TYPED_TEST_SUITE(DotTest, testing::Precisions);

TYPED_TEST(DotTest, FollowsTheFixedOrderForEveryShortLengthAndLongVectors) {
  using T = TypeParam;
  std::vector<std::size_t> lengths = {4099, 100'003};
  for (std::size_t n = 0; n <= 40; ++n) lengths.push_back(n);
  for (std::size_t n : lengths) {
    const auto a = spread_values<T>(n, 11 + n), b = spread_values<T>(n, 97 + n);
    EXPECT_TRUE(same_bits<T>({dot<T>(a, b)}, {reference_dot(a.data(), b.data(), n)})) << "length " << n;
  }
}

TYPED_TEST(DotTest, UsesTheShorterLengthAndPropagatesNaN) {
  using T = TypeParam;
  const T nan = std::numeric_limits<T>::quiet_NaN();
  auto a = spread_values<T>(29, 1);
  const auto b = spread_values<T>(19, 2);
  a[25] = nan;  // past the shorter vector: never read
  const T expected = reference_dot(a.data(), b.data(), 19);
  EXPECT_TRUE(same_bits<T>({dot<T>(a, b), dot<T>(b, a)}, {expected, expected}));
  EXPECT_EQ(dot<T>({}, a), T(0));
  for (std::size_t position : {0, 5, 8, 18}) {
    auto c = b;
    c[position] = nan;
    EXPECT_TRUE(std::isnan(dot<T>(a, c))) << position;
  }
}

// Shapes on both sides of the parallel threshold (n*p = 999,999 and
// 1,000,000), with a tail after the blocks of eight and fewer rows than
// threads; every pool size must give the oracle's bits.
class RowPassTest : public ::testing::TestWithParam<std::pair<std::uint64_t, std::uint64_t>> {};
INSTANTIATE_TEST_SUITE_P(Shapes, RowPassTest,
                         ::testing::Values(std::pair<std::uint64_t, std::uint64_t>{999'999, 1},
                                           std::pair<std::uint64_t, std::uint64_t>{1'000'000, 1},
                                           std::pair<std::uint64_t, std::uint64_t>{76'923, 13},
                                           std::pair<std::uint64_t, std::uint64_t>{2, 21}));

TEST_P(RowPassTest, BitIdenticalToTheSequentialOracleForEveryPoolSize) {
  const auto [n, p] = GetParam();
  const auto design = spread_values<double>(n * p, 5), target = spread_values<double>(n, 6);
  const auto beta = spread_values<double>(p, 7);
  std::vector<double> predictions(n), residuals(n);
  for (std::uint64_t i = 0; i < n; ++i) {
    predictions[i] = reference_dot(design.data() + i * p, beta.data(), p);
    residuals[i] = target[i] - predictions[i];
  }
  for (int threads : {1, 2, 3}) {
    std::vector<double> o(n), r(n);
    tbb::task_arena(threads).execute([&] {
      row_dots<double>(design, p, beta, o);
      compute_residuals<double>(design, p, target, beta, r);
    });
    EXPECT_TRUE(same_bits(o, predictions)) << threads << " threads";
    EXPECT_TRUE(same_bits(r, residuals)) << threads << " threads";
  }
}

// Every instruction set this processor has, for every trial-point count
// and widths around the blocks of eight: the oracle's bits.
TYPED_TEST(DotTest, EveryInstructionSetAndTrialCountGivesTheOraclesBits) {
  using T = TypeParam;
  const std::uint64_t n = 37;
  for (std::uint64_t p : {1, 7, 8, 9, 16, 17, 31, 33, 64, 65, 129}) {
    const auto design = spread_values<T>(n * p, 5 + p), target = spread_values<T>(n, 6);
    const auto points = spread_values<T>(MAX_TRIAL_POINTS * p, 7 + p);
    for (SimdLevel level : {SimdLevel::baseline, SimdLevel::avx2, SimdLevel::avx512}) {
      if (!simd_level_available(level)) continue;
      const RowKernels<T>& kernels = row_kernels<T>(level);
      for (int count = 1; count <= MAX_TRIAL_POINTS; ++count) {
        std::vector<std::vector<T>> outputs(count, std::vector<T>(n));
        ResidualRows<T> pass{design.data(), p, target.data(), points.data(), count, {}};
        for (int k = 0; k < count; ++k) pass.outputs[k] = outputs[k].data();
        kernels.residuals(pass, 0, n);
        for (int k = 0; k < count; ++k) {
          std::vector<T> expected(n);
          for (std::uint64_t i = 0; i < n; ++i) {
            expected[i] = target[i] - reference_dot(design.data() + i * p, points.data() + k * p, p);
          }
          EXPECT_TRUE(same_bits(outputs[k], expected))
              << simd_level_name(level) << ", p " << p << ", point " << k << " of " << count;
        }
      }
      std::vector<T> dots(n), expected(n);
      kernels.dots({design.data(), p, points.data(), dots.data()}, 0, n);
      for (std::uint64_t i = 0; i < n; ++i) expected[i] = reference_dot(design.data() + i * p, points.data(), p);
      EXPECT_TRUE(same_bits(dots, expected)) << simd_level_name(level) << ", p " << p;
    }
  }
}

}  // namespace
}  // namespace vintrel::core
