// The chain of linear solves for a Newton direction: Cholesky (double only,
// numerically symmetric matrices only), LU with partial pivoting, then a
// truncated singular-value solve.
#pragma once

#include <concepts>
#include <cstdint>
#include <span>
#include <vector>

#include "core/error.hpp"

namespace vintrel::core {

template <std::floating_point T>
struct Direction {
  std::vector<T> values;
  bool used_fallback = false;  // obtained from the singular-value step
};

// Solves H d = g for a row-major p x p matrix H.
template <std::floating_point T>
Result<Direction<T>> solve_newton_system(std::span<const T> matrix, std::span<const T> gradient,
                                         std::uint64_t p);

}  // namespace vintrel::core
