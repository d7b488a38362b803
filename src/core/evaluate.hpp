// The whole-data quantities of one batch at given coefficients: the score
// sum, the curvature-weighted Gram and the Huber sums, for a fit that sums
// them over every batch and steps on the totals. The stored estimate is
// neither read nor changed.
#pragma once

#include <concepts>
#include <cstdint>
#include <span>

#include "core/error.hpp"
#include "core/types.hpp"

namespace vintrel::core {

// In this order, the first failing check returning its error:
// 1. layout's p differs from the engine's n_parameters: the state error of
//    an update whose layout does not fit the engine;
// 2. tau not finite and positive, bandwidth not finite and non-negative
//    (configuration errors);
// 3. coefficients not p long, or not finite (batch errors);
// 4. with `units`, their checks and the raw batch's shape, then the
//    standardisation (as an update does);
// 5. the batch's shape and values as an update checks them, without a
//    batch weight.
// Then, with r = y - X coefficients and w the sample weights (1 without):
// gradient = sum of w psi(r) x and gram = sum of w c(r) x x^T, formed by
// the kernels and row partitions of a Newton step of an unpenalised update,
// where c is the smoothed curvature of half-width `bandwidth`, or the exact
// indicator of |r| <= tau when the half-width is zero in T; the four sums
// of huber_sums; the residuals. A non-finite result is a non-finite error.
template <std::floating_point T>
Result<Evaluation<T>> evaluate_at(Workspace<T>& workspace, const BatchView<T>& batch,
                                  std::span<const T> coefficients, const FeatureLayout& layout,
                                  std::uint64_t n_parameters, const EvaluationConfig& config,
                                  const FeatureUnits* units = nullptr);

}  // namespace vintrel::core
