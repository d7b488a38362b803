// The Huber family: the loss, its score and its smoothed curvature per
// residual, and the rule for the smoothing bandwidth of an update.
#pragma once

#include <cmath>
#include <concepts>

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

// psi'(r) = 1{|r| <= tau}, the exact indicator the smoothed curvature
// averages; a NaN residual gives 0.
template <std::floating_point T>
constexpr T huber_score_slope(T r, T tau) {
  return std::abs(r) <= tau ? T(1) : T(0);
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

// The smoothing h of an update: min(bandwidth_scale / (sqrt(W) ln m), tau)
// for the combined weight W; a NaN quotient gives tau, so h never exceeds
// tau.
double smoothing_bandwidth(double bandwidth_scale, double tau, double total_weight, double log_m);

}  // namespace vintrel::core
