#include "core/kernels/vector.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include <oneapi/tbb/task_arena.h>

#include "core/error.hpp"

namespace vintrel::core {
namespace {

template <class T>
bool same_bits(T a, T b) {
  using Bits = std::conditional_t<sizeof(T) == 4, std::uint32_t, std::uint64_t>;
  return std::bit_cast<Bits>(a) == std::bit_cast<Bits>(b);
}

template <class T>
bool same_bits(const std::vector<T>& a, const std::vector<T>& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (!same_bits(a[i], b[i])) return false;
  }
  return true;
}

// A plain scalar transcription of the summation order, the oracle for dot.
template <class T>
T reference_dot(const std::vector<T>& a, const std::vector<T>& b) {
  const std::size_t n = std::min(a.size(), b.size());
  const std::size_t blocks = n / 8;
  T acc[8] = {};
  for (std::size_t m = 0; m < blocks; ++m) {
    for (std::size_t k = 0; k < 8; ++k) {
      const T product = a[8 * m + k] * b[8 * m + k];
      acc[k] = acc[k] + product;
    }
  }
  T result = 0;
  if (blocks != 0) {
    const T s0 = acc[0] + acc[4], s1 = acc[1] + acc[5], s2 = acc[2] + acc[6], s3 = acc[3] + acc[7];
    result = (s0 + s2) + (s1 + s3);
  }
  for (std::size_t i = 8 * blocks; i < n; ++i) {
    const T product = a[i] * b[i];
    result = result + product;
  }
  return result;
}

// Values spread over many magnitudes, so a changed association shows up
// in the last bits.
template <class T>
std::vector<T> spread_values(std::size_t n, std::uint32_t seed) {
  std::mt19937 engine(seed);
  std::uniform_real_distribution<double> mantissa(-1.0, 1.0);
  std::uniform_int_distribution<int> exponent(-12, 12);
  std::vector<T> values(n);
  for (auto& v : values) v = static_cast<T>(std::ldexp(mantissa(engine), exponent(engine)));
  return values;
}

template <class T>
class VectorKernelTest : public ::testing::Test {};
using Precisions = ::testing::Types<float, double>;
TYPED_TEST_SUITE(VectorKernelTest, Precisions);

TYPED_TEST(VectorKernelTest, DotMatchesTheFixedOrderForEveryShortLengthAndLongVectors) {
  using T = TypeParam;
  std::vector<std::size_t> lengths;
  for (std::size_t n = 0; n <= 40; ++n) lengths.push_back(n);
  lengths.insert(lengths.end(), {1000, 4099, 100'003});
  for (std::size_t n : lengths) {
    const auto a = spread_values<T>(n, 11 + n);
    const auto b = spread_values<T>(n, 97 + n);
    EXPECT_TRUE(same_bits(dot<T>(a, b), reference_dot(a, b))) << "length " << n;
  }
}

TYPED_TEST(VectorKernelTest, DotOfEightPairsUsesTheStatedPairing) {
  using T = TypeParam;
  // Products 1, e, -1, e, ... cancel only under the stated pairing.
  const T big = T(1) / std::numeric_limits<T>::epsilon();
  const std::vector<T> a = {big, 1, T(0.5), 1, -big, 1, T(0.5), 1};
  const std::vector<T> b(8, T(1));
  const T expected = ((a[0] + a[4]) + (a[2] + a[6])) + ((a[1] + a[5]) + (a[3] + a[7]));
  EXPECT_TRUE(same_bits(dot<T>(a, b), expected));
  EXPECT_TRUE(same_bits(dot<T>(a, b), reference_dot(a, b)));
}

TYPED_TEST(VectorKernelTest, DotIgnoresTheExtraElementsOfTheLongerVector) {
  using T = TypeParam;
  auto a = spread_values<T>(29, 1);
  a[25] = std::numeric_limits<T>::quiet_NaN();  // past the shorter vector: never read
  const auto b = spread_values<T>(19, 2);
  const T expected = reference_dot(std::vector<T>(a.begin(), a.begin() + 19), b);
  EXPECT_TRUE(same_bits(dot<T>(a, b), expected));
  EXPECT_TRUE(same_bits(dot<T>(b, a), expected));
  EXPECT_TRUE(same_bits(dot<T>({}, a), T(0)));
}

TYPED_TEST(VectorKernelTest, DotPropagatesNaNFromEitherSideAndEveryPosition) {
  using T = TypeParam;
  const T nan = std::numeric_limits<T>::quiet_NaN();
  for (std::size_t position : {0u, 5u, 8u, 19u}) {
    auto a = spread_values<T>(20, 3);
    auto b = spread_values<T>(20, 4);
    a[position] = nan;
    EXPECT_TRUE(std::isnan(dot<T>(a, b))) << position;
    EXPECT_TRUE(std::isnan(dot<T>(b, a))) << position;
  }
}

// A batch whose n*p sits at a chosen count, with values that make the
// rounding of every row visible.
template <class T>
struct RowPassCase {
  std::uint64_t n, p;
  std::vector<T> design, target, coefficients;

  RowPassCase(std::uint64_t rows, std::uint64_t width)
      : n(rows),
        p(width),
        design(spread_values<T>(rows * width, 5)),
        target(spread_values<T>(rows, 6)),
        coefficients(spread_values<T>(width, 7)) {}

  std::vector<T> residuals() const {
    std::vector<T> out(n, std::numeric_limits<T>::quiet_NaN());
    compute_residuals<T>(design, p, target, coefficients, out);
    return out;
  }
  std::vector<T> predictions() const {
    std::vector<T> out(n, std::numeric_limits<T>::quiet_NaN());
    row_dots<T>(design, p, coefficients, out);
    return out;
  }
  // The row passes written out with the oracle.
  std::vector<T> reference_predictions() const {
    std::vector<T> out(n);
    for (std::uint64_t i = 0; i < n; ++i) {
      out[i] = reference_dot(std::vector<T>(design.begin() + i * p, design.begin() + (i + 1) * p),
                             coefficients);
    }
    return out;
  }
};

class RowPassTest : public ::testing::TestWithParam<std::pair<std::uint64_t, std::uint64_t>> {};

// Sizes on both sides of the parallel threshold (n*p = 999,999 and
// 1,000,000), with short rows, a tail after the blocks of eight, and more
// rows than any pool has threads.
INSTANTIATE_TEST_SUITE_P(Shapes, RowPassTest,
                         ::testing::Values(std::pair<std::uint64_t, std::uint64_t>{999'999, 1},
                                           std::pair<std::uint64_t, std::uint64_t>{1'000'000, 1},
                                           std::pair<std::uint64_t, std::uint64_t>{76'923, 13},
                                           std::pair<std::uint64_t, std::uint64_t>{62'500, 16},
                                           std::pair<std::uint64_t, std::uint64_t>{3, 21}));

TEST_P(RowPassTest, ResultsAreBitIdenticalForEveryPoolSize) {
  const auto [n, p] = GetParam();
  const RowPassCase<double> batch(n, p);
  const auto expected = batch.reference_predictions();
  std::vector<double> expected_residuals(n);
  for (std::uint64_t i = 0; i < n; ++i) expected_residuals[i] = batch.target[i] - expected[i];

  for (int threads : {1, 2, 3}) {
    tbb::task_arena arena(threads);
    arena.execute([&] {
      EXPECT_TRUE(same_bits(batch.predictions(), expected)) << threads << " threads";
      EXPECT_TRUE(same_bits(batch.residuals(), expected_residuals)) << threads << " threads";
    });
  }
}

TEST(RowPassTest, SinglePrecisionIsBitIdenticalAcrossPoolSizes) {
  const RowPassCase<float> batch(100'000, 11);
  const auto expected = batch.reference_predictions();
  for (int threads : {1, 2, 3}) {
    tbb::task_arena arena(threads);
    arena.execute([&] { EXPECT_TRUE(same_bits(batch.predictions(), expected)) << threads << " threads"; });
  }
}

TEST(RowPassTest, SequentialFormCoversOnlyTheRowsEveryBufferHas) {
  const RowPassCase<double> batch(10, 3);
  std::vector<double> residuals(12, -1.0);
  compute_residuals<double>(batch.design, 3, std::span(batch.target).first(8), batch.coefficients, residuals);
  const auto expected = batch.reference_predictions();
  for (std::size_t i = 0; i < 8; ++i) EXPECT_EQ(residuals[i], batch.target[i] - expected[i]);
  for (std::size_t i = 8; i < 12; ++i) EXPECT_EQ(residuals[i], -1.0);
}

TEST(RowPassTest, ParallelFormRefusesRowsBeyondTheDesign) {
  // Above the threshold every output row must exist in the design.
  const RowPassCase<double> batch(1'000'000, 1);
  std::vector<double> out(1'000'001);
  EXPECT_THROW(row_dots<double>(batch.design, 1, batch.coefficients, out), InternalFault);
  EXPECT_THROW(row_dots<double>(batch.design, 0, batch.coefficients, out), InternalFault);
}

}  // namespace
}  // namespace vintrel::core
