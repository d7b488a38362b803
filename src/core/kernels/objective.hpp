// The Huber loss, score and smoothed curvature and their passes over the
// rows, the surrogate objective of one batch with the carried-over state,
// and the reported objective.
#pragma once

#include <algorithm>
#include <cmath>
#include <concepts>

#include "core/types.hpp"

namespace vintrel::core {

template <std::floating_point T>
constexpr T huber_loss(T r, T tau) {
  if (std::abs(r) <= tau) return r * T(0.5) * r;
  return std::abs(r) * tau - T(0.5) * tau * tau;
}

template <std::floating_point T>
constexpr T huber_score(T r, T tau) {
  if (r < -tau) return -tau;
  if (r > tau) return tau;
  return r;
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
template <std::floating_point T>
constexpr T smoothed_curvature(T r, const CurvatureRamp<T>& ramp) {
  if (r < ramp.lower_outer) return T(0);
  if (r <= ramp.lower_inner) return ramp.width > T(0) ? (r + ramp.tau) / ramp.width + T(0.5) : T(0.5);
  if (r < ramp.upper_inner) return T(1);
  if (r <= ramp.upper_outer) return ramp.width > T(0) ? T(0.5) - (r - ramp.tau) / ramp.width : T(0.5);
  return T(0);
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

// F plus lambda times the absolute sum of the penalised coefficients for the
// penalty "l1"; F itself for "none".
template <std::floating_point T>
double penalized_objective(std::span<const T> coefficients, const FeatureLayout& layout,
                           Penalty penalty, double objective, double lambda_value);

}  // namespace vintrel::core
