// update, predict, state and restore: argument handling at the boundary and
// the hand-over to the engine core.
#include <concepts>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "core/evaluate.hpp"
#include "core/kernels/vector.hpp"
#include "core/model/penalty.hpp"
#include "python/arrays.hpp"
#include "python/convert.hpp"
#include "python/engine_object.hpp"
#include "python/errors.hpp"
#include "python/refs.hpp"

namespace vintrel::python {

namespace {

PyObject* raise_value_error(const char* message) {
  PyErr_SetString(PyExc_ValueError, message);
  return nullptr;
}

// The same for functions that return an optional.
std::nullopt_t refuse(const char* message) {
  PyErr_SetString(PyExc_ValueError, message);
  return std::nullopt;
}

// The seven-key state export: fresh copies of both arrays, then the counters
// and the two floats. The engine is only read.
template <std::floating_point T>
PyObject* export_state(const core::StreamState<T>& state) {
  const std::uint64_t p = state.coefficients.size();
  if (state.information.size() != p * p) {
    PyErr_SetString(PyExc_RuntimeError, "native information shape is invalid");
    return nullptr;
  }
  std::vector<T> information(state.information);
  PyRef result = PyRef::steal(PyDict_New());
  if (!result) return nullptr;
  PyObject* dict = result.get();
  const bool ok = set_new_item(dict, "coefficients", vector_array<T>(std::vector<T>(state.coefficients))) &&
                  set_new_item(dict, "information", square_matrix_array<T>(std::move(information), p)) &&
                  set_new_item(dict, "state_is_detached", Py_NewRef(Py_True)) &&
                  set_new_item(dict, "n_samples_seen", PyLong_FromUnsignedLongLong(state.n_samples_seen)) &&
                  set_new_item(dict, "batch_count", PyLong_FromUnsignedLongLong(state.batch_count)) &&
                  set_new_item(dict, "previous_lambda", PyFloat_FromDouble(state.previous_lambda)) &&
                  set_new_item(dict, "weight_sum", PyFloat_FromDouble(state.weight_sum));
  return ok ? result.release() : nullptr;
}

// Runs the request on the engine's pool with the interpreter lock released.
// A C++ exception from any worker is raised as a Python exception once the
// lock is back, and nothing is returned.
template <class Request>
auto run_released(core::Engine& engine, Request&& request) -> std::optional<decltype(request())> {
  try {
    GilReleased unlocked;
    return core::run_in_engine_pool(engine.pool(), std::forward<Request>(request));
  } catch (...) {
    raise_current_exception();  // the lock is held again here
    return std::nullopt;
  }
}

// ---- caller units ----------------------------------------------------------

// The caller's x_center and x_scale, read in place.
struct UnitViews {
  ReadView<double> center;
  ReadView<double> scale;

