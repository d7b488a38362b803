#include "core/model/parameters.hpp"

#include <algorithm>
#include <cmath>

#include "core/model/huber.hpp"
#include "core/numeric.hpp"

namespace vintrel::core {

Status check_model_parameters(const ModelParameters& parameters) {
  if (!finite_positive(parameters.tau)) return fail(EngineError::configuration("tau must be finite and positive"));
  if (!finite_non_negative(parameters.lambda_scale)) {
    return fail(EngineError::configuration("lambda_scale must be finite and non-negative"));
  }
  if (!finite_positive(parameters.bandwidth_scale)) {
    return fail(EngineError::configuration("bandwidth_scale must be finite and positive"));
  }
  const std::optional<double> ratio = parameters.l1_ratio;
  if (penalty_rule(parameters.penalty).takes_l1_ratio) {
    if (!ratio || !(*ratio >= 0.0 && *ratio <= 1.0)) {
      return fail(EngineError::configuration("l1_ratio must be in [0, 1] under this penalty"));
    }
  } else if (ratio) {
    return fail(EngineError::configuration("l1_ratio does not apply to this penalty"));
  }
  if (!(parameters.discount > 0.0 && parameters.discount <= 1.0)) {
    return fail(EngineError::configuration("discount must be in (0, 1]"));
  }
  return {};
}

UpdateModel UpdateModel::make(const ModelParameters& parameters, std::uint64_t n_features_in,
                              double total_weight) {
  const double log_m = std::log(static_cast<double>(std::max<std::uint64_t>(n_features_in, 2)));
  const PenaltyRule& rule = penalty_rule(parameters.penalty);
  return UpdateModel{
      .tau = parameters.tau,
      .penalty = parameters.penalty,
      .total_weight = total_weight,
      .bandwidth = smoothing_bandwidth(parameters.bandwidth_scale, parameters.tau, total_weight, log_m),
      .lambda_value =
          rule.level(parameters.lambda_scale, parameters.tau, log_m, total_weight),
      .l1_share = rule.takes_l1_ratio ? parameters.l1_ratio.value_or(0.0) : rule.fixed_l1_share,
  };
}

double UpdateModel::l1_level() const {
  return penalty_rule(penalty).l1_term ? lambda_value * l1_share : 0.0;
}

double UpdateModel::l2_level() const {
  return penalty_rule(penalty).l2_term ? lambda_value * (1.0 - l1_share) : 0.0;
}

}  // namespace vintrel::core
