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

std::pair<std::uint64_t, std::uint64_t> slot_rows(std::uint64_t n, std::uint64_t slots, std::uint64_t k) {
  const std::uint64_t per_slot = slots == 0 ? n : n / slots + (n % slots != 0);
  const std::uint64_t start = std::min(n, checked_mul(k, per_slot).value_or(n));
  const std::uint64_t end = std::min(n, checked_add(start, per_slot).value_or(n));
  return {start, end};
}

template <std::floating_point T>
void reduce_slots(std::span<const T> partials, std::uint64_t slots, std::uint64_t m, std::span<T> target) {
  check_invariant(m == 0 || partials.size() / m >= slots, "slot partials shorter than their slots");
  std::fill(target.begin(), target.end(), T(0));
  const std::uint64_t width = std::min<std::uint64_t>(m, target.size());
  for (std::uint64_t k = 0; k < slots; ++k) {
    const T* partial = partials.data() + k * m;
    for (std::uint64_t j = 0; j < width; ++j) target[j] = target[j] + partial[j];
  }
}

template void reduce_slots<float>(std::span<const float>, std::uint64_t, std::uint64_t, std::span<float>);
template void reduce_slots<double>(std::span<const double>, std::uint64_t, std::uint64_t, std::span<double>);

}  // namespace vintrel::core
