// The solvers of one batch: damped Newton for a smooth objective, and for a
// penalty with an L1 term proximal gradient with soft-thresholding or
// proximal Newton with coordinate descent.
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

// Proximal gradient with soft-thresholding at model.l1_level().
template <std::floating_point T>
Result<SolveOutcome<T>> solve_proximal_l1(Workspace<T>& workspace, const BatchView<T>& batch,
                                          const StreamState<T>& state, const FeatureLayout& layout,
                                          const UpdateModel& model, const SolverControls& controls);

// Proximal Newton: at each iterate the smooth objective's gradient and
// Newton matrix (as damped Newton forms them), the model g'd + 1/2 d'Hd +
// l1_level * sum |beta_j + d_j| minimised by coordinate descent, then a
// halving line search on the whole objective with a sufficient-decrease
// test. Converged when the accepted step passes Newton's step test, or when
// no step is accepted although the model's own step passes it (the point
// is then optimal to within rounding).
template <std::floating_point T>
Result<SolveOutcome<T>> solve_coordinate(Workspace<T>& workspace, const BatchView<T>& batch,
                                         const StreamState<T>& state, const FeatureLayout& layout,
                                         const UpdateModel& model, const SolverControls& controls);

}  // namespace vintrel::core
