#include "core/kernels/objective.hpp"

#include "core/kernels/partition.hpp"
#include "core/kernels/vector.hpp"
#include "core/numeric.hpp"

namespace vintrel::core {

template <std::floating_point T>
CurvatureRamp<T> CurvatureRamp<T>::make(double tau, double bandwidth) {
  const T rounded_tau = static_cast<T>(tau);
  // std::min would keep a NaN tau; the half-width falls back to h then.
  const double tau_wide = static_cast<double>(rounded_tau);
  const T a = static_cast<T>(std::isnan(tau_wide) ? bandwidth : std::min(bandwidth, tau_wide));
  return CurvatureRamp{
      .lower_outer = -rounded_tau - a,
      .lower_inner = -rounded_tau + a,
      .upper_inner = rounded_tau - a,
      .upper_outer = rounded_tau + a,
      .width = T(2) * a,
      .tau = rounded_tau,
  };
}

template <std::floating_point T>
void fill_scores(const BatchView<T>& batch, double tau, Workspace<T>& workspace) {
  const T clamp = static_cast<T>(tau);
  const std::span<const T> residuals = workspace.residuals;
  const std::span<T> psi = workspace.psi;
  const std::size_t n = psi.size();
  check_invariant(residuals.size() == n, "score buffers do not match the residuals");
  if (batch.sample_weight) {
    const std::span<const T> weights = *batch.sample_weight;
    check_invariant(weights.size() == n, "sample weights do not match the residuals");
    for (std::size_t i = 0; i < n; ++i) psi[i] = huber_score(residuals[i], clamp) * weights[i];
  } else {
    for (std::size_t i = 0; i < n; ++i) psi[i] = huber_score(residuals[i], clamp);
  }
}

template <std::floating_point T>
void fill_curvature(double tau, double bandwidth, Workspace<T>& workspace) {
  const auto ramp = CurvatureRamp<T>::make(tau, bandwidth);
  const std::span<const T> residuals = workspace.residuals;
  const std::span<T> curvature = workspace.curvature;
  const std::size_t n = curvature.size();
  check_invariant(residuals.size() == n, "curvature buffers do not match the residuals");
  for (std::size_t i = 0; i < n; ++i) curvature[i] = smoothed_curvature(residuals[i], ramp);
}

template <std::floating_point T>
void write_coefficient_difference(std::span<const T> coefficients, const StreamState<T>& state,
                                  std::span<T> delta) {
  const std::size_t p = delta.size();
  check_invariant(coefficients.size() == p && state.coefficients.size() == p,
                  "coefficient difference buffers do not match");
  for (std::size_t j = 0; j < p; ++j) delta[j] = coefficients[j] - state.coefficients[j];
}

namespace {

// L = sum of w_i * rho(r_i) in row order, one accumulator.
template <std::floating_point T>
T weighted_loss(const BatchView<T>& batch, std::span<const T> residuals, T tau) {
  T loss = T(0);
  if (batch.sample_weight) {
    const std::span<const T> weights = *batch.sample_weight;
    check_invariant(weights.size() == residuals.size(), "sample weights do not match the residuals");
    for (std::size_t i = 0; i < residuals.size(); ++i) loss = loss + huber_loss(residuals[i], tau) * weights[i];
  } else {
    for (const T r : residuals) loss = loss + huber_loss(r, tau);
  }
  return loss;
}

// Q = 0.5 * sum over j of delta_j * (row j of I_prev . delta).
template <std::floating_point T>
T carried_quadratic(std::span<const T> information, std::span<const T> delta, std::size_t p) {
  check_invariant(information.size() == p * p && delta.size() == p, "information is not p x p");
  T q = T(0);
  for (std::size_t j = 0; j < p; ++j) q = q + dot(information.subspan(j * p, p), delta) * delta[j];
  return q * T(0.5);
}

}  // namespace

template <std::floating_point T>
double surrogate_objective(const BatchView<T>& batch, std::span<const T> coefficients,
                           const StreamState<T>& state, const FeatureLayout& layout,
                           const UpdateConfig& config, double total_weight, Workspace<T>& workspace) {
  const std::size_t p = coefficients.size();
  check_invariant(workspace.residuals.size() == batch.rows && workspace.step_delta.size() == p &&
                      state.coefficients.size() == p && batch.cols == p,
                  "objective buffers do not match the batch");
  const T tau = static_cast<T>(config.tau);

  compute_residuals<T>(batch.design, batch.cols, batch.target, coefficients, workspace.residuals);
  const T loss = weighted_loss<T>(batch, workspace.residuals, tau);

  const std::span<T> delta = workspace.step_delta;
  write_coefficient_difference<T>(coefficients, state, delta);
  const T quadratic = carried_quadratic<T>(state.information, delta, p);

  T objective = (loss + quadratic) / static_cast<T>(total_weight);

  const auto carried = CarriedPenalty<T>::make(state, config.penalty, total_weight);
  if (carried.applies) {
    T signed_steps = T(0);
    for (std::size_t j = 0; j < p; ++j) {
      if (!layout.is_intercept(j, p)) signed_steps = signed_steps + sgn(state.coefficients[j]) * delta[j];
    }
    objective = objective - carried.factor * signed_steps;
  }
  return static_cast<double>(objective);
}

template <std::floating_point T>
double penalized_objective(std::span<const T> coefficients, const FeatureLayout& layout,
                           Penalty penalty, double objective, double lambda_value) {
  if (penalty == Penalty::none) return objective;
  const std::size_t p = coefficients.size();
  check_invariant(!layout.fit_intercept || p != 0, "no coefficient for the intercept");
  double absolute_sum = -0.0;
  for (std::size_t j = 0; j < p; ++j) {
    if (!layout.is_intercept(j, p)) absolute_sum += std::abs(static_cast<double>(coefficients[j]));
  }
  return objective + lambda_value * absolute_sum;
}

template struct CurvatureRamp<float>;
template struct CurvatureRamp<double>;
template void fill_scores<float>(const BatchView<float>&, double, Workspace<float>&);
template void fill_scores<double>(const BatchView<double>&, double, Workspace<double>&);
template void fill_curvature<float>(double, double, Workspace<float>&);
template void fill_curvature<double>(double, double, Workspace<double>&);
template void write_coefficient_difference<float>(std::span<const float>, const StreamState<float>&,
                                                  std::span<float>);
template void write_coefficient_difference<double>(std::span<const double>, const StreamState<double>&,
                                                   std::span<double>);
template double surrogate_objective<float>(const BatchView<float>&, std::span<const float>,
                                           const StreamState<float>&, const FeatureLayout&,
                                           const UpdateConfig&, double, Workspace<float>&);
template double surrogate_objective<double>(const BatchView<double>&, std::span<const double>,
                                            const StreamState<double>&, const FeatureLayout&,
                                            const UpdateConfig&, double, Workspace<double>&);
template double penalized_objective<float>(std::span<const float>, const FeatureLayout&, Penalty, double,
                                           double);
template double penalized_objective<double>(std::span<const double>, const FeatureLayout&, Penalty, double,
                                            double);

}  // namespace vintrel::core
