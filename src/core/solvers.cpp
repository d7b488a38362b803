#include "core/solvers.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <optional>
#include <utility>
#include <vector>

#include "core/kernels/newton_system.hpp"
#include "core/kernels/objective.hpp"
#include "core/kernels/partition.hpp"
#include "core/kernels/vector.hpp"
#include "core/line_search.hpp"
#include "core/linear_solve.hpp"
#include "core/model/penalty.hpp"
#include "core/numeric.hpp"

namespace vintrel::core {

using solver_detail::halving_line_search;
using solver_detail::refresh_residuals;
using solver_detail::require_solver_buffers;
using solver_detail::step_is_small;

template <std::floating_point T>
Result<SolveOutcome<T>> solve_newton(Workspace<T>& workspace, const BatchView<T>& batch,
                                     const StreamState<T>& state, const FeatureLayout& layout,
                                     const UpdateModel& model, const SolverControls& controls) {
  const std::size_t p = state.coefficients.size();
  require_solver_buffers(workspace, p);
  std::vector<T> beta = state.coefficients;
  double objective = surrogate_objective<T>(batch, beta, state, layout, model, workspace);
  if (controls.max_iter == 0) {
    return SolveOutcome<T>{.coefficients = std::move(beta), .iterations = 0, .objective = objective};
  }

  std::span<T> candidate(workspace.candidate);
  std::span<T> step(workspace.step);
  bool fallback = false;
  for (std::uint64_t k = 1;; ++k) {
    if (Status status = newton_system<T>(batch, beta, state, layout, model, controls.ridge, workspace); !status) {
      return fail(status.error());
    }
    if (workspace.newton_matrix.size() != p * p || workspace.gradient.size() != p) {
      return fail(EngineError::linear_solve());
    }
    auto direction = solve_newton_system<T>(workspace.newton_matrix, workspace.gradient, p);
    if (!direction) return fail(direction.error());
    fallback = fallback || direction->used_fallback;
    check_invariant(direction->values.size() == p, "Newton direction does not have one value per coefficient");
    std::copy(direction->values.begin(), direction->values.end(), workspace.direction.begin());

    // Newton takes the first step that does not raise F.
    const std::optional<double> candidate_objective = halving_line_search<T>(
        workspace, batch, state, layout, model, beta,
        [objective](double, std::span<const T>, double value) { return value <= objective; });
    if (!candidate_objective) {
      // The residuals belong to the last rejected candidate; the caller
      // needs those of the coefficients returned.
      refresh_residuals<T>(batch, beta, workspace);
      return SolveOutcome<T>{.coefficients = std::move(beta), .iterations = k, .objective = objective,
                             .converged = false, .used_regularized_fallback = fallback};
    }

    for (std::size_t j = 0; j < p; ++j) step[j] = candidate[j] - beta[j];
    std::copy(candidate.begin(), candidate.end(), beta.begin());
    if (step_is_small<T>(beta, step, controls.tolerance)) {
      return SolveOutcome<T>{.coefficients = std::move(beta), .iterations = k, .objective = *candidate_objective,
                             .converged = true, .used_regularized_fallback = fallback};
    }
    objective = *candidate_objective;
    if (k == controls.max_iter) {
      return SolveOutcome<T>{.coefficients = std::move(beta), .iterations = k, .objective = objective,
                             .converged = false, .used_regularized_fallback = fallback};
    }
  }
}

template <std::floating_point T>
Result<SolveOutcome<T>> solve_proximal_l1(Workspace<T>& workspace, const BatchView<T>& batch,
                                          const StreamState<T>& state, const FeatureLayout& layout,
                                          const UpdateModel& model, const SolverControls& controls) {
  constexpr int kTrials = 40;
  const std::size_t p = state.coefficients.size();
  require_solver_buffers(workspace, p);
  std::vector<T> beta = state.coefficients;
  double objective = surrogate_objective<T>(batch, beta, state, layout, model, workspace);

  std::span<T> candidate(workspace.candidate);
  std::span<T> step(workspace.step);
  const std::span<const T> gradient(workspace.gradient);
  double curvature = 1.0;  // L, the step is 1/L
  for (std::uint64_t k = 1; k <= controls.max_iter; ++k) {
    fill_scores<T>(batch, model.tau, workspace);
    if (Status status = newton_gradient<T>(batch, beta, state, layout, model, workspace); !status) {
      return fail(status.error());
    }

    // Backtracking on the quadratic upper bound: L_try = L * 2^i.
    double trial_curvature = curvature;
    bool accepted = false;
    double candidate_objective = 0.0;
    for (int trial = 0; trial < kTrials; ++trial, trial_curvature *= 2.0) {
      const T inverse = static_cast<T>(1.0 / trial_curvature);
      const T threshold = static_cast<T>(model.l1_level() / trial_curvature);
      for (std::size_t j = 0; j < p; ++j) {
        const T z = beta[j] - gradient[j] * inverse;
        candidate[j] = soft_threshold(z, layout.is_intercept(j, p) ? T(0) : threshold);
        step[j] = candidate[j] - beta[j];
      }
      const auto gd = static_cast<double>(dot<T>(gradient, step));
      const auto step_norm = static_cast<double>(std::sqrt(dot<T>(step, step)));
      candidate_objective = surrogate_objective<T>(batch, candidate, state, layout, model, workspace);
      const double bound = (0.5 * trial_curvature) * step_norm * step_norm + (gd + objective) + 1e-12;
      if (candidate_objective <= bound) {
        accepted = true;
        break;
      }
    }
    if (!accepted) {
      refresh_residuals<T>(batch, beta, workspace);
      return SolveOutcome<T>{.coefficients = std::move(beta), .iterations = k, .objective = objective,
                             .converged = false};
    }

    std::copy(candidate.begin(), candidate.end(), beta.begin());
    curvature = std::max(0.5 * trial_curvature, 1e-8);
    objective = candidate_objective;
    if (step_is_small<T>(beta, step, controls.tolerance)) {
      return SolveOutcome<T>{.coefficients = std::move(beta), .iterations = k, .objective = objective,
                             .converged = true};
    }
  }
  return SolveOutcome<T>{.coefficients = std::move(beta), .iterations = controls.max_iter, .objective = objective,
                         .converged = false};
}

#define VINTREL_INSTANTIATE(T)                                                                                   \
  template Result<SolveOutcome<T>> solve_newton<T>(Workspace<T>&, const BatchView<T>&, const StreamState<T>&,    \
                                                   const FeatureLayout&, const UpdateModel&,                     \
                                                   const SolverControls&);                                       \
  template Result<SolveOutcome<T>> solve_proximal_l1<T>(Workspace<T>&, const BatchView<T>&,                      \
                                                        const StreamState<T>&, const FeatureLayout&,             \
                                                        const UpdateModel&, const SolverControls&);
VINTREL_INSTANTIATE(float)
VINTREL_INSTANTIATE(double)
#undef VINTREL_INSTANTIATE

}  // namespace vintrel::core
