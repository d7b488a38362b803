#include "core/kernels/partition.hpp"

#include <algorithm>

#include "core/numeric.hpp"

namespace vintrel::core {

bool rows_are_parallel(std::uint64_t n, std::uint64_t p) {
  const auto elements = checked_mul(n, p);
  return !elements || *elements >= ROW_PARALLEL_MIN_ELEMENTS;
}

std::uint64_t gram_slot_count(std::uint64_t n, std::uint64_t p, std::uint64_t workers,
                              std::size_t scalar_size) {
  const auto matrix = checked_mul(p, p);
  const std::uint64_t max_elements = GRAM_MATRIX_MAX_BYTES / scalar_size;
  if (!matrix || *matrix > max_elements) return 0;
  const auto work = checked_mul(*matrix, n);
  if (work && *work < GRAM_PARALLEL_MIN_WORK) return 0;
  const std::uint64_t matrix_bytes = *matrix * scalar_size;  // <= 32 MiB here
  if (matrix_bytes == 0) return 0;
  return std::min({GRAM_PARTIALS_BUDGET_BYTES / matrix_bytes, workers, n});
}

std::uint64_t gradient_slot_count(std::uint64_t n, std::uint64_t p, std::uint64_t workers) {
  if (!rows_are_parallel(n, p)) return 0;
  return std::min(n, workers);
}

std::uint64_t gradient_partial_stride(std::uint64_t p, std::size_t scalar_size) {
  const std::uint64_t line = 64 / scalar_size;
  return (p + line - 1) / line * line + line;
}

std::pair<std::uint64_t, std::uint64_t> slot_rows(std::uint64_t n, std::uint64_t slots, std::uint64_t k) {
  const std::uint64_t per_slot = slots == 0 ? n : n / slots + (n % slots != 0);
  const std::uint64_t start = std::min(n, checked_mul(k, per_slot).value_or(n));
  const std::uint64_t end = std::min(n, checked_add(start, per_slot).value_or(n));
  return {start, end};
}

std::uint64_t partial_areas(std::uint64_t slots, std::uint64_t running_threads) {
  const std::uint64_t running = std::max<std::uint64_t>(running_threads, 1);
  return slots <= running ? slots : running + 1;
}

std::uint64_t slots_at_once(std::uint64_t slots, std::uint64_t areas) {
  return areas >= slots ? slots : areas - std::min<std::uint64_t>(areas, 1);
}

template <std::floating_point T>
void reduce_slots(const SlotPartials<T>& partials, std::span<T> target) {
  check_invariant(partials.areas() >= partials.slots && target.size() == partials.width,
                  "slot partials shorter than their slots");
  std::fill(target.begin(), target.end(), T(0));
  for (std::uint64_t k = 0; k < partials.slots; ++k) {
    const std::span<const T> partial = partials.area(k);
    for (std::uint64_t j = 0; j < partials.width; ++j) target[j] = target[j] + partial[j];
  }
}

template void reduce_slots<float>(const SlotPartials<float>&, std::span<float>);
template void reduce_slots<double>(const SlotPartials<double>&, std::span<double>);

}  // namespace vintrel::core
