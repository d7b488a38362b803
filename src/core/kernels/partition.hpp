// How row passes are split over the pool: thresholds, slot counts, slot row
// ranges, the ordered reduction, and the two parallel pass shapes.
#pragma once

#include <algorithm>
#include <array>
#include <concepts>
#include <cstdint>
#include <mutex>
#include <optional>
#include <span>
#include <utility>

#include <oneapi/tbb/blocked_range.h>
#include <oneapi/tbb/parallel_for.h>
#include <oneapi/tbb/task_group.h>

#include "core/error.hpp"

namespace vintrel::core {

inline constexpr std::uint64_t ROW_PARALLEL_MIN_ELEMENTS = 1'000'000;
inline constexpr std::uint64_t GRAM_PARALLEL_MIN_WORK = 16'000'000;
inline constexpr std::uint64_t GRAM_PARTIALS_BUDGET_BYTES = 67'108'864;
inline constexpr std::uint64_t GRAM_MATRIX_MAX_BYTES = 33'554'432;
inline constexpr std::uint64_t GRAM_BLOCK_ROWS = 256;

// Throws InternalFault when a kernel is handed buffers that the workspace
// sizing and batch validation rule out: a bug, never a user error.
inline void check_invariant(bool holds, const char* what) {
  if (!holds) throw InternalFault(what);
}

// Whether a row pass over n rows of width p runs on the pool; a product that
// overflows counts as above every threshold.
bool rows_are_parallel(std::uint64_t n, std::uint64_t p);

// Gram slots G: zero unless one p x p matrix fits in 32 MiB and n*p*p reaches
// the Gram threshold; then as many as the 64 MiB budget, the workers and
// the rows allow.
std::uint64_t gram_slot_count(std::uint64_t n, std::uint64_t p, std::uint64_t workers,
                              std::size_t scalar_size);

// Gradient slots S: zero below the row threshold, else min(n, workers).
std::uint64_t gradient_slot_count(std::uint64_t n, std::uint64_t p, std::uint64_t workers);

// Elements between the gradient partials of two slots: p rounded up to a
// cache line, plus one line, since the slots write their areas row by row.
std::uint64_t gradient_partial_stride(std::uint64_t p, std::size_t scalar_size);

// Rows [first, second) of slot k out of K: ceil(n/K) rows each, trailing
// slots possibly empty.
std::pair<std::uint64_t, std::uint64_t> slot_rows(std::uint64_t n, std::uint64_t slots, std::uint64_t k);

// The partial results of one slot pass. The slot count K is fixed when the
// workspace is sized and decides every bit of the result; the storage holds
// areas for the slots that can run at once, `stride` elements apart, of
// which the first `width` carry a partial. Padding the stride keeps slots
// that write their area row by row off each other's cache lines.
template <std::floating_point T>
struct SlotPartials {
  std::uint64_t slots = 0;
  std::uint64_t width = 0;
  std::uint64_t stride = 0;
  std::span<T> storage;

