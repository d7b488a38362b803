#include "core/kernels/row_simd.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "core/read_ahead.hpp"

namespace vintrel::core {

namespace {

// The trial points of one row are taken together while the row is in the
// first-level cache; Count is fixed at compile time so the loop unrolls.
template <std::floating_point T, std::size_t Bytes, int Count>
[[gnu::always_inline]] inline void residual_rows(const ResidualRows<T>& pass, std::uint64_t first,
                                                 std::uint64_t last) {
  ReadAhead read_ahead(pass.design + first * pass.p, pass.design + last * pass.p);
  for (std::uint64_t i = first; i < last; ++i) {
    const T* x = pass.design + i * pass.p;
    read_ahead.reached(x + pass.p);
    for (int k = 0; k < Count; ++k) {
      pass.outputs[k][i] = pass.target[i] - fixed_order_dot<T, Bytes>(x, pass.coefficients + k * pass.p, pass.p);
    }
  }
}

template <std::floating_point T, std::size_t Bytes>
[[gnu::always_inline]] inline void residual_rows_any(const ResidualRows<T>& pass, std::uint64_t first,
                                                     std::uint64_t last) {
  switch (pass.count) {
    case 1: return residual_rows<T, Bytes, 1>(pass, first, last);
    case 2: return residual_rows<T, Bytes, 2>(pass, first, last);
    case 3: return residual_rows<T, Bytes, 3>(pass, first, last);
    default: return residual_rows<T, Bytes, MAX_TRIAL_POINTS>(pass, first, last);
  }
}

template <std::floating_point T, std::size_t Bytes>
[[gnu::always_inline]] inline void dot_rows(const DotRows<T>& pass, std::uint64_t first, std::uint64_t last) {
  ReadAhead read_ahead(pass.design + first * pass.p, pass.design + last * pass.p);
  for (std::uint64_t i = first; i < last; ++i) {
    const T* x = pass.design + i * pass.p;
    read_ahead.reached(x + pass.p);
    pass.out[i] = fixed_order_dot<T, Bytes>(x, pass.coefficients, pass.p);
  }
}

// One set of entry points per instruction set; the bodies above are inlined
// into each and compiled with its vector width. Eight floats fill only half
// an AVX-512 register, so single precision keeps 32-byte vectors there.
#define VINTREL_ROW_KERNELS(level, bytes, attribute)                                                     \
  template <std::floating_point T>                                                                       \
  attribute void residuals_##level(const ResidualRows<T>& pass, std::uint64_t first, std::uint64_t last) { \
    residual_rows_any<T, std::min<std::size_t>(bytes, 8 * sizeof(T))>(pass, first, last);                \
  }                                                                                                      \
  template <std::floating_point T>                                                                       \
  attribute void dots_##level(const DotRows<T>& pass, std::uint64_t first, std::uint64_t last) {         \
    dot_rows<T, std::min<std::size_t>(bytes, 8 * sizeof(T))>(pass, first, last);                         \
  }

VINTREL_ROW_KERNELS(baseline, 16, )
#if defined(__x86_64__)
VINTREL_ROW_KERNELS(avx2, 32, __attribute__((target("avx2"))))
VINTREL_ROW_KERNELS(avx512, 64, __attribute__((target("avx512f,avx512vl"))))
#else  // other processors run the baseline version under every name
VINTREL_ROW_KERNELS(avx2, 16, )
VINTREL_ROW_KERNELS(avx512, 16, )
#endif

#undef VINTREL_ROW_KERNELS

template <std::floating_point T>
const RowKernels<T> kBaseline{residuals_baseline<T>, dots_baseline<T>};
template <std::floating_point T>
const RowKernels<T> kAvx2{residuals_avx2<T>, dots_avx2<T>};
template <std::floating_point T>
const RowKernels<T> kAvx512{residuals_avx512<T>, dots_avx512<T>};

}  // namespace

bool simd_level_available(SimdLevel level) {
  // The processor checks include the operating system's support for the
  // wider registers.
#if defined(__x86_64__)
  switch (level) {
    case SimdLevel::baseline: return true;
    case SimdLevel::avx2: return __builtin_cpu_supports("avx2");
    case SimdLevel::avx512: return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl");
  }
  return false;
#else
  return level == SimdLevel::baseline;
#endif
}

SimdLevel best_simd_level() {
  for (SimdLevel level : {SimdLevel::avx512, SimdLevel::avx2}) {
    if (simd_level_available(level)) return level;
  }
  return SimdLevel::baseline;
}

std::string_view simd_level_name(SimdLevel level) {
  switch (level) {
    case SimdLevel::baseline: return "baseline";
    case SimdLevel::avx2: return "avx2";
    case SimdLevel::avx512: return "avx512";
  }
  return "unknown";
}

template <std::floating_point T>
const RowKernels<T>& row_kernels(SimdLevel level) {
  switch (level) {
    case SimdLevel::avx512: return kAvx512<T>;
    case SimdLevel::avx2: return kAvx2<T>;
    case SimdLevel::baseline: break;
  }
  return kBaseline<T>;
}

template <std::floating_point T>
const RowKernels<T>& row_kernels() {
  static const RowKernels<T>& best = row_kernels<T>(best_simd_level());
  return best;
}

template const RowKernels<float>& row_kernels<float>(SimdLevel);
template const RowKernels<double>& row_kernels<double>(SimdLevel);
template const RowKernels<float>& row_kernels<float>();
template const RowKernels<double>& row_kernels<double>();

}  // namespace vintrel::core
