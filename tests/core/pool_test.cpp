#include <gtest/gtest.h>
#include <pthread.h>

#include <array>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include <oneapi/tbb/parallel_for.h>
#include <oneapi/tbb/task_arena.h>

#include "core/engine.hpp"
#include "core/pool.hpp"
#include "update_fixtures.hpp"

namespace vintrel::core {
namespace {

std::string thread_name() {
  std::array<char, 16> name{};
  pthread_getname_np(pthread_self(), name.data(), name.size());
  return name.data();
}

TEST(EnginePoolTest, FaultInsideAParallelRequestReachesTheCaller) {
  EnginePool pool(2);
  const auto request = [] {
    tbb::parallel_for(0, 10'000, [](int i) {
      if (i == 7'777) throw InternalFault("broken invariant");
    });
    return 0;
  };
  try {
    run_in_engine_pool(&pool, request);
    FAIL() << "the fault was swallowed";
  } catch (const InternalFault& fault) {
    EXPECT_STREQ(fault.what(), "broken invariant");
  }
  // The pool keeps serving requests afterwards.
  EXPECT_EQ(run_in_engine_pool(&pool, [] { return 42; }), 42);
}

TEST(EnginePoolTest, ServingThreadsCarryTheSlotNameOnlyWhileServing) {
  pthread_setname_np(pthread_self(), "pool-test-main");
  EnginePool pool(2);
  std::mutex mutex;
  std::set<std::string> mismatches;
  std::set<std::string> seen;
  pool.run([&] {
    tbb::parallel_for(0, 64, [&](int) {
      const std::string name = thread_name();
      const std::string expected = "vintrel-cpu-" + std::to_string(tbb::this_task_arena::current_thread_index());
      std::lock_guard lock(mutex);
      seen.insert(name);
      if (name != expected) mismatches.insert(name + " != " + expected);
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    });
  });
  EXPECT_TRUE(mismatches.empty()) << *mismatches.begin();
  EXPECT_FALSE(seen.empty());
  EXPECT_EQ(thread_name(), "pool-test-main");

  // Without a private pool the request runs on the calling thread, unnamed.
  const auto caller = std::this_thread::get_id();
  run_in_engine_pool(nullptr, [&] {
    EXPECT_EQ(std::this_thread::get_id(), caller);
    EXPECT_EQ(thread_name(), "pool-test-main");
  });
}

// Below the parallel thresholds every pass runs on the requesting thread,
// so arenas of any size give the same bits.
template <class T>
class ArenaIndependenceTest : public ::testing::Test {};
using Precisions = ::testing::Types<float, double>;
TYPED_TEST_SUITE(ArenaIndependenceTest, Precisions);

TYPED_TEST(ArenaIndependenceTest, UpdatesAreBitIdenticalForOneTwoAndThreeWorkers) {
  using T = TypeParam;
  const FeatureLayout layout{5, true};
  const std::vector<double> beta = {1, -1, 0.5, 0, 2, 3};
  auto first = testing::linear_batch<T>(3'000, layout, beta, 1.5, 31);
  auto second = testing::linear_batch<T>(2'500, layout, beta, 1.5, 32);
  for (std::size_t i = 0; i < 2'500; i += 97) second.target[i] = T(50);  // outliers
  for (const Penalty penalty : {Penalty::none, Penalty::l1}) {
    std::vector<StreamState<T>> results;
    for (const int workers : {1, 2, 3}) {
      EnginePool pool(workers);
      results.push_back(pool.run([&] {
        Workspace<T> workspace;
        const UpdateConfig config = testing::default_config(penalty);
        auto one = update_stream(workspace, first.view(), StreamState<T>::zeros(6), layout, config);
        EXPECT_TRUE(one.has_value());
        auto two = update_stream(workspace, second.view(), one->state, layout, config);
        EXPECT_TRUE(two.has_value());
        return two->state;
      }));
    }
    for (std::size_t k = 1; k < results.size(); ++k) {
      EXPECT_TRUE(testing::same_bits(results[k].coefficients, results[0].coefficients));
      EXPECT_TRUE(testing::same_bits(results[k].information, results[0].information));
    }
  }
}

}  // namespace
}  // namespace vintrel::core