  core::FeatureUnits units() const { return {.center = center.data, .scale = scale.data}; }
};

// Neither given (or both None), or both: typed intake of x_center, then of
// x_scale, as 1-D float64 arrays whatever the engine's dtype, then their
// buffers. False with an exception set when refused.
bool take_units(PyObject* center, PyObject* scale, std::optional<UnitViews>& units) {
  const bool has_center = center != nullptr && center != Py_None;
  const bool has_scale = scale != nullptr && scale != Py_None;
  if (!has_center && !has_scale) return true;
  if (has_center != has_scale) {
    PyErr_SetString(PyExc_TypeError, "x_center and x_scale must be given together");
    return false;
  }
  std::optional<ReadView<double>> center_view = typed_intake<double>(center, 1, "x_center", "dtype float64");
  if (!center_view) return false;
  std::optional<ReadView<double>> scale_view = typed_intake<double>(scale, 1, "x_scale", "dtype float64");
  if (!scale_view) return false;
  if (!contiguous_buffer(*center_view, "x_center") || !contiguous_buffer(*scale_view, "x_scale")) return false;
  units.emplace(UnitViews{.center = std::move(*center_view), .scale = std::move(*scale_view)});
  return true;
}

// ---- predict ---------------------------------------------------------------

template <std::floating_point T>
PyObject* predict_with(core::Engine& engine, core::EngineCore<T>& core, PyObject* x_design, PyObject* x_center,
                       PyObject* x_scale) {
  std::optional<ReadView<T>> design = typed_intake<T>(x_design, 2, "X_design");
  if (!design || !contiguous_buffer(*design, "X_design")) return nullptr;
  std::optional<UnitViews> units;
  if (!take_units(x_center, x_scale, units)) return nullptr;

  auto outcome = run_released(engine, [&] {
    if (units) {
      return core::predict_rows_in_units<T>(design->data, design->rows(), design->cols(), units->units(),
                                            core.state.coefficients);
    }
    return core::predict_rows<T>(design->data, design->rows(), design->cols(), core.state.coefficients);
  });
  if (!outcome) return nullptr;
  if (!*outcome) return raise_engine_error(outcome->error());
  return vector_array<T>(std::move(**outcome));
}

// ---- update ----------------------------------------------------------------

// The scalar arguments of one update after conversion and boundary checks.
struct UpdateRequest {
  core::FeatureLayout layout;
  core::UpdateConfig config;
  double batch_weight = 0.0;
  // Whether the result also holds the batch's residuals at the new
  // coefficients, which a caller would otherwise compute with predict.
  bool with_residuals = false;
};

constexpr const char* kUpdateNames[] = {
    "x_design", "y",   "sample_weight",   "batch_weight", "n_features_in", "fit_intercept", "tau",
    "penalty",  "lambda_scale", "bandwidth_scale", "max_iter", "tol", "ridge", "x_center", "x_scale",
    "l1_ratio", "solver", "discount", "return_residuals",
};
enum UpdateArg { x_design, y, sample_weight, batch_weight, n_features_in, fit_intercept, tau,
                 penalty, lambda_scale, bandwidth_scale, max_iter, tol, ridge, x_center, x_scale,
                 l1_ratio, solver, discount, return_residuals };
constexpr std::size_t kUnitKeywords = 2;    // x_center and x_scale, keyword-only
// The units, l1_ratio, solver, discount and return_residuals.
constexpr std::size_t kUpdateKeywords = 6;

bool is_given(PyObject* value) { return value != nullptr && value != Py_None; }

// A keyword float that may be left out or None: false with the
// conversion's exception set when it cannot be converted.
bool optional_double(PyObject* value, const char* name, std::optional<double>& out) {
  if (!is_given(value)) return true;
  out = to_double(value, name);
  return out.has_value();
}

// "'a'", "'a' or 'b'", "'a', 'b' or 'c'".
template <class Names>
std::string quoted_choices(const Names& names) {
  std::string text;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) text += i + 1 == names.size() ? " or " : ", ";
    text += '\'';
    text += names[i];
    text += '\'';
  }
  return text;
}

// l1_ratio is given exactly under a penalty that takes one, and then lies
// in [0, 1]. False with ValueError set otherwise.
bool check_l1_ratio(const core::PenaltyRule& rule, std::optional<double> ratio) {
  if (rule.takes_l1_ratio) {
    if (ratio && *ratio >= 0.0 && *ratio <= 1.0) return true;
    PyErr_Format(PyExc_ValueError, "l1_ratio must be a float in [0, 1] for penalty '%s'", rule.name);
    return false;
  }
  if (!ratio) return true;
  std::vector<const char*> takers;
  for (const core::PenaltyRule& other : core::PENALTY_RULES) {
    if (other.takes_l1_ratio) takers.push_back(other.name);
  }
  const std::string names = quoted_choices(takers);
  PyErr_Format(PyExc_ValueError, "l1_ratio applies to penalty %s only", names.c_str());
  return false;
}

