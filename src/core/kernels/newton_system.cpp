#include "core/kernels/newton_system.hpp"

#include <algorithm>
#include <cstdint>

#include <oneapi/tbb/blocked_range.h>
#include <oneapi/tbb/parallel_for.h>

#include "core/kernels/gram.hpp"
#include "core/kernels/objective.hpp"
#include "core/kernels/partition.hpp"
#include "core/kernels/vector.hpp"
#include "core/numeric.hpp"

namespace vintrel::core {

namespace {

// From this width on (520 bytes per row), and without a penalty, the
// gradient above the row threshold sums by columns: one task per output, no
// scratch, no reduction and the same bits for every pool. Narrower designs
// have too few columns to share out and split their rows into slots.
template <std::floating_point T>
constexpr std::uint64_t COLUMN_GRADIENT_MIN_WIDTH = sizeof(T) == 8 ? 65 : 129;

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
Status form_xt_psi_in_row_slots(const T* design, std::uint64_t p, std::span<const T> psi, std::uint64_t rows,
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
void form_xt_psi_by_columns(const T* design, std::uint64_t p, std::span<const T> psi, std::uint64_t rows,
                       std::span<T> out) {
  tbb::parallel_for(tbb::blocked_range<std::uint64_t>(0, out.size()), [&](const auto& columns) {
    std::fill(out.begin() + static_cast<std::ptrdiff_t>(columns.begin()),
              out.begin() + static_cast<std::ptrdiff_t>(columns.end()), T(0));
    add_scaled_rows(design, p, psi.data(), 0, rows, columns.begin(), columns.end(), out.data());
  });
}

}  // namespace

template <std::floating_point T>
Status newton_gradient(const BatchView<T>& batch, std::span<const T> coefficients,
                       const StreamState<T>& state, const FeatureLayout& layout, Penalty penalty,
                       double total_weight, Workspace<T>& workspace) {
  const std::uint64_t p = batch.cols;
  check_invariant(p != 0, "gradient of a design of width zero");
  const std::span<T> gradient = workspace.gradient;
  const std::span<T> delta = workspace.step_delta;
  check_invariant(gradient.size() == p && delta.size() == p && coefficients.size() == p &&
                      state.coefficients.size() == p && state.information.size() == p * p &&
                      workspace.psi.size() == batch.rows && batch.design.size() / p == batch.rows,
                  "gradient buffers do not match the batch");

  write_coefficient_difference<T>(coefficients, state, delta);

  // gradient = X^T psi
  const T* design = batch.design.data();
  const std::span<const T> psi = workspace.psi;
  const std::uint64_t rows = batch.rows;
  if (!rows_are_parallel(batch.rows, p)) {
    std::fill(gradient.begin(), gradient.end(), T(0));
    add_scaled_rows(design, p, psi.data(), 0, rows, 0, p, gradient.data());
  } else if (p < COLUMN_GRADIENT_MIN_WIDTH<T> || penalty == Penalty::l1) {
    Status status = form_xt_psi_in_row_slots<T>(design, p, psi, rows, gradient_partials(workspace, p), gradient);
    if (!status) return status;
  } else {
    form_xt_psi_by_columns<T>(design, p, psi, rows, gradient);
  }

  const T weight = static_cast<T>(total_weight);
  const auto carried = CarriedPenalty<T>::make(state, penalty, total_weight);
  for (std::uint64_t i = 0; i < p; ++i) {
    const T information_step = dot<T>(std::span<const T>(state.information).subspan(i * p, p), delta);
    T g = (information_step - gradient[i]) / weight;
    if (carried.applies && !layout.is_intercept(i, p)) g = g - sgn(state.coefficients[i]) * carried.factor;
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
  Status status = newton_gradient(batch, coefficients, state, layout, config.penalty, total_weight, workspace);
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

#define VINTREL_INSTANTIATE_NEWTON_SYSTEM(T)                                                               \
  template Status newton_gradient<T>(const BatchView<T>&, std::span<const T>, const StreamState<T>&,        \
                                     const FeatureLayout&, Penalty, double, Workspace<T>&);                 \
  template Status newton_system<T>(const BatchView<T>&, std::span<const T>, const StreamState<T>&,          \
                                   const FeatureLayout&, const UpdateConfig&, double, double, Workspace<T>&);

VINTREL_INSTANTIATE_NEWTON_SYSTEM(float)
VINTREL_INSTANTIATE_NEWTON_SYSTEM(double)

#undef VINTREL_INSTANTIATE_NEWTON_SYSTEM

}  // namespace vintrel::core