  std::uint64_t areas() const { return stride == 0 ? 0 : storage.size() / stride; }
  std::span<T> area(std::uint64_t index) const { return storage.subspan(index * stride, width); }
};

// Areas a pass of K slots needs when W threads can run at once: one per slot
// while the slots all fit, else W for a wave of slots plus one that carries
// the running sum between waves.
std::uint64_t partial_areas(std::uint64_t slots, std::uint64_t running_threads);

// Slots that run at once with that many areas: all of them, or one wave.
std::uint64_t slots_at_once(std::uint64_t slots, std::uint64_t areas);

// target = 0, then slot 0, 1, ..., K-1 added element-wise in that order.
template <std::floating_point T>
void reduce_slots(const SlotPartials<T>& partials, std::span<T> target);

// The output-parallel pass over the rows of an n x p design: calls
// body(first, last) over pieces that cover [0, n), the whole range on the
// calling thread below the row threshold, else the pieces of one parallel
// loop with the default adaptive partitioner on the arena the caller is
// serving. Each output must depend on its own row alone.
template <class Body>
void output_parallel_rows(std::uint64_t n, std::uint64_t p, Body&& body) {
  if (!rows_are_parallel(n, p)) {
    body(std::uint64_t{0}, n);
    return;
  }
  tbb::parallel_for(tbb::blocked_range<std::uint64_t>(0, n),
                    [&](const auto& range) { body(range.begin(), range.end()); });
}

// Runs slot(k) -> Status for k in [first, last) as one parallel loop. After
// a failure the slots not yet started are skipped, and the error of the
// lowest-numbered failing slot is returned.
template <class Slot>
Status slot_pass(std::uint64_t first, std::uint64_t last, Slot&& slot) {
  // Only a failing slot takes the lock, so the pass allocates nothing and
  // the successful path never contends.
  struct SlotError {
    std::uint64_t slot;
    EngineError error;
  };
  std::optional<SlotError> first_error;
  std::mutex error_lock;
  tbb::task_group_context context;
  tbb::parallel_for(
      tbb::blocked_range<std::uint64_t>(first, last, 1),
      [&](const auto& range) {
        for (std::uint64_t k = range.begin(); k != range.end(); ++k) {
          if (context.is_group_execution_cancelled()) return;
          if (Status status = slot(k); !status) {
            {
              std::lock_guard guard(error_lock);
              if (!first_error || k < first_error->slot) first_error = SlotError{k, status.error()};
            }
            context.cancel_group_execution();
            return;
          }
        }
      },
      tbb::auto_partitioner{}, context);
  if (first_error) return fail(first_error->error);
  return {};
}

// One ordered reduction of a slot pass: the slots' partials and the target
// they are summed into.
template <std::floating_point T>
struct SlotReduction {
  SlotPartials<T> partials;
  std::span<T> target;
};

// The slot pass with its ordered reductions: slot(k, piece, areas) -> Status
// writes the complete partials of slot k into areas[0], areas[1], ... (one
// per reduction, all with the same slot count); `piece` numbers the slots
// running at once, for per-slot scratch. Then each target = 0 + partial 0 +
// partial 1 + ... in slot order. When there are fewer areas than slots the
// slots run in waves and area 0 carries the running sum from wave to wave,
// which adds the partials in the same order, so the bits do not depend on
// the number of areas. On failure the targets are left untouched.
template <std::floating_point T, std::size_t N, class Slot>
Status reduce_slot_pass(const std::array<SlotReduction<T>, N>& reductions, Slot&& slot) {
  static_assert(N >= 1);
  const std::uint64_t slots = reductions[0].partials.slots;
  const std::uint64_t areas = reductions[0].partials.areas();
  for (const SlotReduction<T>& reduction : reductions) {
    const SlotPartials<T>& partials = reduction.partials;
    check_invariant(partials.slots == slots && partials.areas() == areas && partials.width <= partials.stride &&
                        reduction.target.size() == partials.width,
                    "slot partials do not match their target");
  }
  const auto areas_at = [&](std::uint64_t index) {
    std::array<std::span<T>, N> spans;
    for (std::size_t i = 0; i < N; ++i) spans[i] = reductions[i].partials.area(index);
    return spans;
  };
  if (areas >= slots) {
    Status status = slot_pass(0, slots, [&](std::uint64_t k) { return slot(k, k, areas_at(k)); });
    if (!status) return status;
    for (const SlotReduction<T>& reduction : reductions) reduce_slots(reduction.partials, reduction.target);
    return {};
  }
  check_invariant(areas >= 2, "a slot pass in waves needs a running-sum area and one slot area");
  for (const SlotReduction<T>& reduction : reductions) {
    const std::span<T> sum = reduction.partials.area(0);
    std::fill(sum.begin(), sum.end(), T(0));
  }
  const std::uint64_t wave = areas - 1;
  for (std::uint64_t start = 0; start < slots; start += wave) {
    const std::uint64_t end = std::min(slots, start + wave);
    Status status = slot_pass(start, end, [&](std::uint64_t k) {  // piece k - start, area 1 + k - start
      return slot(k, k - start, areas_at(1 + k - start));
    });
    if (!status) return status;
    for (const SlotReduction<T>& reduction : reductions) {
      const std::span<T> sum = reduction.partials.area(0);
      for (std::uint64_t k = start; k < end; ++k) {
        const std::span<const T> partial = reduction.partials.area(1 + k - start);
        for (std::uint64_t j = 0; j < sum.size(); ++j) sum[j] = sum[j] + partial[j];
      }
    }
  }
  for (const SlotReduction<T>& reduction : reductions) {
    const std::span<const T> sum = reduction.partials.area(0);
    std::copy(sum.begin(), sum.end(), reduction.target.begin());
  }
  return {};
}

// The same for a single reduction: slot(k, piece, area) -> Status.
template <std::floating_point T, class Slot>
Status reduce_slot_pass(const SlotPartials<T>& partials, std::span<T> target, Slot&& slot) {
  return reduce_slot_pass(std::array{SlotReduction<T>{partials, target}},
                          [&](std::uint64_t k, std::uint64_t piece, const std::array<std::span<T>, 1>& areas) {
                            return slot(k, piece, areas[0]);
                          });
}

}  // namespace vintrel::core