// The solver the caller names, if any, known and accepted by the penalty.
// False with ValueError set otherwise.
bool check_solver(const core::PenaltyRule& rule, PyObject* text, std::optional<core::PenaltySolver>& out) {
  if (text == nullptr) return true;
  out = core::find_solver([&](const char* name) { return PyUnicode_EqualToUTF8(text, name) == 1; });
  if (!out) {
    const std::string names = quoted_choices(std::span<const char* const>(core::SOLVER_NAMES));
    PyErr_Format(PyExc_ValueError, "unsupported native solver; expected %s", names.c_str());
    return false;
  }
  if (rule.accepts(*out)) return true;
  PyErr_Format(PyExc_ValueError, "solver '%s' does not apply to penalty '%s'", core::solver_name(*out), rule.name);
  return false;
}

// Converts the scalars in their fixed order, then applies the boundary checks.
std::optional<UpdateRequest> convert_update_arguments(PyObject* const* bound) {
  UpdateRequest request;
  const auto weight = to_double(bound[batch_weight], "batch_weight");
  if (!weight) return std::nullopt;
  const auto features = to_int64(bound[n_features_in], "n_features_in");
  if (!features) return std::nullopt;
  const auto intercept = to_bool(bound[fit_intercept], "fit_intercept");
  if (!intercept) return std::nullopt;
  const auto huber_tau = to_double(bound[tau], "tau");
  if (!huber_tau) return std::nullopt;
  PyObject* penalty_text = to_str(bound[penalty], "penalty");
  if (penalty_text == nullptr) return std::nullopt;
  const auto lambda = to_double(bound[lambda_scale], "lambda_scale");
  if (!lambda) return std::nullopt;
  const auto bandwidth = to_double(bound[bandwidth_scale], "bandwidth_scale");
  if (!bandwidth) return std::nullopt;
  const auto iterations = to_int64(bound[max_iter], "max_iter");
  if (!iterations) return std::nullopt;
  const auto tolerance = to_double(bound[tol], "tol");
  if (!tolerance) return std::nullopt;
  const auto ridge_value = to_double(bound[ridge], "ridge");
  if (!ridge_value) return std::nullopt;
  std::optional<double> ratio;
  if (!optional_double(bound[l1_ratio], "l1_ratio", ratio)) return std::nullopt;
  PyObject* solver_text = nullptr;
  if (is_given(bound[solver])) {
    solver_text = to_str(bound[solver], "solver");
    if (solver_text == nullptr) return std::nullopt;
  }
  std::optional<double> discount_value;
  if (!optional_double(bound[discount], "discount", discount_value)) return std::nullopt;
  if (is_given(bound[return_residuals])) {
    const auto wanted = to_bool(bound[return_residuals], "return_residuals");
    if (!wanted) return std::nullopt;
    request.with_residuals = *wanted;
  }

  if (*features < 1) return refuse("n_features_in must be positive");
  if (*iterations < 1) return refuse("max_iter must be positive");
  // Only an exact match names a penalty; a str that has no UTF-8 form
  // matches none and raises nothing of its own.
  const std::optional<core::Penalty> code =
      core::find_penalty([&](const char* name) { return PyUnicode_EqualToUTF8(penalty_text, name) == 1; });
  if (!code) return refuse("unsupported native penalty");
  const core::PenaltyRule& rule = core::penalty_rule(*code);
  if (!check_l1_ratio(rule, ratio)) return std::nullopt;
  std::optional<core::PenaltySolver> chosen;
  if (!check_solver(rule, solver_text, chosen)) return std::nullopt;
  if (discount_value && !(*discount_value > 0.0 && *discount_value <= 1.0)) {
    return refuse("discount must be a float in (0, 1]");
  }

  request.layout = {.n_features_in = static_cast<std::uint64_t>(*features), .fit_intercept = *intercept};
  request.config = {.model = {.tau = *huber_tau,
                              .penalty = *code,
                              .lambda_scale = *lambda,
                              .bandwidth_scale = *bandwidth,
                              .l1_ratio = ratio,
                              .discount = discount_value.value_or(1.0)},
                    .solver = {.max_iter = static_cast<std::uint64_t>(*iterations),
                               .tolerance = *tolerance,
                               .ridge = *ridge_value,
                               .solver = chosen}};
  request.batch_weight = *weight;
  return request;
}

