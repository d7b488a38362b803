#include "core/model/huber.hpp"

#include <algorithm>

namespace vintrel::core {

template <std::floating_point T>
CurvatureRamp<T> CurvatureRamp<T>::make(double tau, double bandwidth) {
  const T rounded_tau = static_cast<T>(tau);
  // std::min would keep a NaN tau; the half-width falls back to h then.
  const double tau_wide = static_cast<double>(rounded_tau);
  const T a = static_cast<T>(std::isnan(tau_wide) ? bandwidth : std::min(bandwidth, tau_wide));
  return CurvatureRamp{
      .lower_outer = -rounded_tau - a,
      .lower_inner = -rounded_tau + a,
      .upper_inner = rounded_tau - a,
      .upper_outer = rounded_tau + a,
      .width = T(2) * a,
      .tau = rounded_tau,
  };
}

template struct CurvatureRamp<float>;
template struct CurvatureRamp<double>;

double smoothing_bandwidth(double bandwidth_scale, double tau, double total_weight, double log_m) {
  const double quotient = bandwidth_scale / (std::sqrt(total_weight) * log_m);
  return quotient < tau ? quotient : tau;
}

}  // namespace vintrel::core
