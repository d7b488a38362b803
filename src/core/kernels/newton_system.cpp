#include "core/kernels/newton_system.hpp"

#include <algorithm>
#include <cstdint>

#include <oneapi/tbb/blocked_range.h>
#include <oneapi/tbb/parallel_for.h>
#include <oneapi/tbb/partitioner.h>

#include "core/kernels/gram.hpp"
#include "core/kernels/objective.hpp"
#include "core/kernels/partition.hpp"
#include "core/kernels/vector.hpp"
#include "core/numeric.hpp"
#include "core/pool.hpp"
#include "core/read_ahead.hpp"

namespace vintrel::core {

namespace {

// From this width on (520 bytes per row), and unless the penalty keeps the
// row form, the gradient above the row threshold sums by columns: one task
// per output, no scratch, no reduction and the same bits for every pool.
// Narrower designs have too few columns to share out and split their rows
// into slots.
template <std::floating_point T>
constexpr std::uint64_t COLUMN_GRADIENT_MIN_WIDTH = sizeof(T) == 8 ? 65 : 129;

// Rows [first, last) of X^T psi, columns [column_begin, column_end), added
// into sums: each element in row order. The columns of a row are
// independent sums, so they vectorise without changing any result.
template <std::floating_point T>
void add_scaled_rows(const T* __restrict design, std::uint64_t p, const T* __restrict psi, std::uint64_t first,
                     std::uint64_t last, std::uint64_t column_begin, std::uint64_t column_end,
                     T* __restrict sums) {
  const std::uint64_t width = column_end - column_begin;
  T* __restrict out = sums + column_begin;
  // Whole rows stream past in the row forms; a column group touches only
  // its part of each row and leaves the lines to the hardware.
  const bool whole_rows = width == p;
  ReadAhead read_ahead(design + first * p, design + last * p);
  for (std::uint64_t i = first; i < last; ++i) {
    const T* __restrict row = design + i * p + column_begin;
    if (whole_rows) read_ahead.reached(row + p);
    const T score = psi[i];
    for (std::uint64_t j = 0; j < width; ++j) out[j] = out[j] + row[j] * score;
  }
}

// X^T psi for designs above the row threshold with narrow rows (or under a
// penalty that keeps the row form): each slot sums its rows into its own
// area, and the areas are added in slot order.
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
// pool. The columns are cut into one group per worker at cache-line
// boundaries, and each group walks the rows once: every line of the design
// is read by one task, once.
template <std::floating_point T>
void form_xt_psi_by_columns(const T* design, std::uint64_t p, std::span<const T> psi, std::uint64_t rows,
                            std::span<T> out) {
  constexpr std::uint64_t line = 64 / sizeof(T);
  const std::uint64_t lines = (p + line - 1) / line;
  const std::uint64_t groups = std::clamp<std::uint64_t>(static_cast<std::uint64_t>(running_threads()), 1, lines);
  std::fill(out.begin(), out.end(), T(0));
  tbb::parallel_for(
      tbb::blocked_range<std::uint64_t>(0, groups, 1),
      [&](const auto& range) {
        for (std::uint64_t g = range.begin(); g != range.end(); ++g) {
          const std::uint64_t begin = std::min(p, g * lines / groups * line);
          const std::uint64_t end = std::min(p, (g + 1) * lines / groups * line);
          add_scaled_rows(design, p, psi.data(), 0, rows, begin, end, out.data());
        }
      },
      tbb::simple_partitioner{});
}

// The three ways X^T psi is formed. Sequential below the row threshold;
// above it, by columns for wide designs unless the penalty keeps the row
// form, else in row slots. Columns and a single row slot give the
// sequential bits.
enum class XtPsiForm : std::uint8_t { sequential, row_slots, columns };

template <std::floating_point T>
XtPsiForm xt_psi_form(const BatchView<T>& batch, Penalty penalty) {
  if (!rows_are_parallel(batch.rows, batch.cols)) return XtPsiForm::sequential;
  if (batch.cols < COLUMN_GRADIENT_MIN_WIDTH<T> || penalty_rule(penalty).row_slot_gradient) {
    return XtPsiForm::row_slots;
  }
  return XtPsiForm::columns;
}

template <std::floating_point T>
void check_gradient_buffers(const BatchView<T>& batch, std::span<const T> coefficients, const StreamState<T>& state,
                            const Workspace<T>& workspace) {
  const std::uint64_t p = batch.cols;
  check_invariant(p != 0, "gradient of a design of width zero");
  check_invariant(workspace.gradient.size() == p && workspace.step_delta.size() == p && coefficients.size() == p &&
                      state.coefficients.size() == p && state.information.size() == p * p &&
                      workspace.psi.size() == batch.rows && batch.design.size() / p == batch.rows,
                  "gradient buffers do not match the batch");
}

// gradient = X^T psi in the form the batch calls for.
template <std::floating_point T>
Status form_xt_psi(const BatchView<T>& batch, Penalty penalty, Workspace<T>& workspace) {
  const std::uint64_t p = batch.cols;
  const T* design = batch.design.data();
  const std::span<const T> psi = workspace.psi;
  const std::span<T> gradient = workspace.gradient;
  switch (xt_psi_form(batch, penalty)) {
    case XtPsiForm::sequential:
      std::fill(gradient.begin(), gradient.end(), T(0));
      add_scaled_rows(design, p, psi.data(), 0, batch.rows, 0, p, gradient.data());
      return {};
    case XtPsiForm::row_slots:
      return form_xt_psi_in_row_slots<T>(design, p, psi, batch.rows, gradient_partials(workspace, p), gradient);
    case XtPsiForm::columns:
      form_xt_psi_by_columns<T>(design, p, psi, batch.rows, gradient);
      return {};
  }
  return {};
}

// The Gram's weighting pass can form X^T psi too when it sums the rows in
// the same order: a sequential Gram for any form that gives the sequential
// bits, a Gram in slots for row slots that share its slots.
template <std::floating_point T>
bool gram_can_form_xt_psi(const BatchView<T>& batch, Penalty penalty, const Workspace<T>& workspace) {
  const XtPsiForm form = xt_psi_form(batch, penalty);
  if (gram_runs_in_slots(batch.rows, batch.cols, workspace.gram_slots)) {
    return form == XtPsiForm::row_slots && workspace.gradient_slots == workspace.gram_slots;
  }
  return form != XtPsiForm::row_slots || workspace.gradient_slots == 1;
}

// From X^T psi in the gradient buffer to the gradient: step_delta =
// beta - beta_prev, g_i = ((I_prev delta)_i - (X^T psi)_i) / W, less the
// carried penalty where it applies, plus lambda (1 - a) beta_i under an L2
// term; neither touches the intercept.
template <std::floating_point T>
void finish_gradient(std::span<const T> coefficients, const StreamState<T>& state, const FeatureLayout& layout,
                     const UpdateModel& model, Workspace<T>& workspace) {
  const std::uint64_t p = coefficients.size();
  const std::span<T> gradient = workspace.gradient;
  const std::span<T> delta = workspace.step_delta;
  write_coefficient_difference<T>(coefficients, state, delta);
  const T weight = static_cast<T>(model.total_weight);
  const auto carried = CarriedPenalty<T>::make(state, model);
  const bool with_l2 = penalty_rule(model.penalty).l2_term;
  const T l2_level = static_cast<T>(model.l2_level());
  for (std::uint64_t i = 0; i < p; ++i) {
    const T information_step = dot<T>(std::span<const T>(state.information).subspan(i * p, p), delta);
    T g = (information_step - gradient[i]) / weight;
    const bool penalised = !layout.is_intercept(i, p);
    if (carried.applies && penalised) g = g - carried.slope(state.coefficients[i]) * carried.factor;
    if (with_l2 && penalised) g = g + l2_level * coefficients[i];
    gradient[i] = g;
  }
}

}  // namespace

template <std::floating_point T>
Status newton_gradient(const BatchView<T>& batch, std::span<const T> coefficients,
                       const StreamState<T>& state, const FeatureLayout& layout, const UpdateModel& model,
                       Workspace<T>& workspace) {
  check_gradient_buffers(batch, coefficients, state, workspace);
  if (Status status = form_xt_psi(batch, model.penalty, workspace); !status) return status;
  finish_gradient(coefficients, state, layout, model, workspace);
  return {};
}

template <std::floating_point T>
Status gram_and_score_sums(const BatchView<T>& batch, Penalty penalty, Workspace<T>& workspace) {
  const std::uint64_t p = batch.cols;
  check_invariant(p != 0 && workspace.gradient.size() == p && workspace.psi.size() == batch.rows &&
                      batch.design.size() / p == batch.rows,
                  "score sum buffers do not match the batch");
  // X^T psi comes from the Gram's own pass over the design when it can
  // (one read of the design for both), else from a pass of its own.
  const ScoreSums<T> scores{.psi = workspace.psi, .partials = gradient_partials(workspace, p),
                            .out = workspace.gradient};
  const bool gram_forms_xt_psi = gram_can_form_xt_psi(batch, penalty, workspace);
  if (!gram_forms_xt_psi) {
    if (Status status = form_xt_psi(batch, penalty, workspace); !status) return status;
  }
  return weighted_gram<T>(batch, workspace.curvature, workspace.row_scratch, gram_partials(workspace, p),
                          workspace.gram, gram_forms_xt_psi ? &scores : nullptr);
}

template <std::floating_point T>
Status newton_system(const BatchView<T>& batch, std::span<const T> coefficients, const StreamState<T>& state,
                     const FeatureLayout& layout, const UpdateModel& model, double ridge,
                     Workspace<T>& workspace) {
  const std::uint64_t p = batch.cols;
  fill_scores(batch, model.tau, workspace);
  fill_curvature<T>(model.tau, model.bandwidth, workspace);
  check_gradient_buffers(batch, coefficients, state, workspace);
  if (Status status = gram_and_score_sums(batch, model.penalty, workspace); !status) return status;
  finish_gradient(coefficients, state, layout, model, workspace);

  std::span<T> matrix = workspace.newton_matrix;
  check_invariant(matrix.size() == p * p && workspace.gram.size() == p * p && state.information.size() == p * p,
                  "Newton matrix buffers are not p x p");
  const T weight = static_cast<T>(model.total_weight);
  for (std::size_t k = 0; k < matrix.size(); ++k) matrix[k] = (workspace.gram[k] + state.information[k]) / weight;
  const T diagonal = static_cast<T>(ridge);
  for (std::uint64_t i = 0; i < p; ++i) matrix[i * (p + 1)] = matrix[i * (p + 1)] + diagonal;
  // The L2 term's own curvature, on the penalised coefficients only.
  if (penalty_rule(model.penalty).l2_term) {
    const T l2_level = static_cast<T>(model.l2_level());
    for (std::uint64_t i = 0; i < p; ++i) {
      if (!layout.is_intercept(i, p)) matrix[i * (p + 1)] = matrix[i * (p + 1)] + l2_level;
    }
  }
  return {};
}

#define VINTREL_INSTANTIATE_NEWTON_SYSTEM(T)                                                               \
  template Status gram_and_score_sums<T>(const BatchView<T>&, Penalty, Workspace<T>&);                      \
  template Status newton_gradient<T>(const BatchView<T>&, std::span<const T>, const StreamState<T>&,        \
                                     const FeatureLayout&, const UpdateModel&, Workspace<T>&);              \
  template Status newton_system<T>(const BatchView<T>&, std::span<const T>, const StreamState<T>&,          \
                                   const FeatureLayout&, const UpdateModel&, double, Workspace<T>&);

VINTREL_INSTANTIATE_NEWTON_SYSTEM(float)
VINTREL_INSTANTIATE_NEWTON_SYSTEM(double)

#undef VINTREL_INSTANTIATE_NEWTON_SYSTEM

}  // namespace vintrel::core