// The batch arrays of update and evaluate, read in their order: X_design
// and y, their buffers, then the sample weights when `sample_weight` is
// not None. The views hold the arrays while the batch reads them.
template <std::floating_point T>
struct BatchArrays {
  ReadView<T> design;
  ReadView<T> target;
  std::optional<ReadView<T>> weights;

  core::BatchView<T> view() const {
    core::BatchView<T> batch;
    batch.design = design.data;
    batch.target = target.data;
    batch.rows = design.rows();
    batch.cols = design.cols();
    if (weights) batch.sample_weight = weights->data;
    return batch;
  }
};

template <std::floating_point T>
std::optional<BatchArrays<T>> take_batch(PyObject* x_design, PyObject* y, PyObject* sample_weight) {
  std::optional<ReadView<T>> design = typed_intake<T>(x_design, 2, "X_design");
  if (!design) return std::nullopt;
  std::optional<ReadView<T>> target = typed_intake<T>(y, 1, "y");
  if (!target) return std::nullopt;
  if (!contiguous_buffer(*design, "X_design") || !contiguous_buffer(*target, "y")) return std::nullopt;
  std::optional<ReadView<T>> weights;
  if (sample_weight != Py_None) {
    weights = typed_intake<T>(sample_weight, 1, "sample_weight");
    if (!weights || !contiguous_buffer(*weights, "sample_weight")) return std::nullopt;
  }
  return BatchArrays<T>{std::move(*design), std::move(*target), std::move(weights)};
}

template <std::floating_point T>
PyObject* update_result(const core::StreamState<T>& state, const core::UpdateSummary& summary) {
  PyRef result = PyRef::steal(export_state(state));
  if (!result) return nullptr;
  PyObject* dict = result.get();
  const bool ok = set_new_item(dict, "iterations", PyLong_FromUnsignedLongLong(summary.iterations)) &&
                  set_new_item(dict, "converged", PyBool_FromLong(summary.converged)) &&
                  set_new_item(dict, "objective", PyFloat_FromDouble(summary.objective)) &&
                  set_new_item(dict, "lambda_value", PyFloat_FromDouble(summary.lambda_value)) &&
                  set_new_item(dict, "bandwidth", PyFloat_FromDouble(summary.bandwidth)) &&
                  set_new_item(dict, "used_regularized_fallback", PyBool_FromLong(summary.used_regularized_fallback));
  return ok ? result.release() : nullptr;
}

template <std::floating_point T>
PyObject* update_with(core::Engine& engine, core::EngineCore<T>& core, PyObject* const* bound,
                      const UpdateRequest& request) {
  const std::optional<BatchArrays<T>> arrays =
      take_batch<T>(bound[x_design], bound[y], bound[sample_weight]);
  if (!arrays) return nullptr;
  std::optional<UnitViews> units;
  if (!take_units(bound[x_center], bound[x_scale], units)) return nullptr;
  const std::optional<core::FeatureUnits> feature_units =
      units ? std::optional(units->units()) : std::nullopt;

  core::BatchView<T> batch = arrays->view();
  batch.batch_weight = request.batch_weight;

  // The engine holds empty buffers while the request runs; the stored state
  // goes back unchanged unless the driver returns a whole new one.
  core::StreamState<T> stored = std::exchange(core.state, core::StreamState<T>{});
  auto outcome = run_released(engine, [&] {
    return core::update_stream<T>(core.workspace, batch, stored, request.layout, request.config,
                                  feature_units ? &*feature_units : nullptr);
  });
  if (!outcome || !*outcome) {
    core.state = std::move(stored);
    return outcome ? raise_engine_error(outcome->error()) : nullptr;
  }
  // Commit before building the result: a failure while building it is
  // raised, but the new state stays.
  core.state = std::move((*outcome)->state);
  PyRef result = PyRef::steal(update_result(core.state, (*outcome)->summary));
  if (!result || !request.with_residuals) return result.release();
  // The solvers leave the residuals of the returned coefficients in the
  // workspace; the rows of this batch lead it.
  const auto& residuals = core.workspace.residuals;
  std::vector<T> rows(residuals.begin(), residuals.begin() + static_cast<std::ptrdiff_t>(batch.rows));
  if (!set_new_item(result.get(), "residuals", vector_array<T>(std::move(rows)))) return nullptr;
  return result.release();
}

