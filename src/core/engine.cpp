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
