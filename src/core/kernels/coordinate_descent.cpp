#include "core/kernels/coordinate_descent.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "core/kernels/partition.hpp"
#include "core/linear_solve.hpp"
#include "core/model/penalty.hpp"
#include "core/numeric.hpp"

namespace vintrel::core {

template <std::floating_point T>
ModelSweeps minimize_l1_model(std::span<const T> matrix, std::span<const T> gradient,
                              std::span<const T> coefficients, T l1_level, const FeatureLayout& layout,
                              T resolution, std::span<T> step, std::span<T> product) {
  const std::size_t p = coefficients.size();
  check_invariant(matrix.size() == p * p && gradient.size() == p && step.size() == p && product.size() == p,
                  "coordinate descent buffers do not match the coefficients");
  std::fill(step.begin(), step.end(), T(0));
  std::fill(product.begin(), product.end(), T(0));
  constexpr T kRelative = T(1e-6);
  constexpr T kUlps = T(4) * std::numeric_limits<T>::epsilon();
  ModelSweeps outcome;
  while (outcome.sweeps < MAX_MODEL_SWEEPS) {
    ++outcome.sweeps;
    T largest_change = T(0);
    T largest_step = T(0);
    T largest_point = T(0);
    for (std::size_t j = 0; j < p; ++j) {
      const T* row = matrix.data() + j * p;
      const T curvature = row[j];
      if (!(curvature > T(0))) {
        outcome.skipped_flat = true;
        continue;
      }
      // The model along coordinate j: slope g_j + (H d)_j at the current d.
      const T current = coefficients[j] + step[j];
      const T unpenalised = current - (gradient[j] + product[j]) / curvature;
      const T target =
          layout.is_intercept(j, p) ? unpenalised : soft_threshold(unpenalised, l1_level / curvature);
      const T moved = target - coefficients[j];
      const T change = moved - step[j];
      if (change != T(0)) {
        step[j] = moved;
        for (std::size_t i = 0; i < p; ++i) product[i] = product[i] + row[i] * change;
      }
      largest_change = std::max(largest_change, std::abs(change));
      largest_step = std::max(largest_step, std::abs(moved));
      largest_point = std::max(largest_point, std::abs(target));
    }
    // NaN never stops the sweeps early; the cap ends them.
    if (largest_change <= std::max({resolution, kRelative * largest_step, kUlps * largest_point})) break;
  }
  return outcome;
}

template <std::floating_point T>
bool exact_model_on_support(std::span<const T> matrix, std::span<const T> gradient,
                            std::span<const T> coefficients, T l1_level, const FeatureLayout& layout,
                            std::span<T> step, std::span<T> product) {
  const std::size_t p = coefficients.size();
  check_invariant(matrix.size() == p * p && gradient.size() == p && step.size() == p && product.size() == p,
                  "support solve buffers do not match the coefficients");
  std::vector<std::size_t> support;
  for (std::size_t j = 0; j < p; ++j) {
    if (layout.is_intercept(j, p) || coefficients[j] + step[j] != T(0)) support.push_back(j);
  }
  if (support.empty()) return false;
  // With z = beta + d zero off the support and the signs s fixed on it,
  // the model's gradient vanishes where H_SS (z_S - beta_S) = -g_S - l1 s_S
  // + H_S,off beta_off.
  const std::size_t m = support.size();
  std::vector<T> block(m * m);
  std::vector<T> right(m);
  for (std::size_t a = 0; a < m; ++a) {
    const std::size_t i = support[a];
    const T* row = matrix.data() + i * p;
    for (std::size_t b = 0; b < m; ++b) block[a * m + b] = row[support[b]];
    T value = -gradient[i];
    if (!layout.is_intercept(i, p)) value -= l1_level * sgn(coefficients[i] + step[i]);
    for (std::size_t j = 0; j < p; ++j) {
      if (!layout.is_intercept(j, p) && coefficients[j] + step[j] == T(0)) value += row[j] * coefficients[j];
    }
    right[a] = value;
  }
  Result<Direction<T>> solved = solve_newton_system<T>(block, right, m);
  if (!solved || solved->used_fallback || !all_finite(solved->values)) return false;
  std::vector<T> exact(p);
  for (std::size_t j = 0; j < p; ++j) exact[j] = -coefficients[j];  // zero off the support
  for (std::size_t a = 0; a < m; ++a) {
    const std::size_t j = support[a];
    exact[j] = solved->values[a];
    if (!layout.is_intercept(j, p) && sgn(coefficients[j] + exact[j]) != sgn(coefficients[j] + step[j])) {
      return false;
    }
  }
  std::vector<T> moved(p, T(0));
  for (std::size_t i = 0; i < p; ++i) {
    const T* row = matrix.data() + i * p;
    for (std::size_t j = 0; j < p; ++j) moved[i] += row[j] * exact[j];
  }
  for (std::size_t j = 0; j < p; ++j) {
    const bool zero = !layout.is_intercept(j, p) && coefficients[j] + step[j] == T(0);
    if (zero && !(std::abs(gradient[j] + moved[j]) <= l1_level)) return false;
  }
  std::copy(exact.begin(), exact.end(), step.begin());
  std::copy(moved.begin(), moved.end(), product.begin());
  return true;
}

#define VINTREL_INSTANTIATE_COORDINATE_DESCENT(T)                                                               \
  template ModelSweeps minimize_l1_model<T>(std::span<const T>, std::span<const T>, std::span<const T>, T,     \
                                            const FeatureLayout&, T, std::span<T>, std::span<T>);               \
  template bool exact_model_on_support<T>(std::span<const T>, std::span<const T>, std::span<const T>, T,       \
                                          const FeatureLayout&, std::span<T>, std::span<T>);

VINTREL_INSTANTIATE_COORDINATE_DESCENT(float)
VINTREL_INSTANTIATE_COORDINATE_DESCENT(double)

#undef VINTREL_INSTANTIATE_COORDINATE_DESCENT

}  // namespace vintrel::core
