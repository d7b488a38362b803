// The row passes built on the fixed-order dot product, compiled for the
// baseline x86-64 vector width and again for AVX2 and AVX-512, chosen once
// by what the processor offers. Every version keeps the dot product's
// association (eight accumulators, combined as ((A0+A4)+(A2+A6)) +
// ((A1+A5)+(A3+A7)), then the tail in order) and rounds each product before
// it is added, so all of them give the same bits; the wider ones only do it
// in fewer instructions, which pays where a row is short and the pass is
// bound by arithmetic rather than by reading the design.
#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "core/types.hpp"

namespace vintrel::core {

// The eight accumulators A0..A7 of the dot product, carried in vectors of
// `Bytes` each: 16 for the baseline (four pairs of doubles, two quadruples
// of floats), 32 for AVX2, 64 for AVX-512 doubles. Accumulator k is lane
// k % L of vector k / L, so every sum keeps its association whatever
// registers carry it.
template <std::floating_point T, std::size_t Bytes>
struct Accumulators {
  static constexpr std::size_t lanes = Bytes / sizeof(T);
  static constexpr std::size_t vectors = 8 / lanes;
  typedef T type __attribute__((vector_size(Bytes)));
  typedef T half __attribute__((vector_size(Bytes / 2)));
};

// ((A0+A4)+(A2+A6)) + ((A1+A5)+(A3+A7)), by lane-wise additions.
template <std::floating_point T, std::size_t Bytes>
[[gnu::always_inline]] inline T combine_accumulators(
    const typename Accumulators<T, Bytes>::type (&acc)[Accumulators<T, Bytes>::vectors]) {
  using A = Accumulators<T, Bytes>;
  if constexpr (A::lanes == 8) {  // one vector: halves give A_k + A_k+4, then pairs
    using Half = typename A::half;
    typedef T Quarter __attribute__((vector_size(2 * sizeof(T))));
    const Half s = __builtin_shufflevector(acc[0], acc[0], 0, 1, 2, 3) +
                   __builtin_shufflevector(acc[0], acc[0], 4, 5, 6, 7);
    const Quarter t = __builtin_shufflevector(s, s, 0, 1) + __builtin_shufflevector(s, s, 2, 3);
    return t[0] + t[1];
  } else if constexpr (A::lanes == 4) {  // A0..A3 and A4..A7
    using Half = typename A::half;
    const typename A::type s = acc[0] + acc[1];
    const Half t = __builtin_shufflevector(s, s, 0, 1) + __builtin_shufflevector(s, s, 2, 3);
    return t[0] + t[1];
  } else {  // pairs: (A0,A1) (A2,A3) (A4,A5) (A6,A7)
    static_assert(A::lanes == 2);
    const typename A::type t = (acc[0] + acc[2]) + (acc[1] + acc[3]);
    return t[0] + t[1];
  }
}

// Sum of a[i] * b[i] for i < n in the engine's fixed order: eight
// accumulators over blocks of eight, combined as above, then the tail left
// to right. Always inlined, so that it is compiled with the instruction set
// of the function using it.
template <std::floating_point T, std::size_t Bytes = 16>
[[gnu::always_inline]] inline T fixed_order_dot(const T* a, const T* b, std::size_t n) {
  using A = Accumulators<T, Bytes>;
  using Vector = typename A::type;
  const std::size_t blocks = n / 8;
  T result = T(0);
  if (blocks != 0) {
    Vector acc[A::vectors] = {};
    for (std::size_t m = 0; m < blocks; ++m) {
      for (std::size_t v = 0; v < A::vectors; ++v) {
        Vector x;
        Vector y;
        std::memcpy(&x, a + 8 * m + v * A::lanes, sizeof x);  // unaligned loads
        std::memcpy(&y, b + 8 * m + v * A::lanes, sizeof y);
        // Product and sum are separate roundings: -ffp-contract=off keeps
        // the compiler from fusing them, whatever the instruction set offers.
        acc[v] += x * y;
      }
    }
    result = combine_accumulators<T, Bytes>(acc);
  }
  for (std::size_t i = 8 * blocks; i < n; ++i) result = result + a[i] * b[i];
  return result;
}

// r_k[i] = y[i] - dot(x_i, beta_k) for `count` coefficient vectors beta_k,
// stored one after another (count x p), reading each design row once.
template <std::floating_point T>
struct ResidualRows {
  const T* design;
  std::uint64_t p;
  const T* target;
  const T* coefficients;
  int count;
  T* outputs[MAX_TRIAL_POINTS];
};

// out[i] = dot(x_i, beta).
template <std::floating_point T>
struct DotRows {
  const T* design;
  std::uint64_t p;
  const T* coefficients;
  T* out;
};

enum class SimdLevel : std::uint8_t { baseline, avx2, avx512 };

// The row passes of one instruction set, over rows [first, last).
template <std::floating_point T>
struct RowKernels {
  void (*residuals)(const ResidualRows<T>& pass, std::uint64_t first, std::uint64_t last);
  void (*dots)(const DotRows<T>& pass, std::uint64_t first, std::uint64_t last);
};

// The widest level this processor and its operating system support.
SimdLevel best_simd_level();
bool simd_level_available(SimdLevel level);
std::string_view simd_level_name(SimdLevel level);

// The kernels of one level (which must be available), and those of the
// best level, chosen once.
template <std::floating_point T>
const RowKernels<T>& row_kernels(SimdLevel level);
template <std::floating_point T>
const RowKernels<T>& row_kernels();

}  // namespace vintrel::core
