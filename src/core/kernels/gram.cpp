#include "core/kernels/gram.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <limits>
#include <string_view>

#include "core/kernels/partition.hpp"
#include "core/linear_algebra.hpp"
#include "core/numeric.hpp"
#include "core/read_ahead.hpp"

namespace vintrel::core {

namespace {

constexpr std::string_view kGemmShapes = "GEMM buffers do not match the declared matrix shapes";
constexpr std::string_view kScratchRow = "weighted row scratch is smaller than one row";
constexpr std::string_view kScratchSlot = "weighted row scratch is smaller than one row per Gram worker";

// scratch row i = design row r times m_r, m_r = row weight times sample
// weight, for rows [first, last); with `sums`, also sums += x_r * psi_r.
template <std::floating_point T>
void weigh_rows(const BatchView<T>& batch, std::span<const T> row_weights, std::uint64_t first,
                std::uint64_t last, T* __restrict scratch, ReadAhead& read_ahead, const T* psi,
                T* __restrict sums) {
  const std::uint64_t p = batch.cols;
  const T* __restrict x = batch.design.data() + first * p;
  const T* sample_weight = batch.sample_weight ? batch.sample_weight->data() : nullptr;
  for (std::uint64_t r = first; r < last; ++r, x += p, scratch += p) {
    read_ahead.reached(x + p);
    const T m = sample_weight ? row_weights[r] * sample_weight[r] : row_weights[r];
    for (std::uint64_t j = 0; j < p; ++j) scratch[j] = x[j] * m;
    if (sums == nullptr) continue;
    const T score = psi[r];
    for (std::uint64_t j = 0; j < p; ++j) sums[j] = sums[j] + x[j] * score;
  }
}

}  // namespace

template <std::floating_point T>
Status gram_gemm(std::span<const T> design_block, std::span<const T> weighted_block, std::uint64_t k,
                 std::uint64_t p, std::span<T> out, GemmOutput output) {
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
  const bool accumulate = output == GemmOutput::accumulate;
  if (!accumulate) std::fill(out.begin(), out.end(), T(0));
  if (k == 0 || p == 0) return {};

  use_single_threaded_blas();
  const auto n = static_cast<blasint>(p);
  LinearAlgebra<T>::gemm(CblasRowMajor, CblasTrans, CblasNoTrans, n, n, static_cast<blasint>(k), T(1),
                         design_block.data(), n, weighted_block.data(), n, accumulate ? T(1) : T(0), out.data(), n);
  return {};
}

template <std::floating_point T>
Status weighted_gram_rows(const BatchView<T>& batch, std::span<const T> row_weights, std::uint64_t first,
                          std::uint64_t last, std::span<T> row_scratch, std::span<T> out, const T* psi,
                          T* sums) {
  if (first == last) {
    std::fill(out.begin(), out.end(), T(0));
    return {};
  }
  const std::uint64_t p = batch.cols;
  if (row_scratch.size() < p) return fail(EngineError::batch(kScratchRow));
  if (p == 0) return gram_gemm<T>({}, {}, 0, 0, out, GemmOutput::overwrite);  // a 0 x 0 Gram, if out agrees
  check_invariant(first < last && last <= batch.design.size() / p && last <= row_weights.size() &&
                      (!batch.sample_weight || last <= batch.sample_weight->size()),
                  "Gram rows past the end of the batch");

  const std::uint64_t block_rows = std::min<std::uint64_t>(row_scratch.size() / p, GRAM_BLOCK_ROWS);
  ReadAhead read_ahead(batch.design.data() + first * p, batch.design.data() + last * p);
  for (std::uint64_t start = first; start < last; start += block_rows) {
    const std::uint64_t k = std::min(last, start + block_rows) - start;
    weigh_rows(batch, row_weights, start, start + k, row_scratch.data(), read_ahead, psi, sums);
    Status status = gram_gemm<T>(batch.design.subspan(start * p, k * p), row_scratch.first(k * p), k, p, out,
                                 start == first ? GemmOutput::overwrite : GemmOutput::accumulate);
    if (!status) return status;
  }
  return {};
}

bool gram_runs_in_slots(std::uint64_t n, std::uint64_t p, std::uint64_t slots) {
  const auto work = checked_mul(n, checked_mul(p, p).value_or(0));
  return slots >= 2 && (!work || *work >= GRAM_PARALLEL_MIN_WORK);
}

template <std::floating_point T>
Status weighted_gram(const BatchView<T>& batch, std::span<const T> row_weights, std::span<T> row_scratch,
                     const SlotPartials<T>& partials, std::span<T> out, const ScoreSums<T>* scores) {
  const std::uint64_t n = batch.rows;
  const std::uint64_t p = batch.cols;
  const auto matrix = checked_mul(p, p);
  if (!matrix) return fail(EngineError::overflow());
  check_invariant(row_weights.size() == n && batch.design.size() / std::max<std::uint64_t>(p, 1) == n &&
                      (!batch.sample_weight || batch.sample_weight->size() == n) &&
                      (!scores || (scores->psi.size() == n && scores->out.size() == p)),
                  "Gram row weights do not match the batch");
  const std::uint64_t slots = partials.slots;
  if (!gram_runs_in_slots(n, p, slots)) {
    if (scores) std::fill(scores->out.begin(), scores->out.end(), T(0));
    return weighted_gram_rows(batch, row_weights, 0, n, row_scratch, out, scores ? scores->psi.data() : nullptr,
                              scores ? scores->out.data() : nullptr);
  }

  check_invariant(out.size() == *matrix && partials.width == *matrix, "Gram output is not p x p");
  const std::uint64_t pieces = slots_at_once(slots, partials.areas());
  const std::uint64_t scratch_per_slot = pieces == 0 ? 0 : row_scratch.size() / pieces;
  if (scratch_per_slot < p) return fail(EngineError::batch(kScratchSlot));
  const auto scratch_piece = [&](std::uint64_t piece) {
    return row_scratch.subspan(piece * scratch_per_slot, scratch_per_slot);
  };
  if (!scores) {
    return reduce_slot_pass(partials, out, [&](std::uint64_t k, std::uint64_t piece, std::span<T> area) {
      const auto [first, last] = slot_rows(n, slots, k);
      return weighted_gram_rows(batch, row_weights, first, last, scratch_piece(piece), area);
    });
  }
  const std::array reductions{SlotReduction<T>{partials, out}, SlotReduction<T>{scores->partials, scores->out}};
  const auto gram_and_scores = [&](std::uint64_t k, std::uint64_t piece, const std::array<std::span<T>, 2>& areas) {
    const auto [first, last] = slot_rows(n, slots, k);
    std::fill(areas[1].begin(), areas[1].end(), T(0));
    return weighted_gram_rows(batch, row_weights, first, last, scratch_piece(piece), areas[0], scores->psi.data(),
                              areas[1].data());
  };
  return reduce_slot_pass(reductions, gram_and_scores);
}

#define VINTREL_INSTANTIATE_GRAM(T)                                                                        \
  template Status gram_gemm<T>(std::span<const T>, std::span<const T>, std::uint64_t, std::uint64_t,        \
                               std::span<T>, GemmOutput);                                                   \
  template Status weighted_gram_rows<T>(const BatchView<T>&, std::span<const T>, std::uint64_t,             \
                                        std::uint64_t, std::span<T>, std::span<T>, const T*, T*);           \
  template Status weighted_gram<T>(const BatchView<T>&, std::span<const T>, std::span<T>,                  \
                                   const SlotPartials<T>&, std::span<T>, const ScoreSums<T>*);

VINTREL_INSTANTIATE_GRAM(float)
VINTREL_INSTANTIATE_GRAM(double)

#undef VINTREL_INSTANTIATE_GRAM

}  // namespace vintrel::core
