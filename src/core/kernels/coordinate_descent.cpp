#include "core/kernels/coordinate_descent.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "core/kernels/partition.hpp"
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

#define VINTREL_INSTANTIATE_COORDINATE_DESCENT(T)                                                               \
  template ModelSweeps minimize_l1_model<T>(std::span<const T>, std::span<const T>, std::span<const T>, T,     \
                                            const FeatureLayout&, T, std::span<T>, std::span<T>);

VINTREL_INSTANTIATE_COORDINATE_DESCENT(float)
VINTREL_INSTANTIATE_COORDINATE_DESCENT(double)

#undef VINTREL_INSTANTIATE_COORDINATE_DESCENT

}  // namespace vintrel::core
