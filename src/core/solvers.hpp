// The two solvers of one batch: damped Newton, and proximal gradient with
// soft-thresholding for a penalty with an L1 term.
#pragma once

#include <concepts>

#include "core/error.hpp"
#include "core/model/parameters.hpp"
#include "core/types.hpp"

namespace vintrel::core {

// Damped Newton with the smoothed curvature of bandwidth model.bandwidth.
template <std::floating_point T>
Result<SolveOutcome<T>> solve_newton(Workspace<T>& workspace, const BatchView<T>& batch,
                                     const StreamState<T>& state, const FeatureLayout& layout,
                                     const UpdateModel& model, const SolverControls& controls);

// Proximal gradient with soft-thresholding at model.lambda_value.
template <std::floating_point T>
Result<SolveOutcome<T>> solve_proximal_l1(Workspace<T>& workspace, const BatchView<T>& batch,
                                          const StreamState<T>& state, const FeatureLayout& layout,
                                          const UpdateModel& model, const SolverControls& controls);

}  // namespace vintrel::core
