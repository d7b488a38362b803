#include "core/engine.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <limits>
#include <utility>

#include "core/kernels/gram.hpp"
#include "core/kernels/objective.hpp"
#include "core/kernels/partition.hpp"
#include "core/kernels/vector.hpp"
#include "core/numeric.hpp"
#include "core/solver.hpp"

namespace vintrel::core {

namespace {

std::variant<EngineCore<float>, EngineCore<double>> make_core(Dtype dtype, std::uint64_t p) {
  if (dtype == Dtype::float32) return EngineCore<float>(p);
  return EngineCore<double>(p);
}

}  // namespace

bool information_is_addressable(Dtype dtype, std::uint64_t p) {
  const std::uint64_t scalar_size = dtype == Dtype::float32 ? sizeof(float) : sizeof(double);
  const auto elements = checked_mul(p, p);
  const auto bytes = elements ? checked_mul(*elements, scalar_size) : std::nullopt;
  return bytes && *bytes <= static_cast<std::uint64_t>(std::numeric_limits<std::ptrdiff_t>::max());
}

Engine::Engine(Dtype dtype, std::uint64_t n_parameters, std::optional<long long> n_threads)
    : dtype_(dtype), n_parameters_(n_parameters), core_(make_core(dtype, n_parameters)) {
  if (n_threads) pool_ = std::make_unique<EnginePool>(*n_threads);
}

int Engine::n_threads() const { return pool_ ? pool_->concurrency() : current_concurrency(); }

namespace {

template <std::floating_point T>
Status check_state(const StreamState<T>& state, const FeatureLayout& layout) {
  const auto p = layout.n_parameters();
  if (!p || *p != state.coefficients.size()) {
    return fail(EngineError::state("coefficient shape does not match feature metadata"));
  }
  const auto pp = checked_mul(*p, *p);
  if (!pp || *pp != state.information.size()) {
    return fail(EngineError::state("information shape does not match feature metadata"));
  }
  if (!finite_non_negative(state.previous_lambda)) {
    return fail(EngineError::state("previous_lambda must be finite and non-negative"));
  }
  if (!finite_non_negative(state.weight_sum)) {
    return fail(EngineError::state("weight_sum must be finite and non-negative"));
  }
  if (state.weight_sum == 0.0 && state.n_samples_seen > 0) {
    return fail(EngineError::state("weight_sum must be positive after observing samples"));
  }
  if (!all_finite(state.coefficients) || !all_finite(state.information)) {
    return fail(EngineError::state("state arrays must contain only finite values"));
  }
  return {};
}

Status check_config(const UpdateConfig& config) {
  if (!finite_positive(config.tau)) return fail(EngineError::configuration("tau must be finite and positive"));
  if (!finite_non_negative(config.lambda_scale)) {
    return fail(EngineError::configuration("lambda_scale must be finite and non-negative"));
  }
  if (!finite_positive(config.bandwidth_scale)) {
    return fail(EngineError::configuration("bandwidth_scale must be finite and positive"));
  }
  if (config.max_iter == 0) return fail(EngineError::configuration("max_iter must be positive"));
  if (!finite_positive(config.tolerance)) {
    return fail(EngineError::configuration("tolerance must be finite and positive"));
  }
  if (!finite_non_negative(config.ridge)) {
    return fail(EngineError::configuration("ridge must be finite and non-negative"));
  }
  return {};
}

template <std::floating_point T>
bool all_zero(std::span<const T> values) {
  return std::all_of(values.begin(), values.end(), [](T v) { return v == T(0); });
}

// m = max(n_features_in, 2) enters both levels through ln m.
double log_feature_scale(const FeatureLayout& layout) {
  return std::log(static_cast<double>(std::max<std::uint64_t>(layout.n_features_in, 2)));
}

// h = min(bandwidth_scale / (sqrt(W) ln m), tau); a NaN quotient gives tau,
// so h never exceeds tau.
double smoothing_bandwidth(const UpdateConfig& config, double total_weight, double log_m) {
  const double quotient = config.bandwidth_scale / (std::sqrt(total_weight) * log_m);
  return quotient < config.tau ? quotient : config.tau;
}

double regularisation_level(const UpdateConfig& config, double total_weight, double log_m) {
  if (config.penalty != Penalty::l1) return 0.0;
  return (config.lambda_scale * config.tau) * std::sqrt(log_m / total_weight);
}

static_assert(sizeof(std::size_t) == sizeof(std::uint64_t), "buffer lengths are 64-bit counts");

// Exact resize: grows with zeros or truncates, and keeps the storage, so a
// repeated shape allocates nothing.
template <std::floating_point T>
void resize_exact(std::vector<T>& buffer, std::uint64_t count) {
  buffer.resize(static_cast<std::size_t>(count));
}

// The Euclidean-norm step test: |step| <= tol * (1 + |beta|), in T.
template <std::floating_point T>
bool step_is_small(std::span<const T> coefficients, std::span<const T> step, double tolerance) {
  const T tol = static_cast<T>(tolerance);
  return (std::sqrt(dot(coefficients, coefficients)) + T(1)) * tol >= std::sqrt(dot(step, step));
}

// The vectors the solvers write themselves, one value per coefficient.
template <std::floating_point T>
void require_solver_buffers(const Workspace<T>& workspace, std::size_t p) {
  check_invariant(workspace.direction.size() == p && workspace.candidate.size() == p && workspace.step.size() == p,
                  "solver buffers do not hold one value per coefficient");
}

template <std::floating_point T>
void refresh_residuals(const BatchView<T>& batch, std::span<const T> coefficients, Workspace<T>& workspace) {
  compute_residuals(batch.design, batch.cols, batch.target, coefficients, std::span<T>(workspace.residuals));
}

template <std::floating_point T>
SolveOutcome<T> outcome(std::vector<T> coefficients, std::uint64_t iterations, double objective, bool converged,
                        bool fallback) {
  return SolveOutcome<T>{std::move(coefficients), iterations, objective, converged, fallback};
}

}  // namespace

template <std::floating_point T>
Status validate_batch(const BatchView<T>& batch, const FeatureLayout& layout) {
  if (batch.rows == 0) return fail(EngineError::batch("batch must contain at least one row"));
  const auto p = layout.n_parameters();
  if (!p || batch.cols != *p) return fail(EngineError::batch("design width does not match state parameters"));
  const auto elements = checked_mul(batch.rows, batch.cols);
  if (!elements) return fail(EngineError::overflow());
  if (batch.design.size() != *elements) {
    return fail(EngineError::batch("design buffer is not a complete contiguous matrix"));
  }
  if (batch.target.size() != batch.rows) return fail(EngineError::batch("target length does not match design rows"));
  if (!finite_positive(batch.batch_weight)) return fail(EngineError::batch("batch_weight must be finite and positive"));
  if (!all_finite(batch.design) || !all_finite(batch.target)) {
    return fail(EngineError::batch("batch arrays must contain only finite values"));
  }
  if (batch.sample_weight) {
    const std::span<const T> weights = *batch.sample_weight;
    if (weights.size() != batch.rows) {
      return fail(EngineError::batch("sample_weight length does not match design rows"));
    }
    for (const T w : weights) {
      if (!is_finite(w) || w < T(0)) return fail(EngineError::batch("sample_weight must be finite and non-negative"));
    }
  }
  return {};
}

template <std::floating_point T>
Status prepare_workspace(Workspace<T>& workspace, std::uint64_t n, std::uint64_t p) {
  const auto matrix = checked_mul(p, p);
  if (!matrix) return fail(EngineError::overflow());
  resize_exact(workspace.residuals, n);
  resize_exact(workspace.psi, n);
  resize_exact(workspace.curvature, n);
  if (!checked_mul(*matrix, sizeof(T))) return fail(EngineError::overflow());

  // The slot counts follow the pool's size; the scratch only the threads
  // that can run at once, so an oversized pool costs no memory.
  const auto workers = static_cast<std::uint64_t>(std::max(current_concurrency(), 1));
  const auto running = static_cast<std::uint64_t>(running_threads());
  workspace.gram_slots = gram_slot_count(n, p, workers, sizeof(T));
  const std::uint64_t gram_areas = partial_areas(workspace.gram_slots, running);
  const auto partials = checked_mul(gram_areas, *matrix);
  if (!partials) return fail(EngineError::overflow());
  resize_exact(workspace.gram_partials, *partials);

  const std::uint64_t scratch_pieces = std::max<std::uint64_t>(slots_at_once(workspace.gram_slots, gram_areas), 1);
  const auto scratch_rows = checked_mul(scratch_pieces, std::min(n, GRAM_BLOCK_ROWS));
  const auto scratch = scratch_rows ? checked_mul(*scratch_rows, p) : std::nullopt;
  if (!scratch) return fail(EngineError::overflow());
  resize_exact(workspace.row_scratch, *scratch);

  workspace.gradient_slots = gradient_slot_count(n, p, workers);
  const auto gradient_partials =
      checked_mul(partial_areas(workspace.gradient_slots, running), gradient_partial_stride(p, sizeof(T)));
  if (!gradient_partials) return fail(EngineError::overflow());
  resize_exact(workspace.gradient_partials, *gradient_partials);

  resize_exact(workspace.gradient, p);
  resize_exact(workspace.newton_matrix, *matrix);
  resize_exact(workspace.gram, *matrix);
  resize_exact(workspace.step_delta, p);
  resize_exact(workspace.direction, p);
  resize_exact(workspace.candidate, p);
  resize_exact(workspace.step, p);
  return {};
}

template <std::floating_point T>
Result<SolveOutcome<T>> solve_newton(Workspace<T>& workspace, const BatchView<T>& batch,
                                     const StreamState<T>& state, const FeatureLayout& layout,
                                     const UpdateConfig& config, double bandwidth, double total_weight) {
  const std::size_t p = state.coefficients.size();
  require_solver_buffers(workspace, p);
  std::vector<T> beta = state.coefficients;
  double objective = surrogate_objective<T>(batch, beta, state, layout, config, total_weight, workspace);
  if (config.max_iter == 0) return outcome(std::move(beta), 0, objective, false, false);

  std::span<T> candidate(workspace.candidate);
  std::span<T> step(workspace.step);
  bool fallback = false;
  for (std::uint64_t k = 1;; ++k) {
    if (Status status = newton_system<T>(batch, beta, state, layout, config, bandwidth, total_weight, workspace);
        !status) {
      return fail(status.error());
    }
    if (workspace.newton_matrix.size() != p * p || workspace.gradient.size() != p) {
      return fail(EngineError::linear_solve());
    }
    auto direction = solve_newton_system<T>(workspace.newton_matrix, workspace.gradient, p);
    if (!direction) return fail(direction.error());
    fallback = fallback || direction->used_fallback;
    if (direction->values.size() != p || workspace.direction.size() != p) {
      throw InternalFault("Newton direction does not have one value per coefficient");
    }
    std::copy(direction->values.begin(), direction->values.end(), workspace.direction.begin());
    const std::span<const T> d(workspace.direction);

    // Halving line search on F: steps 1, 1/2, ..., 2^-26. NaN never passes.
    bool accepted = false;
    double candidate_objective = 0.0;
    for (double t = 1.0; t >= 1e-8; t *= 0.5) {
      const T length = static_cast<T>(t);
      for (std::size_t j = 0; j < p; ++j) candidate[j] = beta[j] - length * d[j];
      candidate_objective =
          surrogate_objective<T>(batch, candidate, state, layout, config, total_weight, workspace);
      if (candidate_objective <= objective) {
        accepted = true;
        break;
      }
    }
    if (!accepted) {
      // The residuals belong to the last rejected candidate; the caller
      // needs those of the coefficients returned.
      refresh_residuals<T>(batch, beta, workspace);
      return outcome(std::move(beta), k, objective, false, fallback);
    }

    for (std::size_t j = 0; j < p; ++j) step[j] = candidate[j] - beta[j];
    std::copy(candidate.begin(), candidate.end(), beta.begin());
    if (step_is_small<T>(beta, step, config.tolerance)) {
      return outcome(std::move(beta), k, candidate_objective, true, fallback);
    }
    objective = candidate_objective;
    if (k == config.max_iter) return outcome(std::move(beta), k, objective, false, fallback);
  }
}

template <std::floating_point T>
Result<SolveOutcome<T>> solve_proximal_l1(Workspace<T>& workspace, const BatchView<T>& batch,
                                          const StreamState<T>& state, const FeatureLayout& layout,
                                          const UpdateConfig& config, double lambda_value,
                                          double total_weight) {
  constexpr int kTrials = 40;
  const std::size_t p = state.coefficients.size();
  require_solver_buffers(workspace, p);
  std::vector<T> beta = state.coefficients;
  double objective = surrogate_objective<T>(batch, beta, state, layout, config, total_weight, workspace);

  std::span<T> candidate(workspace.candidate);
  std::span<T> step(workspace.step);
  const std::span<const T> gradient(workspace.gradient);
  double curvature = 1.0;  // L, the step is 1/L
  for (std::uint64_t k = 1; k <= config.max_iter; ++k) {
    fill_scores<T>(batch, config.tau, workspace);
    if (Status status = newton_gradient<T>(batch, beta, state, layout, true, total_weight, workspace); !status) {
      return fail(status.error());
    }

    // Backtracking on the quadratic upper bound: L_try = L * 2^i.
    double trial_curvature = curvature;
    bool accepted = false;
    double candidate_objective = 0.0;
    for (int trial = 0; trial < kTrials; ++trial, trial_curvature *= 2.0) {
      const T inverse = static_cast<T>(1.0 / trial_curvature);
      const T threshold = static_cast<T>(lambda_value / trial_curvature);
      for (std::size_t j = 0; j < p; ++j) {
        const T z = beta[j] - gradient[j] * inverse;
        const T shrink = layout.is_intercept(j, p) ? T(0) : threshold;
        const T excess = std::abs(z) - shrink;
        candidate[j] = sgn(z) * (excess > T(0) ? excess : T(0));  // a NaN excess counts as 0
        step[j] = candidate[j] - beta[j];
      }
      const auto gd = static_cast<double>(dot<T>(gradient, step));
      const auto step_norm = static_cast<double>(std::sqrt(dot<T>(step, step)));
      candidate_objective = surrogate_objective<T>(batch, candidate, state, layout, config, total_weight, workspace);
      const double bound = (0.5 * trial_curvature) * step_norm * step_norm + (gd + objective) + 1e-12;
      if (candidate_objective <= bound) {
        accepted = true;
        break;
      }
    }
    if (!accepted) {
      refresh_residuals<T>(batch, beta, workspace);
      return outcome(std::move(beta), k, objective, false, false);
    }

    std::copy(candidate.begin(), candidate.end(), beta.begin());
    curvature = std::max(0.5 * trial_curvature, 1e-8);
    objective = candidate_objective;
    if (step_is_small<T>(beta, step, config.tolerance)) return outcome(std::move(beta), k, objective, true, false);
  }
  return outcome(std::move(beta), config.max_iter, objective, false, false);
}

template <std::floating_point T>
Result<UpdateOutcome<T>> update_stream(Workspace<T>& workspace, const BatchView<T>& batch,
                                       const StreamState<T>& state, const FeatureLayout& layout,
                                       const UpdateConfig& config) {
  if (Status status = check_state(state, layout); !status) return fail(status.error());
  if (Status status = check_config(config); !status) return fail(status.error());
  if (Status status = validate_batch(batch, layout); !status) return fail(status.error());
  if (batch.sample_weight && all_zero(*batch.sample_weight)) {
    return fail(EngineError::batch("sample_weight must contain a positive value"));
  }
  const std::uint64_t p = state.coefficients.size();
  if (Status status = prepare_workspace(workspace, batch.rows, p); !status) return fail(status.error());

  const auto n_samples_seen = checked_add(state.n_samples_seen, batch.rows);
  if (!n_samples_seen || state.batch_count == std::numeric_limits<std::uint64_t>::max()) {
    return fail(EngineError::overflow());
  }
  const double total_weight = state.weight_sum + batch.batch_weight;
  if (!finite_positive(total_weight)) {
    return fail(EngineError::batch("combined effective weight must be finite and positive"));
  }

  const double log_m = log_feature_scale(layout);
  const double bandwidth = smoothing_bandwidth(config, total_weight, log_m);
  const double lambda_value = regularisation_level(config, total_weight, log_m);

  auto solved = config.penalty == Penalty::l1
                    ? solve_proximal_l1(workspace, batch, state, layout, config, lambda_value, total_weight)
                    : solve_newton(workspace, batch, state, layout, config, bandwidth, total_weight);
  if (!solved) return fail(solved.error());

  // Information increment: curvature at the residuals of the solution,
  // which the solvers leave in the workspace.
  fill_curvature<T>(config.tau, bandwidth, workspace);
  if (Status status = weighted_gram<T>(batch, workspace.curvature, workspace.row_scratch,
                                       gram_partials(workspace, p), workspace.gram);
      !status) {
    return fail(status.error());
  }
  std::vector<T> information(state.information.size());
  for (std::size_t k = 0; k < information.size(); ++k) information[k] = state.information[k] + workspace.gram[k];
  if (!all_finite(information)) return fail(EngineError::non_finite());

  const double objective =
      penalized_objective<T>(solved->coefficients, layout, config.penalty, solved->objective, lambda_value);
  if (!is_finite(objective)) return fail(EngineError::non_finite());

  UpdateOutcome<T> result;
  result.state.coefficients = std::move(solved->coefficients);
  result.state.information = std::move(information);
  result.state.n_samples_seen = *n_samples_seen;
  result.state.batch_count = state.batch_count + 1;
  result.state.previous_lambda = lambda_value;
  result.state.weight_sum = total_weight;
  result.layout = layout;
  result.summary = UpdateSummary{solved->iterations, solved->converged, objective,
                                 lambda_value,       bandwidth,         solved->used_regularized_fallback};
  return result;
}

namespace {

// Rows per step of the prediction pass: few enough that their outputs are
// still in cache when they are checked.
constexpr std::uint64_t kPredictStepRows = 2048;

// Predicts rows [first, last) and reports whether they were all finite.
// With finite coefficients, a row holding NaN or an infinity always gives a
// non-finite dot (a non-finite product never sums back to a finite value),
// so only rows with a non-finite prediction need their elements inspected
// and the design is read once rather than twice. A finite row whose dot
// overflows keeps its infinite prediction.
template <std::floating_point T>
bool predict_and_check_rows(std::span<const T> design, std::uint64_t c, std::span<const T> coefficients,
                            std::span<T> out, std::uint64_t first, std::uint64_t last) {
  for (std::uint64_t start = first; start < last; start += kPredictStepRows) {
    const std::uint64_t rows = std::min(kPredictStepRows, last - start);
    const auto block = design.subspan(start * c, rows * c);
    row_dots(block, c, coefficients, out.subspan(start, rows));
    for (std::uint64_t i = 0; i < rows; ++i) {
      if (!is_finite(out[start + i]) && !all_finite(block.subspan(i * c, c))) return false;
    }
  }
  return true;
}

}  // namespace

template <std::floating_point T>
Result<std::vector<T>> predict_rows(std::span<const T> design, std::uint64_t n, std::uint64_t c,
                                    std::span<const T> coefficients) {
  if (c != coefficients.size()) return fail(EngineError::batch("invalid prediction shape"));
  const auto elements = checked_mul(n, c);
  if (!elements) return fail(EngineError::overflow());
  if (design.size() != *elements) return fail(EngineError::batch("invalid prediction shape"));
  std::vector<T> predictions(static_cast<std::size_t>(n), T(0));
  // Pieces of the row range go to the pool from 1,000,000 elements on; each
  // output is one dot either way, so the bits do not depend on the split.
  std::atomic<bool> finite_input{true};
  output_parallel_pieces(n, rows_are_parallel(n, c), [&](std::uint64_t first, std::uint64_t last) {
    if (!predict_and_check_rows(design, c, coefficients, std::span<T>(predictions), first, last)) {
      finite_input.store(false, std::memory_order_relaxed);
    }
  });
  if (!finite_input.load()) return fail(EngineError::batch("prediction input must contain only finite values"));
  return predictions;
}

#define VINTREL_INSTANTIATE(T)                                                                                   \
  template Result<UpdateOutcome<T>> update_stream<T>(Workspace<T>&, const BatchView<T>&, const StreamState<T>&,  \
                                                     const FeatureLayout&, const UpdateConfig&);                 \
  template Status validate_batch<T>(const BatchView<T>&, const FeatureLayout&);                                  \
  template Status prepare_workspace<T>(Workspace<T>&, std::uint64_t, std::uint64_t);                             \
  template Result<SolveOutcome<T>> solve_newton<T>(Workspace<T>&, const BatchView<T>&, const StreamState<T>&,    \
                                                   const FeatureLayout&, const UpdateConfig&, double, double);   \
  template Result<SolveOutcome<T>> solve_proximal_l1<T>(Workspace<T>&, const BatchView<T>&,                      \
                                                        const StreamState<T>&, const FeatureLayout&,             \
                                                        const UpdateConfig&, double, double);                    \
  template Result<std::vector<T>> predict_rows<T>(std::span<const T>, std::uint64_t, std::uint64_t,              \
                                                  std::span<const T>);
VINTREL_INSTANTIATE(float)
VINTREL_INSTANTIATE(double)
#undef VINTREL_INSTANTIATE

}  // namespace vintrel::core
