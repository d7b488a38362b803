// Raw features in the caller's units turned into the engine's design:
// z_ij = (x_ij - c_j) * s_j with c_j the centre and s_j = 1 / scale_j, both
// rounded to the engine's precision, and the intercept column, when fitted,
// exactly 1. Each element is one subtraction and one multiplication in T,
// so the design has the bits of the same arithmetic done element-wise in
// NumPy.
#pragma once

#include <concepts>
#include <cstdint>
#include <span>

#include "core/error.hpp"
#include "core/types.hpp"

namespace vintrel::core {

// In this order: x_center, then x_scale, has n_features_in values; every
// centre is finite; every scale is finite and positive. Batch errors.
Status check_feature_units(const FeatureUnits& units, std::uint64_t n_features_in);

// The centre and inverse scale of each of the p design columns: for the k
// features c_j = T(center_j) and s_j = T(1.0 / scale_j), the division in
// double; for the intercept column (p = k + 1) 0 and 1.
template <std::floating_point T>
void fill_column_units(const FeatureUnits& units, std::span<T> center, std::span<T> inverse_scale);

// Rows [first, last) of a raw design k wide into `out`, which holds those
// rows p wide from its start (p = k, or k + 1 with the intercept last).
template <std::floating_point T>
void standardize_rows(std::span<const T> raw, std::uint64_t k, std::span<const T> center,
                      std::span<const T> inverse_scale, std::uint64_t first, std::uint64_t last, std::span<T> out);

// The whole n-row raw design into `out` (n x p), split over the pool from
// the row threshold on; every element depends on its own input alone, so
// the bits do not depend on the split.
template <std::floating_point T>
void standardize_design(std::span<const T> raw, std::uint64_t n, std::uint64_t k, std::span<const T> center,
                        std::span<const T> inverse_scale, std::span<T> out);

}  // namespace vintrel::core
