// Small arithmetic helpers shared by the engine and its kernels.
#pragma once

#include <bit>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <ranges>
#include <type_traits>

#include "core/read_ahead.hpp"

namespace vintrel::core {

// Product of two unsigned 64-bit sizes, or nothing when it does not fit.
constexpr std::optional<std::uint64_t> checked_mul(std::uint64_t a, std::uint64_t b) {
  std::uint64_t product = 0;
  if (__builtin_mul_overflow(a, b, &product)) return std::nullopt;
  return product;
}

constexpr std::optional<std::uint64_t> checked_add(std::uint64_t a, std::uint64_t b) {
  std::uint64_t sum = 0;
  if (__builtin_add_overflow(a, b, &sum)) return std::nullopt;
  return sum;
}

// The bit pattern of T and its exponent field.
template <std::floating_point T>
struct FloatBits {
  using Bits = std::conditional_t<sizeof(T) == 4, std::uint32_t, std::uint64_t>;
  static constexpr int mantissa_bits = std::numeric_limits<T>::digits - 1;
  static constexpr Bits exponent_mask =
      ((Bits{1} << (sizeof(T) * 8 - 1)) - 1) & ~((Bits{1} << mantissa_bits) - 1);
};

// Finite means the exponent field is not all ones; unlike std::isfinite this
// needs no floating-point environment and vectorises as an integer test.
template <std::floating_point T>
constexpr bool is_finite(T value) {
  using F = FloatBits<T>;
  return (std::bit_cast<typename F::Bits>(value) & F::exponent_mask) != F::exponent_mask;
}

// Whether no value is NaN or infinite. Scans in index order a block at a
// time, stopping at the first block with a non-finite value: within a block
// the test is one vector comparison per few values instead of a branch per
// value, and the read runs ahead of the scan.
template <std::ranges::contiguous_range Values>
bool all_finite(const Values& values) {
  using T = std::remove_cvref_t<std::ranges::range_value_t<Values>>;
  using Bits = typename FloatBits<T>::Bits;
  constexpr Bits exponent_mask = FloatBits<T>::exponent_mask;
  constexpr std::size_t kBlock = 64;
  const T* data = std::ranges::data(values);
  const std::size_t n = std::ranges::size(values);
  ReadAhead read_ahead(data, data + n);
  std::size_t i = 0;
  for (; i + kBlock <= n; i += kBlock) {
    read_ahead.reached(data + i + kBlock);
    Bits non_finite = 0;
    for (std::size_t j = 0; j < kBlock; ++j) {
      Bits bits;
      std::memcpy(&bits, data + i + j, sizeof bits);
      non_finite |= static_cast<Bits>((bits & exponent_mask) == exponent_mask);
    }
    if (non_finite != 0) return false;
  }
  for (; i < n; ++i) {
    if (!is_finite(data[i])) return false;
  }
  return true;
}

// The tests for settings and weights: >= 0 accepts -0.0, > 0 rejects both zeros.
constexpr bool finite_non_negative(double value) { return is_finite(value) && value >= 0.0; }
constexpr bool finite_positive(double value) { return is_finite(value) && value > 0.0; }

// +1 for positive, -1 for negative, 0 for either zero and for NaN.
template <std::floating_point T>
constexpr T sgn(T value) {
  if (value > T(0)) return T(1);
  if (value < T(0)) return T(-1);
  return T(0);
}

}  // namespace vintrel::core
