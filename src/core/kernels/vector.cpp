#include "core/kernels/vector.hpp"

#include <algorithm>
#include <array>
#include <atomic>

#include "core/kernels/partition.hpp"
#include "core/kernels/row_simd.hpp"
#include "core/kernels/standardize.hpp"
#include "core/numeric.hpp"

namespace vintrel::core {

namespace {

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

// Rows standardised per step when predicting from raw features: their
// standardised copy stays in the first-level caches for the dot products.
constexpr std::uint64_t kStandardizeStepRows = 64;

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
  return fixed_order_dot(a.data(), b.data(), std::min(a.size(), b.size()));
}

template <std::floating_point T>
void compute_residuals(std::span<const T> design, std::uint64_t p, std::span<const T> target,
                       std::span<const T> coefficients, std::span<T> residuals) {
  const std::array<std::span<T>, 1> outputs{residuals};
  compute_trial_residuals<T>(design, p, target, coefficients, outputs);
}

template <std::floating_point T>
void compute_trial_residuals(std::span<const T> design, std::uint64_t p, std::span<const T> target,
                             std::span<const T> coefficients, std::span<const std::span<T>> outputs) {
  const std::size_t count = outputs.size();
  check_invariant(count >= 1 && count <= MAX_TRIAL_POINTS && coefficients.size() == count * p,
                  "trial points do not match their residual buffers");
  const std::size_t rows = outputs[0].size();
  require_rows(design, p, coefficients.first(p), rows);
  check_invariant(target.size() == rows, "residual pass buffers do not match the design");
  ResidualRows<T> pass{.design = design.data(), .p = p, .target = target.data(), .coefficients = coefficients.data(),
                       .count = static_cast<int>(count), .outputs = {}};
  for (std::size_t k = 0; k < count; ++k) {
    check_invariant(outputs[k].size() == rows, "residual pass buffers do not match the design");
    pass.outputs[k] = outputs[k].data();
  }
  const auto kernel = row_kernels<T>().residuals;
  output_parallel_rows(rows, p, [&](std::uint64_t first, std::uint64_t last) { kernel(pass, first, last); });
}

template <std::floating_point T>
void row_dots(std::span<const T> design, std::uint64_t p, std::span<const T> coefficients,
              std::span<T> out) {
  require_rows(design, p, coefficients, out.size());
  const DotRows<T> pass{.design = design.data(), .p = p, .coefficients = coefficients.data(), .out = out.data()};
  const auto kernel = row_kernels<T>().dots;
  output_parallel_rows(out.size(), p, [&](std::uint64_t first, std::uint64_t last) { kernel(pass, first, last); });
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
  output_parallel_rows(n, c, [&](std::uint64_t first, std::uint64_t last) {
    if (!predict_and_check_rows(design, c, coefficients, std::span<T>(predictions), first, last)) {
      finite_input.store(false, std::memory_order_relaxed);
    }
  });
  if (!finite_input.load()) return fail(EngineError::batch("prediction input must contain only finite values"));
  return predictions;
}

template <std::floating_point T>
Result<std::vector<T>> predict_rows_in_units(std::span<const T> design, std::uint64_t n, std::uint64_t c,
                                             const FeatureUnits& units, std::span<const T> coefficients) {
  const std::uint64_t k = units.center.size();
  const std::uint64_t p = coefficients.size();
  if (k == 0 || (k != p && k + 1 != p)) {
    return fail(EngineError::batch("x_center length does not match state parameters"));
  }
  if (Status status = check_feature_units(units, k); !status) return fail(status.error());
  if (c != k) return fail(EngineError::batch("invalid prediction shape"));
  const auto elements = checked_mul(n, c);
  if (!elements || !checked_mul(n, p)) return fail(EngineError::overflow());
  if (design.size() != *elements) return fail(EngineError::batch("invalid prediction shape"));
  std::vector<T> center(p);
  std::vector<T> inverse_scale(p);
  fill_column_units<T>(units, center, inverse_scale);
  std::vector<T> predictions(static_cast<std::size_t>(n), T(0));
  std::atomic<bool> finite_input{true};
  output_parallel_rows(n, p, [&](std::uint64_t first, std::uint64_t last) {
    std::vector<T> block(std::min(kStandardizeStepRows, last - first) * p);
    for (std::uint64_t start = first; start < last; start += kStandardizeStepRows) {
      const std::uint64_t rows = std::min(kStandardizeStepRows, last - start);
      const std::span<T> standardized = std::span<T>(block).first(rows * p);
      standardize_rows<T>(design, k, center, inverse_scale, start, start + rows, standardized);
      if (!predict_and_check_rows<T>(standardized, p, coefficients, std::span<T>(predictions).subspan(start, rows), 0,
                                     rows)) {
        finite_input.store(false, std::memory_order_relaxed);
        return;
      }
    }
  });
  if (!finite_input.load()) return fail(EngineError::batch("prediction input must contain only finite values"));
  return predictions;
}

#define VINTREL_INSTANTIATE_VECTOR(T)                                                                      \
  template T dot<T>(std::span<const T>, std::span<const T>);                                               \
  template void compute_residuals<T>(std::span<const T>, std::uint64_t, std::span<const T>,                \
                                     std::span<const T>, std::span<T>);                                    \
  template void compute_trial_residuals<T>(std::span<const T>, std::uint64_t, std::span<const T>,          \
                                           std::span<const T>, std::span<const std::span<T>>);             \
  template void row_dots<T>(std::span<const T>, std::uint64_t, std::span<const T>, std::span<T>);          \
  template Result<std::vector<T>> predict_rows<T>(std::span<const T>, std::uint64_t, std::uint64_t,        \
                                                  std::span<const T>);                                     \
  template Result<std::vector<T>> predict_rows_in_units<T>(std::span<const T>, std::uint64_t, std::uint64_t, \
                                                           const FeatureUnits&, std::span<const T>);

VINTREL_INSTANTIATE_VECTOR(float)
VINTREL_INSTANTIATE_VECTOR(double)

#undef VINTREL_INSTANTIATE_VECTOR

}  // namespace vintrel::core
