#include "core/pool.hpp"

#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include <oneapi/tbb/global_control.h>
#include <oneapi/tbb/task_scheduler_observer.h>

namespace vintrel::core {

namespace {

constexpr long long kMaxConcurrency = 65535;
constexpr std::size_t kThreadNameCapacity = 16;  // Linux limit, with the NUL
constexpr std::string_view kNamePrefix = "vintrel-cpu-";

using ThreadName = std::array<char, kThreadNameCapacity>;

// The name a thread should get back when it leaves an engine arena. A new
// Linux thread starts with its creator's name, and pool workers are often
// started by a thread that is serving an engine arena at that moment; such a
// worker arrives with an engine name that was never its own and gets the
// process's default name back instead.
bool name_to_restore(ThreadName& name) {
  if (pthread_getname_np(pthread_self(), name.data(), name.size()) != 0) return false;
  if (!std::string_view(name.data()).starts_with(kNamePrefix)) return true;
  const std::string_view fallback(program_invocation_short_name);
  const std::size_t length = std::min(fallback.size(), kThreadNameCapacity - 1);
  std::copy_n(fallback.data(), length, name.data());
  name[length] = '\0';
  return true;
}

// Renames thread `tid` of this process from `given` to `restored`, unless it
// has already changed its name itself. Goes through /proc by thread id, so a
// thread that has exited meanwhile is simply not found. Allocates nothing: it
// runs in a destructor.
void rename_if_unchanged(pid_t tid, const ThreadName& given, const ThreadName& restored) {
  char path[64];
  std::snprintf(path, sizeof path, "/proc/self/task/%d/comm", static_cast<int>(tid));
  ThreadName current{};
  const int reader = open(path, O_RDONLY | O_CLOEXEC);
  if (reader < 0) return;
  const ssize_t length = read(reader, current.data(), current.size() - 1);
  close(reader);
  if (length <= 0) return;
  current[static_cast<std::size_t>(length) - 1] = '\0';  // drop the newline
  if (std::string_view(current.data()) != std::string_view(given.data())) return;
  const int writer = open(path, O_WRONLY | O_CLOEXEC);
  if (writer < 0) return;
  const ssize_t written = write(writer, restored.data(), std::strlen(restored.data()));
  static_cast<void>(written);
  close(writer);
}

}  // namespace

// Names each thread "vintrel-cpu-<slot>" while it serves the arena and gives
// its previous name back when it leaves. It remembers who occupies each slot:
// workers may linger in the arena after the last request, and once the pool
// is gone no exit notification reaches them, so the destructor renames them.
class ThreadNamer final : public tbb::task_scheduler_observer {
 public:
  ThreadNamer(tbb::task_arena& arena, int slots) : tbb::task_scheduler_observer(arena), occupants_(slots) {
    observe(true);
  }
  ~ThreadNamer() override {
    observe(false);  // returns once no notification is running
    std::lock_guard lock(mutex_);
    for (const Occupant& occupant : occupants_) {
      if (occupant.tid != 0 && occupant.restore) rename_if_unchanged(occupant.tid, occupant.given, occupant.saved);
    }
  }

  void on_scheduler_entry(bool /*is_worker*/) noexcept override {
    const int slot = tbb::this_task_arena::current_thread_index();
    Occupant entering{.tid = gettid()};
    entering.restore = name_to_restore(entering.saved);
    // Linux keeps 15 characters: slots past 999 lose their last digits.
    const std::string name = std::string(kNamePrefix) + std::to_string(slot);
    std::copy_n(name.data(), std::min(name.size(), kThreadNameCapacity - 1), entering.given.data());
    pthread_setname_np(pthread_self(), entering.given.data());
    std::lock_guard lock(mutex_);
    if (slot >= 0 && static_cast<std::size_t>(slot) < occupants_.size()) occupants_[slot] = entering;
  }

  void on_scheduler_exit(bool /*is_worker*/) noexcept override {
    const int slot = tbb::this_task_arena::current_thread_index();
    std::lock_guard lock(mutex_);
    if (slot < 0 || static_cast<std::size_t>(slot) >= occupants_.size()) return;
    Occupant& leaving = occupants_[slot];
    if (leaving.tid != gettid()) return;
    if (leaving.restore) pthread_setname_np(pthread_self(), leaving.saved.data());
    leaving = Occupant{};
  }

 private:
  struct Occupant {
    pid_t tid = 0;  // 0 while the slot is free
    bool restore = false;
    ThreadName given{};
    ThreadName saved{};
  };

  std::mutex mutex_;
  std::vector<Occupant> occupants_;  // one per arena slot, sized up front
};

EnginePool::EnginePool(long long concurrency)
    : concurrency_(static_cast<int>(std::clamp(concurrency, 1LL, kMaxConcurrency))),
      arena_(concurrency_),
      namer_(nullptr) {
  arena_.initialize();
  namer_ = std::make_unique<ThreadNamer>(arena_, concurrency_);
}

EnginePool::~EnginePool() {
  namer_.reset();
  // Workers leave on their own; the engine does not wait for them.
  arena_.terminate();
}

int current_concurrency() { return tbb::this_task_arena::max_concurrency(); }

int running_threads() {
  const auto allowed = tbb::global_control::active_value(tbb::global_control::max_allowed_parallelism);
  return static_cast<int>(std::min<std::size_t>(static_cast<std::size_t>(std::max(current_concurrency(), 1)), allowed));
}

}  // namespace vintrel::core
