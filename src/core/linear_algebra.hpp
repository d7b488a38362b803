// The linear-algebra library, BLAS and LAPACK alike, through one traits
// struct per precision, so kernels and the solve chain stay generic over the
// element type.
#pragma once

#include <cblas.h>
#include <lapacke.h>

namespace vintrel::core {

template <class T>
struct LinearAlgebra;

template <>
struct LinearAlgebra<float> {
  static constexpr auto gemm = &scipy_cblas_sgemm;
  static constexpr auto getrf = &scipy_LAPACKE_sgetrf;
  static constexpr auto getrs = &scipy_LAPACKE_sgetrs;
  static constexpr auto gesvd = &scipy_LAPACKE_sgesvd;
};

template <>
struct LinearAlgebra<double> {
  static constexpr auto gemm = &scipy_cblas_dgemm;
  static constexpr auto potrf = &scipy_LAPACKE_dpotrf;
  static constexpr auto potrs = &scipy_LAPACKE_dpotrs;
  static constexpr auto getrf = &scipy_LAPACKE_dgetrf;
  static constexpr auto getrs = &scipy_LAPACKE_dgetrs;
  static constexpr auto gesvd = &scipy_LAPACKE_dgesvd;
};

// Every BLAS and LAPACK call runs single-threaded inside our own workers:
// parallelism comes from the row slots, and one layer owning the threads
// avoids oversubscription. Safe to call any number of times.
void use_single_threaded_blas();

}  // namespace vintrel::core
