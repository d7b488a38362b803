// The curvature-weighted Gram matrix, and the gradient and Newton system
// assembled from it.
#pragma once

#include <concepts>
#include <cstdint>
#include <span>

#include "core/error.hpp"
#include "core/kernels/partition.hpp"
#include "core/types.hpp"

namespace vintrel::core {

// out = D^T S (+ out when accumulating) for k x p row-major blocks D and S
// and a p x p row-major output, through one single-threaded GEMM.
template <std::floating_point T>
Status gram_gemm(std::span<const T> design_block, std::span<const T> weighted_block, std::uint64_t k,
                 std::uint64_t p, std::span<T> out, bool accumulate);

// Accumulates rows [first, last) of the batch, weighted by
// row_weights[r] * sample_weight[r], into one p x p matrix, in blocks of at
// most 256 rows through the row scratch piece.
template <std::floating_point T>
Status weighted_gram_rows(const BatchView<T>& batch, std::span<const T> row_weights, std::uint64_t first,
                          std::uint64_t last, std::span<T> row_scratch, std::span<T> out);

// The whole weighted Gram: sequential, or a slot pass with an ordered
// reduction when the batch is large enough and there are two slots or more.
// The row scratch is shared out among the slots that run at once.
template <std::floating_point T>
Status weighted_gram(const BatchView<T>& batch, std::span<const T> row_weights, std::span<T> row_scratch,
                     const SlotPartials<T>& partials, std::span<T> out);

// The workspace's Gram and gradient partials, with the slot counts it was
// sized for.
template <std::floating_point T>
SlotPartials<T> gram_partials(Workspace<T>& workspace, std::uint64_t p) {
  return {.slots = workspace.gram_slots, .width = p * p, .stride = p * p, .storage = workspace.gram_partials};
}
template <std::floating_point T>
SlotPartials<T> gradient_partials(Workspace<T>& workspace, std::uint64_t p) {
  return {.slots = workspace.gradient_slots, .width = p, .stride = gradient_partial_stride(p, sizeof(T)),
          .storage = workspace.gradient_partials};
}

// psi_i = huber_score(r_i) * w_i (the clamped value alone without weights).
template <std::floating_point T>
void fill_scores(const BatchView<T>& batch, double tau, Workspace<T>& workspace);

// curvature_i = smoothed_curvature(r_i) with tau and bandwidth h.
template <std::floating_point T>
void fill_curvature(double tau, double bandwidth, Workspace<T>& workspace);

// Gradient of the surrogate objective at coefficients into
// workspace.gradient (psi must hold the scores); writes step_delta.
template <std::floating_point T>
Status newton_gradient(const BatchView<T>& batch, std::span<const T> coefficients,
                       const StreamState<T>& state, const FeatureLayout& layout, bool penalized,
                       double total_weight, Workspace<T>& workspace);

// Scores, curvature, gradient, Gram and the Newton matrix (G + I0)/W + ridge
// at coefficients (residuals must hold the residuals there).
template <std::floating_point T>
Status newton_system(const BatchView<T>& batch, std::span<const T> coefficients, const StreamState<T>& state,
                     const FeatureLayout& layout, const UpdateConfig& config, double bandwidth,
                     double total_weight, Workspace<T>& workspace);

}  // namespace vintrel::core
