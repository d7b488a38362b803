// Worker pools: an engine's private task arena, or oneTBB's default arena
// (the process-wide pool) for engines without one.
#pragma once

#include <memory>
#include <utility>

#include <oneapi/tbb/task_arena.h>

namespace vintrel::core {

class ThreadNamer;

// A private arena whose threads carry the name "vintrel-cpu-<slot>" while
// they serve it and get their previous name back when they leave.
class EnginePool {
 public:
  // Concurrency is clamped to [1, 65535].
  explicit EnginePool(long long concurrency);
  ~EnginePool();
  EnginePool(const EnginePool&) = delete;
  EnginePool& operator=(const EnginePool&) = delete;

  int concurrency() const { return concurrency_; }

  // Runs the request inside the arena and returns its result; an exception
  // thrown on any thread of the arena comes out here.
  template <class F>
  auto run(F&& request) -> decltype(request()) {
    return arena_.execute(std::forward<F>(request));
  }

 private:
  int concurrency_;
  tbb::task_arena arena_;
  std::unique_ptr<ThreadNamer> namer_;
};

// Workers available to parallel loops started from the calling thread: the
// concurrency of the arena it is serving, else of the default arena.
int current_concurrency();

// Threads that can actually work at once in those loops: an arena may have
// more slots than the process is allowed threads, and the surplus slots
// stay empty.
int running_threads();

// Runs a request on the engine's private pool when it has one, otherwise on
// the calling thread, whose parallel loops then use the default arena.
template <class F>
auto run_in_engine_pool(EnginePool* pool, F&& request) -> decltype(request()) {
  if (pool != nullptr) return pool->run(std::forward<F>(request));
  return request();
}

}  // namespace vintrel::core
