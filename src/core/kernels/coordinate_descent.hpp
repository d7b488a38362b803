// The inner problem of the proximal Newton solver: the quadratic model of
// the smooth objective plus the L1 term, minimised one coordinate at a time.
#pragma once

#include <concepts>
#include <cstdint>
#include <span>

#include "core/types.hpp"

namespace vintrel::core {

// Most sweeps over the coordinates for one model.
inline constexpr std::uint64_t MAX_MODEL_SWEEPS = 2000;

// How the sweeps ended.
struct ModelSweeps {
  std::uint64_t sweeps = 0;
  // Some coordinate had no positive curvature and kept a zero step.
  bool skipped_flat = false;
};

// Minimises g'd + 1/2 d'Hd + l1_level * sum |beta_j + d_j| over d, the sum
// over the penalised coefficients only, by cyclic coordinate descent in
// index order from d = 0: each coordinate moves to the exact minimiser
// along it (a soft-thresholding step when penalised), and `product` keeps
// H d up to date. The sweeps stop once the largest change of a sweep is at
// most `resolution`, relative 1e-6 to the largest |d_j| or 4 ulps of the
// largest |beta_j + d_j|, or after MAX_MODEL_SWEEPS. H is row-major p x p
// and symmetric; d goes to `step`. Where beta_j + d_j comes to zero it is
// an exact zero, d_j = -beta_j.
template <std::floating_point T>
ModelSweeps minimize_l1_model(std::span<const T> matrix, std::span<const T> gradient,
                              std::span<const T> coefficients, T l1_level, const FeatureLayout& layout,
                              T resolution, std::span<T> step, std::span<T> product);

// Replaces `step` by the exact minimiser of the same model on the support
// and signs it found (the nonzero beta_j + d_j, and the intercept), when
// that minimiser keeps those signs and leaves every zero coefficient
// optimal (|g_j + (H d)_j| <= l1_level). Coordinate descent crawls along
// nearly collinear directions; the solve on the support does not. Returns
// whether the step was replaced; `product` then holds H d.
template <std::floating_point T>
bool exact_model_on_support(std::span<const T> matrix, std::span<const T> gradient,
                            std::span<const T> coefficients, T l1_level, const FeatureLayout& layout,
                            std::span<T> step, std::span<T> product);

}  // namespace vintrel::core
