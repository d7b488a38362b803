// The Huber loss, score and smoothed curvature and their passes over the
// rows, the surrogate objective of one batch with the carried-over state,
// and the reported objective.
#pragma once

#include <algorithm>
#include <cmath>
#include <concepts>

#include "core/types.hpp"

namespace vintrel::core {

// The per-row rules are written as selects rather than branches: residuals
// fall on either side of tau at random, and the passes over the rows then
// compile to vector code. Each keeps its arithmetic, and so its bits.

// rho(r) = r * 0.5 * r for |r| <= tau, else |r| * tau - 0.5 * tau * tau.
template <std::floating_point T>
constexpr T huber_loss(T r, T tau) {
  const T magnitude = std::abs(r);
  const T quadratic = r * T(0.5) * r;
  const T linear = magnitude * tau - T(0.5) * tau * tau;
  return magnitude <= tau ? quadratic : linear;
}

// psi(r) = r clamped to [-tau, tau]; a NaN residual stays NaN.
template <std::floating_point T>
constexpr T huber_score(T r, T tau) {
  const T upper = r > tau ? tau : r;
  return r < -tau ? -tau : upper;
}

// The ramp constants of the smoothed curvature, formed once per pass.
template <std::floating_point T>
struct CurvatureRamp {
  T lower_outer;  // -tau - a
  T lower_inner;  // -tau + a
  T upper_inner;  // tau - a
  T upper_outer;  // tau + a
  T width;        // 2a
  T tau;

  // a = min(h, tau) (h when tau is NaN), formed in double from the rounded
  // tau and rounded once; the thresholds are formed in T.
  static CurvatureRamp make(double tau, double bandwidth);
};

// The indicator of |r| <= tau averaged over a window of half-width a:
// 0 outside [-tau-a, tau+a], 1 inside [-tau+a, tau-a], linear ramps between.
// A NaN residual gives 0. A half-width that rounds to zero leaves ramps of
// one point, r = -tau or tau exactly; they take the window's midpoint value
// 0.5 there instead of the 0/0 of the ramp formula.
// The tests run from the outside in, the first that holds deciding; as
// selects, the last applied wins, so they are applied from the inside out.
template <std::floating_point T>
constexpr T smoothed_curvature(T r, const CurvatureRamp<T>& ramp) {
  const bool ramps = ramp.width > T(0);
  const T rising = ramps ? (r + ramp.tau) / ramp.width + T(0.5) : T(0.5);
  const T falling = ramps ? T(0.5) - (r - ramp.tau) / ramp.width : T(0.5);
  T value = r <= ramp.upper_outer ? falling : T(0);
  value = r < ramp.upper_inner ? T(1) : value;
  value = r <= ramp.lower_inner ? rising : value;
  return r < ramp.lower_outer ? T(0) : value;
}

// psi_i = huber_score(r_i) * w_i (the clamped value alone without weights),
// from the residuals in the workspace.
template <std::floating_point T>
void fill_scores(const BatchView<T>& batch, double tau, Workspace<T>& workspace);

// curvature_i = smoothed_curvature(r_i) with tau and bandwidth h.
template <std::floating_point T>
void fill_curvature(double tau, double bandwidth, Workspace<T>& workspace);

// The previous batch's L1 penalty, carried into the objective and the
// gradient of this one: it applies under the penalty "l1" once samples have
// been seen, with the weight (W_prev / W) * lambda_prev, formed in double
// (divide first) and rounded to T. The intercept never carries it.
template <std::floating_point T>
struct CarriedPenalty {
  bool applies = false;
  T factor = T(0);

  static CarriedPenalty make(const StreamState<T>& state, Penalty penalty, double total_weight) {
    return {.applies = penalty == Penalty::l1 && state.n_samples_seen != 0,
            .factor = static_cast<T>((state.weight_sum / total_weight) * state.previous_lambda)};
  }
};

// delta = coefficients - beta_prev, element by element.
template <std::floating_point T>
void write_coefficient_difference(std::span<const T> coefficients, const StreamState<T>& state,
                                  std::span<T> delta);

// F(beta) = (L + Q) / W - C for the batch, evaluated in T and widened.
// Leaves the residuals of beta in workspace.residuals and beta - beta_prev
// in workspace.step_delta.
template <std::floating_point T>
double surrogate_objective(const BatchView<T>& batch, std::span<const T> coefficients,
                           const StreamState<T>& state, const FeatureLayout& layout,
                           const UpdateConfig& config, double total_weight, Workspace<T>& workspace);

// F at `values.size()` candidates (at most MAX_TRIAL_POINTS, one after
// another in `candidates`) in one pass over the design, each value exactly
// as surrogate_objective gives it. Candidate k's residuals are left in
// trial_residual_buffer(workspace, k); step_delta holds the last one's
// difference.
template <std::floating_point T>
void surrogate_objectives(const BatchView<T>& batch, std::span<const T> candidates, const StreamState<T>& state,
                          const FeatureLayout& layout, const UpdateConfig& config, double total_weight,
                          Workspace<T>& workspace, std::span<double> values);

// Where the residuals of trial point k are left: `residuals` for the first,
// `trial_residuals` for the others.
template <std::floating_point T>
std::span<T> trial_residual_buffer(Workspace<T>& workspace, std::size_t k) {
  if (k == 0) return workspace.residuals;
  const std::size_t n = workspace.residuals.size();
  return std::span<T>(workspace.trial_residuals).subspan((k - 1) * n, n);
}

// F plus lambda times the absolute sum of the penalised coefficients for the
// penalty "l1"; F itself for "none".
template <std::floating_point T>
double penalized_objective(std::span<const T> coefficients, const FeatureLayout& layout,
                           Penalty penalty, double objective, double lambda_value);

}  // namespace vintrel::core
