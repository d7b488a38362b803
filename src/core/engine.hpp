// The engine record and the update driver: validation, workspace sizing,
// the solve and the new state.
#pragma once

#include <atomic>
#include <concepts>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <variant>
#include <vector>

#include "core/error.hpp"
#include "core/pool.hpp"
#include "core/types.hpp"

namespace vintrel::core {

enum class Dtype : std::uint8_t { float32 = 0, float64 = 1 };

// Whether the p x p information matrix of that precision can be asked of
// the allocator at all: its byte size must fit in a signed size. Checked
// before an engine is built, so an impossible parameter count costs nothing.
bool information_is_addressable(Dtype dtype, std::uint64_t p);

// One precision's estimate and scratch.
template <std::floating_point T>
struct EngineCore {
  explicit EngineCore(std::uint64_t p) : state(StreamState<T>::zeros(p)) {}
  StreamState<T> state;
  Workspace<T> workspace;
};

// Exclusive use (-1) for calls that run with the interpreter lock released,
// shared use (k > 0) for reads. Nothing ever waits on it: a refused caller
// reports the conflict at once.
class BorrowFlag {
 public:
  bool try_exclusive() noexcept {
    std::int64_t expected = 0;
    return word_.compare_exchange_strong(expected, -1, std::memory_order_acquire);
  }
  void release_exclusive() noexcept { word_.store(0, std::memory_order_release); }
  bool try_shared() noexcept {
    std::int64_t current = word_.load(std::memory_order_relaxed);
    do {
      if (current < 0) return false;
    } while (!word_.compare_exchange_weak(current, current + 1, std::memory_order_acquire));
    return true;
  }
  void release_shared() noexcept { word_.fetch_sub(1, std::memory_order_release); }

 private:
  std::atomic<std::int64_t> word_{0};
};

// One engine: fixed precision and parameter count, its estimate and scratch,
// and optionally a private pool.
class Engine {
 public:
  // n_threads, when given, must be positive (the caller checks); it is
  // clamped to the pool library's cap of 65535.
  Engine(Dtype dtype, std::uint64_t n_parameters, std::optional<long long> n_threads);

  Dtype dtype() const { return dtype_; }
  std::uint64_t n_parameters() const { return n_parameters_; }
  bool has_dedicated_thread_pool() const { return pool_ != nullptr; }
  // Workers of the private pool, else of the process-wide pool.
  int n_threads() const;
  EnginePool* pool() { return pool_.get(); }
  BorrowFlag& borrow() { return borrow_; }

  // Calls f with the EngineCore of the engine's precision.
  template <class F>
  decltype(auto) visit(F&& f) { return std::visit(std::forward<F>(f), core_); }
  template <class F>
  decltype(auto) visit(F&& f) const { return std::visit(std::forward<F>(f), core_); }

 private:
  Dtype dtype_;
  std::uint64_t n_parameters_;
  std::variant<EngineCore<float>, EngineCore<double>> core_;
  std::unique_ptr<EnginePool> pool_;
  BorrowFlag borrow_;
};

// What makes a state's scalars or array values unfit, in the order they are
// checked. The update checks the stored state with these (after its shapes)
// and the binding a state being imported, each with its own messages.
enum class StateDefect : std::uint8_t {
  previous_lambda_range,          // not finite and non-negative
  weight_sum_range,               // not finite and non-negative
  weight_sum_zero_after_samples,  // zero while n_samples_seen > 0
  non_finite_array,               // a coefficient or information entry is NaN or infinite
};

// previous_lambda, then weight_sum, then weight_sum against n_samples_seen.
std::optional<StateDefect> state_scalar_defect(std::uint64_t n_samples_seen, double previous_lambda,
                                               double weight_sum);

// Every coefficient, then every information entry, must be finite.
template <std::floating_point T>
std::optional<StateDefect> state_array_defect(std::span<const T> coefficients, std::span<const T> information);

// Folds one batch into a new state; the stored state is only read. With
// `units`, the batch's design holds raw features (n_features_in wide),
// which are standardised into the workspace before the batch checks, so
// the update is the one of the standardised design.
template <std::floating_point T>
Result<UpdateOutcome<T>> update_stream(Workspace<T>& workspace, const BatchView<T>& batch,
                                       const StreamState<T>& state, const FeatureLayout& layout,
                                       const UpdateConfig& config, const FeatureUnits* units = nullptr);

// The batch checks of an update, in their fixed order, the last that
// sample weights, when given, are not all zero: check_batch_shape, then
// batch_weight, then check_batch_values.
template <std::floating_point T>
Status validate_batch(const BatchView<T>& batch, const FeatureLayout& layout);

// At least one row, `width` columns (none when the width overflows), a
// complete matrix and one target per row.
template <std::floating_point T>
Status check_batch_shape(const BatchView<T>& batch, std::optional<std::uint64_t> width);

// Finite design and target, then the sample weights' length and range and
// a positive one among them.
template <std::floating_point T>
Status check_batch_values(const BatchView<T>& batch);

// The batch as the engine's design: `given` itself without units; with
// them, `given` holds raw features in the caller's units, which pass the
// units' checks and the raw shape check (n_features_in wide) and are
// standardised into workspace.standardized_design, which the returned
// batch reads. Its values are checked by the caller.
template <std::floating_point T>
Result<BatchView<T>> standardize_batch(const BatchView<T>& given, const FeatureLayout& layout,
                                       const FeatureUnits* units, Workspace<T>& workspace);

// Sizes every workspace buffer for n rows and p parameters.
template <std::floating_point T>
Status prepare_workspace(Workspace<T>& workspace, std::uint64_t n, std::uint64_t p);

}  // namespace vintrel::core
