#include "core/kernels/vector.hpp"

#include <algorithm>
#include <atomic>
#include <cstring>

#include "core/kernels/partition.hpp"
#include "core/numeric.hpp"

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

// Rows per step of the prediction pass: few enough that their outputs are
// still in cache when they are checked.
constexpr std::uint64_t kPredictStepRows = 2048;

// Predicts rows [first, last) and reports whether they were all finite.
// With finite coefficients, a row holding NaN or an infinity always gives a
// non-finite dot (a non-finite product never sums back to a finite value),
// so only rows with a non-finite prediction need their elements inspected
// and the design is read once rather than twice. A finite row whose dot
// overflows keeps its infinite prediction.
template <std::floating_point T>
bool predict_and_check_rows(std::span<const T> design, std::uint64_t c, std::span<const T> coefficients,
                            std::span<T> out, std::uint64_t first, std::uint64_t last) {
  for (std::uint64_t start = first; start < last; start += kPredictStepRows) {
    const std::uint64_t rows = std::min(kPredictStepRows, last - start);
    const auto block = design.subspan(start * c, rows * c);
    row_dots(block, c, coefficients, out.subspan(start, rows));
    for (std::uint64_t i = 0; i < rows; ++i) {
      if (!is_finite(out[start + i]) && !all_finite(block.subspan(i * c, c))) return false;
    }
  }
  return true;
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

template <std::floating_point T>
Result<std::vector<T>> predict_rows(std::span<const T> design, std::uint64_t n, std::uint64_t c,
                                    std::span<const T> coefficients) {
  if (c != coefficients.size()) return fail(EngineError::batch("invalid prediction shape"));
  const auto elements = checked_mul(n, c);
  if (!elements) return fail(EngineError::overflow());
  if (design.size() != *elements) return fail(EngineError::batch("invalid prediction shape"));
  std::vector<T> predictions(static_cast<std::size_t>(n), T(0));
  // Pieces of the row range go to the pool from 1,000,000 elements on; each
  // output is one dot either way, so the bits do not depend on the split.
  std::atomic<bool> finite_input{true};
  output_parallel_pieces(n, rows_are_parallel(n, c), [&](std::uint64_t first, std::uint64_t last) {
    if (!predict_and_check_rows(design, c, coefficients, std::span<T>(predictions), first, last)) {
      finite_input.store(false, std::memory_order_relaxed);
    }
  });
  if (!finite_input.load()) return fail(EngineError::batch("prediction input must contain only finite values"));
  return predictions;
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
template Result<std::vector<float>> predict_rows<float>(std::span<const float>, std::uint64_t, std::uint64_t,
                                                        std::span<const float>);
template Result<std::vector<double>> predict_rows<double>(std::span<const double>, std::uint64_t, std::uint64_t,
                                                          std::span<const double>);

}  // namespace vintrel::core
