// Proximal Newton for a penalty with an L1 term. The Newton matrix of the
// smooth part makes the model's coordinates as well scaled as Newton's
// direction, so collinear features cost coordinate sweeps (p * p each)
// rather than passes over the design.
#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <utility>
#include <vector>

#include "core/kernels/coordinate_descent.hpp"
#include "core/kernels/newton_system.hpp"
#include "core/kernels/objective.hpp"
#include "core/kernels/vector.hpp"
#include "core/line_search.hpp"
#include "core/numeric.hpp"
#include "core/solvers.hpp"

namespace vintrel::core {

namespace {

using solver_detail::halving_line_search;
using solver_detail::refresh_residuals;
using solver_detail::require_solver_buffers;
using solver_detail::step_is_small;

// The share of the predicted decrease a step of length t must achieve.
constexpr double kSufficientDecrease = 1e-4;
// How many units of T's rounding of the objective a step may leave it
// above the test: near the minimum the decrease of a model step falls below
// what the objective resolves, and the step is then taken on the model's
// word instead of being refused as noise.
constexpr double kRoundingUlps = 16.0;
// The model is solved to this fraction of the step tolerance.
constexpr double kModelResolution = 1e-3;

template <std::floating_point T>
T largest_magnitude(std::span<const T> values) {
  T largest = T(0);
  for (const T v : values) largest = std::max(largest, std::abs(v));
  return largest;
}

}  // namespace

template <std::floating_point T>
Result<SolveOutcome<T>> solve_coordinate(Workspace<T>& workspace, const BatchView<T>& batch,
                                         const StreamState<T>& state, const FeatureLayout& layout,
                                         const UpdateModel& model, const SolverControls& controls) {
  const std::size_t p = state.coefficients.size();
  require_solver_buffers(workspace, p);
  check_invariant(workspace.model_product.size() == p, "coordinate buffers do not hold one value per coefficient");
  std::vector<T> beta = state.coefficients;
  // F is the smooth part (what the solvers report); the whole objective
  // adds the L1 term, in double as the reported objective does.
  double smooth = surrogate_objective<T>(batch, beta, state, layout, model, workspace);
  double whole = penalized_objective<T>(beta, layout, model, smooth);
  const T l1_level = static_cast<T>(model.l1_level());

  const std::span<T> step(workspace.step);
  const std::span<T> candidate(workspace.candidate);
  const std::span<T> direction(workspace.direction);
  bool flat = false;
  for (std::uint64_t k = 1;; ++k) {
    if (Status status = newton_system<T>(batch, beta, state, layout, model, controls.ridge, workspace); !status) {
      return fail(status.error());
    }
    if (!all_finite(workspace.newton_matrix) || !all_finite(workspace.gradient)) {
      return fail(EngineError::linear_solve());
    }
    const T resolution =
        static_cast<T>(kModelResolution * controls.tolerance) * (T(1) + largest_magnitude<T>(beta));
    const ModelSweeps sweeps = minimize_l1_model<T>(workspace.newton_matrix, workspace.gradient, beta, l1_level,
                                                    layout, resolution, step, workspace.model_product);
    flat = flat || sweeps.skipped_flat;
    if (!sweeps.skipped_flat) {
      exact_model_on_support<T>(workspace.newton_matrix, workspace.gradient, beta, l1_level, layout, step,
                                workspace.model_product);
    }

    // Predicted decrease of the full step: g'd plus the change of the L1
    // term; never positive for an exact model minimum, clamped for rounding.
    for (std::size_t j = 0; j < p; ++j) candidate[j] = beta[j] + step[j];
    const double predicted = std::min(
        0.0, static_cast<double>(dot<T>(workspace.gradient, step)) +
                 (penalized_objective<T>(candidate, layout, model, 0.0) - penalized_objective<T>(beta, layout, model, 0.0)));
    for (std::size_t j = 0; j < p; ++j) direction[j] = -step[j];

    const double rounding = kRoundingUlps * std::numeric_limits<T>::epsilon() * std::abs(whole);
    double accepted_whole = 0.0;
    const std::optional<double> accepted = halving_line_search<T>(
        workspace, batch, state, layout, model, beta, [&](double t, std::span<const T> point, double value) {
          accepted_whole = penalized_objective<T>(point, layout, model, value);
          return accepted_whole <= whole + kSufficientDecrease * t * predicted + rounding;
        });
    if (!accepted) {
      // No step lowers the objective enough: the point is optimal to within
      // rounding when the model's own step is below the tolerance.
      refresh_residuals<T>(batch, beta, workspace);
      const bool converged = step_is_small<T>(beta, step, controls.tolerance);
      return SolveOutcome<T>{.coefficients = std::move(beta), .iterations = k, .objective = smooth,
                             .converged = converged, .used_regularized_fallback = flat};
    }

    for (std::size_t j = 0; j < p; ++j) step[j] = candidate[j] - beta[j];
    std::copy(candidate.begin(), candidate.end(), beta.begin());
    smooth = *accepted;
    whole = accepted_whole;
    const bool converged = step_is_small<T>(beta, step, controls.tolerance);
    if (converged || k >= controls.max_iter) {
      return SolveOutcome<T>{.coefficients = std::move(beta), .iterations = k, .objective = smooth,
                             .converged = converged, .used_regularized_fallback = flat};
    }
  }
}

#define VINTREL_INSTANTIATE(T)                                                                                   \
  template Result<SolveOutcome<T>> solve_coordinate<T>(Workspace<T>&, const BatchView<T>&, const StreamState<T>&, \
                                                       const FeatureLayout&, const UpdateModel&,                 \
                                                       const SolverControls&);
VINTREL_INSTANTIATE(float)
VINTREL_INSTANTIATE(double)
#undef VINTREL_INSTANTIATE

}  // namespace vintrel::core
