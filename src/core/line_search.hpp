// What every solver of one batch shares: the step test, the buffers they
// write, and the halving line search over a batch.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <concepts>
#include <optional>
#include <span>

#include "core/kernels/objective.hpp"
#include "core/kernels/partition.hpp"
#include "core/kernels/vector.hpp"
#include "core/model/parameters.hpp"
#include "core/types.hpp"

namespace vintrel::core::solver_detail {

// The Euclidean-norm step test: |step| <= tol * (1 + |beta|), in T.
template <std::floating_point T>
bool step_is_small(std::span<const T> coefficients, std::span<const T> step, double tolerance) {
  const T tol = static_cast<T>(tolerance);
  return (std::sqrt(dot(coefficients, coefficients)) + T(1)) * tol >= std::sqrt(dot(step, step));
}

// The vectors the solvers write themselves, one value per coefficient.
template <std::floating_point T>
void require_solver_buffers(const Workspace<T>& workspace, std::size_t p) {
  check_invariant(workspace.direction.size() == p && workspace.candidate.size() == p && workspace.step.size() == p &&
                      workspace.trial_points.size() == MAX_TRIAL_POINTS * p,
                  "solver buffers do not hold one value per coefficient");
}

template <std::floating_point T>
void refresh_residuals(const BatchView<T>& batch, std::span<const T> coefficients, Workspace<T>& workspace) {
  compute_residuals(batch.design, batch.cols, batch.target, coefficients, std::span<T>(workspace.residuals));
}

// The halving line search of one solver iteration: the first of the steps
// t = 1, 1/2, ..., 2^-26 along -direction whose point `accept(t, point,
// F)` takes, F being the surrogate objective there (NaN is never taken).
// The full step, mostly taken, is tried alone; after it the steps are
// tried up to MAX_TRIAL_POINTS per pass over the design, which picks the
// same step, since each F is computed exactly as alone. On success
// `candidate` holds the accepted point, the workspace its residuals and its
// difference from the stored coefficients, and its F is returned.
template <std::floating_point T, class Accept>
std::optional<double> halving_line_search(Workspace<T>& workspace, const BatchView<T>& batch,
                                          const StreamState<T>& state, const FeatureLayout& layout,
                                          const UpdateModel& model, std::span<const T> beta, Accept&& accept) {
  const std::size_t p = beta.size();
  const std::span<const T> direction = workspace.direction;
  const std::span<T> points = workspace.trial_points;
  std::array<double, MAX_TRIAL_POINTS> values{};
  std::array<double, MAX_TRIAL_POINTS> lengths{};
  double t = 1.0;
  for (int per_pass = 1; t >= 1e-8; per_pass = MAX_TRIAL_POINTS) {
    int count = 0;
    for (; count < per_pass && t >= 1e-8; ++count, t *= 0.5) {
      const T length = static_cast<T>(t);
      lengths[count] = t;
      T* point = points.data() + count * p;
      for (std::size_t j = 0; j < p; ++j) point[j] = beta[j] - length * direction[j];
    }
    surrogate_objectives<T>(batch, points.first(count * p), state, layout, model, workspace,
                            std::span(values).first(count));
    for (int k = 0; k < count; ++k) {
      const std::span<const T> accepted = points.subspan(k * p, p);
      if (!accept(lengths[k], accepted, values[k])) continue;
      std::copy(accepted.begin(), accepted.end(), workspace.candidate.begin());
      const std::span<const T> residuals = trial_residual_buffer(workspace, k);
      if (k != 0) std::copy(residuals.begin(), residuals.end(), workspace.residuals.begin());
      write_coefficient_difference<T>(accepted, state, workspace.step_delta);
      return values[k];
    }
  }
  return std::nullopt;
}

}  // namespace vintrel::core::solver_detail
