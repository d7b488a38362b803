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
  return {};
}

UpdateModel UpdateModel::make(const ModelParameters& parameters, std::uint64_t n_features_in,
                              double total_weight) {
  const double log_m = std::log(static_cast<double>(std::max<std::uint64_t>(n_features_in, 2)));
  return UpdateModel{
      .tau = parameters.tau,
      .penalty = parameters.penalty,
      .total_weight = total_weight,
      .bandwidth = smoothing_bandwidth(parameters.bandwidth_scale, parameters.tau, total_weight, log_m),
      .lambda_value =
          penalty_rule(parameters.penalty).level(parameters.lambda_scale, parameters.tau, log_m, total_weight),
  };
}

}  // namespace vintrel::core
