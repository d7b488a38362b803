// The parameters of the fitted model: as a caller sets them, and as one
// update applies them once its combined weight is known.
#pragma once

#include <cstdint>

#include "core/error.hpp"
#include "core/model/penalty.hpp"

namespace vintrel::core {

// The Huber threshold, the penalty, and the scales of the penalty level and
// of the smoothing bandwidth.
struct ModelParameters {
  double tau = 0.0;
  Penalty penalty = Penalty::none;
  double lambda_scale = 0.0;
  double bandwidth_scale = 0.0;
};

// tau, then lambda_scale, then bandwidth_scale.
Status check_model_parameters(const ModelParameters& parameters);

// The model of one update, as the solvers and kernels use it.
struct UpdateModel {
  double tau = 0.0;
  Penalty penalty = Penalty::none;
  double total_weight = 0.0;  // W, the state's weight_sum plus the batch's
  double bandwidth = 0.0;     // h, the smoothing of the curvature
  double lambda_value = 0.0;  // the penalty level

  // The levels for n_features_in features and combined weight W; both
  // depend on the features through ln max(n_features_in, 2).
  static UpdateModel make(const ModelParameters& parameters, std::uint64_t n_features_in, double total_weight);
};

}  // namespace vintrel::core
