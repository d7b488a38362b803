#include "core/kernels/gram.hpp"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <string_view>
#include <vector>

#include <oneapi/tbb/blocked_range.h>
#include <oneapi/tbb/parallel_for.h>

#include "core/blas.hpp"
#include "core/kernels/objective.hpp"
#include "core/kernels/partition.hpp"
#include "core/kernels/vector.hpp"
#include "core/numeric.hpp"

namespace vintrel::core {

namespace {

constexpr std::string_view kGemmShapes = "GEMM buffers do not match the declared matrix shapes";
constexpr std::string_view kScratchRow = "weighted row scratch is smaller than one row";
constexpr std::string_view kScratchSlot = "weighted row scratch is smaller than one row per Gram worker";

// From this width on (520 bytes per row), and without a penalty, the
// gradient above the row threshold sums by columns: one task per output, no
// scratch, no reduction and the same bits for every pool. Narrower designs
// have too few columns to share out and split their rows into slots.
template <std::floating_point T>
constexpr std::uint64_t COLUMN_GRADIENT_MIN_WIDTH = sizeof(T) == 8 ? 65 : 129;

// Keeps software prefetches a fixed distance ahead of a sequential read of
// the design. A single core reads a stream from memory at about half the
// speed it reaches with lines requested this far ahead, and the weighting
// pass is where the Gram first touches each design row.
class ReadAhead {
 public:
  ReadAhead(const void* start, const void* limit)
      : next_(address(start) + kDistance), limit_(std::max(address(limit), address(start))) {}

  // Requests every line up to kDistance bytes past position (never past
  // the limit; a prefetch does not fault, but it should not waste a fill).
  void reached(const void* position) {
    const std::uintptr_t target = std::min(address(position) + kDistance, limit_);
    for (; next_ < target; next_ += kLine) __builtin_prefetch(reinterpret_cast<const void*>(next_), 0, 3);
  }

 private:
  static constexpr std::uintptr_t kDistance = 16 * 1024;  // well inside L1, enough lines in flight
  static constexpr std::uintptr_t kLine = 64;
  static std::uintptr_t address(const void* p) { return reinterpret_cast<std::uintptr_t>(p); }

