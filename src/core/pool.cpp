#include "core/pool.hpp"

#include <pthread.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <string>
#include <string_view>

#include <oneapi/tbb/task_scheduler_observer.h>

namespace vintrel::core {

namespace {

constexpr long long kMaxConcurrency = 65535;
constexpr std::size_t kThreadNameCapacity = 16;  // Linux limit, with the NUL
constexpr std::string_view kNamePrefix = "vintrel-cpu-";

// The name a thread had before it entered an engine arena. Arenas do not
// nest on one thread, so one saved name per thread is enough.
thread_local std::array<char, kThreadNameCapacity> saved_name{};
thread_local bool has_saved_name = false;

// Remembers the calling thread's name for its return. A new Linux thread
// starts with its creator's name, and pool workers are often started by a
// thread that is serving an engine arena at that moment; such a worker
// arrives with an engine name that was never its own and gets the process's
// default name back instead.
void save_thread_name() {
  has_saved_name = pthread_getname_np(pthread_self(), saved_name.data(), saved_name.size()) == 0;
  if (!has_saved_name || !std::string_view(saved_name.data()).starts_with(kNamePrefix)) return;
  const std::string_view fallback(program_invocation_short_name);
  const std::size_t length = std::min(fallback.size(), kThreadNameCapacity - 1);
  std::copy_n(fallback.data(), length, saved_name.data());
  saved_name[length] = '\0';
}

}  // namespace

class ThreadNamer final : public tbb::task_scheduler_observer {
 public:
  explicit ThreadNamer(tbb::task_arena& arena) : tbb::task_scheduler_observer(arena) { observe(true); }
  ~ThreadNamer() override { observe(false); }

  void on_scheduler_entry(bool /*is_worker*/) noexcept override {
    save_thread_name();
    // Linux keeps 15 characters: slots past 999 lose their last digits.
    std::string name = std::string(kNamePrefix) + std::to_string(tbb::this_task_arena::current_thread_index());
    name.resize(std::min(name.size(), kThreadNameCapacity - 1));
    pthread_setname_np(pthread_self(), name.c_str());
  }

  void on_scheduler_exit(bool /*is_worker*/) noexcept override {
    if (has_saved_name) pthread_setname_np(pthread_self(), saved_name.data());
    has_saved_name = false;
  }
};

EnginePool::EnginePool(long long concurrency)
    : concurrency_(static_cast<int>(std::clamp(concurrency, 1LL, kMaxConcurrency))),
      arena_(concurrency_),
      namer_(nullptr) {
  arena_.initialize();
  namer_ = std::make_unique<ThreadNamer>(arena_);
}

EnginePool::~EnginePool() {
  namer_.reset();
  // Workers leave on their own; the engine does not wait for them.
  arena_.terminate();
}

int current_concurrency() { return tbb::this_task_arena::max_concurrency(); }

}  // namespace vintrel::core
