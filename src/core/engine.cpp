#include "core/engine.hpp"

namespace vintrel::core {

namespace {

std::variant<EngineCore<float>, EngineCore<double>> make_core(Dtype dtype, std::uint64_t p) {
  if (dtype == Dtype::float32) return EngineCore<float>(p);
  return EngineCore<double>(p);
}

}  // namespace

Engine::Engine(Dtype dtype, std::uint64_t n_parameters, std::optional<long long> n_threads)
    : dtype_(dtype), n_parameters_(n_parameters), core_(make_core(dtype, n_parameters)) {
  if (n_threads) pool_ = std::make_unique<EnginePool>(*n_threads);
}

int Engine::n_threads() const { return pool_ ? pool_->concurrency() : current_concurrency(); }

}  // namespace vintrel::core

// Placeholders until the driver, prediction and solvers land; they keep the
// library linkable.
namespace vintrel::core {

template <std::floating_point T>
Result<UpdateOutcome<T>> update_stream(Workspace<T>&, const BatchView<T>&, const StreamState<T>&,
                                       const FeatureLayout&, const UpdateConfig&) {
  throw InternalFault("update is not implemented yet");
}

template <std::floating_point T>
Result<std::vector<T>> predict_rows(std::span<const T>, std::uint64_t, std::uint64_t, std::span<const T>) {
  throw InternalFault("predict is not implemented yet");
}

#define VINTREL_INSTANTIATE(T)                                                                              \
  template Result<UpdateOutcome<T>> update_stream<T>(Workspace<T>&, const BatchView<T>&,                    \
                                                     const StreamState<T>&, const FeatureLayout&,           \
                                                     const UpdateConfig&);                                  \
  template Result<std::vector<T>> predict_rows<T>(std::span<const T>, std::uint64_t, std::uint64_t,         \
                                                  std::span<const T>);
VINTREL_INSTANTIATE(float)
VINTREL_INSTANTIATE(double)
#undef VINTREL_INSTANTIATE

}  // namespace vintrel::core
