// The penalties an update can put on the coefficients (never on the
// intercept), and everything the engine does differently under each. A
// penalty is one entry of PENALTY_RULES, plus a solver when none of the
// existing ones fits it.
#pragma once

#include <cmath>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <optional>

#include "core/error.hpp"
#include "core/numeric.hpp"

namespace vintrel::core {

enum class Penalty : std::uint8_t { none = 0, l1 = 1, l2 = 2, elasticnet = 3 };

// The solvers an update can run, indexed by the enum's value in
// SOLVER_NAMES: damped Newton for a smooth objective, proximal gradient with
// soft-thresholding, and proximal Newton whose model is minimised by
// coordinate descent.
enum class PenaltySolver : std::uint8_t { newton = 0, proximal_l1 = 1, coordinate = 2 };

inline constexpr const char* SOLVER_NAMES[] = {"newton", "proximal", "coordinate"};

// A set of solvers, one bit per enum value.
constexpr std::uint8_t solver_bit(PenaltySolver solver) {
  return static_cast<std::uint8_t>(1U << static_cast<unsigned>(solver));
}

// With the level lambda and the L1 share a, the penalty of an update is
// lambda * (a * sum |beta_j| + 1/2 (1 - a) * sum beta_j^2) over the
// penalised coefficients, and the next update carries its gradient at the
// coefficients it left, (W_prev / W) * lambda_prev * (a sgn(beta_prev_j) +
// (1 - a) beta_prev_j), into its objective and gradient: the past batches'
// loss gradient there balances the penalty they were fitted with, so the
// stream's objective holds the penalty once.
struct PenaltyRule {
  Penalty penalty;
  // How callers name it.
  const char* name;
  // The level lambda_value of an update, from lambda_scale, tau, ln m
  // (m = max(n_features_in, 2)) and the combined weight W.
  double (*level)(double lambda_scale, double tau, double log_m, double total_weight);
  // Whether the objective has the L1 term a * sum |beta_j|: the reported
  // objective then adds it, and the solver must handle its kink.
  bool l1_term;
  // Whether the objective has the smooth term 1/2 (1 - a) sum beta_j^2,
  // which the surrogate objective, the gradient and the Newton matrix hold.
  bool l2_term;
  // Whether the caller sets a (l1_ratio); otherwise it is fixed_l1_share.
  bool takes_l1_ratio;
  double fixed_l1_share;
  // The solver run when the caller names none, and every one it accepts.
  PenaltySolver default_solver;
  std::uint8_t solvers;
  // Whether X^T psi is summed in row slots at every width above the row
  // threshold, never by columns: the results under this penalty are fixed
  // in the row form.
  bool row_slot_gradient;

  bool carries() const { return l1_term || l2_term; }
  bool accepts(PenaltySolver solver) const { return (solvers & solver_bit(solver)) != 0; }
};

namespace penalty_level {

inline double zero(double /*lambda_scale*/, double /*tau*/, double /*log_m*/, double /*total_weight*/) {
  return 0.0;
}

// (lambda_scale * tau) * sqrt(ln m / W).
inline double scaled(double lambda_scale, double tau, double log_m, double total_weight) {
  return (lambda_scale * tau) * std::sqrt(log_m / total_weight);
}

// lambda_scale itself: the caller's fixed level.
inline double constant(double lambda_scale, double /*tau*/, double /*log_m*/, double /*total_weight*/) {
  return lambda_scale;
}

}  // namespace penalty_level

// Indexed by the enum's value.
inline constexpr PenaltyRule PENALTY_RULES[] = {
    {.penalty = Penalty::none, .name = "none", .level = penalty_level::zero, .l1_term = false, .l2_term = false,
     .takes_l1_ratio = false, .fixed_l1_share = 1.0, .default_solver = PenaltySolver::newton,
     .solvers = solver_bit(PenaltySolver::newton), .row_slot_gradient = false},
    {.penalty = Penalty::l1, .name = "l1", .level = penalty_level::scaled, .l1_term = true, .l2_term = false,
     .takes_l1_ratio = false, .fixed_l1_share = 1.0, .default_solver = PenaltySolver::proximal_l1,
     .solvers = solver_bit(PenaltySolver::proximal_l1) | solver_bit(PenaltySolver::coordinate),
     .row_slot_gradient = true},
    {.penalty = Penalty::l2, .name = "l2", .level = penalty_level::constant, .l1_term = false, .l2_term = true,
     .takes_l1_ratio = false, .fixed_l1_share = 0.0, .default_solver = PenaltySolver::newton,
     .solvers = solver_bit(PenaltySolver::newton), .row_slot_gradient = false},
    {.penalty = Penalty::elasticnet, .name = "elasticnet", .level = penalty_level::constant, .l1_term = true,
     .l2_term = true, .takes_l1_ratio = true, .fixed_l1_share = 0.0, .default_solver = PenaltySolver::coordinate,
     .solvers = solver_bit(PenaltySolver::coordinate) | solver_bit(PenaltySolver::proximal_l1),
     .row_slot_gradient = false},
};

consteval bool rules_follow_the_enum() {
  for (std::size_t i = 0; i < std::size(PENALTY_RULES); ++i) {
    if (static_cast<std::size_t>(PENALTY_RULES[i].penalty) != i) return false;
  }
  return true;
}
static_assert(rules_follow_the_enum(), "PENALTY_RULES lists the penalties in the order of their values");

inline const PenaltyRule& penalty_rule(Penalty penalty) {
  const auto index = static_cast<std::size_t>(penalty);
  if (index >= std::size(PENALTY_RULES)) throw InternalFault("unknown penalty");
  return PENALTY_RULES[index];
}

// The penalty whose name is_named(const char*) accepts, tried in table
// order, or nothing.
template <class IsNamed>
std::optional<Penalty> find_penalty(IsNamed&& is_named) {
  for (const PenaltyRule& rule : PENALTY_RULES) {
    if (is_named(rule.name)) return rule.penalty;
  }
  return std::nullopt;
}

// The same for the solvers, by SOLVER_NAMES.
template <class IsNamed>
std::optional<PenaltySolver> find_solver(IsNamed&& is_named) {
  for (std::size_t i = 0; i < std::size(SOLVER_NAMES); ++i) {
    if (is_named(SOLVER_NAMES[i])) return static_cast<PenaltySolver>(i);
  }
  return std::nullopt;
}

inline const char* solver_name(PenaltySolver solver) {
  const auto index = static_cast<std::size_t>(solver);
  if (index >= std::size(SOLVER_NAMES)) throw InternalFault("unknown solver");
  return SOLVER_NAMES[index];
}

// The proximal step of the L1 term: soft-thresholding,
// sgn(z) * max(|z| - threshold, 0), where a NaN excess counts as 0.
template <std::floating_point T>
constexpr T soft_threshold(T z, T threshold) {
  const T excess = std::abs(z) - threshold;
  return sgn(z) * (excess > T(0) ? excess : T(0));
}

}  // namespace vintrel::core
