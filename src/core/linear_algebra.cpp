#include "core/linear_algebra.hpp"

#include <mutex>

namespace vintrel::core {

// The library this module links is its own copy, separate from NumPy's, so
// pinning it to one thread leaves NumPy's BLAS alone.
void use_single_threaded_blas() {
  static std::once_flag once;
  std::call_once(once, [] { scipy_openblas_set_num_threads(1); });
}

}  // namespace vintrel::core
