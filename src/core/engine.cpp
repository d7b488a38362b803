#include "core/engine.hpp"

#include <algorithm>
#include <limits>
#include <utility>

#include "core/kernels/gram.hpp"
#include "core/kernels/objective.hpp"
#include "core/kernels/partition.hpp"
#include "core/kernels/standardize.hpp"
#include "core/model/parameters.hpp"
#include "core/model/penalty.hpp"
#include "core/numeric.hpp"
#include "core/solvers.hpp"

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

std::optional<StateDefect> state_scalar_defect(std::uint64_t n_samples_seen, double previous_lambda,
                                               double weight_sum) {
  if (!finite_non_negative(previous_lambda)) return StateDefect::previous_lambda_range;
  if (!finite_non_negative(weight_sum)) return StateDefect::weight_sum_range;
  if (weight_sum == 0.0 && n_samples_seen > 0) return StateDefect::weight_sum_zero_after_samples;
  return std::nullopt;
}

template <std::floating_point T>
std::optional<StateDefect> state_array_defect(std::span<const T> coefficients, std::span<const T> information) {
  if (!all_finite(coefficients) || !all_finite(information)) return StateDefect::non_finite_array;
  return std::nullopt;
}

namespace {

EngineError state_error(StateDefect defect) {
  switch (defect) {
    case StateDefect::previous_lambda_range:
      return EngineError::state("previous_lambda must be finite and non-negative");
    case StateDefect::weight_sum_range: return EngineError::state("weight_sum must be finite and non-negative");
    case StateDefect::weight_sum_zero_after_samples:
      return EngineError::state("weight_sum must be positive after observing samples");
    case StateDefect::non_finite_array: return EngineError::state("state arrays must contain only finite values");
  }
  throw InternalFault("unknown state defect");
}

// The shapes against the layout, then the scalars, then the arrays' values.
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
  std::optional<StateDefect> defect =
      state_scalar_defect(state.n_samples_seen, state.previous_lambda, state.weight_sum);
  if (!defect) defect = state_array_defect<T>(state.coefficients, state.information);
  if (defect) return fail(state_error(*defect));
  return {};
}

// The model's parameters first, then the solver's.
Status check_config(const UpdateConfig& config) {
  if (Status status = check_model_parameters(config.model); !status) return status;
  const SolverControls& solver = config.solver;
  if (solver.max_iter == 0) return fail(EngineError::configuration("max_iter must be positive"));
  if (!finite_positive(solver.tolerance)) {
    return fail(EngineError::configuration("tolerance must be finite and positive"));
  }
  if (!finite_non_negative(solver.ridge)) {
    return fail(EngineError::configuration("ridge must be finite and non-negative"));
  }
  if (solver.solver && !penalty_rule(config.model.penalty).accepts(*solver.solver)) {
    return fail(EngineError::configuration("solver does not apply to this penalty"));
  }
  return {};
}

template <std::floating_point T>
Result<SolveOutcome<T>> solve(Workspace<T>& workspace, const BatchView<T>& batch, const StreamState<T>& state,
                              const FeatureLayout& layout, const UpdateModel& model,
                              const SolverControls& controls) {
  switch (controls.solver.value_or(penalty_rule(model.penalty).default_solver)) {
    case PenaltySolver::newton: return solve_newton(workspace, batch, state, layout, model, controls);
    case PenaltySolver::proximal_l1: return solve_proximal_l1(workspace, batch, state, layout, model, controls);
    case PenaltySolver::coordinate: return solve_coordinate(workspace, batch, state, layout, model, controls);
  }
  throw InternalFault("unknown solver");
}

// The state an update with forgetting starts from: the information times
// the discount (rounded to T, as a product in T) and weight_sum times it in
// double; the coefficients, counters and previous level as stored.
template <std::floating_point T>
StreamState<T> discount_state(const StreamState<T>& state, double discount) {
  StreamState<T> start = state;
  const T factor = static_cast<T>(discount);
  for (T& value : start.information) value = value * factor;
  start.weight_sum = state.weight_sum * discount;
  return start;
}

static_assert(sizeof(std::size_t) == sizeof(std::uint64_t), "buffer lengths are 64-bit counts");