// ---- evaluate --------------------------------------------------------------

constexpr const char* kEvaluateNames[] = {
    "x_design", "y", "sample_weight", "coefficients", "n_features_in", "fit_intercept", "tau", "bandwidth",
    "x_center", "x_scale",
};
namespace evaluate_arg {
enum Index { x_design, y, sample_weight, coefficients, n_features_in, fit_intercept, tau, bandwidth, x_center,
             x_scale };
}  // namespace evaluate_arg

// The scalar arguments of one evaluation after conversion and boundary checks.
struct EvaluateRequest {
  core::FeatureLayout layout;
  core::EvaluationConfig config;
};

// Converts the scalars in parameter order, then checks n_features_in.
std::optional<EvaluateRequest> convert_evaluate_arguments(PyObject* const* bound) {
  const auto features = to_int64(bound[evaluate_arg::n_features_in], "n_features_in");
  if (!features) return std::nullopt;
  const auto intercept = to_bool(bound[evaluate_arg::fit_intercept], "fit_intercept");
  if (!intercept) return std::nullopt;
  const auto huber_tau = to_double(bound[evaluate_arg::tau], "tau");
  if (!huber_tau) return std::nullopt;
  const auto half_width = to_double(bound[evaluate_arg::bandwidth], "bandwidth");
  if (!half_width) return std::nullopt;
  if (*features < 1) return refuse("n_features_in must be positive");
  return EvaluateRequest{
      .layout = {.n_features_in = static_cast<std::uint64_t>(*features), .fit_intercept = *intercept},
      .config = {.tau = *huber_tau, .bandwidth = *half_width}};
}

template <std::floating_point T>
PyObject* evaluation_result(core::Evaluation<T>&& evaluation) {
  const std::uint64_t p = evaluation.gradient.size();
  PyRef result = PyRef::steal(PyDict_New());
  if (!result) return nullptr;
  PyObject* dict = result.get();
  const bool ok = set_new_item(dict, "gradient", vector_array<T>(std::move(evaluation.gradient))) &&
                  set_new_item(dict, "gram", square_matrix_array<T>(std::move(evaluation.gram), p)) &&
                  set_new_item(dict, "loss", PyFloat_FromDouble(evaluation.loss)) &&
                  set_new_item(dict, "weight", PyFloat_FromDouble(evaluation.weight)) &&
                  set_new_item(dict, "psi_squared", PyFloat_FromDouble(evaluation.psi_squared)) &&
                  set_new_item(dict, "psi_prime", PyFloat_FromDouble(evaluation.psi_prime)) &&
                  set_new_item(dict, "residuals", vector_array<T>(std::move(evaluation.residuals)));
  return ok ? result.release() : nullptr;
}

