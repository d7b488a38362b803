// What one solver step needs from the current coefficients: the gradient of
// the surrogate objective, and for Newton the matrix (G + I_prev) / W + ridge.
#pragma once

#include <concepts>
#include <cstdint>
#include <span>

#include "core/error.hpp"
#include "core/kernels/partition.hpp"
#include "core/model/parameters.hpp"
#include "core/types.hpp"

namespace vintrel::core {

// Gradient of the surrogate objective at coefficients into
// workspace.gradient (psi must hold the scores); writes step_delta. The
// model's penalty decides whether the previous batch's L1 penalty is
// carried.
template <std::floating_point T>
Status newton_gradient(const BatchView<T>& batch, std::span<const T> coefficients,
                       const StreamState<T>& state, const FeatureLayout& layout, const UpdateModel& model,
                       Workspace<T>& workspace);

// The Gram of the curvature weights in workspace.curvature into
// workspace.gram, and X^T psi of the scores in workspace.psi into
// workspace.gradient, each summed as a Newton step under `penalty` sums it.
template <std::floating_point T>
Status gram_and_score_sums(const BatchView<T>& batch, Penalty penalty, Workspace<T>& workspace);

// Scores, curvature, gradient, Gram and the Newton matrix (G + I0)/W + ridge
// (+ lambda (1 - a) on the penalised diagonal under an L2 term) at
// coefficients (residuals must hold the residuals there).
template <std::floating_point T>
Status newton_system(const BatchView<T>& batch, std::span<const T> coefficients, const StreamState<T>& state,
                     const FeatureLayout& layout, const UpdateModel& model, double ridge,
                     Workspace<T>& workspace);

// The workspace's gradient partials, with the slot count it was sized for.
template <std::floating_point T>
SlotPartials<T> gradient_partials(Workspace<T>& workspace, std::uint64_t p) {
  return {.slots = workspace.gradient_slots, .width = p, .stride = gradient_partial_stride(p, sizeof(T)),
          .storage = workspace.gradient_partials};
}

}  // namespace vintrel::core
