// Batches, configurations and a least-squares oracle shared by the driver,
// solver, prediction and pool tests.
#pragma once

#include <bit>
#include <cmath>
#include <cstdint>
#include <optional>
#include <random>
#include <vector>

#include "core/types.hpp"

namespace vintrel::core::testing {

// A batch that owns its arrays; view() borrows them like the binding does.
template <class T>
struct OwnedBatch {
  std::vector<T> design;
  std::vector<T> target;
  std::optional<std::vector<T>> weights;
  std::uint64_t rows = 0;
  std::uint64_t cols = 0;
  double batch_weight = 1.0;

  BatchView<T> view() const {
    BatchView<T> v;
    v.design = design;
    v.target = target;
    v.rows = rows;
    v.cols = cols;
    if (weights) v.sample_weight = std::span<const T>(*weights);
    v.batch_weight = batch_weight;
    return v;
  }
};

// y = X beta + noise * N(0, 1), features N(0, 1), the intercept column (all
// ones) last when fitted. beta holds one value per design column.
template <class T>
OwnedBatch<T> linear_batch(std::uint64_t rows, const FeatureLayout& layout, const std::vector<double>& beta,
                           double noise, std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::normal_distribution<double> normal;
  OwnedBatch<T> batch;
  batch.rows = rows;
  batch.cols = layout.n_parameters();
  batch.design.resize(rows * batch.cols);
  batch.target.resize(rows);
  for (std::uint64_t i = 0; i < rows; ++i) {
    double y = 0.0;
    for (std::uint64_t j = 0; j < batch.cols; ++j) {
      const double x = layout.is_intercept(j, batch.cols) ? 1.0 : normal(rng);
      batch.design[i * batch.cols + j] = T(x);
      y += x * beta[j];
    }
    batch.target[i] = T(y + noise * normal(rng));
  }
  return batch;
}

inline UpdateConfig default_config(Penalty penalty = Penalty::none) {
  UpdateConfig config;
  config.tau = 1.345;
  config.lambda_scale = 1.0;
  config.bandwidth_scale = 1.0;
  config.max_iter = 50;
  config.tolerance = 1e-10;
  config.ridge = 0.0;
  config.penalty = penalty;
  return config;
}

// Weighted least squares through the normal equations in long double.
template <class T>
std::vector<double> least_squares(const OwnedBatch<T>& batch) {
  const std::size_t n = batch.rows;
  const std::size_t p = batch.cols;
  std::vector<long double> a(p * (p + 1), 0.0L);  // augmented [X^T X | X^T y]
  for (std::size_t i = 0; i < n; ++i) {
    const long double w = batch.weights ? (*batch.weights)[i] : 1.0L;
    for (std::size_t r = 0; r < p; ++r) {
      const long double xr = batch.design[i * p + r];
      for (std::size_t c = 0; c < p; ++c) a[r * (p + 1) + c] += w * xr * batch.design[i * p + c];
      a[r * (p + 1) + p] += w * xr * batch.target[i];
    }
  }
  for (std::size_t col = 0; col < p; ++col) {
    std::size_t pivot = col;
    for (std::size_t r = col + 1; r < p; ++r) {
      if (std::abs(a[r * (p + 1) + col]) > std::abs(a[pivot * (p + 1) + col])) pivot = r;
    }
    for (std::size_t c = 0; c <= p; ++c) std::swap(a[col * (p + 1) + c], a[pivot * (p + 1) + c]);
    for (std::size_t r = col + 1; r < p; ++r) {
      const long double f = a[r * (p + 1) + col] / a[col * (p + 1) + col];
      for (std::size_t c = col; c <= p; ++c) a[r * (p + 1) + c] -= f * a[col * (p + 1) + c];
    }
  }
  std::vector<long double> x(p);
  for (std::size_t r = p; r-- > 0;) {
    long double s = a[r * (p + 1) + p];
    for (std::size_t c = r + 1; c < p; ++c) s -= a[r * (p + 1) + c] * x[c];
    x[r] = s / a[r * (p + 1) + r];
  }
  return std::vector<double>(x.begin(), x.end());
}

// Equality of the bit patterns, so -0.0 and 0.0 differ and NaN equals NaN.
template <class T>
bool same_bits(const std::vector<T>& a, const std::vector<T>& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (std::bit_cast<std::conditional_t<sizeof(T) == 4, std::uint32_t, std::uint64_t>>(a[i]) !=
        std::bit_cast<std::conditional_t<sizeof(T) == 4, std::uint32_t, std::uint64_t>>(b[i])) {
      return false;
    }
  }
  return true;
}

}  // namespace vintrel::core::testing