// Arrays in the order of update's (X_design and y, their buffers, the
// sample weights), then the coefficients, then the units. The stored state
// is not touched; only the workspace is used.
template <std::floating_point T>
PyObject* evaluate_with(core::Engine& engine, core::EngineCore<T>& core, PyObject* const* bound,
                        const EvaluateRequest& request) {
  const std::optional<BatchArrays<T>> arrays =
      take_batch<T>(bound[evaluate_arg::x_design], bound[evaluate_arg::y], bound[evaluate_arg::sample_weight]);
  if (!arrays) return nullptr;
  std::optional<ReadView<T>> coefficients = typed_intake<T>(bound[evaluate_arg::coefficients], 1, "coefficients");
  if (!coefficients || !contiguous_buffer(*coefficients, "coefficients")) return nullptr;
  std::optional<UnitViews> units;
  if (!take_units(bound[evaluate_arg::x_center], bound[evaluate_arg::x_scale], units)) return nullptr;
  const std::optional<core::FeatureUnits> feature_units =
      units ? std::optional(units->units()) : std::nullopt;

  const core::BatchView<T> batch = arrays->view();
  const std::uint64_t p = engine.n_parameters();
  auto outcome = run_released(engine, [&] {
    return core::evaluate_at<T>(core.workspace, batch, coefficients->data, request.layout, p, request.config,
                                feature_units ? &*feature_units : nullptr);
  });
  if (!outcome) return nullptr;
  if (!*outcome) return raise_engine_error(outcome->error());
  return evaluation_result<T>(std::move(**outcome));
}

// ---- restore ---------------------------------------------------------------

// How restore words a defect of the state it is given: both weight_sum
// defects are one message.
const char* restore_message(core::StateDefect defect) {
  switch (defect) {
    case core::StateDefect::previous_lambda_range: return "previous_lambda must be finite and non-negative";
    case core::StateDefect::weight_sum_range:
    case core::StateDefect::weight_sum_zero_after_samples: return "weight_sum is inconsistent with the state counters";
    case core::StateDefect::non_finite_array: return "state arrays must contain only finite values";
  }
  throw core::InternalFault("unknown state defect");
}

struct RestoreScalars {
  std::uint64_t n_samples_seen;
  std::uint64_t batch_count;
  double previous_lambda;
  double weight_sum;
};

template <std::floating_point T>
PyObject* restore_with(std::uint64_t p, core::EngineCore<T>& core, PyObject* coefficients_arg,
                       PyObject* information_arg, const RestoreScalars& scalars) {
  std::optional<ReadView<T>> coefficients = typed_intake<T>(coefficients_arg, 1, "coefficients");
  if (!coefficients) return nullptr;
  std::optional<ReadView<T>> information = typed_intake<T>(information_arg, 2, "information");
  if (!information) return nullptr;
  if (coefficients->rows() != p) return raise_value_error("coefficients has the wrong length");
  if (information->rows() != p || information->cols() != p) {
    return raise_value_error("information has the wrong square shape");
  }
  // The update's own checks of a stored state, with the import's messages;
  // the values are scanned only once the buffers are known to be contiguous.
  if (const auto defect =
          core::state_scalar_defect(scalars.n_samples_seen, scalars.previous_lambda, scalars.weight_sum)) {
    return raise_value_error(restore_message(*defect));
  }
  if (!contiguous_buffer(*coefficients, "coefficients") || !contiguous_buffer(*information, "information")) {
    return nullptr;
  }
  if (const auto defect = core::state_array_defect<T>(coefficients->data, information->data)) {
    return raise_value_error(restore_message(*defect));
  }

  // Copy first, then swap in with non-throwing moves, so an allocation
  // failure leaves the engine as it was.
  core::StreamState<T> restored;
  restored.coefficients.assign(coefficients->data.begin(), coefficients->data.end());
  restored.information.assign(information->data.begin(), information->data.end());
  restored.n_samples_seen = scalars.n_samples_seen;
  restored.batch_count = scalars.batch_count;
  restored.previous_lambda = scalars.previous_lambda;
  restored.weight_sum = scalars.weight_sum;
  core.state = std::move(restored);
  Py_RETURN_NONE;
}

}  // namespace

