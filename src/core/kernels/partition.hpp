// How row passes are split over the pool: thresholds, slot counts, slot row
// ranges, the ordered reduction, and the two parallel pass shapes.
#pragma once

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
template <std::floating_point T>
inline constexpr std::uint64_t GRAM_MATRIX_MAX_ELEMENTS = GRAM_MATRIX_MAX_BYTES / sizeof(T);
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

// Rows [first, second) of slot k out of K: ceil(n/K) rows each, trailing
// slots possibly empty.
std::pair<std::uint64_t, std::uint64_t> slot_rows(std::uint64_t n, std::uint64_t slots, std::uint64_t k);

// target = 0, then slot 0, 1, ..., K-1 added element-wise in that order.
template <std::floating_point T>
void reduce_slots(std::span<const T> partials, std::uint64_t slots, std::uint64_t m, std::span<T> target);

// Calls body(first, last) over pieces that cover [0, count): the whole range
// on the calling thread when parallel is false, else the pieces of one
// parallel loop with the default adaptive partitioner on the arena the
// caller is serving. Each output must depend on its own index alone.
template <class Body>
void output_parallel_pieces(std::uint64_t count, bool parallel, Body&& body) {
  if (!parallel) {
    body(std::uint64_t{0}, count);
    return;
  }
  tbb::parallel_for(tbb::blocked_range<std::uint64_t>(0, count),
                    [&](const auto& range) { body(range.begin(), range.end()); });
}

// Calls body(i) for i in [0, count), split as output_parallel_pieces does.
template <class Body>
void output_parallel(std::uint64_t count, bool parallel, Body&& body) {
  output_parallel_pieces(count, parallel, [&](std::uint64_t first, std::uint64_t last) {
    for (std::uint64_t i = first; i != last; ++i) body(i);
  });
}

// Runs slot(k) -> Status for k in [0, K) as one parallel loop. After a
// failure the slots not yet started are skipped, and the error of the
// lowest-numbered failing slot is returned; the caller reduces only on
// success, so its target stays untouched on failure.
template <class Slot>
Status slot_pass(std::uint64_t slots, Slot&& slot) {
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
      tbb::blocked_range<std::uint64_t>(0, slots, 1),
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

}  // namespace vintrel::core
