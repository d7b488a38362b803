// Helpers shared by the kernel tests: bitwise comparison and seeded data.
#pragma once

#include <bit>
#include <cmath>
#include <cstdint>
#include <random>
#include <type_traits>
#include <vector>

#include <gtest/gtest.h>

namespace vintrel::core::testing {

using Precisions = ::testing::Types<float, double>;

template <class T>
bool same_bits(const std::vector<T>& a, const std::vector<T>& b) {
  using Bits = std::conditional_t<sizeof(T) == 4, std::uint32_t, std::uint64_t>;
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (std::bit_cast<Bits>(a[i]) != std::bit_cast<Bits>(b[i])) return false;
  }
  return true;
}

// Values spread over many magnitudes, so any change in the order of a sum
// shows in the last bits.
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
std::vector<T> integers(std::size_t n, std::uint32_t seed, int low, int high) {
  std::mt19937 engine(seed);
  std::uniform_int_distribution<int> pick(low, high);
  std::vector<T> values(n);
  for (auto& v : values) v = static_cast<T>(pick(engine));
  return values;
}

}  // namespace vintrel::core::testing
