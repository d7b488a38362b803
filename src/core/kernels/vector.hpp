// The engine's one inner product, with a fixed summation order, the row
// passes built on it, and prediction.
#pragma once

#include <concepts>
#include <cstdint>
#include <span>
#include <vector>

#include "core/error.hpp"
#include "core/types.hpp"

namespace vintrel::core {

// Sum of a[i]*b[i] over the shorter length: eight accumulators over blocks
// of eight, combined as ((A0+A4)+(A2+A6))+((A1+A5)+(A3+A7)), then the tail
// left to right. Products are rounded before each addition (no FMA), so the
// bits are the same on every thread and every machine.
template <std::floating_point T>
T dot(std::span<const T> a, std::span<const T> b);

// r_i = y_i - dot(x_i, beta) for a row-major design of width p.
template <std::floating_point T>
void compute_residuals(std::span<const T> design, std::uint64_t p, std::span<const T> target,
                       std::span<const T> coefficients, std::span<T> residuals);

// The same for up to four coefficient vectors at once (count x p, one after
// another), reading each design row once: outputs[k] receives the
// residuals of vector k, each with the bits compute_residuals would give.
template <std::floating_point T>
void compute_trial_residuals(std::span<const T> design, std::uint64_t p, std::span<const T> target,
                             std::span<const T> coefficients, std::span<const std::span<T>> outputs);

// o_i = dot(x_i, beta) for a row-major design of width p.
template <std::floating_point T>
void row_dots(std::span<const T> design, std::uint64_t p, std::span<const T> coefficients,
              std::span<T> out);

// X * coefficients for an n x c design, a fresh buffer of n values, after
// the shape and finiteness checks of a prediction.
template <std::floating_point T>
Result<std::vector<T>> predict_rows(std::span<const T> design, std::uint64_t n, std::uint64_t c,
                                    std::span<const T> coefficients);

// The same for an n x c design of raw features in the caller's units. The
// units give n_features_in (their length), and the intercept is fitted when
// the coefficients have one value more. Checks, in order: that layout
// against the coefficients, the units, then those of predict_rows with c
// against n_features_in and the finiteness of the standardised rows. Rows
// are standardised a block at a time by the task that predicts them, so
// the predictions have the bits of predict_rows on the standardised design.
template <std::floating_point T>
Result<std::vector<T>> predict_rows_in_units(std::span<const T> design, std::uint64_t n, std::uint64_t c,
                                             const FeatureUnits& units, std::span<const T> coefficients);

extern template float dot<float>(std::span<const float>, std::span<const float>);
extern template double dot<double>(std::span<const double>, std::span<const double>);

}  // namespace vintrel::core