  std::uintptr_t next_;
  std::uintptr_t limit_;
};

// scratch row i = design row r times m_r, m_r = row weight times sample
// weight, for rows [first, last).
template <std::floating_point T>
void weigh_rows(const BatchView<T>& batch, std::span<const T> row_weights, std::uint64_t first,
                std::uint64_t last, T* scratch, ReadAhead& read_ahead) {
  const std::uint64_t p = batch.cols;
  const T* x = batch.design.data() + first * p;
  const T* sample_weight = batch.sample_weight ? batch.sample_weight->data() : nullptr;
  for (std::uint64_t r = first; r < last; ++r, x += p, scratch += p) {
    read_ahead.reached(x + p);
    const T m = sample_weight ? row_weights[r] * sample_weight[r] : row_weights[r];
    for (std::uint64_t j = 0; j < p; ++j) scratch[j] = x[j] * m;
  }
}

// Rows [first, last) of X^T psi into one p-vector, each element summed in
// row order from zero.
template <std::floating_point T>
void add_scaled_rows(const T* design, std::uint64_t p, const T* psi, std::uint64_t first, std::uint64_t last,
                     std::uint64_t column_begin, std::uint64_t column_end, T* sums) {
  for (std::uint64_t i = first; i < last; ++i) {
    const T* row = design + i * p;
    const T score = psi[i];
    for (std::uint64_t j = column_begin; j < column_end; ++j) sums[j] = sums[j] + row[j] * score;
  }
}

// X^T psi for designs above the row threshold with narrow rows (or under
// the L1 penalty): each slot sums its rows into its own area, and the areas
// are added in slot order.
template <std::floating_point T>
Status scores_by_row_slots(const T* design, std::uint64_t p, std::span<const T> psi, std::uint64_t rows,
                           const SlotPartials<T>& partials, std::span<T> out) {
  check_invariant(partials.slots >= 1, "gradient partials shorter than one slot");
  return reduce_slot_pass(partials, out, [&](std::uint64_t k, std::uint64_t, std::span<T> area) -> Status {
    std::fill(area.begin(), area.end(), T(0));
    const auto [first, last] = slot_rows(rows, partials.slots, k);
    add_scaled_rows(design, p, psi.data(), first, last, 0, p, area.data());
    return {};
  });
}

// X^T psi for wide designs: every output is written by one task and summed
// strictly in row order, so the bits equal the sequential loop's for any
// pool. A task takes a run of adjacent columns and walks the rows once,
// reading a contiguous piece of each row rather than one strided column.
template <std::floating_point T>
void scores_by_columns(const T* design, std::uint64_t p, std::span<const T> psi, std::uint64_t rows,
                       std::span<T> out) {
  tbb::parallel_for(tbb::blocked_range<std::uint64_t>(0, out.size()), [&](const auto& columns) {
    std::fill(out.begin() + static_cast<std::ptrdiff_t>(columns.begin()),
              out.begin() + static_cast<std::ptrdiff_t>(columns.end()), T(0));
    add_scaled_rows(design, p, psi.data(), 0, rows, columns.begin(), columns.end(), out.data());
  });
}

}  // namespace

template <std::floating_point T>
Status gram_gemm(std::span<const T> design_block, std::span<const T> weighted_block, std::uint64_t k,
                 std::uint64_t p, std::span<T> out, bool accumulate) {
  const auto block = checked_mul(k, p);
  const auto matrix = checked_mul(p, p);
  // The library takes 32-bit dimensions; a larger one would be truncated.
  constexpr std::uint64_t max_dimension = static_cast<std::uint64_t>(std::numeric_limits<blasint>::max());
  if (!block || !matrix || p > max_dimension || k > max_dimension) return fail(EngineError::overflow());
  if (out.size() != *matrix || design_block.size() != *block || weighted_block.size() != *block) {
    return fail(EngineError::batch(kGemmShapes));
  }
  // Zeroing first keeps stale or non-finite output out of the result even
  // where a library would scale the old content by a beta of zero, and
  // gives the right answer for an empty block, which the library skips.
  if (!accumulate) std::fill(out.begin(), out.end(), T(0));
  if (k == 0 || p == 0) return {};

  use_single_threaded_blas();
  const auto n = static_cast<blasint>(p);
  Blas<T>::gemm(CblasRowMajor, CblasTrans, CblasNoTrans, n, n, static_cast<blasint>(k), T(1),
                design_block.data(), n, weighted_block.data(), n, accumulate ? T(1) : T(0), out.data(), n);
  return {};
}

template <std::floating_point T>
Status weighted_gram_rows(const BatchView<T>& batch, std::span<const T> row_weights, std::uint64_t first,
                          std::uint64_t last, std::span<T> row_scratch, std::span<T> out) {
  if (first == last) {
    std::fill(out.begin(), out.end(), T(0));
    return {};
  }
  const std::uint64_t p = batch.cols;
  if (row_scratch.size() < p) return fail(EngineError::batch(kScratchRow));
  if (p == 0) return gram_gemm<T>({}, {}, 0, 0, out, false);  // a 0 x 0 Gram, if out agrees
  check_invariant(first < last && last <= batch.design.size() / p && last <= row_weights.size() &&
                      (!batch.sample_weight || last <= batch.sample_weight->size()),
                  "Gram rows past the end of the batch");

  const std::uint64_t block_rows = std::min<std::uint64_t>(row_scratch.size() / p, GRAM_BLOCK_ROWS);
  ReadAhead read_ahead(batch.design.data() + first * p, batch.design.data() + last * p);
  for (std::uint64_t start = first; start < last; start += block_rows) {
    const std::uint64_t k = std::min(last, start + block_rows) - start;
    weigh_rows(batch, row_weights, start, start + k, row_scratch.data(), read_ahead);
    Status status = gram_gemm<T>(batch.design.subspan(start * p, k * p), row_scratch.first(k * p), k, p, out,
                                 start != first);
    if (!status) return status;
  }
  return {};
}

template <std::floating_point T>
Status weighted_gram(const BatchView<T>& batch, std::span<const T> row_weights, std::span<T> row_scratch,
                     const SlotPartials<T>& partials, std::span<T> out) {
  const std::uint64_t n = batch.rows;
  const std::uint64_t p = batch.cols;
  const auto matrix = checked_mul(p, p);
  if (!matrix) return fail(EngineError::overflow());
  check_invariant(row_weights.size() == n && batch.design.size() / std::max<std::uint64_t>(p, 1) == n &&
                      (!batch.sample_weight || batch.sample_weight->size() == n),
                  "Gram row weights do not match the batch");
  const std::uint64_t slots = partials.slots;
  const auto work = checked_mul(n, *matrix);
  if (slots < 2 || (work && *work < GRAM_PARALLEL_MIN_WORK)) {
    return weighted_gram_rows(batch, row_weights, 0, n, row_scratch, out);
  }

  check_invariant(out.size() == *matrix && partials.width == *matrix, "Gram output is not p x p");
  const std::uint64_t pieces = slots_at_once(slots, partials.areas());
  const std::uint64_t scratch_per_slot = pieces == 0 ? 0 : row_scratch.size() / pieces;
  if (scratch_per_slot < p) return fail(EngineError::batch(kScratchSlot));
  return reduce_slot_pass(partials, out, [&](std::uint64_t k, std::uint64_t piece, std::span<T> area) {
    const auto [first, last] = slot_rows(n, slots, k);
    return weighted_gram_rows(batch, row_weights, first, last,
                              row_scratch.subspan(piece * scratch_per_slot, scratch_per_slot), area);
  });
}

template <std::floating_point T>
void fill_scores(const BatchView<T>& batch, double tau, Workspace<T>& workspace) {
  const T clamp = static_cast<T>(tau);
  const std::span<const T> residuals = workspace.residuals;
  const std::span<T> psi = workspace.psi;
  const std::size_t n = psi.size();
  check_invariant(residuals.size() == n, "score buffers do not match the residuals");
  if (batch.sample_weight) {
    const std::span<const T> weights = *batch.sample_weight;
    check_invariant(weights.size() == n, "sample weights do not match the residuals");
    for (std::size_t i = 0; i < n; ++i) psi[i] = huber_score(residuals[i], clamp) * weights[i];
  } else {
    for (std::size_t i = 0; i < n; ++i) psi[i] = huber_score(residuals[i], clamp);
  }
}

template <std::floating_point T>
void fill_curvature(double tau, double bandwidth, Workspace<T>& workspace) {
  const auto ramp = CurvatureRamp<T>::make(tau, bandwidth);
  const std::span<const T> residuals = workspace.residuals;
  const std::span<T> curvature = workspace.curvature;
  const std::size_t n = curvature.size();
  check_invariant(residuals.size() == n, "curvature buffers do not match the residuals");
  for (std::size_t i = 0; i < n; ++i) curvature[i] = smoothed_curvature(residuals[i], ramp);
}

template <std::floating_point T>
Status newton_gradient(const BatchView<T>& batch, std::span<const T> coefficients,
                       const StreamState<T>& state, const FeatureLayout& layout, bool penalized,
                       double total_weight, Workspace<T>& workspace) {
  const std::uint64_t p = batch.cols;
  check_invariant(p != 0, "gradient of a design of width zero");
  const std::span<T> gradient = workspace.gradient;
  const std::span<T> delta = workspace.step_delta;
  check_invariant(gradient.size() == p && delta.size() == p && coefficients.size() == p &&
                      state.coefficients.size() == p && state.information.size() == p * p &&
                      workspace.psi.size() == batch.rows && batch.design.size() / p == batch.rows,
                  "gradient buffers do not match the batch");

  for (std::size_t i = 0; i < p; ++i) delta[i] = coefficients[i] - state.coefficients[i];
  const T carry = static_cast<T>((state.weight_sum / total_weight) * state.previous_lambda);

  // gradient = X^T psi
  const T* design = batch.design.data();
  const std::span<const T> psi = workspace.psi;
  const std::uint64_t rows = batch.rows;
  if (!rows_are_parallel(batch.rows, p)) {
    std::fill(gradient.begin(), gradient.end(), T(0));
    add_scaled_rows(design, p, psi.data(), 0, rows, 0, p, gradient.data());
  } else if (p < COLUMN_GRADIENT_MIN_WIDTH<T> || penalized) {
    Status status = scores_by_row_slots<T>(design, p, psi, rows, gradient_partials(workspace, p), gradient);
    if (!status) return status;
  } else {
    scores_by_columns<T>(design, p, psi, rows, gradient);
  }

  const T weight = static_cast<T>(total_weight);
  const bool carried_penalty = penalized && state.n_samples_seen != 0;
  for (std::uint64_t i = 0; i < p; ++i) {
    const T information_step = dot<T>(std::span<const T>(state.information).subspan(i * p, p), delta);
    T g = (information_step - gradient[i]) / weight;
    if (carried_penalty && !layout.is_intercept(i, p)) g = g - sgn(state.coefficients[i]) * carry;
    gradient[i] = g;
  }
  return {};
}

template <std::floating_point T>
Status newton_system(const BatchView<T>& batch, std::span<const T> coefficients, const StreamState<T>& state,
                     const FeatureLayout& layout, const UpdateConfig& config, double bandwidth,
                     double total_weight, Workspace<T>& workspace) {
  const std::uint64_t p = batch.cols;
  fill_scores(batch, config.tau, workspace);
  fill_curvature<T>(config.tau, bandwidth, workspace);
  Status status = newton_gradient(batch, coefficients, state, layout, config.penalty == Penalty::l1,
                                  total_weight, workspace);
  if (!status) return status;
  status = weighted_gram<T>(batch, workspace.curvature, workspace.row_scratch, gram_partials(workspace, p),
                            workspace.gram);
  if (!status) return status;

  std::span<T> matrix = workspace.newton_matrix;
  check_invariant(matrix.size() == p * p && workspace.gram.size() == p * p && state.information.size() == p * p,
                  "Newton matrix buffers are not p x p");
  const T weight = static_cast<T>(total_weight);
  for (std::size_t k = 0; k < matrix.size(); ++k) matrix[k] = (workspace.gram[k] + state.information[k]) / weight;
  const T ridge = static_cast<T>(config.ridge);
  for (std::uint64_t i = 0; i < p; ++i) matrix[i * (p + 1)] = matrix[i * (p + 1)] + ridge;
  return {};
}

#define VINTREL_INSTANTIATE_GRAM(T)                                                                        \
  template Status gram_gemm<T>(std::span<const T>, std::span<const T>, std::uint64_t, std::uint64_t,        \
                               std::span<T>, bool);                                                         \
  template Status weighted_gram_rows<T>(const BatchView<T>&, std::span<const T>, std::uint64_t,             \
                                        std::uint64_t, std::span<T>, std::span<T>);                         \
  template Status weighted_gram<T>(const BatchView<T>&, std::span<const T>, std::span<T>,                  \
                                   const SlotPartials<T>&, std::span<T>);                                   \
  template void fill_scores<T>(const BatchView<T>&, double, Workspace<T>&);                                 \
  template void fill_curvature<T>(double, double, Workspace<T>&);                                           \
  template Status newton_gradient<T>(const BatchView<T>&, std::span<const T>, const StreamState<T>&,        \
                                     const FeatureLayout&, bool, double, Workspace<T>&);                    \
  template Status newton_system<T>(const BatchView<T>&, std::span<const T>, const StreamState<T>&,          \
                                   const FeatureLayout&, const UpdateConfig&, double, double, Workspace<T>&);

VINTREL_INSTANTIATE_GRAM(float)
VINTREL_INSTANTIATE_GRAM(double)

#undef VINTREL_INSTANTIATE_GRAM

}  // namespace vintrel::core
