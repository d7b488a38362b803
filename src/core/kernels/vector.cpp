#include "core/kernels/vector.hpp"

#include <algorithm>
#include <cstring>

#include "core/kernels/partition.hpp"

namespace vintrel::core {

namespace {

// The eight accumulators A0..A7 live in 16-byte vectors, the width every
// x86-64 target has: four pairs of doubles or two quadruples of floats.
// Accumulator k is lane k % L of vector k / L, so the association of every
// sum is the one fixed below whatever registers carry it.
template <std::floating_point T>
struct Lanes {
  typedef T type __attribute__((vector_size(16)));
  static constexpr std::size_t width = 16 / sizeof(T);
  static constexpr std::size_t count = 8 / width;
};

// The body of dot over raw pointers, inlined into the row passes so a
// short row costs no call.
template <std::floating_point T>
inline T dot_kernel(const T* a, const T* b, std::size_t n) {
  using L = Lanes<T>;
  using Vector = typename L::type;
  const std::size_t blocks = n / 8;
  T result = T(0);
  if (blocks != 0) {
    Vector acc[L::count] = {};
    for (std::size_t m = 0; m < blocks; ++m) {
      for (std::size_t v = 0; v < L::count; ++v) {
        Vector x;
        Vector y;
        std::memcpy(&x, a + 8 * m + v * L::width, sizeof x);  // unaligned loads
        std::memcpy(&y, b + 8 * m + v * L::width, sizeof y);
        // Product and sum are separate roundings: -ffp-contract=off keeps
        // the compiler from fusing them.
        acc[v] += x * y;
      }
    }
    const auto A = [&](std::size_t k) { return acc[k / L::width][k % L::width]; };
    result = ((A(0) + A(4)) + (A(2) + A(6))) + ((A(1) + A(5)) + (A(3) + A(7)));
  }
  for (std::size_t i = 8 * blocks; i < n; ++i) result = result + a[i] * b[i];
  return result;
}

// The row passes' buffers must match exactly: a sizing bug must fault on
// every path, never be shortened into wrong numbers on the sequential one.
template <std::floating_point T>
void require_rows(std::span<const T> design, std::uint64_t p, std::span<const T> coefficients, std::size_t rows) {
  check_invariant(p != 0, "row pass over a design of width zero");
  check_invariant(coefficients.size() == p && design.size() / p == rows && design.size() % p == 0,
                  "row pass buffers do not match the design");
}

}  // namespace

template <std::floating_point T>
T dot(std::span<const T> a, std::span<const T> b) {
  return dot_kernel(a.data(), b.data(), std::min(a.size(), b.size()));
}

template <std::floating_point T>
void compute_residuals(std::span<const T> design, std::uint64_t p, std::span<const T> target,
                       std::span<const T> coefficients, std::span<T> residuals) {
  require_rows(design, p, coefficients, residuals.size());
  check_invariant(target.size() == residuals.size(), "residual pass buffers do not match the design");
  const T* x = design.data();
  const T* y = target.data();
  const T* beta = coefficients.data();
  T* r = residuals.data();
  output_parallel(residuals.size(), rows_are_parallel(residuals.size(), p),
                  [=](std::uint64_t i) { r[i] = y[i] - dot_kernel(x + i * p, beta, p); });
}

template <std::floating_point T>
void row_dots(std::span<const T> design, std::uint64_t p, std::span<const T> coefficients,
              std::span<T> out) {
  require_rows(design, p, coefficients, out.size());
  const T* x = design.data();
  const T* beta = coefficients.data();
  T* o = out.data();
  output_parallel(out.size(), rows_are_parallel(out.size(), p),
                  [=](std::uint64_t i) { o[i] = dot_kernel(x + i * p, beta, p); });
}

template float dot<float>(std::span<const float>, std::span<const float>);
template double dot<double>(std::span<const double>, std::span<const double>);
template void compute_residuals<float>(std::span<const float>, std::uint64_t, std::span<const float>,
                                       std::span<const float>, std::span<float>);
template void compute_residuals<double>(std::span<const double>, std::uint64_t, std::span<const double>,
                                        std::span<const double>, std::span<double>);
template void row_dots<float>(std::span<const float>, std::uint64_t, std::span<const float>, std::span<float>);
template void row_dots<double>(std::span<const double>, std::uint64_t, std::span<const double>,
                               std::span<double>);

}  // namespace vintrel::core
