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

enum class Penalty : std::uint8_t { none = 0, l1 = 1 };

// The solver an update runs under a penalty.
enum class PenaltySolver : std::uint8_t { newton, proximal_l1 };

struct PenaltyRule {
  Penalty penalty;
  // How callers name it.
  const char* name;
  // The level lambda_value of an update, from lambda_scale, tau, ln m
  // (m = max(n_features_in, 2)) and the combined weight W.
  double (*level)(double lambda_scale, double tau, double log_m, double total_weight);
  // Whether lambda times the absolute sum of the penalised coefficients is
  // part of the objective. The reported objective then adds it, and the
  // next update carries its subgradient, (W_prev / W) * lambda_prev *
  // sgn(beta_prev), into its objective and gradient.
  bool l1_term;
  // The solver of an update; the proximal L1 solver steps with
  // soft_threshold below.
  PenaltySolver solver;
  // Whether X^T psi is summed in row slots at every width above the row
  // threshold, never by columns: the results under this penalty are fixed
  // in the row form.
  bool row_slot_gradient;
};

namespace penalty_level {

inline double zero(double /*lambda_scale*/, double /*tau*/, double /*log_m*/, double /*total_weight*/) {
  return 0.0;
}

// (lambda_scale * tau) * sqrt(ln m / W).
inline double scaled(double lambda_scale, double tau, double log_m, double total_weight) {
  return (lambda_scale * tau) * std::sqrt(log_m / total_weight);
}

}  // namespace penalty_level

// Indexed by the enum's value.
inline constexpr PenaltyRule PENALTY_RULES[] = {
    {.penalty = Penalty::none, .name = "none", .level = penalty_level::zero, .l1_term = false,
     .solver = PenaltySolver::newton, .row_slot_gradient = false},
    {.penalty = Penalty::l1, .name = "l1", .level = penalty_level::scaled, .l1_term = true,
     .solver = PenaltySolver::proximal_l1, .row_slot_gradient = true},
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

// The proximal step of the L1 term: soft-thresholding,
// sgn(z) * max(|z| - threshold, 0), where a NaN excess counts as 0.
template <std::floating_point T>
constexpr T soft_threshold(T z, T threshold) {
  const T excess = std::abs(z) - threshold;
  return sgn(z) * (excess > T(0) ? excess : T(0));
}

}  // namespace vintrel::core
