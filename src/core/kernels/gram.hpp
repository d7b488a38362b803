// The curvature-weighted Gram matrix of a batch: blocks of weighted rows
// through the matrix multiplication, in slots when the batch is large.
#pragma once

#include <concepts>
#include <cstdint>
#include <span>

#include "core/error.hpp"
#include "core/kernels/partition.hpp"
#include "core/types.hpp"

namespace vintrel::core {

// Whether a GEMM replaces its output or adds to it.
enum class GemmOutput : std::uint8_t { overwrite, accumulate };

// out = D^T S (+ out when accumulating) for k x p row-major blocks D and S
// and a p x p row-major output, through one single-threaded GEMM.
template <std::floating_point T>
Status gram_gemm(std::span<const T> design_block, std::span<const T> weighted_block, std::uint64_t k,
                 std::uint64_t p, std::span<T> out, GemmOutput output);

// X^T psi formed by the pass that weighs the rows for the Gram, so that the
// design is read once for both. Each element is summed in row order from
// zero over the rows of the Gram's pass: over all rows when the Gram runs
// sequentially, into `partials` slot by slot (then added in slot order) when
// it runs in slots, which `partials` must then share with the Gram.
template <std::floating_point T>
struct ScoreSums {
  std::span<const T> psi;
  SlotPartials<T> partials;
  std::span<T> out;
};

// Accumulates rows [first, last) of the batch, weighted by
// row_weights[r] * sample_weight[r], into one p x p matrix, in blocks of at
// most 256 rows through the row scratch piece; with `sums`, adds X^T psi of
// those rows into it in row order.
template <std::floating_point T>
Status weighted_gram_rows(const BatchView<T>& batch, std::span<const T> row_weights, std::uint64_t first,
                          std::uint64_t last, std::span<T> row_scratch, std::span<T> out,
                          const T* psi = nullptr, T* sums = nullptr);

// Whether the Gram of n rows of width p runs as a slot pass with that many
// slots, rather than in one sequential call.
bool gram_runs_in_slots(std::uint64_t n, std::uint64_t p, std::uint64_t slots);

// The whole weighted Gram: sequential, or a slot pass with an ordered
// reduction when the batch is large enough and there are two slots or more.
// The row scratch is shared out among the slots that run at once. With
// `scores`, X^T psi is formed in the same pass.
template <std::floating_point T>
Status weighted_gram(const BatchView<T>& batch, std::span<const T> row_weights, std::span<T> row_scratch,
                     const SlotPartials<T>& partials, std::span<T> out, const ScoreSums<T>* scores = nullptr);

// The workspace's Gram partials, with the slot count it was sized for.
template <std::floating_point T>
SlotPartials<T> gram_partials(Workspace<T>& workspace, std::uint64_t p) {
  return {.slots = workspace.gram_slots, .width = p * p, .stride = p * p, .storage = workspace.gram_partials};
}

}  // namespace vintrel::core
