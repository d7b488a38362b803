#include "core/kernels/standardize.hpp"

#include "core/kernels/partition.hpp"
#include "core/numeric.hpp"

namespace vintrel::core {

Status check_feature_units(const FeatureUnits& units, std::uint64_t n_features_in) {
  if (units.center.size() != n_features_in) {
    return fail(EngineError::batch("x_center length does not match n_features_in"));
  }
  if (units.scale.size() != n_features_in) {
    return fail(EngineError::batch("x_scale length does not match n_features_in"));
  }
  if (!all_finite(units.center)) return fail(EngineError::batch("x_center must contain only finite values"));
  for (const double scale : units.scale) {
    if (!finite_positive(scale)) return fail(EngineError::batch("x_scale must be finite and positive"));
  }
  return {};
}

template <std::floating_point T>
void fill_column_units(const FeatureUnits& units, std::span<T> center, std::span<T> inverse_scale) {
  const std::uint64_t k = units.center.size();
  const std::uint64_t p = center.size();
  check_invariant(units.scale.size() == k && inverse_scale.size() == p && (p == k || p == k + 1),
                  "feature units do not match the design width");
  for (std::uint64_t j = 0; j < k; ++j) {
    center[j] = static_cast<T>(units.center[j]);
    inverse_scale[j] = static_cast<T>(1.0 / units.scale[j]);
  }
  if (p > k) {
    center[k] = T(0);
    inverse_scale[k] = T(1);
  }
}

template <std::floating_point T>
void standardize_rows(std::span<const T> raw, std::uint64_t k, std::span<const T> center,
                      std::span<const T> inverse_scale, std::uint64_t first, std::uint64_t last, std::span<T> out) {
  const std::uint64_t p = center.size();
  check_invariant(inverse_scale.size() == p && (p == k || p == k + 1) && first <= last &&
                      last <= (k == 0 ? 0 : raw.size() / k) && out.size() >= (last - first) * p,
                  "standardisation buffers do not match the design");
  const T* __restrict c = center.data();
  const T* __restrict s = inverse_scale.data();
  T* __restrict z = out.data();
  for (std::uint64_t i = first; i < last; ++i, z += p) {
    const T* __restrict x = raw.data() + i * k;
    for (std::uint64_t j = 0; j < k; ++j) z[j] = (x[j] - c[j]) * s[j];
    // (1 - 0) * 1 is 1 exactly.
    if (p > k) z[k] = T(1);
  }
}

template <std::floating_point T>
void standardize_design(std::span<const T> raw, std::uint64_t n, std::uint64_t k, std::span<const T> center,
                        std::span<const T> inverse_scale, std::span<T> out) {
  const std::uint64_t p = center.size();
  check_invariant(out.size() == n * p, "standardised design is not n x p");
  output_parallel_rows(n, p, [&](std::uint64_t first, std::uint64_t last) {
    standardize_rows<T>(raw, k, center, inverse_scale, first, last, out.subspan(first * p, (last - first) * p));
  });
}

#define VINTREL_INSTANTIATE_STANDARDIZE(T)                                                                  \
  template void fill_column_units<T>(const FeatureUnits&, std::span<T>, std::span<T>);                     \
  template void standardize_rows<T>(std::span<const T>, std::uint64_t, std::span<const T>,                  \
                                    std::span<const T>, std::uint64_t, std::uint64_t, std::span<T>);        \
  template void standardize_design<T>(std::span<const T>, std::uint64_t, std::uint64_t, std::span<const T>, \
                                      std::span<const T>, std::span<T>);

VINTREL_INSTANTIATE_STANDARDIZE(float)
VINTREL_INSTANTIATE_STANDARDIZE(double)

#undef VINTREL_INSTANTIATE_STANDARDIZE

}  // namespace vintrel::core
