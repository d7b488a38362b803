// The two solvers of one batch: damped Newton for the penalty "none" and
// proximal gradient with soft-thresholding for "l1".
#pragma once

#include <concepts>

#include "core/error.hpp"
#include "core/types.hpp"

namespace vintrel::core {

// Damped Newton for the penalty "none"; bandwidth is the smoothing h.
template <std::floating_point T>
Result<SolveOutcome<T>> solve_newton(Workspace<T>& workspace, const BatchView<T>& batch,
                                     const StreamState<T>& state, const FeatureLayout& layout,
                                     const UpdateConfig& config, double bandwidth, double total_weight);

// Proximal gradient with soft-thresholding for the penalty "l1".
template <std::floating_point T>
Result<SolveOutcome<T>> solve_proximal_l1(Workspace<T>& workspace, const BatchView<T>& batch,
                                          const StreamState<T>& state, const FeatureLayout& layout,
                                          const UpdateConfig& config, double lambda_value,
                                          double total_weight);

}  // namespace vintrel::core