// Exact resize: grows with zeros or truncates, and keeps the storage, so a
// repeated shape allocates nothing.
template <std::floating_point T>
void resize_exact(std::vector<T>& buffer, std::uint64_t count) {
  buffer.resize(static_cast<std::size_t>(count));
}

}  // namespace

template <std::floating_point T>
Status check_batch_shape(const BatchView<T>& batch, std::optional<std::uint64_t> width) {
  if (batch.rows == 0) return fail(EngineError::batch("batch must contain at least one row"));
  if (!width || batch.cols != *width) return fail(EngineError::batch("design width does not match state parameters"));
  const auto elements = checked_mul(batch.rows, batch.cols);
  if (!elements) return fail(EngineError::overflow());
  if (batch.design.size() != *elements) {
    return fail(EngineError::batch("design buffer is not a complete contiguous matrix"));
  }
  if (batch.target.size() != batch.rows) return fail(EngineError::batch("target length does not match design rows"));
  return {};
}

template <std::floating_point T>
Status check_batch_values(const BatchView<T>& batch) {
  if (!all_finite(batch.design) || !all_finite(batch.target)) {
    return fail(EngineError::batch("batch arrays must contain only finite values"));
  }
  if (batch.sample_weight) {
    const std::span<const T> weights = *batch.sample_weight;
    if (weights.size() != batch.rows) {
      return fail(EngineError::batch("sample_weight length does not match design rows"));
    }
    // One scan for the range of every weight and for a positive one: the
    // all-zero test comes after the range test in the order of checks.
    bool any_positive = false;
    for (const T w : weights) {
      if (!is_finite(w) || w < T(0)) return fail(EngineError::batch("sample_weight must be finite and non-negative"));
      any_positive = any_positive || w > T(0);
    }
    if (!any_positive) return fail(EngineError::batch("sample_weight must contain a positive value"));
  }
  return {};
}

template <std::floating_point T>
Status validate_batch(const BatchView<T>& batch, const FeatureLayout& layout) {
  if (Status status = check_batch_shape(batch, layout.n_parameters()); !status) return status;
  if (!finite_positive(batch.batch_weight)) return fail(EngineError::batch("batch_weight must be finite and positive"));
  return check_batch_values(batch);
}

template <std::floating_point T>
Result<BatchView<T>> standardize_batch(const BatchView<T>& given, const FeatureLayout& layout,
                                       const FeatureUnits* units, Workspace<T>& workspace) {
  if (units == nullptr) return given;
  const BatchView<T>& raw = given;
  if (Status status = check_feature_units(*units, layout.n_features_in); !status) return fail(status.error());
  if (Status status = check_batch_shape(raw, layout.n_features_in); !status) return fail(status.error());
  const auto p = layout.n_parameters();
  const auto elements = p ? checked_mul(raw.rows, *p) : std::nullopt;
  if (!elements) return fail(EngineError::overflow());
  resize_exact(workspace.feature_center, *p);
  resize_exact(workspace.feature_inverse_scale, *p);
  resize_exact(workspace.standardized_design, *elements);
  fill_column_units<T>(*units, workspace.feature_center, workspace.feature_inverse_scale);
  standardize_design<T>(raw.design, raw.rows, layout.n_features_in, workspace.feature_center,
                        workspace.feature_inverse_scale, workspace.standardized_design);
  BatchView<T> batch = raw;
  batch.design = workspace.standardized_design;
  batch.cols = *p;
  return batch;
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
  resize_exact(workspace.model_product, p);
  const auto trial_residuals = checked_mul(MAX_TRIAL_POINTS - 1, n);
  if (!trial_residuals) return fail(EngineError::overflow());
  resize_exact(workspace.trial_points, MAX_TRIAL_POINTS * p);
  resize_exact(workspace.trial_residuals, *trial_residuals);
  return {};
}

