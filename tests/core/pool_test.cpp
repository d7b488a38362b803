#include <gtest/gtest.h>
#include <pthread.h>

#include <array>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <limits>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include <oneapi/tbb/parallel_for.h>
#include <oneapi/tbb/task_arena.h>

#include "core/engine.hpp"
#include "core/kernels/vector.hpp"
#include "core/pool.hpp"
#include "update_fixtures.hpp"

namespace vintrel::core {
namespace {

std::string thread_name() {
  std::array<char, 16> name{};
  pthread_getname_np(pthread_self(), name.data(), name.size());
  return name.data();
}

TEST(EnginePoolTest, FaultOnAWorkerReachesTheCallerAndThePoolGoesOn) {
  EnginePool pool(2);
  const auto faulty = [] {
    tbb::parallel_for(0, 10'000, [](int i) {
      if (i == 7'777) throw InternalFault("broken invariant");
    });
    return 0;
  };
  EXPECT_THROW(run_in_engine_pool(&pool, faulty), InternalFault);
  EXPECT_EQ(run_in_engine_pool(&pool, [] { return 42; }), 42);
}

TEST(EnginePoolTest, ServingThreadsCarryTheSlotNameOnlyWhileServing) {
  pthread_setname_np(pthread_self(), "pool-test-main");
  EnginePool pool(2);
  std::mutex mutex;
  std::set<std::string> wrong;
  pool.run([&] {
    tbb::parallel_for(0, 64, [&](int) {
      const std::string expected = "vintrel-cpu-" + std::to_string(tbb::this_task_arena::current_thread_index());
      std::lock_guard lock(mutex);
      if (thread_name() != expected) wrong.insert(thread_name() + " instead of " + expected);
    });
  });
  EXPECT_TRUE(wrong.empty()) << *wrong.begin();
  EXPECT_EQ(thread_name(), "pool-test-main");
  // A thread started by a serving thread inherits its engine name; it must
  // not keep that name once it leaves, but get the process's default one.
  std::thread([&] {
    pthread_setname_np(pthread_self(), "vintrel-cpu-0");
    pool.run([] {});
    EXPECT_EQ(thread_name(), std::string(program_invocation_short_name).substr(0, 15));
  }).join();
  // Without a private pool the request runs on the calling thread itself.
  const auto caller = std::this_thread::get_id();
  EXPECT_TRUE(run_in_engine_pool(nullptr, [&] { return std::this_thread::get_id() == caller; }));
}

// Workers stay in an arena for a while after its last request; when the pool
// is destroyed then, they must not keep an engine name for good.
TEST(EnginePoolTest, NoThreadKeepsAnEngineNameOnceThePoolIsGone) {
  const auto engine_named_threads = [] {
    std::vector<std::string> named;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
      std::string name;
      std::getline(std::ifstream(task.path() / "comm"), name);
      if (name.starts_with("vintrel-cpu-")) named.push_back(name);
    }
    return named;
  };
  for (int round = 0; round < 20; ++round) {
    EnginePool pool(2);
    pool.run([] {
      tbb::parallel_for(0, 2, [](int) { std::this_thread::sleep_for(std::chrono::milliseconds(2)); });
    });
  }
  EXPECT_EQ(engine_named_threads(), std::vector<std::string>{});
}

template <class T>
class ArenaIndependenceTest : public ::testing::Test {};
TYPED_TEST_SUITE(ArenaIndependenceTest, testing::Precisions);

// Below the parallel thresholds every pass runs on the requesting thread, so
// arenas of any size give the same bits.
TYPED_TEST(ArenaIndependenceTest, TwoUpdatesGiveTheSameBitsOnOneTwoAndThreeWorkers) {
  using T = TypeParam;
  const FeatureLayout layout{5, true};
  const std::vector<double> beta = {1, -1, 0.5, 0, 2, 3};
  auto first = testing::linear_batch<T>(3'000, layout, beta, 1.5, 31);
  auto second = testing::linear_batch<T>(2'500, layout, beta, 1.5, 32);
  for (std::size_t i = 0; i < 2'500; i += 97) second.target[i] = T(50);
  for (const Penalty penalty : {Penalty::none, Penalty::l1}) {
    std::vector<StreamState<T>> states;
    for (const int workers : {1, 2, 3}) {
      states.push_back(EnginePool(workers).run([&] {
        Workspace<T> workspace;
        const UpdateConfig config = testing::default_config(penalty);
        auto one = update_stream(workspace, first.view(), StreamState<T>::zeros(6), layout, config);
        return update_stream(workspace, second.view(), one.value().state, layout, config).value().state;
      }));
    }
    for (const auto& state : states) {
      EXPECT_TRUE(testing::same_bits(state.coefficients, states[0].coefficients));
      EXPECT_TRUE(testing::same_bits(state.information, states[0].information));
    }
  }
}

template <class T>
class PredictTest : public ::testing::Test {};
TYPED_TEST_SUITE(PredictTest, testing::Precisions);

TYPED_TEST(PredictTest, ChecksRunInOrder) {
  using T = TypeParam;
  const T nan = std::numeric_limits<T>::quiet_NaN();
  const EngineError shape = EngineError::batch("invalid prediction shape");
  const EngineError finite = EngineError::batch("prediction input must contain only finite values");
  const std::uint64_t huge = std::uint64_t{1} << 63;
  struct Case {
    std::vector<T> design;
    std::uint64_t n, c;
    EngineError expected;
  };
  const Case cases[] = {
      {{}, 0, 4, shape},                       // width, even without rows
      {{}, huge, 3, EngineError::overflow()},  // n * c
      {std::vector<T>(7, nan), 2, 3, shape},   // element count before finiteness
      {{1, 2, 3, std::numeric_limits<T>::infinity(), 5, nan}, 2, 3, finite},
  };
  const std::vector<T> beta = {2, -1, 1};
  for (const auto& c : cases) EXPECT_EQ(predict_rows<T>(c.design, c.n, c.c, beta), fail(c.expected));
  EXPECT_EQ(predict_rows<T>({}, 0, 3, beta).value(), std::vector<T>{});
  EXPECT_EQ(predict_rows<T>(std::vector<T>{1, 2, 3, -1, 0.5, 2}, 2, 3, beta).value(), (std::vector<T>{3, -0.5}));

  // An infinity under a zero coefficient still poisons its row, while a
  // finite row whose dot overflows is a prediction, not an input error.
  const T inf = std::numeric_limits<T>::infinity();
  const T big = std::numeric_limits<T>::max();
  const std::vector<T> zero_last = {1, 1, 0};
  EXPECT_EQ(predict_rows<T>(std::vector<T>{1, 2, 3, 1, 2, inf}, 2, 3, zero_last), fail(finite));
  EXPECT_EQ(predict_rows<T>(std::vector<T>{big, big, 0}, 1, 3, zero_last).value(), std::vector<T>{inf});
}

TYPED_TEST(PredictTest, ParallelPassMatchesTheSequentialLoopAtTheThreshold) {
  using T = TypeParam;
  // p = 10: 99,999 rows hold 999,990 elements (one thread), 100,000 rows
  // exactly 1,000,000 (the pool). Both must equal dot() row by row.
  const std::uint64_t p = 10;
  std::mt19937_64 rng(3);
  std::uniform_real_distribution<double> uniform(-1, 1);
  std::vector<T> design(100'000 * p), beta(p);
  for (auto& v : design) v = T(uniform(rng));
  for (auto& v : beta) v = T(uniform(rng));
  std::vector<T> expected(100'000);
  for (std::size_t i = 0; i < expected.size(); ++i) expected[i] = dot<T>(std::span(design).subspan(i * p, p), beta);
  EnginePool pool(3);
  for (const std::uint64_t rows : {99'999u, 100'000u}) {
    auto result = pool.run([&] { return predict_rows<T>(std::span(design).first(rows * p), rows, p, beta); });
    EXPECT_TRUE(testing::same_bits(result.value(), std::vector<T>(expected.begin(), expected.begin() + rows)));
  }
}

}  // namespace
}  // namespace vintrel::core
