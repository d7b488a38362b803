// The passes of the Huber rules over the rows, the surrogate objective of
// one batch with the carried-over state, and the reported objective.
#pragma once

#include <concepts>
#include <span>

#include "core/model/huber.hpp"
#include "core/model/parameters.hpp"
#include "core/types.hpp"

namespace vintrel::core {

// psi_i = huber_score(r_i) * w_i (the clamped value alone without weights),
// from the residuals in the workspace.
template <std::floating_point T>
void fill_scores(const BatchView<T>& batch, double tau, Workspace<T>& workspace);

// curvature_i = smoothed_curvature(r_i) with tau and bandwidth h.
template <std::floating_point T>
void fill_curvature(double tau, double bandwidth, Workspace<T>& workspace);

// curvature_i = huber_score_slope(r_i), the exact indicator of |r_i| <= tau
// with tau rounded to T: the curvature of a zero half-width.
template <std::floating_point T>
void fill_score_slopes(double tau, Workspace<T>& workspace);

// Sums over the rows of a batch at its residuals, in double.
struct HuberSums {
  double loss = 0.0;         // w rho(r)
  double weight = 0.0;       // w
  double psi_squared = 0.0;  // w psi(r)^2
  double psi_prime = 0.0;    // w 1{|r| <= tau}
};

// The sums in row order from zero, each row's terms formed in double from
// its residual and weight (1 without sample weights) with tau rounded to T
// once: rho * w, w, (psi * psi) * w and psi' * w.
template <std::floating_point T>
HuberSums huber_sums(const BatchView<T>& batch, std::span<const T> residuals, double tau);

// The previous batch's penalty gradient, carried into the objective and the
// gradient of this one: it applies under a penalty with a term once samples
// have been seen, with the weight (W_prev / W) * lambda_prev, formed in
// double (divide first) and rounded to T, on the slope a sgn(beta_prev_j) +
// (1 - a) beta_prev_j of each coefficient: sgn(beta_prev_j) alone without an
// L2 term. The intercept never carries it.
template <std::floating_point T>
struct CarriedPenalty {
  bool applies = false;
  T factor = T(0);
  bool with_l2 = false;
  T l1_share = T(1);  // a
  T l2_share = T(0);  // 1 - a

  T slope(T previous) const { return with_l2 ? l1_share * sgn(previous) + l2_share * previous : sgn(previous); }

  static CarriedPenalty make(const StreamState<T>& state, const UpdateModel& model) {
    const PenaltyRule& rule = penalty_rule(model.penalty);
    return {.applies = rule.carries() && state.n_samples_seen != 0,
            .factor = static_cast<T>((state.weight_sum / model.total_weight) * state.previous_lambda),
            .with_l2 = rule.l2_term,
            .l1_share = static_cast<T>(rule.l1_term ? model.l1_share : 0.0),
            .l2_share = static_cast<T>(1.0 - model.l1_share)};
  }
};

// delta = coefficients - beta_prev, element by element.
template <std::floating_point T>
void write_coefficient_difference(std::span<const T> coefficients, const StreamState<T>& state,
                                  std::span<T> delta);

// F(beta) = (L + Q) / W - C for the batch, plus the penalty's smooth part
// lambda (1 - a) / 2 * sum beta_j^2 under an L2 term, evaluated in T and
// widened.
// Leaves the residuals of beta in workspace.residuals and beta - beta_prev
// in workspace.step_delta.
template <std::floating_point T>
double surrogate_objective(const BatchView<T>& batch, std::span<const T> coefficients,
                           const StreamState<T>& state, const FeatureLayout& layout, const UpdateModel& model,
                           Workspace<T>& workspace);

// F at `values.size()` candidates (at most MAX_TRIAL_POINTS, one after
// another in `candidates`) in one pass over the design, each value exactly
// as surrogate_objective gives it. Candidate k's residuals are left in
// trial_residual_buffer(workspace, k); step_delta holds the last one's
// difference.
template <std::floating_point T>
void surrogate_objectives(const BatchView<T>& batch, std::span<const T> candidates, const StreamState<T>& state,
                          const FeatureLayout& layout, const UpdateModel& model, Workspace<T>& workspace,
                          std::span<double> values);

// Where the residuals of trial point k are left: `residuals` for the first,
// `trial_residuals` for the others.
template <std::floating_point T>
std::span<T> trial_residual_buffer(Workspace<T>& workspace, std::size_t k) {
  if (k == 0) return workspace.residuals;
  const std::size_t n = workspace.residuals.size();
  return std::span<T>(workspace.trial_residuals).subspan((k - 1) * n, n);
}

// The smooth objective plus lambda * a times the absolute sum of the
// penalised coefficients under a penalty with an L1 term; itself otherwise.
template <std::floating_point T>
double penalized_objective(std::span<const T> coefficients, const FeatureLayout& layout, const UpdateModel& model,
                           double objective);

}  // namespace vintrel::core
