// Helpers shared by the kernel tests: bitwise comparison and seeded data.
#pragma once

#include <bit>
#include <cmath>
#include <algorithm>
#include <cstdint>
#include <limits>
#include <optional>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "core/kernels/partition.hpp"
#include "core/numeric.hpp"
#include "core/types.hpp"

namespace vintrel::core::testing {

using Precisions = ::testing::Types<float, double>;

template <class T>
bool same_bits(const std::vector<T>& a, const std::vector<T>& b) {
  using Bits = typename FloatBits<T>::Bits;
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

template <class T>
std::vector<T> nans(std::size_t n) {
  return std::vector<T>(n, std::numeric_limits<T>::quiet_NaN());
}

template <class T>
struct Batch {
  std::uint64_t n, p;
  std::vector<T> design;
  std::optional<std::vector<T>> sample_weight = std::nullopt;
  std::vector<T> target = std::vector<T>(n);

  BatchView<T> view() const {
    BatchView<T> v;
    v.design = design;
    v.target = target;
    v.rows = n;
    v.cols = p;
    if (sample_weight) v.sample_weight = std::span<const T>(*sample_weight);
    return v;
  }
};

// A workspace sized as the update sizes it, for G Gram and S gradient slots
// and one area per slot.
template <class T>
Workspace<T> sized_workspace(std::uint64_t n, std::uint64_t p, std::uint64_t gram_slots, std::uint64_t gradient_slots) {
  Workspace<T> w;
  w.gram_slots = gram_slots;
  w.gradient_slots = gradient_slots;
  for (auto* buffer : {&w.residuals, &w.psi, &w.curvature}) buffer->assign(n, T(0));
  for (auto* buffer : {&w.gradient, &w.step_delta}) buffer->assign(p, T(0));
  for (auto* buffer : {&w.newton_matrix, &w.gram}) buffer->assign(p * p, T(0));
  w.row_scratch.assign(std::max<std::uint64_t>(gram_slots, 1) * std::min<std::uint64_t>(n, 256) * p, T(0));
  w.gram_partials.assign(gram_slots * p * p, T(0));
  w.gradient_partials.assign(gradient_slots * gradient_partial_stride(p, sizeof(T)), T(0));
  return w;
}

}  // namespace vintrel::core::testing
