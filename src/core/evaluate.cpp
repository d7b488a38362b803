#include "core/evaluate.hpp"

#include <cmath>

#include "core/engine.hpp"
#include "core/kernels/newton_system.hpp"
#include "core/kernels/objective.hpp"
#include "core/kernels/vector.hpp"
#include "core/model/huber.hpp"
#include "core/numeric.hpp"

namespace vintrel::core {

namespace {

Status check_evaluation_config(const EvaluationConfig& config) {
  if (!finite_positive(config.tau)) return fail(EngineError::configuration("tau must be finite and positive"));
  if (!finite_non_negative(config.bandwidth)) {
    return fail(EngineError::configuration("bandwidth must be finite and non-negative"));
  }
  return {};
}

}  // namespace

template <std::floating_point T>
Result<Evaluation<T>> evaluate_at(Workspace<T>& workspace, const BatchView<T>& given,
                                  std::span<const T> coefficients, const FeatureLayout& layout,
                                  std::uint64_t n_parameters, const EvaluationConfig& config,
                                  const FeatureUnits* units) {
  const auto layout_p = layout.n_parameters();
  if (!layout_p || *layout_p != n_parameters) {
    return fail(EngineError::state("coefficient shape does not match feature metadata"));
  }
  const std::uint64_t p = n_parameters;
  if (Status status = check_evaluation_config(config); !status) return fail(status.error());
  if (coefficients.size() != p) return fail(EngineError::batch("coefficients length does not match state parameters"));
  if (!all_finite(coefficients)) return fail(EngineError::batch("coefficients must contain only finite values"));

  const Result<BatchView<T>> designed = standardize_batch(given, layout, units, workspace);
  if (!designed) return fail(designed.error());
  const BatchView<T>& batch = *designed;
  if (Status status = check_batch_shape(batch, p); !status) return fail(status.error());
  if (Status status = check_batch_values(batch); !status) return fail(status.error());
  if (Status status = prepare_workspace(workspace, batch.rows, p); !status) return fail(status.error());

  compute_residuals<T>(batch.design, p, batch.target, coefficients, workspace.residuals);
  fill_scores(batch, config.tau, workspace);
  // A zero half-width leaves the smoothed curvature 0.5 at |r| = tau, the
  // midpoint of a ramp of one point; the exact indicator is 1 there, as
  // psi' in the sums.
  if (CurvatureRamp<T>::make(config.tau, config.bandwidth).width > T(0)) {
    fill_curvature<T>(config.tau, config.bandwidth, workspace);
  } else {
    fill_score_slopes<T>(config.tau, workspace);
  }
  if (Status status = gram_and_score_sums(batch, Penalty::none, workspace); !status) return fail(status.error());
  const HuberSums sums = huber_sums<T>(batch, workspace.residuals, config.tau);

  const bool finite = all_finite(workspace.gradient) && all_finite(workspace.gram) &&
                      all_finite(workspace.residuals) && is_finite(sums.loss) && is_finite(sums.weight) &&
                      is_finite(sums.psi_squared) && is_finite(sums.psi_prime);
  if (!finite) return fail(EngineError::non_finite());
  return Evaluation<T>{.gradient = workspace.gradient,
                       .gram = workspace.gram,
                       .residuals = workspace.residuals,
                       .loss = sums.loss,
                       .weight = sums.weight,
                       .psi_squared = sums.psi_squared,
                       .psi_prime = sums.psi_prime};
}

#define VINTREL_INSTANTIATE_EVALUATE(T)                                                                      \
  template Result<Evaluation<T>> evaluate_at<T>(Workspace<T>&, const BatchView<T>&, std::span<const T>,      \
                                                const FeatureLayout&, std::uint64_t, const EvaluationConfig&, \
                                                const FeatureUnits*);

VINTREL_INSTANTIATE_EVALUATE(float)
VINTREL_INSTANTIATE_EVALUATE(double)

#undef VINTREL_INSTANTIATE_EVALUATE

}  // namespace vintrel::core