template <std::floating_point T>
Result<UpdateOutcome<T>> update_stream(Workspace<T>& workspace, const BatchView<T>& given,
                                       const StreamState<T>& state, const FeatureLayout& layout,
                                       const UpdateConfig& config, const FeatureUnits* units) {
  if (Status status = check_state(state, layout); !status) return fail(status.error());
  if (Status status = check_config(config); !status) return fail(status.error());
  const Result<BatchView<T>> designed = standardize_batch(given, layout, units, workspace);
  if (!designed) return fail(designed.error());
  const BatchView<T>& batch = *designed;
  if (Status status = validate_batch(batch, layout); !status) return fail(status.error());
  const std::uint64_t p = state.coefficients.size();
  if (Status status = prepare_workspace(workspace, batch.rows, p); !status) return fail(status.error());

  const auto n_samples_seen = checked_add(state.n_samples_seen, batch.rows);
  if (!n_samples_seen || state.batch_count == std::numeric_limits<std::uint64_t>::max()) {
    return fail(EngineError::overflow());
  }
  // Forgetting: the update starts from the information and weight_sum
  // times the discount, and the new state holds those plus the batch's.
  // Without one the stored state is used as it is.
  std::optional<StreamState<T>> discounted;
  if (config.model.discount != 1.0) discounted = discount_state(state, config.model.discount);
  const StreamState<T>& start = discounted ? *discounted : state;
  const double total_weight = start.weight_sum + batch.batch_weight;
  if (!finite_positive(total_weight)) {
    return fail(EngineError::batch("combined effective weight must be finite and positive"));
  }

  const UpdateModel model = UpdateModel::make(config.model, layout.n_features_in, total_weight);
  auto solved = solve(workspace, batch, start, layout, model, config.solver);
  if (!solved) return fail(solved.error());

  // Information increment: curvature at the residuals of the solution,
  // which the solvers leave in the workspace.
  fill_curvature<T>(model.tau, model.bandwidth, workspace);
  if (Status status = weighted_gram<T>(batch, workspace.curvature, workspace.row_scratch,
                                       gram_partials(workspace, p), workspace.gram);
      !status) {
    return fail(status.error());
  }
  std::vector<T> information(start.information.size());
  for (std::size_t k = 0; k < information.size(); ++k) information[k] = start.information[k] + workspace.gram[k];
  if (!all_finite(information)) return fail(EngineError::non_finite());

  const double objective = penalized_objective<T>(solved->coefficients, layout, model, solved->objective);
  if (!is_finite(objective)) return fail(EngineError::non_finite());

  UpdateOutcome<T> result;
  result.state.coefficients = std::move(solved->coefficients);
  result.state.information = std::move(information);
  result.state.n_samples_seen = *n_samples_seen;
  result.state.batch_count = state.batch_count + 1;
  result.state.previous_lambda = model.lambda_value;
  result.state.weight_sum = total_weight;
  result.layout = layout;
  result.summary = UpdateSummary{.iterations = solved->iterations,
                                 .converged = solved->converged,
                                 .objective = objective,
                                 .lambda_value = model.lambda_value,
                                 .bandwidth = model.bandwidth,
                                 .used_regularized_fallback = solved->used_regularized_fallback};
  return result;
}

#define VINTREL_INSTANTIATE(T)                                                                                   \
  template Result<UpdateOutcome<T>> update_stream<T>(Workspace<T>&, const BatchView<T>&, const StreamState<T>&,  \
                                                     const FeatureLayout&, const UpdateConfig&,                  \
                                                     const FeatureUnits*);                                       \
  template Status validate_batch<T>(const BatchView<T>&, const FeatureLayout&);                                  \
  template Status check_batch_shape<T>(const BatchView<T>&, std::optional<std::uint64_t>);                       \
  template Status check_batch_values<T>(const BatchView<T>&);                                                    \
  template Result<BatchView<T>> standardize_batch<T>(const BatchView<T>&, const FeatureLayout&,                  \
                                                     const FeatureUnits*, Workspace<T>&);                        \
  template Status prepare_workspace<T>(Workspace<T>&, std::uint64_t, std::uint64_t);                            \
  template std::optional<StateDefect> state_array_defect<T>(std::span<const T>, std::span<const T>);
VINTREL_INSTANTIATE(float)
VINTREL_INSTANTIATE(double)
#undef VINTREL_INSTANTIATE

}  // namespace vintrel::core
