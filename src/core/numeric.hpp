// Small arithmetic helpers shared by the engine and its kernels.
#pragma once

#include <bit>
#include <concepts>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>

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

// Finite means the exponent field is not all ones; unlike std::isfinite this
// needs no floating-point environment and vectorises as an integer test.
template <std::floating_point T>
constexpr bool is_finite(T value) {
  using Bits = std::conditional_t<sizeof(T) == 4, std::uint32_t, std::uint64_t>;
  constexpr int mantissa_bits = std::numeric_limits<T>::digits - 1;
  constexpr Bits exponent_mask = ((Bits{1} << (sizeof(T) * 8 - 1)) - 1) & ~((Bits{1} << mantissa_bits) - 1);
  return (std::bit_cast<Bits>(value) & exponent_mask) != exponent_mask;
}

// Index of the first non-finite element, or nothing when all are finite.
template <std::floating_point T>
std::optional<std::size_t> first_non_finite(std::span<const T> values) {
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (!is_finite(values[i])) return i;
  }
  return std::nullopt;
}

template <std::floating_point T>
bool all_finite(std::span<const T> values) {
  return !first_non_finite(values).has_value();
}

// +1 for positive, -1 for negative, 0 for either zero and for NaN.
template <std::floating_point T>
constexpr T sgn(T value) {
  if (value > T(0)) return T(1);
  if (value < T(0)) return T(-1);
  return T(0);
}

}  // namespace vintrel::core
