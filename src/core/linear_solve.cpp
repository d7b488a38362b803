#include "core/linear_solve.hpp"

#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>

#include "core/linear_algebra.hpp"
#include "core/numeric.hpp"

namespace vintrel::core {

namespace {

// A p x p matrix in the column-major layout LAPACK expects; element (i, j)
// keeps its place, so a factorisation sees exactly the row-major H.
template <std::floating_point T>
std::vector<T> column_major_copy(std::span<const T> matrix, std::size_t p) {
  std::vector<T> copy(p * p);
  for (std::size_t i = 0; i < p; ++i) {
    for (std::size_t j = 0; j < p; ++j) copy[i + j * p] = matrix[i * p + j];
  }
  return copy;
}

template <std::floating_point T>
std::vector<T> copy_of(std::span<const T> values) {
  return std::vector<T>(values.begin(), values.end());
}

// Symmetric unless some pair differs by more than 32 p eps times the largest
// entry (at least 1). The Gram is computed in full by a matrix product, so
// its two triangles may differ in the last bits and need this tolerance.
bool is_numerically_symmetric(std::span<const double> matrix, std::size_t p) {
  double scale = 1.0;
  for (const double value : matrix) {
    if (std::abs(value) > scale) scale = std::abs(value);  // NaN never compares greater
  }
  const double threshold = scale * (32.0 * static_cast<double>(p) * std::numeric_limits<double>::epsilon());
  for (std::size_t i = 0; i < p; ++i) {
    for (std::size_t j = 0; j < i; ++j) {
      if (std::abs(matrix[i * p + j] - matrix[j * p + i]) > threshold) return false;
    }
  }
  return true;
}

// L L^T from the lower triangle; potrf refuses a pivot that is zero,
// negative or NaN.
std::optional<std::vector<double>> solve_cholesky(std::span<const double> matrix,
                                                  std::span<const double> gradient, lapack_int p) {
  std::vector<double> factor = column_major_copy(matrix, static_cast<std::size_t>(p));
  if (LinearAlgebra<double>::potrf(LAPACK_COL_MAJOR, 'L', p, factor.data(), p) != 0) return std::nullopt;
  std::vector<double> solution = copy_of(gradient);
  if (LinearAlgebra<double>::potrs(LAPACK_COL_MAJOR, 'L', p, 1, factor.data(), p, solution.data(), p) != 0) {
    return std::nullopt;
  }
  if (!all_finite(solution)) return std::nullopt;
  return solution;
}

// LU with partial pivoting; getrf reports an exactly zero pivot of U as a
// positive info, and the solve is then not attempted.
template <std::floating_point T>
std::optional<std::vector<T>> solve_lu(std::span<const T> matrix, std::span<const T> gradient, lapack_int p) {
  std::vector<T> factor = column_major_copy(matrix, static_cast<std::size_t>(p));
  std::vector<lapack_int> pivots(static_cast<std::size_t>(p));
  if (LinearAlgebra<T>::getrf(LAPACK_COL_MAJOR, p, p, factor.data(), p, pivots.data()) != 0) return std::nullopt;
  std::vector<T> solution = copy_of(gradient);
  if (LinearAlgebra<T>::getrs(LAPACK_COL_MAJOR, 'N', p, 1, factor.data(), p, pivots.data(), solution.data(), p) != 0) {
    return std::nullopt;
  }
  if (!all_finite(solution)) return std::nullopt;
  return solution;
}

// Minimum-norm solve through H = U S V^T, dropping every component whose
// singular value is not above sigma_max * p * eps.
template <std::floating_point T>
Result<std::vector<T>> solve_truncated_svd(std::span<const T> matrix, std::span<const T> gradient,
                                           lapack_int p) {
  const auto n = static_cast<std::size_t>(p);
  std::vector<T> factor = column_major_copy(matrix, n);
  std::vector<T> sigma(n);
  std::vector<T> u(n * n);
  std::vector<T> vt(n * n);
  std::vector<T> superb(n > 1 ? n - 1 : 1);
  if (LinearAlgebra<T>::gesvd(LAPACK_COL_MAJOR, 'A', 'A', p, p, factor.data(), p, sigma.data(), u.data(), p, vt.data(),
                     p, superb.data()) != 0) {
    return fail(EngineError::linear_solve());
  }

  T sigma_max = T(0);
  for (const T s : sigma) sigma_max = sigma_max > s ? sigma_max : s;
  const T threshold = sigma_max * (static_cast<T>(p) * std::numeric_limits<T>::epsilon());

  // c = S^+ U^T g, with the truncated components set to zero.
  std::vector<T> coordinates(n, T(0));
  for (std::size_t i = 0; i < n; ++i) {
    if (!(sigma[i] > threshold)) continue;
    T sum = T(0);
    for (std::size_t k = 0; k < n; ++k) sum = sum + u[k + i * n] * gradient[k];
    coordinates[i] = sum / sigma[i];
  }
  // d = V c.
  std::vector<T> solution(n, T(0));
  for (std::size_t j = 0; j < n; ++j) {
    T sum = T(0);
    for (std::size_t i = 0; i < n; ++i) sum = sum + vt[i + j * n] * coordinates[i];
    solution[j] = sum;
  }
  if (!all_finite(solution)) return fail(EngineError::non_finite());
  return solution;
}

}  // namespace

template <std::floating_point T>
Result<Direction<T>> solve_newton_system(std::span<const T> matrix, std::span<const T> gradient,
                                         std::uint64_t p) {
  if (matrix.size() != p * p || gradient.size() != p) {
    throw InternalFault("Newton system buffers do not match the parameter count");
  }
  // LAPACK here takes 32-bit sizes; a p x p matrix that large could not be
  // held anyway.
  if (p > static_cast<std::uint64_t>(std::numeric_limits<lapack_int>::max())) {
    return fail(EngineError::linear_solve());
  }
  // A NaN or infinite entry can only come from overflowing sums, and no
  // direction is meaningful then. It is refused up front: a factorisation
  // that reads one triangle could skip the bad entry and return a finite
  // but wrong direction, and the library's decomposition of such a matrix
  // is not something to rely on.
  if (!all_finite(matrix)) return fail(EngineError::linear_solve());
  const auto n = static_cast<lapack_int>(p);
  use_single_threaded_blas();

  if constexpr (std::same_as<T, double>) {
    if (is_numerically_symmetric(matrix, p)) {
      if (auto solution = solve_cholesky(matrix, gradient, n)) return Direction<T>{std::move(*solution), false};
    }
  }
  if (auto solution = solve_lu(matrix, gradient, n)) return Direction<T>{std::move(*solution), false};
  auto solution = solve_truncated_svd(matrix, gradient, n);
  if (!solution) return fail(solution.error());
  return Direction<T>{std::move(*solution), true};
}

template Result<Direction<float>> solve_newton_system<float>(std::span<const float>, std::span<const float>,
                                                             std::uint64_t);
template Result<Direction<double>> solve_newton_system<double>(std::span<const double>,
                                                               std::span<const double>, std::uint64_t);

}  // namespace vintrel::core
