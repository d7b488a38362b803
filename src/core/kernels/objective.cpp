#include "core/kernels/objective.hpp"

#include <algorithm>
#include <array>
#include <cmath>

#include "core/kernels/partition.hpp"
#include "core/kernels/vector.hpp"
#include "core/numeric.hpp"

namespace vintrel::core {

template <std::floating_point T>
void fill_scores(const BatchView<T>& batch, double tau, Workspace<T>& workspace) {
  const T clamp = static_cast<T>(tau);
  const std::size_t n = workspace.psi.size();
  check_invariant(workspace.residuals.size() == n, "score buffers do not match the residuals");
  const T* __restrict r = workspace.residuals.data();
  T* __restrict psi = workspace.psi.data();
  if (batch.sample_weight) {
    check_invariant(batch.sample_weight->size() == n, "sample weights do not match the residuals");
    const T* __restrict w = batch.sample_weight->data();
    for (std::size_t i = 0; i < n; ++i) psi[i] = huber_score(r[i], clamp) * w[i];
  } else {
    for (std::size_t i = 0; i < n; ++i) psi[i] = huber_score(r[i], clamp);
  }
}

namespace {

// curvature_i = weight_of(r_i) for every row.
template <std::floating_point T, class WeightOf>
void fill_curvature_with(Workspace<T>& workspace, WeightOf weight_of) {
  const std::size_t n = workspace.curvature.size();
  check_invariant(workspace.residuals.size() == n, "curvature buffers do not match the residuals");
  const T* __restrict r = workspace.residuals.data();
  T* __restrict curvature = workspace.curvature.data();
  for (std::size_t i = 0; i < n; ++i) curvature[i] = weight_of(r[i]);
}

}  // namespace

template <std::floating_point T>
void fill_curvature(double tau, double bandwidth, Workspace<T>& workspace) {
  const auto ramp = CurvatureRamp<T>::make(tau, bandwidth);
  fill_curvature_with(workspace, [&ramp](T r) { return smoothed_curvature(r, ramp); });
}

template <std::floating_point T>
void fill_score_slopes(double tau, Workspace<T>& workspace) {
  const T threshold = static_cast<T>(tau);
  fill_curvature_with(workspace, [threshold](T r) { return huber_score_slope(r, threshold); });
}

template <std::floating_point T>
HuberSums huber_sums(const BatchView<T>& batch, std::span<const T> residuals, double tau) {
  const std::size_t n = residuals.size();
  check_invariant(!batch.sample_weight || batch.sample_weight->size() == n,
                  "sample weights do not match the residuals");
  const double threshold = static_cast<double>(static_cast<T>(tau));
  HuberSums sums;
  for (std::size_t i = 0; i < n; ++i) {
    const double r = static_cast<double>(residuals[i]);
    const double w = static_cast<double>(batch.weight(i));
    const double psi = huber_score(r, threshold);
    sums.loss = sums.loss + huber_loss(r, threshold) * w;
    sums.weight = sums.weight + w;
    sums.psi_squared = sums.psi_squared + psi * psi * w;
    sums.psi_prime = sums.psi_prime + huber_score_slope(r, threshold) * w;
  }
  return sums;
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

// L = sum of w_i * rho(r_i) in row order, one accumulator per residual
// vector: the additions form one chain each, which a register-held
// accumulator runs at the adder's latency while the branch-free rho of later
// rows is computed alongside; the chains of several vectors are independent
// and run side by side.
template <std::floating_point T, int Count>
std::array<T, Count> weighted_losses(const BatchView<T>& batch, const std::array<const T*, Count>& residuals,
                                     std::size_t n, T tau) {
  std::array<T, Count> loss{};
  if (batch.sample_weight) {
    check_invariant(batch.sample_weight->size() == n, "sample weights do not match the residuals");
    const T* __restrict w = batch.sample_weight->data();
    for (std::size_t i = 0; i < n; ++i) {
      for (int k = 0; k < Count; ++k) loss[k] = loss[k] + huber_loss(residuals[k][i], tau) * w[i];
    }
  } else {
    for (std::size_t i = 0; i < n; ++i) {
      for (int k = 0; k < Count; ++k) loss[k] = loss[k] + huber_loss(residuals[k][i], tau);
    }
  }
  return loss;
}

template <std::floating_point T, int Count>
void losses_of(const BatchView<T>& batch, Workspace<T>& workspace, T tau, std::span<T> out) {
  std::array<const T*, Count> residuals;
  for (int k = 0; k < Count; ++k) residuals[k] = trial_residual_buffer(workspace, k).data();
  const auto loss = weighted_losses<T, Count>(batch, residuals, workspace.residuals.size(), tau);
  std::copy(loss.begin(), loss.end(), out.begin());
}

// Q = 0.5 * sum over j of delta_j * (row j of I_prev . delta).
template <std::floating_point T>
T carried_quadratic(std::span<const T> information, std::span<const T> delta, std::size_t p) {
  check_invariant(information.size() == p * p && delta.size() == p, "information is not p x p");
  T q = T(0);
  for (std::size_t j = 0; j < p; ++j) q = q + dot(information.subspan(j * p, p), delta) * delta[j];
  return q * T(0.5);
}

// The sum of squares of the penalised coefficients, in index order.
template <std::floating_point T>
T penalised_squares(std::span<const T> coefficients, const FeatureLayout& layout) {
  const std::size_t p = coefficients.size();
  T sum = T(0);
  for (std::size_t j = 0; j < p; ++j) {
    if (!layout.is_intercept(j, p)) sum = sum + coefficients[j] * coefficients[j];
  }
  return sum;
}

}  // namespace

template <std::floating_point T>
void surrogate_objectives(const BatchView<T>& batch, std::span<const T> candidates, const StreamState<T>& state,
                          const FeatureLayout& layout, const UpdateModel& model, Workspace<T>& workspace,
                          std::span<double> values) {
  const std::size_t p = batch.cols;
  const std::size_t count = values.size();
  check_invariant(count >= 1 && count <= MAX_TRIAL_POINTS && candidates.size() == count * p &&
                      workspace.residuals.size() == batch.rows &&
                      workspace.trial_residuals.size() >= (count - 1) * batch.rows &&
                      workspace.step_delta.size() == p && state.coefficients.size() == p,
                  "objective buffers do not match the batch");
  const T tau = static_cast<T>(model.tau);

  std::array<std::span<T>, MAX_TRIAL_POINTS> residuals;
  for (std::size_t k = 0; k < count; ++k) residuals[k] = trial_residual_buffer(workspace, k);
  compute_trial_residuals<T>(batch.design, p, batch.target, candidates, std::span(residuals).first(count));
  std::array<T, MAX_TRIAL_POINTS> loss;
  switch (count) {
    case 1: losses_of<T, 1>(batch, workspace, tau, loss); break;
    case 2: losses_of<T, 2>(batch, workspace, tau, loss); break;
    case 3: losses_of<T, 3>(batch, workspace, tau, loss); break;
    default: losses_of<T, MAX_TRIAL_POINTS>(batch, workspace, tau, loss); break;
  }

  const std::span<T> delta = workspace.step_delta;
  const auto carried = CarriedPenalty<T>::make(state, model);
  const bool with_l2 = penalty_rule(model.penalty).l2_term;
  const T half_l2_level = static_cast<T>(0.5 * model.l2_level());
  for (std::size_t k = 0; k < count; ++k) {
    write_coefficient_difference<T>(candidates.subspan(k * p, p), state, delta);
    const T quadratic = carried_quadratic<T>(state.information, delta, p);
    T objective = (loss[k] + quadratic) / static_cast<T>(model.total_weight);
    if (carried.applies) {
      T signed_steps = T(0);
      for (std::size_t j = 0; j < p; ++j) {
        if (!layout.is_intercept(j, p)) signed_steps = signed_steps + carried.slope(state.coefficients[j]) * delta[j];
      }
      objective = objective - carried.factor * signed_steps;
    }
    if (with_l2) objective = objective + half_l2_level * penalised_squares<T>(candidates.subspan(k * p, p), layout);
    values[k] = static_cast<double>(objective);
  }
}

template <std::floating_point T>
double surrogate_objective(const BatchView<T>& batch, std::span<const T> coefficients,
                           const StreamState<T>& state, const FeatureLayout& layout, const UpdateModel& model,
                           Workspace<T>& workspace) {
  double value = 0.0;
  surrogate_objectives<T>(batch, coefficients, state, layout, model, workspace, {&value, 1});
  return value;
}

template <std::floating_point T>
double penalized_objective(std::span<const T> coefficients, const FeatureLayout& layout, const UpdateModel& model,
                           double objective) {
  if (!penalty_rule(model.penalty).l1_term) return objective;
  const std::size_t p = coefficients.size();
  check_invariant(!layout.fit_intercept || p != 0, "no coefficient for the intercept");
  double absolute_sum = -0.0;
  for (std::size_t j = 0; j < p; ++j) {
    if (!layout.is_intercept(j, p)) absolute_sum += std::abs(static_cast<double>(coefficients[j]));
  }
  return objective + model.l1_level() * absolute_sum;
}

#define VINTREL_INSTANTIATE_OBJECTIVE(T)                                                                   \
  template void fill_scores<T>(const BatchView<T>&, double, Workspace<T>&);                                \
  template void fill_curvature<T>(double, double, Workspace<T>&);                                          \
  template void fill_score_slopes<T>(double, Workspace<T>&);                                               \
  template HuberSums huber_sums<T>(const BatchView<T>&, std::span<const T>, double);                       \
  template void write_coefficient_difference<T>(std::span<const T>, const StreamState<T>&, std::span<T>);  \
  template double surrogate_objective<T>(const BatchView<T>&, std::span<const T>, const StreamState<T>&,    \
                                         const FeatureLayout&, const UpdateModel&, Workspace<T>&);         \
  template void surrogate_objectives<T>(const BatchView<T>&, std::span<const T>, const StreamState<T>&,     \
                                        const FeatureLayout&, const UpdateModel&, Workspace<T>&,           \
                                        std::span<double>);                                                \
  template double penalized_objective<T>(std::span<const T>, const FeatureLayout&, const UpdateModel&, double);

VINTREL_INSTANTIATE_OBJECTIVE(float)
VINTREL_INSTANTIATE_OBJECTIVE(double)

#undef VINTREL_INSTANTIATE_OBJECTIVE

}  // namespace vintrel::core