PyObject* engine_predict(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    static constexpr const char* names[] = {"x_design", "x_center", "x_scale"};
    PyObject* bound[std::size(names)];
    if (!bind_arguments({"NativeCpuEngine.predict", names, 1, kUnitKeywords}, args, nargs, kwnames, bound)) {
      return nullptr;
    }
    core::Engine& engine = as_engine_object(self)->engine();
    ExclusiveUse use(engine);
    if (!use) return nullptr;
    return engine.visit([&](auto& core) { return predict_with(engine, core, bound[0], bound[1], bound[2]); });
  });
}

// A method that binds its arguments, takes exclusive use of the engine,
// converts the scalars (`convert`, returning an optional request) and runs
// on the engine's precision (`run`, given the core, the bound arguments and
// the request).
template <std::size_t N, class Convert, class Run>
PyObject* call_on_engine(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                         const char* name, const char* const (&names)[N], std::size_t keywords, Convert convert,
                         Run run) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    PyObject* bound[N];
    if (!bind_arguments({name, names, N - keywords, keywords}, args, nargs, kwnames, bound)) return nullptr;
    core::Engine& engine = as_engine_object(self)->engine();
    ExclusiveUse use(engine);
    if (!use) return nullptr;
    const auto request = convert(bound);
    if (!request) return nullptr;
    return engine.visit([&](auto& core) { return run(engine, core, bound, *request); });
  });
}

PyObject* engine_update(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_on_engine(self, args, nargs, kwnames, "NativeCpuEngine.update", kUpdateNames, kUpdateKeywords,
                        convert_update_arguments,
                        [](core::Engine& engine, auto& core, PyObject* const* bound, const UpdateRequest& request) {
                          return update_with(engine, core, bound, request);
                        });
}

PyObject* engine_evaluate(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_on_engine(self, args, nargs, kwnames, "NativeCpuEngine.evaluate", kEvaluateNames, kUnitKeywords,
                        convert_evaluate_arguments,
                        [](core::Engine& engine, auto& core, PyObject* const* bound, const EvaluateRequest& request) {
                          return evaluate_with(engine, core, bound, request);
                        });
}

PyObject* engine_state(PyObject* self, PyObject* /*unused*/) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    core::Engine& engine = as_engine_object(self)->engine();
    SharedUse use(engine);
    if (!use) return nullptr;
    return engine.visit([](auto& core) { return export_state(core.state); });
  });
}

PyObject* engine_restore(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    static constexpr const char* names[] = {"coefficients",   "information",     "n_samples_seen",
                                            "batch_count",    "previous_lambda", "weight_sum"};
    PyObject* bound[std::size(names)];
    if (!bind_arguments({"NativeCpuEngine.restore", names, std::size(names), 0}, args, nargs, kwnames, bound)) {
      return nullptr;
    }
    core::Engine& engine = as_engine_object(self)->engine();
    ExclusiveUse use(engine);
    if (!use) return nullptr;

    // Counters range over the unsigned 64 bits that state() exports.
    const auto n_samples_seen = to_counter(bound[2], "n_samples_seen");
    if (!n_samples_seen) return nullptr;
    const auto batch_count = to_counter(bound[3], "batch_count");
    if (!batch_count) return nullptr;
    const auto previous_lambda = to_double(bound[4], "previous_lambda");
    if (!previous_lambda) return nullptr;
    const auto weight_sum = to_double(bound[5], "weight_sum");
    if (!weight_sum) return nullptr;
    if (n_samples_seen->negative || batch_count->negative) {
      return raise_value_error("state counters must be non-negative");
    }

    const RestoreScalars scalars{.n_samples_seen = n_samples_seen->value, .batch_count = batch_count->value,
                                 .previous_lambda = *previous_lambda, .weight_sum = *weight_sum};
    const std::uint64_t p = engine.n_parameters();
    return engine.visit([&](auto& core) { return restore_with(p, core, bound[0], bound[1], scalars); });
  });
}

}  // namespace vintrel::python
