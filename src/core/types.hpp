// The records of the streaming estimate and of one update.
#pragma once

#include <concepts>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "core/model/parameters.hpp"
#include "core/numeric.hpp"

namespace vintrel::core {

// The persistent estimate. Every element of both buffers is finite;
// information always holds p*p elements, p being the length of coefficients.
template <std::floating_point T>
struct StreamState {
  std::vector<T> coefficients;
  std::vector<T> information;  // p x p, row-major
  std::uint64_t n_samples_seen = 0;
  std::uint64_t batch_count = 0;
  double previous_lambda = 0.0;
  double weight_sum = 0.0;

  // The information matrix comes first: when it cannot be allocated,
  // nothing has been allocated or zero-filled before.
  static StreamState zeros(std::uint64_t p) {
    StreamState state;
    state.information.assign(p * p, T(0));
    state.coefficients.assign(p, T(0));
    return state;
  }
};

// Most trial points of the Newton line search evaluated in one pass over
// the design.
inline constexpr int MAX_TRIAL_POINTS = 4;

// Reusable scratch. Buffers are resized exactly at the start of every update
// and keep their storage, so equal-shaped batches allocate nothing. The
// slot counts G and S fix how the Gram and the row-form gradient are
// summed; their partial areas and row scratch are only as many as the
// threads that can run at once (R below) need.
template <std::floating_point T>
struct Workspace {
  std::uint64_t gram_slots = 0;      // G
  std::uint64_t gradient_slots = 0;  // S
  std::vector<T> residuals;          // n
  std::vector<T> psi;                // n
  std::vector<T> curvature;          // n
  std::vector<T> row_scratch;        // max(min(G, R), 1) * min(n, 256) * p
  std::vector<T> gram_partials;      // partial_areas(G, R) * p * p
  std::vector<T> gradient_partials;  // partial_areas(S, R) * gradient_partial_stride(p)
  std::vector<T> gradient;           // p
  std::vector<T> newton_matrix;      // p * p
  std::vector<T> gram;               // p * p
  std::vector<T> step_delta;         // p
  std::vector<T> direction;          // p
  std::vector<T> candidate;          // p
  std::vector<T> step;               // p
  std::vector<T> model_product;      // p, the Newton matrix times the step of the coordinate solver
  std::vector<T> trial_points;       // MAX_TRIAL_POINTS * p, line-search candidates side by side
  std::vector<T> trial_residuals;    // (MAX_TRIAL_POINTS - 1) * n, their residuals after the first's
  // Used only when the caller gives raw features with their units, and
  // sized by the standardisation itself, so other calls never touch them.
  std::vector<T> standardized_design;    // n * p
  std::vector<T> feature_center;         // p, the intercept's 0 last
  std::vector<T> feature_inverse_scale;  // p, the intercept's 1 last
};

struct FeatureLayout {
  std::uint64_t n_features_in = 0;
  bool fit_intercept = false;

  // p = n_features_in (+ 1 with an intercept), or nothing when it overflows.
  std::optional<std::uint64_t> n_parameters() const {
    return checked_add(n_features_in, fit_intercept ? 1 : 0);
  }
  // Whether coefficient j is the intercept, which is never penalised.
  bool is_intercept(std::uint64_t j, std::uint64_t p) const { return fit_intercept && j + 1 == p; }
};

// The caller's units of raw features, one centre and one scale per
// feature, in double whatever the engine's precision: design column j is
// (x_j - center_j) * (1 / scale_j), with the centre and the inverse scale
// rounded to the engine's precision.
struct FeatureUnits {
  std::span<const double> center;
  std::span<const double> scale;
};

// Read-only views of the caller's arrays for one batch.
template <std::floating_point T>
struct BatchView {
  std::span<const T> design;  // rows x cols, row-major
  std::span<const T> target;
  std::uint64_t rows = 0;
  std::uint64_t cols = 0;
  std::optional<std::span<const T>> sample_weight;
  double batch_weight = 0.0;

  // Weight of row i: its sample weight, or 1 without sample weights.
  T weight(std::size_t i) const { return sample_weight ? (*sample_weight)[i] : T(1); }
  std::span<const T> row(std::size_t i) const { return design.subspan(i * cols, cols); }
};

// Which solver runs (the penalty's default when none is named), how far it
// goes, and the ridge the Newton matrix gets; none of it changes the
// objective.
struct SolverControls {
  std::uint64_t max_iter = 0;
  double tolerance = 0.0;
  double ridge = 0.0;
  std::optional<PenaltySolver> solver = std::nullopt;
};

// The settings of one update: the model it fits and how it is solved.
struct UpdateConfig {
  ModelParameters model;
  SolverControls solver;
};

struct UpdateSummary {
  std::uint64_t iterations = 0;
  bool converged = false;
  double objective = 0.0;
  double lambda_value = 0.0;
  double bandwidth = 0.0;
  bool used_regularized_fallback = false;
};

// The settings of an evaluation at given coefficients: the Huber threshold
// and the half-width of the smoothed curvature (0 for the exact indicator).
struct EvaluationConfig {
  double tau = 0.0;
  double bandwidth = 0.0;
};

// What an evaluation returns: X^T (w psi), the curvature-weighted Gram
// matrix, the residuals, and four sums over the rows in double.
template <std::floating_point T>
struct Evaluation {
  std::vector<T> gradient;   // p
  std::vector<T> gram;       // p x p, row-major
  std::vector<T> residuals;  // n
  double loss = 0.0;         // sum of w rho(r)
  double weight = 0.0;       // sum of w
  double psi_squared = 0.0;  // sum of w psi(r)^2
  double psi_prime = 0.0;    // sum of w 1{|r| <= tau}
};

template <std::floating_point T>
struct UpdateOutcome {
  StreamState<T> state;
  FeatureLayout layout;
  UpdateSummary summary;
};

// What either solver returns: the new coefficients, iterations, the smooth
// objective at them, and how the solve ended.
template <std::floating_point T>
struct SolveOutcome {
  std::vector<T> coefficients;
  std::uint64_t iterations = 0;
  double objective = 0.0;
  bool converged = false;
  bool used_regularized_fallback = false;
};

}  // namespace vintrel::core
