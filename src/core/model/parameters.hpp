// The parameters of the fitted model: as a caller sets them, and as one
// update applies them once its combined weight is known.
#pragma once

#include <cstdint>
#include <optional>

#include "core/error.hpp"
#include "core/model/penalty.hpp"

namespace vintrel::core {

// The Huber threshold, the penalty, the scales of the penalty level and of
// the smoothing bandwidth, the L1 share of a penalty that lets the caller
// set it, and the discount of the past: the update starts from the stored
// information and weight_sum times `discount`.
struct ModelParameters {
  double tau = 0.0;
  Penalty penalty = Penalty::none;
  double lambda_scale = 0.0;
  double bandwidth_scale = 0.0;
  std::optional<double> l1_ratio = std::nullopt;
  double discount = 1.0;
};

// tau, then lambda_scale, then bandwidth_scale, then l1_ratio (given in
// [0, 1] exactly when the penalty takes it), then discount in (0, 1].
Status check_model_parameters(const ModelParameters& parameters);

// The model of one update, as the solvers and kernels use it.
struct UpdateModel {
  double tau = 0.0;
  Penalty penalty = Penalty::none;
  double total_weight = 0.0;  // W, the state's weight_sum plus the batch's
  double bandwidth = 0.0;     // h, the smoothing of the curvature
  double lambda_value = 0.0;  // the penalty level
  double l1_share = 1.0;      // a, the L1 part of the level under a penalty with both terms

  // lambda * a under a penalty with an L1 term, else 0.
  double l1_level() const;
  // lambda * (1 - a) under a penalty with an L2 term, else 0.
  double l2_level() const;

  // The levels for n_features_in features and combined weight W; both
  // depend on the features through ln max(n_features_in, 2).
  static UpdateModel make(const ModelParameters& parameters, std::uint64_t n_features_in, double total_weight);
};

}  // namespace vintrel::core
